// A compiled host of the driver: creates VANTO.clsMachine by class name and runs the scenario of
// client.vbs through IDispatch with typed arguments (VT_BOOL, VT_BSTR, VT_I2, VT_BYREF|VT_BSTR,
// VT_BYREF|VT_DISPATCH), then through the IMachine vtable, then from two threads at once. The
// host objects (Collection, row set) are its own, as a compiled host's are. Built for Linux (our
// runtime) and for Windows (the system's) from this one file; the outputs compare line by line.
//
//   vanto-client-test [--threads]   prints the answers; exit status 0 when the run went as far as
//                                   its end; --threads first runs two downloads on two threads
//   vanto-client-test --reentry     downloads terminal 1 with work posted to the thread first: at the
//                                   driver's first message pump it downloads terminal 2 (same line)
//                                   through the same object; prints both answers
//   vanto-client-test --download PORT TERMINAL RUNS
//                                   downloads the terminal's records RUNS times through the IMachine
//                                   vtable and prints each run's records per second and the median
//                                   (bench/windows/download-wine.sh); status 1 when a run fails
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "driver/identifiers.h"
#include "platform/ado/enrolment.h"
#include "platform/ado/memory_rowset.h"
#include "platform/automation/collection.h"
#include "platform/automation/conversions.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/errors.h"
#include "platform/automation/message_queue.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "platform/corvel/corvel.h"

namespace {

std::string Text(std::u16string_view text) { return ToUtf8(text); }
const char* Truth(bool value) { return value ? "True" : "False"; }

void Show(const std::string& name, bool ok, const Bstr& message) {
  std::printf("%s %s [%s]\n", name.c_str(), Truth(ok), Text(message.View()).c_str());
}

std::string Two(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

// "YYYY-MM-DD hh:mm" of an automation date (days since 1899-12-30, whole minutes).
std::string TimeText(DATE when) {
  const long long minutes = static_cast<long long>(when * 1440.0 + (when >= 0 ? 0.5 : -0.5));
  long long days = minutes / 1440;
  const int minuteOfDay = static_cast<int>(minutes % 1440);
  // Civil date from days since 1970-01-01 (1899-12-30 is day -25569).
  long long z = days - 25569 + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const long long year = yoe + era * 400 + (month <= 2);
  return std::to_string(year) + "-" + Two(month) + "-" + Two(day) + " " + Two(minuteOfDay / 60) + ":" +
         Two(minuteOfDay % 60);
}

std::string VariantText(const VARIANT& value) {
  Variant text;
  if (value.vt == VT_NULL || value.vt == VT_EMPTY) return "";
  if (FAILED(VariantChangeType(text.Put(), &value, 0, VT_BSTR))) return "?";
  return Text(std::u16string_view(text.Raw().bstrVal, SysStringLen(text.Raw().bstrVal)));
}

// Reads a property of a record by name through its dispatch interface, as a late-binding host does.
Variant Property(IDispatch* object, const char16_t* name) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  Variant value;
  if (FAILED(object->GetIDsOfNames(GUID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return value;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  object->Invoke(id, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value.Put(), nullptr, nullptr);
  return value;
}

std::vector<ComPtr<IDispatch>> Items(_Collection* list) {
  std::vector<ComPtr<IDispatch>> items;
  if (!list) return items;
  LONG count = 0;
  list->Count(&count);
  for (LONG i = 1; i <= count; ++i) {
    Variant index = Variant::I4(i), item;
    if (FAILED(list->Item(index.Ptr(), item.Put()))) continue;
    if (item.Type() == VT_DISPATCH && item.Raw().pdispVal) items.push_back(ComPtr<IDispatch>(item.Raw().pdispVal));
  }
  return items;
}

void ShowMachines(_Collection* list) {
  const auto items = Items(list);
  std::printf("machines %zu\n", items.size());
  for (const auto& item : items)
    std::printf("  machine %s id %s port %s ip [%s]\n", VariantText(Property(item.Get(), u"MachineNo").Raw()).c_str(),
                VariantText(Property(item.Get(), u"MachineId").Raw()).c_str(),
                VariantText(Property(item.Get(), u"PortNo").Raw()).c_str(),
                VariantText(Property(item.Get(), u"IpAddress").Raw()).c_str());
}

void ShowRecords(_Collection* list) {
  const auto items = Items(list);
  std::printf("records %zu\n", items.size());
  for (const auto& item : items) {
    Variant when = Property(item.Get(), u"SwipeTime");
    std::printf("  record %s %s\n", VariantText(Property(item.Get(), u"PersonNo").Raw()).c_str(),
                when.Type() == VT_DATE ? TimeText(when.Raw().date).c_str() : "?");
  }
}

void ShowRows(RowSet* rows) {
  if (!rows) {
    std::printf("rows none\n");
    return;
  }
  rows->Update();  // The driver leaves what it read pending: committing is the host's business.
  ClearErrorInfo();
  std::vector<EnrolmentRow> read;
  LONG count = 0;
  rows->get_RecordCount(&count);
  std::printf("rows %d\n", static_cast<int>(count));
  if (count == 0 || FAILED(ReadEnrolmentRows(rows, &read))) return;
  auto number = [](const std::optional<LONG>& v) { return v ? std::to_string(*v) : std::string(); };
  for (const auto& row : read)
    std::printf("  row %s %s %s %s %s\n", number(row.personNumber).c_str(), number(row.enrolmentNumber).c_str(),
                number(row.machineNumber).c_str(), number(row.password).c_str(),
                row.fingerprint ? "present" : "null");
}

// One late-bound call with typed arguments, given in the caller's order.
struct Call {
  IDispatch* machine;
  HRESULT hr = S_OK;
  bool ok = false;
  std::string failure{};

  Call& Invoke(const char16_t* name, std::vector<Variant> arguments) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    hr = machine->GetIDsOfNames(GUID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return *this;
    std::vector<VARIANT> reversed;
    for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) reversed.push_back(it->Raw());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    Variant result;
    EXCEPINFO exception{};
    UINT argError = 0;
    hr = machine->Invoke(id, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Put(), &exception,
                         &argError);
    ok = SUCCEEDED(hr) && result.Type() == VT_BOOL && result.Raw().boolVal != VARIANT_FALSE;
    if (FAILED(hr)) failure = Text(DescribeError(hr));
    if (hr == DISP_E_EXCEPTION) failure = Text(TakeExceptionDescription(exception));
    return *this;
  }
};

Variant Boolean(bool v) { return Variant::Bool(v); }
Variant Integer(SHORT v) { return Variant::I2(v); }
Variant String(const char16_t* v) { return Variant::Str(v); }
Variant RefString(Bstr& text) {
  Variant v;
  v.Raw().vt = VT_BYREF | VT_BSTR;
  v.Raw().pbstrVal = text.Put();
  return v;
}
// An object passed by reference: the holder owns one reference, which the callee may replace.
template <class T>
struct ObjectReference {
  explicit ObjectReference(ComPtr<T>& owner) : owner_(owner), raw_(owner.Detach()) {}
  ~ObjectReference() { owner_ = ComPtr<T>::Adopt(static_cast<T*>(raw_)); }
  Variant Arg() {
    Variant v;
    v.Raw().vt = VT_BYREF | VT_DISPATCH;
    v.Raw().ppdispVal = &raw_;
    return v;
  }
  ComPtr<T>& owner_;
  IDispatch* raw_;
};
// The caller's in-out reference keeps what it points to; a by-reference variant never owns it.
void Forget(std::vector<Variant>& arguments) {
  for (auto& a : arguments)
    if (a.Type() & VT_BYREF) VariantInit(a.Put());
}

bool LateBound(IDispatch* machine) {
  Call call{machine};
  Bstr msg;
  {
    ComPtr<_Collection> col = CreateCollection();
    std::vector<Variant> args;
    ObjectReference ref(col);
    args.push_back(ref.Arg());
    for (Variant v : {Boolean(true), Integer(1), Integer(2), String(u""), String(u""), Integer(1), Integer(3)})
      args.push_back(std::move(v));
    args.push_back(RefString(msg));
    call.Invoke(u"IMachine_funcRegister", args);
    Forget(args);
    Show("funcRegister", call.ok, msg);
    ShowMachines(static_cast<_Collection*>(ref.raw_));
  }
  for (auto [port, terminal] : {std::pair<SHORT, SHORT>{1, 1}, {2, 3}}) {
    ComPtr<_Collection> cdata = CreateCollection();
    msg = Bstr(u"");
    std::vector<Variant> args;
    args.push_back(Boolean(true));
    args.push_back(String(u""));
    args.push_back(Integer(port));
    args.push_back(Integer(terminal));
    ObjectReference ref(cdata);
    args.push_back(ref.Arg());
    args.push_back(RefString(msg));
    call.Invoke(u"IMachine_DownloadCarddata", args);
    Forget(args);
    Show("DownloadCarddata " + std::to_string(port) + "/" + std::to_string(terminal), call.ok, msg);
    ShowRecords(static_cast<_Collection*>(ref.raw_));
  }
  for (const char16_t* person : {u"1002", u"1001"}) {
    const std::string who = Text(person);
    for (int step = 0; step < 2; ++step) {
      ComPtr<RowSet> rs = CreateEnrolmentRowSet();
      msg = Bstr(u"");
      std::vector<Variant> args;
      args.push_back(Boolean(true));
      args.push_back(String(u""));
      args.push_back(Integer(1));
      args.push_back(Integer(step == 0 ? 1 : 2));
      args.push_back(String(person));
      {
        ObjectReference ref(rs);
        args.push_back(ref.Arg());
        args.push_back(RefString(msg));
        call.Invoke(u"IMachine_funcBackFingure", args);
        Forget(args);
      }
      Show((step == 0 ? "funcBackFingure " : "funcBackFingure again ") + who, call.ok, msg);
      ShowRows(rs.Get());
      if (step == 1) break;
      msg = Bstr(u"");
      std::vector<Variant> write;
      write.push_back(Boolean(true));
      write.push_back(String(u""));
      write.push_back(Integer(1));
      write.push_back(Integer(2));
      write.push_back(String(person));
      write.push_back(Variant::Dispatch(rs.Get()));
      write.push_back(RefString(msg));
      call.Invoke(u"IMachine_funcReWrite", write);
      Forget(write);
      Show("funcReWrite " + who, call.ok, msg);
    }
  }
  {
    ComPtr<_Collection> col = CreateCollection();
    msg = Bstr(u"");
    std::vector<Variant> args{Boolean(true), String(u""), Integer(1), Integer(1), Variant::Dispatch(col.Get())};
    args.push_back(RefString(msg));
    call.Invoke(u"IMachine_funcWriteCard", args);
    Forget(args);
    Show("funcWriteCard", call.ok, msg);
    call.Invoke(u"IMachine_delCardData", {Boolean(true), String(u""), Integer(1), Integer(1)});
    Show("delCardData", call.ok, Bstr(u""));
  }
  {
    ComPtr<_Collection> cdata = CreateCollection();
    msg = Bstr(u"");
    std::vector<Variant> args{Boolean(true), String(u""), Integer(1), Integer(9)};
    ObjectReference ref(cdata);
    args.push_back(ref.Arg());
    args.push_back(RefString(msg));
    call.Invoke(u"IMachine_DownloadCarddata", args);
    Forget(args);
    Show("DownloadCarddata missing", call.ok, msg);
  }
  // Bad arguments: the dispatch failure codes, never a crash.
  call.Invoke(u"IMachine_delCardData", {Boolean(true), String(u""), String(u"abc"), Integer(1)});
  std::printf("bad argument %08X [%s]\n", static_cast<unsigned>(call.hr), call.failure.c_str());
  call.Invoke(u"IMachine_delCardData", {Boolean(true), String(u""), Integer(1)});
  std::printf("too few %08X\n", static_cast<unsigned>(call.hr));
  call.Invoke(u"IMachine_delCardData", {Boolean(true), String(u""), Variant::I4(70000), Integer(1)});
  std::printf("overflow %08X [%s]\n", static_cast<unsigned>(call.hr), call.failure.c_str());
  return true;
}

// The same download through the IMachine vtable.
void ThroughVtable(IDispatch* late, SHORT port, SHORT terminal, const char* label) {
  ComPtr<IMachine> machine;
  if (FAILED(late->QueryInterface(IID_IMachine, reinterpret_cast<void**>(machine.Put())))) {
    std::printf("%s: no IMachine\n", label);
    return;
  }
  ComPtr<_Collection> cdata = CreateCollection();
  Bstr msg(u"");
  VARIANT_BOOL result = VARIANT_FALSE;
  _Collection* raw = cdata.Detach();  // in-out: the driver may replace it
  HRESULT hr = machine->DownloadCarddata(VARIANT_TRUE, Bstr(u"").Get(), port, terminal, &raw, msg.Put(), &result);
  cdata = ComPtr<_Collection>::Adopt(raw);
  Show(std::string(label) + " " + std::to_string(port) + "/" + std::to_string(terminal),
       SUCCEEDED(hr) && result != VARIANT_FALSE, msg);
  ShowRecords(cdata.Get());
}

ComPtr<IDispatch> NewMachine() {
  ComPtr<IDispatch> machine;
  HRESULT hr = CreateObjectByProgId(u"VANTO.clsMachine", IID_IDispatch, reinterpret_cast<void**>(machine.Put()));
  if (FAILED(hr)) std::printf("cannot create VANTO.clsMachine: %08X %s\n", static_cast<unsigned>(hr),
                              Text(TakeErrorDescription(hr)).c_str());
  return machine;
}

// Records per second of RUNS downloads of one terminal; every run must succeed.
int DownloadRuns(SHORT port, SHORT terminal, int runs) {
  ComPtr<IDispatch> late = NewMachine();
  ComPtr<IMachine> machine;
  if (!late || FAILED(late->QueryInterface(IID_IMachine, reinterpret_cast<void**>(machine.Put())))) return 1;
  std::vector<double> rates;
  for (int run = 1; run <= runs; ++run) {
    ComPtr<_Collection> cdata = CreateCollection();
    Bstr msg(u"");
    VARIANT_BOOL result = VARIANT_FALSE;
    _Collection* raw = cdata.Detach();  // in-out: the driver may replace it
    const auto started = std::chrono::steady_clock::now();
    HRESULT hr = machine->DownloadCarddata(VARIANT_TRUE, Bstr(u"").Get(), port, terminal, &raw, msg.Put(), &result);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    cdata = ComPtr<_Collection>::Adopt(raw);
    LONG count = 0;
    if (cdata) cdata->Count(&count);
    if (FAILED(hr) || result == VARIANT_FALSE || count == 0) {
      std::printf("run %d failed: %08X [%s], %ld records\n", run, static_cast<unsigned>(hr), Text(msg.View()).c_str(),
                  static_cast<long>(count));
      return 1;
    }
    rates.push_back(count / seconds);
    std::printf("run %d: %ld records in %.3f s, %.0f records/s\n", run, static_cast<long>(count), seconds, rates.back());
  }
  std::sort(rates.begin(), rates.end());
  const double median = rates.size() % 2 ? rates[rates.size() / 2]
                                         : (rates[rates.size() / 2 - 1] + rates[rates.size() / 2]) / 2;
  std::printf("median %.0f records/s over %d runs\n", median, runs);
  return 0;
}

// A download during a download: posted work the driver's message pump runs.
int Reentry() {
  ComPtr<IDispatch> late = NewMachine();
  ComPtr<IMachine> machine;
  if (!late || FAILED(late->QueryInterface(IID_IMachine, reinterpret_cast<void**>(machine.Put())))) return 1;
  struct Answer {
    bool ran = false, ok = false;
    LONG records = 0;
    std::string message;
  };
  auto download = [&machine](SHORT terminal, Answer& answer) {
    ComPtr<_Collection> cdata = CreateCollection();
    Bstr msg(u"");
    VARIANT_BOOL result = VARIANT_FALSE;
    _Collection* raw = cdata.Detach();  // in-out: the driver may replace it
    HRESULT hr = machine->DownloadCarddata(VARIANT_TRUE, Bstr(u"").Get(), 1, terminal, &raw, msg.Put(), &result);
    cdata = ComPtr<_Collection>::Adopt(raw);
    if (cdata) cdata->Count(&answer.records);
    answer.ran = true;
    answer.ok = SUCCEEDED(hr) && result != VARIANT_FALSE;
    answer.message = Text(msg.View());
  };
  Answer outer, nested;
  bool nestedBeforeOuterEnded = false;
  PostThreadWork([&] {
    download(2, nested);
    nestedBeforeOuterEnded = !outer.ran;
  });
  download(1, outer);
  std::printf("reentry outer %s %ld records [%s]\n", Truth(outer.ok), static_cast<long>(outer.records),
              outer.message.c_str());
  std::printf("reentry nested ran %s, during the outer download %s: %s %ld records [%s]\n", Truth(nested.ran),
              Truth(nestedBeforeOuterEnded), Truth(nested.ok), static_cast<long>(nested.records),
              nested.message.c_str());
  std::printf("reentry pending %zu\n", PendingThreadWork());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--reentry") {
    CoInitialize(nullptr);
    const int status = Reentry();
    std::fflush(stdout);
    CoUninitialize();
    return status;
  }
  if (argc == 5 && std::string(argv[1]) == "--download") {
    CoInitialize(nullptr);
    const int status = DownloadRuns(static_cast<SHORT>(std::atoi(argv[2])), static_cast<SHORT>(std::atoi(argv[3])),
                                    std::max(1, std::atoi(argv[4])));
    std::fflush(stdout);
    CoUninitialize();
    return status;
  }
  const bool withThreads = argc > 1 && std::string(argv[1]) == "--threads";
  CoInitialize(nullptr);
  int status = 1;
  // Two threads first, each with its own object and apartment, on the two lines at once (each
  // thread's terminal link, and its hold on the port, ends with the thread); their answers are
  // printed after the main scenario.
  bool answers[2] = {false, false};
  {
    std::thread threads[2];
    for (int t = 0; t < 2 && withThreads; ++t)
      threads[t] = std::thread([t, &answers] {
        CoInitialize(nullptr);
        {
          ComPtr<IDispatch> own = NewMachine();
          ComPtr<IMachine> m;
          if (own && SUCCEEDED(own->QueryInterface(IID_IMachine, reinterpret_cast<void**>(m.Put())))) {
            ComPtr<_Collection> cdata = CreateCollection();
            Bstr msg(u"");
            VARIANT_BOOL result = VARIANT_FALSE;
            _Collection* raw = cdata.Detach();  // in-out: the driver may replace it
            m->DownloadCarddata(VARIANT_TRUE, Bstr(u"").Get(), t == 0 ? 1 : 2, t == 0 ? 1 : 3, &raw, msg.Put(),
                                &result);
            cdata = ComPtr<_Collection>::Adopt(raw);
            LONG count = 0;
            if (cdata) cdata->Count(&count);
            answers[t] = result != VARIANT_FALSE && count == (t == 0 ? 7 : 1);
          }
        }
        CoUninitialize();
      });
    for (auto& thread : threads)
      if (thread.joinable()) thread.join();
  }
  {
    ComPtr<IDispatch> machine = NewMachine();
    if (machine) {
      LateBound(machine.Get());
      ThroughVtable(machine.Get(), 1, 1, "vtable DownloadCarddata");
      if (withThreads) std::printf("two threads %s %s\n", Truth(answers[0]), Truth(answers[1]));
      status = 0;
    }
  }
  std::printf("done\n");
  std::fflush(stdout);
  CoUninitialize();
  return status;
}
