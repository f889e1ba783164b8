#include "host/terminal_control.h"

#include <algorithm>
#include <vector>

#include "host/components.h"
#include "host/control_settings.h"
#include "host/machine.h"
#include "host/message.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "terminal/control/fk303id.h"

namespace vanto::host {
namespace {

VARIANT Long(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

VARIANT Ref(LONG* target) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | VT_I4;
  v.plVal = target;
  return v;
}

LONG Bits(std::uint32_t value) { return static_cast<LONG>(value); }
std::uint32_t U32(LONG value) { return static_cast<std::uint32_t>(value); }

}  // namespace

HostControl HostControl::Create() {
  PushControlSettings();
  return CreateUnconfigured();
}

HostControl HostControl::CreateUnconfigured() {
  PrepareComponents();
  ComPtr<IDispatch> control;
  HRESULT hr = CreateObjectByProgId(fk303id::kProgId, IID_IDispatch, reinterpret_cast<void**>(control.Put()));
  if (FAILED(hr) || !control)
    throw HostError(
        Message("cannot create {0}: {1}", {ToUtf8(fk303id::kProgId), ToUtf8(TakeErrorDescription(hr))}));
  return HostControl(std::move(control));
}

bool HostControl::Call(DISPID member, const char* name, VARIANT* args, unsigned count) {
  std::vector<VARIANT> reversed(args, args + count);
  std::reverse(reversed.begin(), reversed.end());
  DISPPARAMS params{reversed.data(), nullptr, count, 0};
  Variant result;
  EXCEPINFO exception{};
  UINT argError = 0;
  HRESULT hr = control_->Invoke(member, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Ptr(),
                                &exception, &argError);
  if (hr == DISP_E_EXCEPTION) throw TerminalError(ToUtf8(TakeExceptionDescription(exception)));
  if (FAILED(hr)) throw HostError(Message("the terminal control's {0} failed ({1})", {name, std::to_string(hr)}));
  if (result.Type() != VT_BOOL) throw HostError(Message("the terminal control's {0} answered no Boolean", {name}));
  return result.Raw().boolVal != VARIANT_FALSE;
}

void HostControl::SelectPort(int port) {
  VARIANT value = Long(port);
  value.vt = VT_I2;
  value.iVal = static_cast<SHORT>(port);
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &put, 1, 1};
  HRESULT hr = control_->Invoke(fk303id::member::kSerialPort, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr,
                                nullptr, nullptr);
  if (FAILED(hr)) throw HostError(Message("cannot select port {0} on the terminal control", {std::to_string(port)}));
}

TerminalInfo HostControl::Info(int terminal) {
  LONG version = 0, identity = 0, capacity = 0, held = 0, generation = 0;
  VARIANT args[] = {Long(terminal), Ref(&version), Ref(&identity), Ref(&capacity), Ref(&held), Ref(&generation)};
  Call(fk303id::member::kTerminalInfo, "TerminalInfo", args, 6);
  return {static_cast<int>(version), U32(identity), U32(capacity), U32(held), U32(generation)};
}

void HostControl::SetReadStart(int terminal, std::optional<std::uint32_t> index, std::uint32_t identity,
                               std::uint32_t generation) {
  VARIANT args[] = {Long(terminal), Long(Bits(identity)), Long(Bits(generation)),
                    Long(index ? static_cast<LONG>(*index) : -1)};
  Call(fk303id::member::kSetCardReadStart, "SetCardReadStart", args, 4);
}

std::optional<ReadProgress> HostControl::Progress(int terminal) {
  LONG v[7] = {};
  VARIANT args[] = {Long(terminal), Ref(&v[0]), Ref(&v[1]), Ref(&v[2]), Ref(&v[3]), Ref(&v[4]), Ref(&v[5]), Ref(&v[6])};
  if (!Call(fk303id::member::kCardReadStatus, "CardReadStatus", args, 8)) return std::nullopt;
  return ReadProgress{U32(v[0]), U32(v[1]), U32(v[2]), U32(v[3]), U32(v[4]), U32(v[5]), static_cast<int>(v[6])};
}

std::optional<RawRecord> HostControl::RecordAt(int terminal, std::uint32_t generation, std::uint32_t index) {
  LONG f[6] = {};
  VARIANT args[] = {Long(terminal), Long(Bits(generation)), Long(Bits(index)), Ref(&f[0]), Ref(&f[1]),
                    Ref(&f[2]),     Ref(&f[3]),             Ref(&f[4]),         Ref(&f[5])};
  if (!Call(fk303id::member::kReadCardRecordAt, "ReadCardRecordAt", args, 9)) return std::nullopt;
  return RawRecord{f[0], f[1], f[2], f[3], f[4], f[5]};
}

std::optional<std::uint32_t> HostControl::Clear(int terminal, std::uint32_t generation, std::uint32_t count) {
  LONG next = 0;
  VARIANT args[] = {Long(terminal), Long(Bits(generation)), Long(Bits(count)), Ref(&next)};
  if (!Call(fk303id::member::kClearCardRecords, "ClearCardRecords", args, 4)) return std::nullopt;
  return U32(next);
}

std::optional<site::WallTime> HostControl::ReadClock(int terminal) {
  LONG f[6] = {};
  VARIANT args[] = {Long(terminal), Ref(&f[0]), Ref(&f[1]), Ref(&f[2]), Ref(&f[3]), Ref(&f[4]), Ref(&f[5])};
  if (!Call(fk303id::member::kReadClock, "ReadClock", args, 7)) return std::nullopt;
  return site::WallTime{f[0], f[1], f[2], f[3], f[4], f[5]};
}

int HostControl::SetClock(int terminal, const site::WallTime& t) {
  LONG refusal = 0;
  VARIANT args[] = {Long(terminal), Long(t.year),   Long(t.month),  Long(t.day),
                    Long(t.hour),   Long(t.minute), Long(t.second), Ref(&refusal)};
  if (Call(fk303id::member::kSetClock, "SetClock", args, 8)) return 0;
  return refusal ? static_cast<int>(refusal) : 1;
}

bool HostControl::SetSetting(const std::string& name, const std::string& value) {
  Bstr name_text(ToUtf16(name)), value_text(ToUtf16(value));
  VARIANT args[2];
  for (VARIANT& v : args) VariantInit(&v);
  args[0].vt = VT_BSTR, args[0].bstrVal = name_text.Get();
  args[1].vt = VT_BSTR, args[1].bstrVal = value_text.Get();
  return Call(fk303id::member::kSetSetting, "SetSetting", args, 2);
}

void HostControl::ReleasePort(int port) {
  VARIANT args[] = {Long(port)};
  Call(fk303id::member::kReleasePort, "ReleasePort", args, 1);
}

}  // namespace vanto::host
