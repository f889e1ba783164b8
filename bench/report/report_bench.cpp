// The host's listings over a large SQLite store: a month's attendance report over 1,000,000
// stored swipes (goal: at most 2 s), the same report with every day judged by the attendance
// rules (printed beside it: what the statuses add), a week of it judged, and all 1,000,000 swipes exported as CSV (goal: at most 3 s
// with resident memory under 64 MiB). Medians of repeated runs; the export's peak resident
// memory is measured from a reset high-water mark (/proc/self/clear_refs) and printed.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "host/attendance_data.h"
#include "host/db/database.h"
#include "host/judged_report.h"
#include "host/db/swipe_store.h"
#include "host/db/openers.h"
#include "present/report/date_options.h"
#include "present/swipe_export.h"

namespace fs = std::filesystem;
using namespace vanto;

namespace {

constexpr std::int64_t kSwipes = 1'000'000;

long StatusKib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
  return -1;
}

void ResetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

// 1,000,000 swipes in March 2026: people 1..N, eight swipes a working day each, plus night
// shifts, spread over four terminals; built once for every benchmark of the run.
class BigStore {
 public:
  static BigStore& Get() {
    static BigStore instance;
    return instance;
  }
  store::SwipeStore& store() { return *store_; }
  // The database handle over the same file (the judged report borrows from it).
  db::Database& database() {
    if (!db_) db_ = db::Database::Open((folder_ / "bench.db").string());
    return *db_;
  }
  ~BigStore() {
    db_.reset();
    store_.reset();
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

 private:
  BigStore() {
    char pattern[] = "/tmp/vanto-report-bench-XXXXXX";
    folder_ = mkdtemp(pattern);
    store_ = store::OpenSwipeStore((folder_ / "bench.db").string());
    std::vector<store::StoredSwipe> batch;
    std::int64_t made = 0;
    const int people = static_cast<int>(kSwipes / (31 * 8)) + 1;
    for (int day = 1; day <= 31 && made < kSwipes; ++day)
      for (int person = 1; person <= people && made < kSwipes; ++person)
        for (int k = 0; k < 8 && made < kSwipes; ++k, ++made) {
          int minute = 6 * 60 + (person % 120) + k * 97;  // 06:00 .. about 19:30
          char time[32], at[32];
          std::snprintf(time, sizeof time, "2026-03-%02d %02d:%02d:%02d", day, minute / 60, minute % 60, k * 7 % 60);
          std::snprintf(at, sizeof at, "2026-03-%02d %02d:%02d", day, minute / 60, minute % 60);
          batch.push_back({1 + person % 2, 1 + person % 4, person, at, 1, time, "2026-04-01T00:00:00Z", {}, {}, {}});
          if (batch.size() == 10000) {
            store_->Insert(batch);
            batch.clear();
          }
        }
    if (!batch.empty()) store_->Insert(batch);
    std::vector<store::PersonName> names;
    for (int person = 1; person <= people; person += 2)
      names.push_back({person, "Person " + std::to_string(person), "Dept " + std::to_string(person % 7)});
    store_->PutPeople(names);
  }
  fs::path folder_;
  std::unique_ptr<store::SwipeStore> store_;
  std::shared_ptr<db::Database> db_;
};

void BM_MonthReport(benchmark::State& state) {
  store::SwipeStore& s = BigStore::Get().store();
  std::size_t days = 0;
  for (auto _ : state) {
    report::Report r = host::BuildReport(s, report::ParseMonth("2026-03"), 0);
    days = r.day_count();
    benchmark::DoNotOptimize(days);
  }
  state.counters["person_days"] = static_cast<double>(days);
  state.counters["swipes"] = static_cast<double>(kSwipes);
}
BENCHMARK(BM_MonthReport)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);

// The same month judged: one JudgeRange for the site (every person by the simple rule, no
// terminals to wait for), then merged into the report.
void BM_JudgedMonthReport(benchmark::State& state) {
  db::Database& db = BigStore::Get().database();
  const host::SiteChoice site;
  const host::AttendanceSite at{db, site, nullptr, {"bench", "bench"},
                                std::chrono::sys_days(std::chrono::year{2026} / 4 / 10)};
  std::size_t judged = 0;
  for (auto _ : state) {
    report::Report r = host::BuildJudgedReport(at, report::ParseMonth("2026-03"), 0, std::nullopt);
    judged = 0;
    for (const report::PersonReport& p : r.people) judged += p.judged.size();
    benchmark::DoNotOptimize(judged);
  }
  state.counters["judged_days"] = static_cast<double>(judged);
}
BENCHMARK(BM_JudgedMonthReport)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);

// A week inside the month judged: the rules need only the week's days (and the few before it).
void BM_JudgedWeekReport(benchmark::State& state) {
  db::Database& db = BigStore::Get().database();
  const host::SiteChoice site;
  const host::AttendanceSite at{db, site, nullptr, {"bench", "bench"},
                                std::chrono::sys_days(std::chrono::year{2026} / 4 / 10)};
  std::size_t judged = 0;
  for (auto _ : state) {
    report::Report r = host::BuildJudgedReport(at, {{2026, 3, 9}, {2026, 3, 15}}, 0, std::nullopt);
    judged = 0;
    for (const report::PersonReport& p : r.people) judged += p.judged.size();
    benchmark::DoNotOptimize(judged);
  }
  state.counters["judged_days"] = static_cast<double>(judged);
}
BENCHMARK(BM_JudgedWeekReport)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ExportCsv(benchmark::State& state) {
  store::SwipeStore& s = BigStore::Get().store();
  std::ofstream sink("/dev/null");
  long baseline = StatusKib("VmRSS:");
  ResetPeakRss();
  std::size_t rows = 0;
  for (auto _ : state) {
    rows = host::ExportSwipes(s, {}, report::Format::Csv, sink);
    benchmark::DoNotOptimize(rows);
  }
  long peak = StatusKib("VmHWM:");
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["peak_rss_MiB"] = peak / 1024.0;
  state.counters["rss_growth_MiB"] = (peak - baseline) / 1024.0;
}
BENCHMARK(BM_ExportCsv)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
