// Cost of the conversions on the texts the driver meets most: plain numbers and record times.
#include <benchmark/benchmark.h>

#include <string_view>

#include "platform/automation/conversions.h"
#include "platform/automation/owners.h"

namespace {

void ParseI4Text(benchmark::State& state, std::u16string_view text) {
  LONG value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ParseI4(text, &value));
    benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(ParseI4Text, plain, std::u16string_view(u"12345"));
BENCHMARK_CAPTURE(ParseI4Text, blanks_and_fraction, std::u16string_view(u"  1,234.5 "));
BENCHMARK_CAPTURE(ParseI4Text, hex, std::u16string_view(u"&H7FFF"));

void ParseDateText(benchmark::State& state, std::u16string_view text) {
  DATE value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ParseDate(text, &value));
    benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(ParseDateText, record_time, std::u16string_view(u"2026/11/6 9:5"));
BENCHMARK_CAPTURE(ParseDateText, with_seconds, std::u16string_view(u"2026/11/6 23:59:59"));

void ChangeTextToDate(benchmark::State& state) {
  Variant text = Variant::Str(u"2026/11/6 9:5");
  Variant out;
  for (auto _ : state) benchmark::DoNotOptimize(VariantChangeType(out.Ptr(), text.Ptr(), 0, VT_DATE));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ChangeTextToDate);

void DateToText(benchmark::State& state) {
  for (auto _ : state) {
    Bstr text;
    benchmark::DoNotOptimize(VarBstrFromDate(46332.378472222, LOCALE_ZH_CN, 0, text.Put()));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DateToText);

}  // namespace
