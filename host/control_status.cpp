#include "host/control_status.h"

#include <sstream>

#include "host/components.h"
#include "host/control_settings.h"
#include "host/machine.h"
#include "host/message.h"
#include "driver/identifiers.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "terminal/contract/fk303id_contract.h"

namespace vanto::host {
namespace {

Variant Call(IDispatch* control, DISPID member, std::optional<int> port, const char* what) {
  VARIANTARG arg;
  VariantInit(&arg);
  arg.vt = VT_I2;
  arg.iVal = static_cast<SHORT>(port.value_or(0));
  DISPPARAMS params{port ? &arg : nullptr, nullptr, port ? 1u : 0u, 0};
  Variant result;
  EXCEPINFO exception{};
  UINT arg_error = 0;
  HRESULT hr = control->Invoke(member, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Put(),
                               &exception, &arg_error);
  if (FAILED(hr)) {
    std::u16string text = TakeExceptionDescription(exception);
    throw HostError(Message("the terminal control's {0} failed: {1}",
                            {what, text.empty() ? ToUtf8(TakeErrorDescription(hr)) : ToUtf8(text)}));
  }
  return result;
}

}  // namespace

bool PortCause::PortUnusable() const {
  return fault == "missing" || fault == "permission" || fault == "busy" || fault == "not-serial" ||
         fault == "setting" || fault == "open";
}

PortCause ParsePortStatus(const std::string& text) {
  PortCause cause;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "fault") cause.fault = value;
    else if (key == "device") cause.device = value;
    else if (key == "detail") cause.detail = value;
    else if (key == "failure") cause.failure = value;
    else if (key == "terminal") cause.terminal = std::atoi(value.c_str());
    else if (key == "holder_pid") cause.holder_pid = std::atoi(value.c_str());
    else if (key == "holder_name") cause.holder_name = value;
  }
  return cause;
}

ControlStatus ControlStatus::Create() {
  PushControlSettings();
  PrepareComponents();
  ComPtr<IDispatch> control;
  HRESULT hr = CreateObjectByProgId(kProgIdTerminalControl, IID_IDispatch, reinterpret_cast<void**>(control.Put()));
  if (FAILED(hr) || !control)
    throw HostError(Message("cannot create {0}: {1}", {ToUtf8(kProgIdTerminalControl), ToUtf8(TakeErrorDescription(hr))}));
  return ControlStatus(std::move(control));
}

PortCause ControlStatus::Status(int port) {
  Variant text = Call(control_.Get(), fk303id::member::kPortStatus, port, "PortStatus");
  if (text.Type() != VT_BSTR) throw HostError(Message("the terminal control's PortStatus gave no text"));
  return ParsePortStatus(ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.Raw().bstrVal),
                                                    SysStringLen(text.Raw().bstrVal))));
}

std::optional<PortCause> ControlStatus::CheckOpens(int port) {
  Variant opened = Call(control_.Get(), fk303id::member::kOpenPort, port, "OpenPort");
  Call(control_.Get(), fk303id::member::kReleasePort, port, "ReleasePort");
  if (opened.Type() == VT_BOOL && opened.Raw().boolVal != VARIANT_FALSE) return std::nullopt;
  return Status(port);
}

}  // namespace vanto::host
