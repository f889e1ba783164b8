// The attendance rules over a month of a large site (bench/attendance/march_month.h: 1,000 people,
// 1,000,000 swipes in March 2026, Europe/Berlin). The goal for a month read and judged is 1 s
// (attendance_store_bench measures that on both engines), so JudgeDays should take a small part
// of it. Medians of repeated runs.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/attendance/march_month.h"
#include "host/attendance/rules.h"

namespace {

using namespace vanto::attendance;

const MonthInput& Month() { return vanto::bench::MarchMonth(); }

void BM_JudgeMonth(benchmark::State& state) {
  const MonthInput& in = Month();
  std::vector<DayResult> judged;
  for (auto _ : state) {
    judged = JudgeDays(in);
    benchmark::DoNotOptimize(judged.data());
  }
  state.counters["person_days"] = static_cast<double>(judged.size());
  // How the days came out, to show the month is a realistic one.
  for (const DayResult& day : judged) state.counters[StatusWord(day.status)] += 1;
  state.counters["swipes"] = static_cast<double>(in.swipes.size());
}
BENCHMARK(BM_JudgeMonth)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7)->ReportAggregatesOnly(true);

}  // namespace
