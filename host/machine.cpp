#include "host/machine.h"

#include <cmath>

#include "host/components.h"
#include "host/control_settings.h"
#include "driver/identifiers.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/errors.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"

namespace vanto::host {
namespace {

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

// Checks the component-level return of an operation: anything but success is a fault of the
// component, not an answer of the operation.
void Check(HRESULT hr, const char* operation) {
  if (FAILED(hr))
    throw HostError(std::string(operation) + " failed in the component runtime: " +
                    ToUtf8(TakeErrorDescription(hr)) + " (" + Hex(hr) + ")");
}

Outcome Answer(VARIANT_BOOL result, const Bstr& message) { return {result != VARIANT_FALSE, ToUtf8(message.View())}; }

ComPtr<IDispatch> ItemAt(_Collection* list, LONG position) {
  Variant index = Variant::I4(position);
  Variant item;
  Check(list->Item(index.Ptr(), item.Put()), "reading a list item");
  if (item.Type() != VT_DISPATCH || !item.Raw().pdispVal) throw HostError("a list item is not an object");
  return ComPtr<IDispatch>(item.Raw().pdispVal);
}

int Property(IMachineInfo* info, HRESULT (IMachineInfo::*get)(VARIANT*), const char* name) {
  Variant value;
  Check((info->*get)(value.Put()), name);
  long long number = 0;
  if (!VariantToInt(value.Raw(), &number)) throw HostError(std::string("MachineInfo.") + name + " is not a number");
  return static_cast<int>(number);
}

}  // namespace

bool VariantToInt(const VARIANT& raw, long long* out) {
  const VARIANT* v = &raw;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  switch (v->vt) {
    case VT_I2: *out = v->iVal; return true;
    case VT_I4: *out = v->lVal; return true;
    case VT_UI1: *out = v->bVal; return true;
    case VT_BOOL: *out = v->boolVal; return true;
    case VT_BYREF | VT_I2: *out = *v->piVal; return true;
    case VT_BYREF | VT_I4: *out = *v->plVal; return true;
    case VT_R8:
      if (!std::isfinite(v->dblVal) || std::fabs(v->dblVal) > 9e15) return false;
      *out = std::llround(v->dblVal);
      return true;
    default: return false;
  }
}

Machine Machine::Create() {
  PushControlSettings();  // the control the driver creates reads them then
  PrepareComponents();
  ComPtr<IMachine> machine;
  HRESULT hr = CreateObjectByProgId(kProgIdClsMachine, IID_IMachine, reinterpret_cast<void**>(machine.Put()));
  if (FAILED(hr) || !machine)
    throw HostError("cannot create " + ToUtf8(kProgIdClsMachine) + ": " + ToUtf8(TakeErrorDescription(hr)) + " (" +
                    Hex(hr) + ")");
  return Machine(std::move(machine));
}

Outcome Machine::Scan(Range ports, Range terminals, std::vector<FoundTerminal>* found) {
  // The driver steps its port counter past the last port before it compares, which overflows a
  // 16-bit counter after port 32767. A range ending there is scanned up to 32766, then port 32767
  // on its own, where an overflow after the probe is the loop's end, not a failure.
  constexpr int kLastPort = 32767;
  if (ports.last == kLastPort) {
    if (ports.first < kLastPort) {
      Outcome head = ScanOnce({ports.first, kLastPort - 1}, terminals, found);
      if (!head.ok) return head;
    }
    Outcome last = ScanOnce({kLastPort, kLastPort}, terminals, found);
    if (!last.ok && last.message == ToUtf8(kTextOverflow)) last = {true, ""};
    return last;
  }
  return ScanOnce(ports, terminals, found);
}

Outcome Machine::ScanOnce(Range ports, Range terminals, std::vector<FoundTerminal>* found) {

  _Collection* raw = nullptr;  // the driver hands back a new list
  Bstr message;
  VARIANT_BOOL result = VARIANT_FALSE;
  HRESULT hr = machine_->funcRegister(&raw, VARIANT_TRUE, static_cast<SHORT>(ports.first), static_cast<SHORT>(ports.last),
                                      nullptr, nullptr, static_cast<SHORT>(terminals.first),
                                      static_cast<SHORT>(terminals.last), message.Put(), &result);
  ComPtr<_Collection> list = ComPtr<_Collection>::Adopt(raw);
  Check(hr, "funcRegister");
  if (list) {
    LONG count = 0;
    Check(list->Count(&count), "counting the found terminals");
    for (LONG i = 1; i <= count; ++i) {
      ComPtr<IDispatch> item = ItemAt(list.Get(), i);
      ComPtr<IMachineInfo> info;
      Check(item.As(IID_IMachineInfo, &info), "reading a MachineInfo");
      found->push_back({Property(info.Get(), &IMachineInfo::get_PortNo, "PortNo"),
                        Property(info.Get(), &IMachineInfo::get_MachineNo, "MachineNo")});
    }
  }
  return Answer(result, message);
}

Outcome Machine::Download(int port, int terminal, _Collection* cdata) {
  _Collection* raw = cdata;
  if (raw) raw->AddRef();  // the in-out reference the driver may replace
  Bstr message;
  VARIANT_BOOL result = VARIANT_FALSE;
  HRESULT hr = machine_->DownloadCarddata(VARIANT_TRUE, nullptr, static_cast<SHORT>(port), static_cast<SHORT>(terminal),
                                          &raw, message.Put(), &result);
  ComPtr<_Collection> held = ComPtr<_Collection>::Adopt(raw);
  Check(hr, "DownloadCarddata");
  return Answer(result, message);
}

Outcome Machine::Backup(int port, int terminal, const std::string& person, ComPtr<RowSet>& rows) {
  RowSet* raw = rows.Detach();
  Bstr message;
  Bstr personText(ToUtf16(person));
  VARIANT_BOOL result = VARIANT_FALSE;
  HRESULT hr = machine_->funcBackFingure(VARIANT_TRUE, nullptr, static_cast<SHORT>(port), static_cast<SHORT>(terminal),
                                         personText.Get(), &raw, message.Put(), &result);
  rows = ComPtr<RowSet>::Adopt(raw);
  Check(hr, "funcBackFingure");
  return Answer(result, message);
}

Outcome Machine::Restore(int port, int terminal, const std::string& person, RowSet* rows) {
  Bstr message;
  Bstr personText(ToUtf16(person));
  VARIANT_BOOL result = VARIANT_FALSE;
  HRESULT hr = machine_->funcReWrite(VARIANT_TRUE, nullptr, static_cast<SHORT>(port), static_cast<SHORT>(terminal),
                                     personText.Get(), rows, message.Put(), &result);
  Check(hr, "funcReWrite");
  return Answer(result, message);
}

}  // namespace vanto::host
