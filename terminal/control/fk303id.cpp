// The FK303ID dispatch object: argument checking and conversion, by-reference writes, Boolean
// answers, and the Simplified-Chinese descriptions of what failed on which port and terminal.
#include "terminal/control/fk303id.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/automation/boundary.h"
#include "platform/automation/class_factory.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/object.h"
#include "platform/automation/owners.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "terminal/control/port_status.h"
#include "terminal/control/terminal_client.h"

namespace {

using terminal::control::ControlSettings;
using terminal::control::LinkError;
using terminal::control::LinkFailure;
using terminal::control::ReadRegistry;
using terminal::control::ReadStart;
using terminal::control::TerminalClient;
namespace protocol = terminal::protocol;

std::atomic<long> activeCount{0};

// The code a terminal failure travels with inside DISP_E_EXCEPTION.
constexpr HRESULT kTerminalFailure = MakeHResult(0x80040601);
constexpr const char16_t* kSource = fk303id::kProgId;

// Reads a whole-number argument: any integer or Boolean variant, a floating value rounded half to
// even, or any of these by reference.
HRESULT ReadLong(const VARIANT& arg, std::int64_t low, std::int64_t high, std::int64_t& out) {
  const VARTYPE vt = arg.vt;
  if (vt == (VT_BYREF | VT_VARIANT)) return arg.pvarVal ? ReadLong(*arg.pvarVal, low, high, out) : E_POINTER;
  if ((vt & VT_BYREF) && !arg.byref) return E_POINTER;
  double real = 0;
  bool isReal = false;
  switch (vt) {
    case VT_EMPTY: out = 0; break;
    case VT_I2: out = arg.iVal; break;
    case VT_I2 | VT_BYREF: out = *arg.piVal; break;
    case VT_I4: case VT_INT: out = arg.lVal; break;
    case VT_I4 | VT_BYREF: case VT_INT | VT_BYREF: out = *arg.plVal; break;
    case VT_BOOL: out = arg.boolVal ? -1 : 0; break;
    case VT_BOOL | VT_BYREF: out = *arg.pboolVal ? -1 : 0; break;
    case VT_UI1: out = arg.bVal; break;
    case VT_UI1 | VT_BYREF: out = *arg.pbVal; break;
    case VT_I1: out = static_cast<std::int8_t>(arg.bVal); break;
    case VT_UI2: out = static_cast<std::uint16_t>(arg.iVal); break;
    case VT_UI4: case VT_UINT: out = static_cast<std::uint32_t>(arg.lVal); break;
    case VT_I8: out = arg.llVal; break;
    case VT_R4: real = arg.fltVal; isReal = true; break;
    case VT_R8: real = arg.dblVal; isReal = true; break;
    case VT_R8 | VT_BYREF: real = *arg.pdblVal; isReal = true; break;
    default: return DISP_E_TYPEMISMATCH;
  }
  if (isReal) {
    if (!std::isfinite(real) || real < static_cast<double>(low) - 0.5 || real > static_cast<double>(high) + 0.5)
      return DISP_E_OVERFLOW;
    out = static_cast<std::int64_t>(std::nearbyint(real));  // the default rounding: half to even
  }
  if (out < low || out > high) return DISP_E_OVERFLOW;
  return S_OK;
}

// The caller's Long behind a by-reference argument, for writing.
LONG* LongTarget(VARIANT& arg) {
  if (arg.vt == (VT_BYREF | VT_I4)) return arg.plVal;
  if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal) {
    VARIANT& inner = *arg.pvarVal;
    if (inner.vt == (VT_BYREF | VT_I4)) return inner.plVal;
    if (inner.vt == VT_I4 || inner.vt == VT_EMPTY || inner.vt == VT_I2) {
      if (inner.vt != VT_I4) {
        inner.vt = VT_I4;
        inner.lVal = 0;
      }
      return &inner.lVal;
    }
  }
  return nullptr;
}

std::u16string U(const std::string& text) { return ToUtf16(text); }

class FK303ID final : public DispatchObject<IDispatch> {
 public:
  FK303ID() : client_(ControlSettings::Resolve()) { ++activeCount; }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return GuardBoundary(kSource, [&] { return IdsOfNames(names, count, ids); });
  }

  // Whatever escapes a member (a failure of the link is described by the member itself) becomes
  // an exception of the call, never a C++ exception in the caller.
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argError) override {
    return GuardInvoke(exception, kSource, [&] { return InvokeMember(member, flags, params, result, exception, argError); });
  }

 protected:
  ~FK303ID() override { --activeCount; }
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == DIID__DFK303ID; }

 private:
  HRESULT IdsOfNames(LPOLESTR* names, UINT count, DISPID* ids) {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      if (i > 0 || !names[i]) {  // no named arguments
        hr = DISP_E_UNKNOWNNAME;
        continue;
      }
      for (const fk303id::Member& member : fk303id::kMembers)
        if (SameNameIgnoringCase(names[i], member.name)) ids[i] = member.number;
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  HRESULT InvokeMember(DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                       UINT* argError) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    Call call{params ? *params : none, result, exception, argError};
    if (call.params.cArgs && !call.params.rgvarg) return E_POINTER;
    // Every member of the contract has its handler here (a member without one does not build).
    switch (member) {
#define FK303ID_HANDLE(name, number, kind, count, arguments) \
  case fk303id::member::k##name: return Run(call, flags, count, &FK303ID::name);
      FK303ID_MEMBERS(FK303ID_HANDLE)
#undef FK303ID_HANDLE
      default: return DISP_E_MEMBERNOTFOUND;
    }
  }

  struct Call {
    DISPPARAMS params;
    VARIANT* result;
    EXCEPINFO* exception;
    UINT* argError;
    // Argument `i` in the caller's order (arguments travel in reverse).
    VARIANT& Arg(UINT i) const { return params.rgvarg[params.cArgs - 1 - i]; }
  };

  static HRESULT ArgFailure(const Call& call, UINT i, HRESULT hr) {
    if (call.argError) *call.argError = call.params.cArgs - 1 - i;
    return hr;
  }

  // Reads argument `i` as a Long (or a narrower range).
  static HRESULT Long(const Call& call, UINT i, std::int64_t& out,
                      std::int64_t low = std::numeric_limits<LONG>::min(),
                      std::int64_t high = std::numeric_limits<LONG>::max()) {
    const HRESULT hr = ReadLong(call.Arg(i), low, high, out);
    return FAILED(hr) ? ArgFailure(call, i, hr) : S_OK;
  }

  static HRESULT Answer(const Call& call, bool value) {
    if (call.result) {
      VariantClear(call.result);
      call.result->vt = VT_BOOL;
      call.result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return S_OK;
  }

  HRESULT Fail(const Call& call, const char* operation, std::int64_t terminal, const LinkError& error) {
    if (error.Failure() != LinkFailure::kOpen) {  // an open failure was recorded where it happened
      terminal::control::PortStatus status;
      status.fault = terminal::control::PortFault::kLine;
      status.device = client_.PortPath();
      status.terminal = static_cast<int>(terminal);
      status.detail = LineFailureText(error);
      status.failure = FailureWord(error.Failure());
      terminal::control::RecordPortStatus(client_.Port(), status);
    }
    // A port carried over the network (a serial device server, "tcp://HOST:PORT") is named as a
    // network port, and its failures as the network's; a device path is a serial port.
    const std::string path = client_.PortPath();
    const bool network = path.rfind("tcp://", 0) == 0;
    std::string text = std::string(operation) + "失败：" + (network ? "网络端口 " : "串口 ") +
                       std::to_string(client_.Port()) + "（" + path + "）上编号为 " + std::to_string(terminal) +
                       " 的考勤机";
    const std::string tries = "（共尝试 " + std::to_string(error.Attempts()) + " 次）";
    const std::string cause = "（" + std::string(error.what()) + "）";
    switch (error.Failure()) {
      case LinkFailure::kOpen:
        text += network ? "无法连接：无法连接到网络地址" + cause : "无法连接：串口无法打开" + cause;
        break;
      case LinkFailure::kHangUp:
        text += network ? "通信中断：网络连接已断开" + cause : "通信中断：串口线路已断开" + cause;
        break;
      case LinkFailure::kSilent: text += "没有应答" + tries; break;
      case LinkFailure::kDamaged: text += "的应答数据损坏或不完整" + tries; break;
      case LinkFailure::kBusy: text += "一直忙，未处理请求" + tries; break;
      case LinkFailure::kRefused:
        text += "拒绝了请求（原因代码 " + std::to_string(error.Code()) + "：" +
                std::string(protocol::RefusalName(static_cast<std::uint8_t>(error.Code()))) + "）";
        break;
      case LinkFailure::kBadTerminal: text += "无法访问：考勤机编号必须在 1 到 255 之间"; break;
      case LinkFailure::kNoRead: text += "无法读取刷卡记录：尚未开始读取"; break;
      case LinkFailure::kBadClock:
        text += "的时钟读数不是有效的日期和时间（" + std::string(error.what()) + "）";
        break;
      case LinkFailure::kShortRead:
        text += "在第 " + std::to_string(error.At()) + " 条记录后就报告已无更多记录，而开始读取时它报告共有 " +
                std::to_string(error.Held()) + " 条" + tries;
        break;
    }
    return Raise(call, U(text));
  }

  // How an exchange failed, as the port status's stable word.
  static const char* FailureWord(LinkFailure failure) {
    switch (failure) {
      case LinkFailure::kOpen: return "open";
      case LinkFailure::kHangUp: return "hangup";
      case LinkFailure::kSilent: return "silent";
      case LinkFailure::kDamaged: return "damaged";
      case LinkFailure::kBusy: return "busy";
      case LinkFailure::kRefused: return "refused";
      case LinkFailure::kBadTerminal: return "bad-terminal";
      case LinkFailure::kNoRead: return "no-read";
      case LinkFailure::kShortRead: return "short-read";
      case LinkFailure::kBadClock: return "bad-clock";
    }
    return "";
  }

  // What failed, in words for the port status a host reads (the host words the cause from it).
  static std::string LineFailureText(const LinkError& error) {
    const std::string tries = " after " + std::to_string(error.Attempts()) + " attempts";
    switch (error.Failure()) {
      case LinkFailure::kOpen: return std::string("cannot open the port: ") + error.what();
      case LinkFailure::kHangUp: return std::string("the line broke: ") + error.what();
      case LinkFailure::kSilent: return "the terminal did not answer" + tries;
      case LinkFailure::kDamaged: return "only damaged answers" + tries;
      case LinkFailure::kBusy: return "the terminal stayed busy" + tries;
      case LinkFailure::kRefused:
        return "the terminal refused the request (code " + std::to_string(error.Code()) + ": " +
               std::string(protocol::RefusalName(static_cast<std::uint8_t>(error.Code()))) + ")";
      case LinkFailure::kBadTerminal: return "terminal numbers are 1 to 255";
      case LinkFailure::kNoRead: return "records asked for without a record read begun";
      case LinkFailure::kShortRead:
        return "the terminal said it had no more records after " + std::to_string(error.At()) + " of the " +
               std::to_string(error.Held()) + " it held" + tries;
      case LinkFailure::kBadClock: return std::string("the terminal's clock shows no valid time: ") + error.what();
    }
    return error.what();
  }

  static HRESULT Raise(const Call& call, const std::u16string& text) {
    if (!call.exception) return RaiseError(kTerminalFailure, text, kSource);
    return FillException(call.exception, kTerminalFailure, text, kSource);
  }

  // A setting that cannot be used is reported by the first member that would use it.
  bool SettingsBroken(const Call& call, HRESULT& hr) {
    if (client_.Settings().invalid.empty()) return false;
    RecordBadSetting();
    hr = Raise(call, U("终端控件设置无效：" + client_.Settings().invalid));
    return true;
  }

  // A property's handler sees the flags; a method's is reached only as a method called with
  // positional arguments, as many as the contract gives it.
  HRESULT Run(const Call& call, WORD flags, UINT, HRESULT (FK303ID::*property)(const Call&, WORD)) {
    return (this->*property)(call, flags);
  }
  HRESULT Run(const Call& call, WORD flags, UINT count, HRESULT (FK303ID::*method)(const Call&)) {
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (call.params.cNamedArgs) return DISP_E_NONAMEDARGS;
    if (call.params.cArgs != count) return DISP_E_BADPARAMCOUNT;
    return (this->*method)(call);
  }

  HRESULT SerialPort(const Call& call, WORD flags) {
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
      if (call.params.cArgs != 1) return DISP_E_BADPARAMCOUNT;
      if (call.params.cNamedArgs != 1 || !call.params.rgdispidNamedArgs ||
          call.params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
        return DISP_E_PARAMNOTFOUND;
      std::int64_t port = 0;
      if (HRESULT hr = Long(call, 0, port, std::numeric_limits<SHORT>::min(), std::numeric_limits<SHORT>::max());
          FAILED(hr))
        return hr;
      client_.SelectPort(static_cast<int>(port));
      return S_OK;
    }
    if (flags & DISPATCH_PROPERTYGET) {
      if (call.params.cArgs != 0) return DISP_E_BADPARAMCOUNT;
      if (call.result) {
        VariantClear(call.result);
        call.result->vt = VT_I2;
        call.result->iVal = static_cast<SHORT>(client_.Port());
      }
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

  void RecordBadSetting() {
    terminal::control::PortStatus status;
    status.fault = terminal::control::PortFault::kBadSetting;
    status.device = client_.PortPath();
    status.detail = "setting " + client_.Settings().invalid + " cannot be used";
    terminal::control::RecordPortStatus(client_.Port(), status);
  }

  static HRESULT AnswerText(const Call& call, const std::string& text) {
    if (!call.result) return S_OK;
    const std::u16string wide = U(text);
    BSTR value = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.c_str()), static_cast<UINT>(wide.size()));
    if (!value) return E_OUTOFMEMORY;
    VariantClear(call.result);
    call.result->vt = VT_BSTR;
    call.result->bstrVal = value;
    return S_OK;
  }

  // For hosts: the port's last status in this process, whichever control used it.
  HRESULT PortStatus(const Call& call) {
    std::int64_t port = 0;
    if (HRESULT hr = Long(call, 0, port, 1, std::numeric_limits<SHORT>::max()); FAILED(hr)) return hr;
    terminal::control::PortStatus status = terminal::control::LastPortStatus(static_cast<int>(port));
    if (status.device.empty()) status.device = client_.Settings().PathOfPort(static_cast<int>(port));
    return AnswerText(call, terminal::control::PortStatusText(status));
  }

  // For hosts: selects and opens the port (taking its lock); False when it cannot be used, the
  // cause then in its status.
  HRESULT OpenPort(const Call& call) {
    std::int64_t port = 0;
    if (HRESULT hr = Long(call, 0, port, 1, std::numeric_limits<SHORT>::max()); FAILED(hr)) return hr;
    client_.SelectPort(static_cast<int>(port));
    if (!client_.Settings().invalid.empty()) {
      RecordBadSetting();
      return Answer(call, false);
    }
    try {
      client_.Open();
    } catch (const LinkError&) {
      return Answer(call, false);
    }
    return Answer(call, true);
  }

  // For hosts: closes the port, when it is the selected one, and releases its lock.
  HRESULT ReleasePort(const Call& call) {
    std::int64_t port = 0;
    if (HRESULT hr = Long(call, 0, port, 1, std::numeric_limits<SHORT>::max()); FAILED(hr)) return hr;
    if (client_.Port() == port) client_.Release();
    return Answer(call, true);
  }

  // For hosts: sets a setting for every control of this process created from then on; False
  // (nothing changed) when the name or value is not one the control takes.
  HRESULT SetSetting(const Call& call) {
    std::string name, value;
    if (HRESULT hr = Text(call, 0, name); FAILED(hr)) return hr;
    if (HRESULT hr = Text(call, 1, value); FAILED(hr)) return hr;
    return Answer(call, terminal::control::SetHostSetting(name, value).empty());
  }

  // Reads argument `i` as a String (embedded NULs refused: a setting is text).
  static HRESULT Text(const Call& call, UINT i, std::string& out) {
    const VARIANT& v = call.Arg(i);
    BSTR text = nullptr;
    if (v.vt == VT_BSTR)
      text = v.bstrVal;
    else if (v.vt == (VT_BSTR | VT_BYREF) && v.pbstrVal)
      text = *v.pbstrVal;
    else
      return ArgFailure(call, i, DISP_E_TYPEMISMATCH);
    const std::u16string_view view(text ? text : u"", text ? SysStringLen(text) : 0);
    if (view.find(u'\0') != std::u16string_view::npos) return ArgFailure(call, i, DISP_E_TYPEMISMATCH);
    out = ToUtf8(view);
    return S_OK;
  }

  HRESULT ProbeMachine(const Call& call) {
    std::int64_t terminal = 0, flag = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 1, flag); FAILED(hr)) return hr;
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    return Answer(call, client_.Probe(terminal));
  }

  HRESULT BeginCardRead(const Call& call) {
    std::int64_t terminal = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    try {
      client_.BeginRead(terminal);
    } catch (const LinkError& error) {
      return Fail(call, "开始读取刷卡记录", terminal, error);
    }
    return Answer(call, true);
  }

  HRESULT NextCardRecord(const Call& call) {
    std::int64_t terminal = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    // Outputs: person (2), fifth value (4), year..minute (5..9). The terminal variables (1, 3)
    // are left as the caller has them.
    constexpr UINT kOutputs[] = {2, 4, 5, 6, 7, 8, 9};
    LONG* targets[std::size(kOutputs)];
    for (std::size_t k = 0; k < std::size(kOutputs); ++k) {
      targets[k] = LongTarget(call.Arg(kOutputs[k]));
      if (!targets[k]) return ArgFailure(call, kOutputs[k], DISP_E_TYPEMISMATCH);
    }
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    std::optional<protocol::CardRecordFields> record;
    try {
      record = client_.NextRecord(terminal);
    } catch (const LinkError& error) {
      return Fail(call, "读取刷卡记录", terminal, error);
    }
    if (!record) return Answer(call, false);
    const LONG values[] = {record->person, 0, record->year, record->month, record->day, record->hour, record->minute};
    for (std::size_t k = 0; k < std::size(kOutputs); ++k) *targets[k] = values[k];
    return Answer(call, true);
  }

  HRESULT ReadEnrollment(const Call& call) {
    std::int64_t terminal = 0, person = 0, enrolment = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 1, person); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 3, enrolment); FAILED(hr)) return hr;
    LONG* personOut = LongTarget(call.Arg(1));
    LONG* templateOut = call.Arg(5).vt == (VT_BYREF | VT_I4) ? call.Arg(5).plVal : nullptr;
    LONG* passwordOut = LongTarget(call.Arg(6));
    if (!templateOut) return ArgFailure(call, 5, DISP_E_TYPEMISMATCH);
    if (!passwordOut) return ArgFailure(call, 6, DISP_E_TYPEMISMATCH);
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    if (!protocol::IsValidEnrolmentNumber(static_cast<int>(enrolment))) return Answer(call, false);
    const protocol::EnrolmentKey key{static_cast<std::int32_t>(person), static_cast<std::uint8_t>(enrolment)};
    std::optional<protocol::EnrolmentData> data;
    try {
      const auto result = client_.Exchange(terminal, protocol::Command::kReadEnrolment, protocol::Encode(key),
                                           [&](const protocol::Frame& answer) {
                                             data = protocol::DecodeEnrolmentAnswer(answer.payload);
                                             return data && data->key == key;
                                           });
      if (result.refused) {
        if (IsNoSuchEnrolment(result.refusal.code)) return Answer(call, false);
        throw LinkError(LinkFailure::kRefused, "read refused", 0, result.refusal.code);
      }
    } catch (const LinkError& error) {
      return Fail(call, "读取登记数据", terminal, error);
    }
    if (personOut) *personOut = data->key.person;
    if (data->IsPassword()) {
      *passwordOut = data->password;
    } else {
      // The template argument is element 0 of the caller's 460-Long buffer.
      for (int i = 0; i < static_cast<int>(fk303id::kTemplateValues); ++i) templateOut[i] = data->fingerprint[static_cast<std::size_t>(i)];
    }
    return Answer(call, true);
  }

  // Writes `values` through the by-reference arguments `first`.. of the call; false (with the
  // argument error set) when one of them is no Long by reference.
  static HRESULT WriteLongs(const Call& call, UINT first, std::initializer_list<LONG> values) {
    std::vector<LONG*> targets;
    for (UINT i = first; i < first + values.size(); ++i) {
      LONG* target = LongTarget(call.Arg(i));
      if (!target) return ArgFailure(call, i, DISP_E_TYPEMISMATCH);
      targets.push_back(target);
    }
    std::size_t k = 0;
    for (LONG value : values) *targets[k++] = value;
    return S_OK;
  }

  static HRESULT CheckTargets(const Call& call, UINT first, UINT count) {
    for (UINT i = first; i < first + count; ++i)
      if (!LongTarget(call.Arg(i))) return ArgFailure(call, i, DISP_E_TYPEMISMATCH);
    return S_OK;
  }

  static LONG Bits(std::uint32_t value) { return static_cast<LONG>(value); }

  HRESULT TerminalInfo(const Call& call) {
    std::int64_t terminal = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = CheckTargets(call, 1, 5); FAILED(hr)) return hr;
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    protocol::BeginReadAnswer log;
    try {
      log = client_.ReadLog(terminal);
    } catch (const LinkError& error) {
      return Fail(call, "读取考勤机信息", terminal, error);
    }
    const protocol::RecordLog state = log.log.value_or(protocol::RecordLog{});
    WriteLongs(call, 1, {static_cast<LONG>(log.Version()), Bits(state.identity), Bits(state.capacity), Bits(log.recordCount),
                         Bits(state.generation)});
    return Answer(call, true);
  }

  HRESULT SetCardReadStart(const Call& call) {
    std::int64_t terminal = 0, identity = 0, generation = 0, index = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 1, identity); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 2, generation); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 3, index, -1); FAILED(hr)) return hr;
    if (index < 0)
      ReadRegistry::SetStart(client_.Port(), terminal, std::nullopt);
    else
      ReadRegistry::SetStart(
          client_.Port(), terminal,
          ReadStart{static_cast<std::uint32_t>(identity), static_cast<std::uint32_t>(generation),
                                       static_cast<std::uint32_t>(index)});
    return Answer(call, true);
  }

  HRESULT CardReadStatus(const Call& call) {
    std::int64_t terminal = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = CheckTargets(call, 1, 7); FAILED(hr)) return hr;
    const auto status = ReadRegistry::Status(client_.Port(), terminal);
    if (!status) return Answer(call, false);
    const protocol::RecordLog log = status->log.value_or(protocol::RecordLog{});
    WriteLongs(call, 1, {Bits(status->reads), Bits(status->held), Bits(log.generation), Bits(log.identity),
                         Bits(status->start), Bits(status->next), static_cast<LONG>(status->state)});
    return Answer(call, true);
  }

  HRESULT ReadCardRecordAt(const Call& call) {
    std::int64_t terminal = 0, generation = 0, index = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 1, generation); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 2, index, 0); FAILED(hr)) return hr;
    if (HRESULT hr = CheckTargets(call, 3, 6); FAILED(hr)) return hr;
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    std::optional<protocol::CardRecordFields> record;
    try {
      record = client_.RecordAt(terminal, static_cast<std::uint32_t>(generation), static_cast<std::uint32_t>(index));
    } catch (const LinkError& error) {
      return Fail(call, "读取刷卡记录", terminal, error);
    }
    if (!record) return Answer(call, false);
    WriteLongs(call, 3, {record->person, record->year, record->month, record->day, record->hour, record->minute});
    return Answer(call, true);
  }

  HRESULT ClearCardRecords(const Call& call) {
    std::int64_t terminal = 0, generation = 0, count = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 1, generation); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 2, count, 0); FAILED(hr)) return hr;
    if (HRESULT hr = CheckTargets(call, 3, 1); FAILED(hr)) return hr;
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    std::optional<std::uint32_t> next;
    try {
      next = client_.ClearRecords(terminal, static_cast<std::uint32_t>(generation), static_cast<std::uint32_t>(count));
    } catch (const LinkError& error) {
      return Fail(call, "清除刷卡记录", terminal, error);
    }
    if (!next) return Answer(call, false);
    WriteLongs(call, 3, {Bits(*next)});
    return Answer(call, true);
  }

  HRESULT ReadClock(const Call& call) {
    std::int64_t terminal = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = CheckTargets(call, 1, 6); FAILED(hr)) return hr;
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    std::optional<protocol::ClockTime> time;
    try {
      time = client_.ReadClock(terminal);
    } catch (const LinkError& error) {
      return Fail(call, "读取考勤机时钟", terminal, error);
    }
    if (!time) return Answer(call, false);
    WriteLongs(call, 1, {time->year, time->month, time->day, time->hour, time->minute, time->second});
    return Answer(call, true);
  }

  HRESULT SetClock(const Call& call) {
    std::int64_t terminal = 0;
    std::int64_t fields[6] = {};
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    for (UINT i = 0; i < 6; ++i)
      if (HRESULT hr = Long(call, 1 + i, fields[i]); FAILED(hr)) return hr;
    if (HRESULT hr = CheckTargets(call, 7, 1); FAILED(hr)) return hr;
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    const protocol::ClockTime time{static_cast<std::int32_t>(fields[0]), static_cast<std::int32_t>(fields[1]),
                                   static_cast<std::int32_t>(fields[2]), static_cast<std::int32_t>(fields[3]),
                                   static_cast<std::int32_t>(fields[4]), static_cast<std::int32_t>(fields[5])};
    std::optional<std::uint8_t> refused;
    try {
      refused = client_.SetClock(terminal, time);
    } catch (const LinkError& error) {
      return Fail(call, "设置考勤机时钟", terminal, error);
    }
    WriteLongs(call, 7, {refused ? static_cast<LONG>(*refused) : 0});
    return Answer(call, !refused);
  }

  HRESULT CardReadForm(const Call& call) {
    std::int64_t terminal = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = CheckTargets(call, 1, 2); FAILED(hr)) return hr;
    const auto status = ReadRegistry::Status(client_.Port(), terminal);
    if (!status) return Answer(call, false);
    WriteLongs(call, 1, {status->dense ? 1 : 0, Bits(status->fallbacks)});
    return Answer(call, true);
  }

  static bool IsNoSuchEnrolment(std::uint8_t code) {
    return code == static_cast<std::uint8_t>(protocol::RefusalCode::kNoEnrolment) ||
           code == static_cast<std::uint8_t>(protocol::RefusalCode::kBadEnrolmentNumber);
  }
  static bool IsNotAccepted(std::uint8_t code) {
    return code == static_cast<std::uint8_t>(protocol::RefusalCode::kStorageFull) ||
           code == static_cast<std::uint8_t>(protocol::RefusalCode::kBadEnrolmentNumber) ||
           code == static_cast<std::uint8_t>(protocol::RefusalCode::kNoEnrolment);
  }

  HRESULT PrepareEnrollment(const Call& call) {
    std::int64_t terminal = 0, person = 0, flag = 0, enrolment = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 1, person); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 2, flag); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 3, enrolment); FAILED(hr)) return hr;
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    if (!protocol::IsValidEnrolmentNumber(static_cast<int>(enrolment))) return Answer(call, false);
    const protocol::PrepareRequest request{{static_cast<std::int32_t>(person), static_cast<std::uint8_t>(enrolment)},
                                           static_cast<std::uint8_t>(flag != 0)};
    return Store(call, "准备写入登记数据", terminal, protocol::Command::kPrepareEnrolment, protocol::Encode(request));
  }

  HRESULT WriteEnrollment(const Call& call) {
    std::int64_t terminal = 0, person = 0, enrolment = 0, password = 0;
    if (HRESULT hr = Long(call, 0, terminal); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 1, person); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 3, enrolment); FAILED(hr)) return hr;
    if (HRESULT hr = Long(call, 6, password); FAILED(hr)) return hr;
    const VARIANT& templateArg = call.Arg(5);
    if (templateArg.vt != (VT_BYREF | VT_I4) || !templateArg.plVal) return ArgFailure(call, 5, DISP_E_TYPEMISMATCH);
    if (HRESULT hr; SettingsBroken(call, hr)) return hr;
    if (!protocol::IsValidEnrolmentNumber(static_cast<int>(enrolment))) return Answer(call, false);
    protocol::EnrolmentData data;
    data.key = {static_cast<std::int32_t>(person), static_cast<std::uint8_t>(enrolment)};
    if (data.IsPassword())
      data.password = static_cast<std::int32_t>(password);
    else
      for (int i = 0; i < static_cast<int>(fk303id::kTemplateValues); ++i) data.fingerprint[static_cast<std::size_t>(i)] = templateArg.plVal[i];
    return Store(call, "写入登记数据", terminal, protocol::Command::kWriteEnrolment, protocol::Encode(data));
  }

  // Prepare and write: True when the terminal accepted, False when it declined.
  HRESULT Store(const Call& call, const char* operation, std::int64_t terminal, protocol::Command command,
                const std::vector<std::uint8_t>& payload) {
    try {
      const auto result = client_.Exchange(terminal, command, payload,
                                           [](const protocol::Frame& answer) { return answer.payload.empty(); });
      if (result.refused) {
        if (IsNotAccepted(result.refusal.code)) return Answer(call, false);
        throw LinkError(LinkFailure::kRefused, "refused", 0, result.refusal.code);
      }
    } catch (const LinkError& error) {
      return Fail(call, operation, terminal, error);
    }
    return Answer(call, true);
  }

  TerminalClient client_;
};

// Server locks taken on the control's factories.
ServerLocks locks;

HRESULT CreateFK303ID(REFIID iid, void** object) {
  ComPtr<IDispatch> control = ComPtr<IDispatch>::Adopt(new FK303ID());
  return control->QueryInterface(iid, object);
}

}  // namespace

HRESULT GetFK303IDClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!(clsid == CLSID_FK303ID)) return CLASS_E_CLASSNOTAVAILABLE;
  return HandOutFactory(&CreateFK303ID, locks, kSource, iid, object);
}

HRESULT RegisterFK303IDInProcess() {
  ComPtr<IClassFactory> factory;
  if (HRESULT hr = GetFK303IDClassObject(CLSID_FK303ID, IID_IClassFactory, reinterpret_cast<void**>(factory.Put()));
      FAILED(hr))
    return hr;
  return RegisterInProcessClass(CLSID_FK303ID, fk303id::kProgId, factory.Get());
}

long FK303IDActiveCount() { return activeCount.load() + locks.Held(); }
