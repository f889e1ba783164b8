// Texts for the runtime's error codes.
#include "platform/automation/errors.h"

#include <cstdio>

std::u16string DescribeError(HRESULT code) {
  switch (code) {
    case DISP_E_OVERFLOW:
    case CTL_E_OVERFLOW: return kTextOverflow;
    case DISP_E_TYPEMISMATCH:
    case CTL_E_TYPEMISMATCH:
    case DISP_E_BADVARTYPE: return kTextTypeMismatch;
    case DISP_E_BADINDEX:
    case CTL_E_SUBSCRIPTOUTOFRANGE: return kTextSubscriptOutOfRange;
    case CTL_E_INVALIDUSEOFNULL: return kTextInvalidUseOfNull;
    case CTL_E_OBJECTNOTSET:
    case E_POINTER: return kTextObjectNotSet;
    case CTL_E_CANTCREATEOBJECT:
    case REGDB_E_CLASSNOTREG:
    case CLASS_E_CLASSNOTAVAILABLE:
    case CO_E_CLASSSTRING: return kTextCannotCreateObject;
    case E_OUTOFMEMORY:
    case CTL_E_OUTOFMEMORY: return kTextOutOfMemory;
    case DISP_E_MEMBERNOTFOUND: return u"找不到成员";
    case DISP_E_BADPARAMCOUNT: return u"参数的个数错误";
    case DISP_E_PARAMNOTOPTIONAL: return u"参数不可选";
    case E_NOINTERFACE: return u"不支持此接口";
    case CO_E_DLLNOTFOUND: return u"找不到组件模块";
    case CO_E_ERRORINDLL: return u"组件模块无法加载或缺少入口";
    case REGDB_E_READREGDB: return u"无法读取注册表";
    case REGDB_E_WRITEREGDB: return u"无法写入注册表";
    default: break;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(code));
  std::u16string text = u"自动化错误 ";
  for (const char* c = buffer; *c; ++c) text.push_back(static_cast<char16_t>(*c));
  return text;
}
