// `vanto sync` of a site of 4 ports x 3 terminals x 20,000 records (VANTO_BENCH_RECORDS to
// change) at 115200 baud over the simulator's pseudo-terminals, paced at the line's speed. The
// sync runs as its own process, so its peak resident memory is its own. Prints the medians, the
// ratio of the full sync to the slowest port synced alone (the goal: at most 1.3) and the peak
// resident memory of every sync (the goal: under 32 MiB). Then one `vanto download` of a terminal
// holding 20,000 and one holding 100,000 records, unpaced (memory, not time, is measured): the
// peak resident memory of each (the goal: flat within 20 %, under 32 MiB).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "terminal/sim/simulator.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr int kPorts = 4, kTerminals = 3;

int Records() {
  const char* text = std::getenv("VANTO_BENCH_RECORDS");
  return text && std::atoi(text) > 0 ? std::atoi(text) : 20000;
}

struct Site {
  fs::path folder;
  terminal::sim::SimulatorSite sim;
  std::map<int, std::string> paths;

  Site() {
    char pattern[] = "/tmp/vanto-bench-site-XXXXXX";
    folder = mkdtemp(pattern);
    setenv("VANTO_REGISTRY", (folder / "registry").c_str(), 1);
    sim.Options().linkDir = (folder / "ports").string();
    fs::create_directories(sim.Options().linkDir);
    sim.Options().pace = true;  // the line's speed, 115200 baud
    const int records = Records();
    for (int port = 1; port <= kPorts; ++port)
      for (int terminal = 1; terminal <= kTerminals; ++terminal) {
        auto& t = sim.AddTerminal(port, terminal);
        t.records.reserve(static_cast<std::size_t>(records));
        for (int i = 0; i < records; ++i)
          t.records.push_back({100 + (i * 7 + terminal) % 500, 2026, 1 + (i / 40000) % 12, 1 + (i / 1440) % 28,
                               (i / 60) % 24, i % 60});
      }
    paths = sim.Start();
  }
  ~Site() {
    sim.Stop();
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
  // A site file of the given ports.
  std::string SiteFile(const std::vector<int>& ports) {
    std::string name = "site";
    for (int p : ports) name += "-" + std::to_string(p);
    const fs::path path = folder / (name + ".toml");
    std::ofstream out(path);
    out << "[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\n";
    for (int p : ports)
      out << "\n[[port]]\nnumber = " << p << "\ndevice = \"" << paths.at(p) << "\"\nterminals = [1, 2, 3]\n";
    return path.string();
  }
};

Site& TheSite() {
  static Site site;
  return site;
}

struct Run {
  double seconds = 0;
  long max_rss_kib = 0;
  int status = -1;
};

// Runs `vanto` with `args` into a new database (after "--db") and removes the database after.
Run Vanto(std::vector<std::string> args) {
  static int count = 0;
  const std::string db = (TheSite().folder / ("run-" + std::to_string(++count) + ".db")).string();
  args.insert(args.begin(), VANTO_EXE);
  args.insert(args.end(), {"--db", db, "--quiet"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const auto started = std::chrono::steady_clock::now();
  pid_t child = 0;
  Run run;
  if (posix_spawn(&child, VANTO_EXE, &actions, nullptr, argv.data(), environ) != 0) return run;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.max_rss_kib = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db + suffix, ec);
  return run;
}

// One `vanto sync` into a new database.
Run Sync(const std::string& site_file) { return Vanto({"sync", "--site", site_file}); }

// A terminal of its own holding `records`, on an unpaced line: one `vanto download` of it.
long DownloadPeakKib(int records) {
  terminal::sim::SimulatorSite sim;
  const fs::path folder = TheSite().folder / ("download-" + std::to_string(records));
  sim.Options().linkDir = (folder / "ports").string();
  fs::create_directories(sim.Options().linkDir);
  sim.Options().pace = false;
  auto& t = sim.AddTerminal(1, 1);
  t.records.reserve(static_cast<std::size_t>(records));
  for (int i = 0; i < records; ++i)
    t.records.push_back({100 + (i * 7) % 500, 2026, 1 + (i / 40000) % 12, 1 + (i / 1440) % 28, (i / 60) % 24, i % 60});
  const auto paths = sim.Start();
  const fs::path site = folder / "site.toml";
  std::ofstream(site) << "[line]\nanswer_timeout_ms = 2000\n\n[[port]]\nnumber = 1\ndevice = \"" << paths.at(1)
                      << "\"\nterminals = [1]\n";
  const Run run = Vanto({"download", "--site", site.string(), "--port", "1", "--terminal", "1"});
  sim.Stop();
  return run.status == 0 ? run.max_rss_kib : -1;
}

std::map<int, long> download_peak_kib;

void BM_DownloadMemory(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  for (auto _ : state) {
    const long kib = DownloadPeakKib(records);
    if (kib < 0) state.SkipWithError("vanto download failed");
    download_peak_kib[records] = std::max(download_peak_kib[records], kib);
    state.counters["rss_MiB"] = static_cast<double>(kib) / 1024.0;
  }
}

std::vector<double> full_times, slowest_times;
long peak_rss_kib = 0;

void BM_FullSync(benchmark::State& state) {
  const std::string site = TheSite().SiteFile({1, 2, 3, 4});
  for (auto _ : state) {
    Run run = Sync(site);
    if (run.status != 0) state.SkipWithError("vanto sync failed");
    state.SetIterationTime(run.seconds);
    full_times.push_back(run.seconds);
    peak_rss_kib = std::max(peak_rss_kib, run.max_rss_kib);
    state.counters["rss_MiB"] = static_cast<double>(run.max_rss_kib) / 1024.0;
  }
  state.counters["records"] = kPorts * kTerminals * Records();
}

// Each port synced alone; the iteration's time is the slowest port's.
void BM_SlowestPortAlone(benchmark::State& state) {
  for (auto _ : state) {
    double slowest = 0;
    for (int port = 1; port <= kPorts; ++port) {
      Run run = Sync(TheSite().SiteFile({port}));
      if (run.status != 0) state.SkipWithError("vanto sync of one port failed");
      slowest = std::max(slowest, run.seconds);
      peak_rss_kib = std::max(peak_rss_kib, run.max_rss_kib);
    }
    state.SetIterationTime(slowest);
    slowest_times.push_back(slowest);
  }
}

BENCHMARK(BM_FullSync)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_SlowestPortAlone)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_DownloadMemory)->Arg(20000)->Arg(100000)->Unit(benchmark::kSecond)->Iterations(1);

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double full = Median(full_times), slowest = Median(slowest_times);
  std::printf("\nsite: %d ports x %d terminals x %d records at 115200 baud\n", kPorts, kTerminals, Records());
  std::printf("median full sync: %.2f s; median slowest port alone: %.2f s; ratio %.3f (goal <= 1.3)\n", full,
              slowest, slowest > 0 ? full / slowest : 0.0);
  std::printf("peak resident memory of a sync: %.1f MiB (goal < 32 MiB)\n", static_cast<double>(peak_rss_kib) / 1024.0);
  if (download_peak_kib.count(20000) && download_peak_kib.count(100000)) {
    const double small = static_cast<double>(download_peak_kib[20000]) / 1024.0;
    const double large = static_cast<double>(download_peak_kib[100000]) / 1024.0;
    std::printf("peak resident memory of one download: %.1f MiB (20,000 records), %.1f MiB (100,000); growth %.1f %% "
                "(goal: within 20 %%, under 32 MiB)\n",
                small, large, small > 0 ? (large / small - 1) * 100 : 0.0);
  }
  return 0;
}
