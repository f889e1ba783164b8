// The terminal chain at an emulated 115200 baud 8N1 with the control's default settings:
// download throughput through DownloadCarddata, a scan of terminal numbers 1..255 through
// funcRegister, and the frame parser on its own.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <sstream>

#include "terminal/protocol/frame_parser.h"
#include "terminal/protocol/messages.h"
#include "tests/e2e/e2e_fixture.h"

namespace {

using terminal::protocol::CardRecordFields;
using terminal::sim::SimulatorSite;

constexpr int kRecords = 10000;
constexpr int kDownloadTerminal = 1;

// One site for the whole run: port 1 holds terminals 1 (10,000 records), 77 and 150.
SimulatorSite& Site() {
  static SimulatorSite* site = [] {
    auto* s = new SimulatorSite();
    s->Options().baud = 115200;
    s->Options().pace = true;
    std::istringstream seed("port 1\nterminal 1\nrecords " + std::to_string(kRecords) +
                            " 1001 800 2026 11 6 8 0\nterminal 77\nterminal 150\n");
    s->LoadSeed(seed);
    s->Start();
    std::atexit([] { Site().Stop(); });
    e2e::RegisterClasses();
    e2e::UseSite(*s);  // every timing setting at its default
    return s;
  }();
  return *site;
}

// Bytes on the line, both directions, for one download with the default batch of 100.
double WireBytesPerRecord(const std::vector<CardRecordFields>& records) {
  using namespace terminal::protocol;
  double bytes = kFrameOverhead + (kFrameOverhead + 4);  // begin request and answer
  NextRecordsRequest request{0, 100, {}};
  for (;;) {
    const NextRecordsAnswer answer = PackRecords(records, request);
    bytes += kFrameOverhead + 5 + kFrameOverhead + Encode(answer).size();
    request.start += static_cast<std::uint32_t>(answer.records.size());
    if (answer.last) break;
  }
  return bytes / static_cast<double>(records.size());
}

void BM_DownloadCarddata(benchmark::State& state) {
  SimulatorSite& site = Site();
  ComPtr<IMachine> machine = CreateClsMachine();
  for (auto _ : state) {
    ComPtr<_Collection> list = CreateCollection();
    const e2e::Result result = e2e::Download(machine.Get(), 1, kDownloadTerminal, list.Get());
    if (!result.ok || e2e::CountOf(list.Get()) != kRecords) {
      state.SkipWithError(("download failed: " + result.message).c_str());
      break;
    }
  }
  state.counters["records_per_s"] =
      benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["wire_bytes_per_record"] = WireBytesPerRecord(site.Terminal(1, kDownloadTerminal)->records);
}
BENCHMARK(BM_DownloadCarddata)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);

void BM_ScanTerminals1To255(benchmark::State& state) {
  Site();
  ComPtr<IMachine> machine = CreateClsMachine();
  for (auto _ : state) {
    ComPtr<_Collection> found;
    const e2e::Result result = e2e::Register(machine.Get(), found, 1, 1, 1, 255);
    if (!result.ok || e2e::CountOf(found.Get()) != 3) {
      state.SkipWithError(("scan did not find the three terminals: " + result.message).c_str());
      break;
    }
  }
}
BENCHMARK(BM_ScanTerminals1To255)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);

void BM_ParseRecordBatches(benchmark::State& state) {
  using namespace terminal::protocol;
  std::vector<CardRecordFields> records;
  for (int i = 0; i < 100; ++i) records.push_back({1000 + i, 2026, 11, 6, 9, i % 60});
  const auto line = EncodeFrame({1, AnswerTo(Command::kNextRecords), 1, Encode(PackRecords(records, {0, 100, {}}))});
  std::size_t decoded = 0;
  for (auto _ : state) {
    FrameParser parser;
    parser.Feed(line);
    auto frame = parser.Next();
    auto answer = DecodeNextRecordsAnswer(frame->payload);
    decoded += answer->records.size();
    benchmark::DoNotOptimize(answer);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(line.size() * state.iterations()));
  state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(decoded), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseRecordBatches);

}  // namespace
