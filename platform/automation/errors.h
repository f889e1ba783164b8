// The runtime's own failure texts (Simplified Chinese, as the classic runtime words them).
#pragma once

#include <string>

#include "platform/automation/abi.h"

inline constexpr char16_t kTextOverflow[] = u"溢出";
inline constexpr char16_t kTextTypeMismatch[] = u"类型不匹配";
inline constexpr char16_t kTextSubscriptOutOfRange[] = u"下标越界";
inline constexpr char16_t kTextInvalidUseOfNull[] = u"无效使用 Null";
inline constexpr char16_t kTextObjectNotSet[] = u"对象变量或 With 块变量未设置";
inline constexpr char16_t kTextCannotCreateObject[] = u"ActiveX 部件不能创建对象";
inline constexpr char16_t kTextOutOfMemory[] = u"内存不足";

// The standard text for an error code; codes without a text of their own are described by
// their hexadecimal value.
VANTO_EXPORT std::u16string DescribeError(HRESULT code);
