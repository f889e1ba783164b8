// Records per second through DownloadCarddata against an in-memory control that delivers
// 1,000,000 records (no I/O): every record a new CardRecord appended to the caller's list.
#include <benchmark/benchmark.h>

#include "driver/clsMachine.h"
#include "driver/identifiers.h"
#include "platform/automation/collection.h"
#include "platform/automation/object.h"
#include "platform/automation/runtime.h"
#include "platform/corvel/corvel.h"

namespace {
constexpr long kRecords = 1'000'000;
inline constexpr CLSID CLSID_BenchControl{0x0B1D7E41, 0x2C6A, 0x4F13, {0x9E, 0x21, 0x6A, 0x44, 0x10, 0x7C, 0x5B, 0x02}};

// Delivers `remaining` records, each through the by-reference arguments of member 25.
class InMemoryControl final : public DispatchObject<IDispatch> {
 public:
  static long remaining;

  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    bool answer = false;
    if (member == 7) {
      answer = true;
    } else if (member == 25 && params->cArgs == 10 && remaining > 0) {
      VARIANTARG* a = params->rgvarg;  // reverse order: a[9] is the first argument
      long n = remaining--;
      *a[7].plVal = static_cast<LONG>(n);           // person
      *a[4].plVal = 2026;                            // year
      *a[3].plVal = static_cast<LONG>(1 + n % 12);   // month
      *a[2].plVal = static_cast<LONG>(1 + n % 28);   // day
      *a[1].plVal = static_cast<LONG>(n % 24);       // hour
      *a[0].plVal = static_cast<LONG>(n % 60);       // minute
      answer = true;
    }
    if (result) {
      result->vt = VT_BOOL;
      result->boolVal = answer ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return S_OK;
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch; }
};
long InMemoryControl::remaining = 0;

class ControlFactory final : public ComObject<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** object) override {
    ComPtr<IDispatch> control = ComPtr<IDispatch>::Adopt(new InMemoryControl());
    return control->QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IClassFactory; }
};

void BM_DownloadCarddata(benchmark::State& state) {
  RegisterCorvelClasses();
  ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Adopt(new ControlFactory());
  RegisterInProcessClass(CLSID_BenchControl, kProgIdTerminalControl, factory.Get());
  ComPtr<IMachine> machine = CreateClsMachine();
  for (auto _ : state) {
    state.PauseTiming();
    ComPtr<_Collection> list = CreateCollection();
    InMemoryControl::remaining = kRecords;
    state.ResumeTiming();

    _Collection* raw = list.Get();
    BSTR msg = nullptr;
    VARIANT_BOOL result = VARIANT_FALSE;
    machine->DownloadCarddata(VARIANT_TRUE, nullptr, 1, 1, &raw, &msg, &result);

    state.PauseTiming();
    LONG count = 0;
    list->Count(&count);
    SysFreeString(msg);
    if (result != VARIANT_TRUE || count != kRecords) state.SkipWithError("download did not deliver every record");
    list.Reset();  // freeing a million records is the host's cost, not the download's
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_DownloadCarddata)
    ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7)->UseRealTime()->ReportAggregatesOnly(true);
}  // namespace
