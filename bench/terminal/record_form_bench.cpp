// Today's record form against the dense one (protocol version 3) and the checked dense one
// (version 4: the dense form with a digest of each batch's content) on the realistic log of
// realistic_log.h: full downloads through DownloadCarddata over a pseudo-terminal, the simulator
// pacing the line at 115200 baud (100,000 records) and at 9600 baud (20,000 records), with the
// batch `vanto download` and `vanto sync` ask for (255). Each download is checked for its count.
// The gap timeout is 100 ms rather than 20: on a loaded shared machine the simulator's pacing
// thread can stall longer than a UART ever pauses inside a frame, and a 1.6 s answer at 9600 baud
// gives it many chances; clean exchanges take the same time either way.
// Counters: records_per_s, and wire_bytes_per_record (both directions, begin exchange included).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "bench/terminal/realistic_log.h"
#include "terminal/protocol/dense.h"
#include "terminal/protocol/messages.h"
#include "tests/e2e/e2e_fixture.h"

namespace {

using terminal::protocol::CardRecordFields;
using terminal::sim::SimulatorSite;

constexpr int kBatch = 255;
constexpr int kPlainTerminal = 2;  // protocol version 2: today's form
constexpr int kDenseTerminal = 3;  // protocol version 3: the dense form
constexpr int kCheckedTerminal = 4;  // protocol version 4: the dense form with a digest

struct Line {
  SHORT port;
  unsigned baud;
  std::size_t records;
};
constexpr Line kLines[] = {{1, 115200, 100000}, {2, 9600, 20000}};

// One site per line speed, each with a version 2, 3 and 4 terminal holding the same log.
SimulatorSite& Site(int line) {
  static SimulatorSite* sites[2] = {};
  static const bool started = [] {
    std::map<int, std::string> paths;
    const auto log = bench::RealisticLog(kLines[0].records);
    for (int i = 0; i < 2; ++i) {
      auto* site = new SimulatorSite();
      site->Options().baud = kLines[i].baud;
      site->Options().pace = true;
      std::vector<CardRecordFields> records(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(kLines[i].records));
      site->AddTerminal(kLines[i].port, kPlainTerminal).records = records;
      auto& dense = site->AddTerminal(kLines[i].port, kDenseTerminal);
      dense.version = 3;
      dense.records = records;
      auto& checked = site->AddTerminal(kLines[i].port, kCheckedTerminal);
      checked.version = 4;
      checked.records = records;
      paths[kLines[i].port] = site->Start().at(kLines[i].port);
      sites[i] = site;
    }
    std::atexit([] {
      for (SimulatorSite* s : sites) s->Stop();
    });
    e2e::RegisterClasses();
    e2e::UseSite(*sites[0], paths,
                 {{terminal::control::kSpeedVariable + std::string("_2"), "9600"},
                  {terminal::control::kBatchVariable, std::to_string(kBatch)},
                  {terminal::control::kGapVariable, "100"}});
    return true;
  }();
  (void)started;
  return *sites[line];
}

// Bytes on the line, both directions, for one download in batches of kBatch.
double WireBytesPerRecord(const std::vector<CardRecordFields>& records, int form) {
  using namespace terminal::protocol;
  const bool dense = form != 0;
  double bytes = kFrameOverhead + kFrameOverhead + (dense ? 17 : 16);  // begin request and answer
  NextRecordsRequest request{0, kBatch, 1u};
  for (;;) {
    const NextRecordsAnswer answer = dense ? PackDenseRecords(records, request, form == 2 ? kMaxPayload - kDenseDigestSize : kMaxPayload) : PackRecords(records, request);
    bytes += kFrameOverhead + Encode(request).size() + kFrameOverhead +
             (form == 2 ? EncodeCheckedDense(answer).size() : dense ? EncodeDense(answer).size() : Encode(answer).size());
    request.start += static_cast<std::uint32_t>(answer.records.size());
    if (answer.last) break;
  }
  return bytes / static_cast<double>(records.size());
}

// Arguments: line (0: 115200 baud, 1: 9600 baud), dense (0: today's form, 1: dense, 2: dense with
// a digest).
void BM_RealisticDownload(benchmark::State& state) {
  const int line = static_cast<int>(state.range(0));
  const int form = static_cast<int>(state.range(1));
  const bool dense = form != 0;
  SimulatorSite& site = Site(line);
  const Line& l = kLines[line];
  const int terminal = form == 2 ? kCheckedTerminal : dense ? kDenseTerminal : kPlainTerminal;
  state.SetLabel(std::to_string(l.baud) + " baud, " +
                 (form == 2 ? "dense with digest" : dense ? "dense" : "today's form"));
  ComPtr<IMachine> machine = CreateClsMachine();
  const std::uint64_t denseBefore = site.Stats(l.port).denseAnswers;
  const std::uint64_t checkedBefore = site.Stats(l.port).checkedAnswers;
  for (auto _ : state) {
    ComPtr<_Collection> list = CreateCollection();
    const e2e::Result result = e2e::Download(machine.Get(), l.port, static_cast<SHORT>(terminal), list.Get());
    if (!result.ok || e2e::CountOf(list.Get()) != static_cast<LONG>(l.records)) {
      state.SkipWithError(("download failed: " + result.message).c_str());
      break;
    }
  }
  if (dense != (site.Stats(l.port).denseAnswers > denseBefore) ||
      (form == 2) != (site.Stats(l.port).checkedAnswers > checkedBefore))
    state.SkipWithError("the form was not the one meant");
  state.counters["records_per_s"] = benchmark::Counter(
      static_cast<double>(l.records) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["wire_bytes_per_record"] = WireBytesPerRecord(site.Terminal(l.port, terminal)->records, form);
}
BENCHMARK(BM_RealisticDownload)
    ->ArgNames({"line", "dense"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// The dense decoder on its own: records per second decoded from realistic batches of 255.
void BM_DecodeDenseBatches(benchmark::State& state) {
  using namespace terminal::protocol;
  const auto log = bench::RealisticLog(255 * 40);
  std::vector<std::vector<std::uint8_t>> batches;
  for (std::uint32_t start = 0; start < log.size(); start += 255)
    batches.push_back(EncodeDense(PackDenseRecords(log, {start, 255, std::nullopt})));
  std::size_t decoded = 0;
  for (auto _ : state) {
    for (const auto& batch : batches) {
      auto answer = DecodeDenseRecordsAnswer(batch);
      decoded += answer->records.size();
      benchmark::DoNotOptimize(answer);
    }
  }
  state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(decoded), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeDenseBatches);

// The checked decoder on its own: the dense decoder and the digest of what it decoded.
void BM_DecodeCheckedDenseBatches(benchmark::State& state) {
  using namespace terminal::protocol;
  const auto log = bench::RealisticLog(255 * 40);
  std::vector<std::vector<std::uint8_t>> batches;
  for (std::uint32_t start = 0; start < log.size(); start += 255)
    batches.push_back(EncodeCheckedDense(PackDenseRecords(log, {start, 255, std::nullopt}, kMaxPayload - kDenseDigestSize)));
  std::size_t decoded = 0;
  for (auto _ : state) {
    for (const auto& batch : batches) {
      auto answer = DecodeCheckedDenseAnswer(batch);
      decoded += answer->records.size();
      benchmark::DoNotOptimize(answer);
    }
  }
  state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(decoded), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeCheckedDenseBatches);

}  // namespace
