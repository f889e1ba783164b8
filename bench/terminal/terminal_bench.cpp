// The terminal chain at an emulated 115200 baud 8N1 with the control's default settings:
// download throughput through DownloadCarddata over a pseudo-terminal and over loopback TCP (the
// simulator paces the line either way, so both should reach the same records per second), a
// scan of terminal numbers 1..255 through funcRegister, the frame parser on its own, and how
// fast the simulator stops and a hang-up ends a download.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "terminal/protocol/frame_parser.h"
#include "terminal/protocol/messages.h"
#include "tests/e2e/e2e_fixture.h"

namespace {

using terminal::protocol::CardRecordFields;
using terminal::sim::SimulatorSite;

constexpr int kRecords = 10000;
constexpr int kDownloadTerminal = 1;

constexpr SHORT kPtyPort = 1;
constexpr SHORT kTcpPort = 2;

// One pair of sites for the whole run, the same terminals on each: port 1 on a pseudo-terminal,
// port 2 on loopback TCP; each holds terminals 1 (10,000 records), 77 and 150.
SimulatorSite& Site(e2e::Transport transport = e2e::Transport::kPty) {
  static SimulatorSite* sites[2] = {};
  static const bool started = [] {
    std::map<int, std::string> paths;
    for (const e2e::Transport t : {e2e::Transport::kPty, e2e::Transport::kTcp}) {
      const int port = t == e2e::Transport::kPty ? kPtyPort : kTcpPort;
      auto* s = new SimulatorSite();
      s->Options().baud = 115200;
      s->Options().pace = true;
      s->Options().tcp = t == e2e::Transport::kTcp;
      std::istringstream seed("port " + std::to_string(port) + "\nterminal 1\nrecords " + std::to_string(kRecords) +
                              " 1001 800 2026 11 6 8 0\nterminal 77\nterminal 150\n");
      s->LoadSeed(seed);
      paths[port] = s->Start().at(port);
      sites[static_cast<int>(t)] = s;
    }
    std::atexit([] {
      for (SimulatorSite* s : sites) s->Stop();
    });
    e2e::RegisterClasses();
    e2e::UseSite(*sites[0], paths);  // every timing setting at its default
    return true;
  }();
  (void)started;
  return *sites[static_cast<int>(transport)];
}

// Bytes on the line, both directions, for one download with the default batch of 100.
double WireBytesPerRecord(const std::vector<CardRecordFields>& records) {
  using namespace terminal::protocol;
  double bytes = kFrameOverhead + (kFrameOverhead + 4);  // begin request and answer
  NextRecordsRequest request{0, 100};
  for (;;) {
    const NextRecordsAnswer answer = PackRecords(records, request);
    bytes += kFrameOverhead + 5 + kFrameOverhead + Encode(answer).size();
    request.start += static_cast<std::uint32_t>(answer.records.size());
    if (answer.last) break;
  }
  return bytes / static_cast<double>(records.size());
}

// A 10,000-record download; argument 0: over a pseudo-terminal, 1: over loopback TCP.
void BM_DownloadCarddata(benchmark::State& state) {
  const auto transport = state.range(0) ? e2e::Transport::kTcp : e2e::Transport::kPty;
  const SHORT port = transport == e2e::Transport::kTcp ? kTcpPort : kPtyPort;
  SimulatorSite& site = Site(transport);
  state.SetLabel(e2e::TransportName(transport));
  ComPtr<IMachine> machine = CreateClsMachine();
  for (auto _ : state) {
    ComPtr<_Collection> list = CreateCollection();
    const e2e::Result result = e2e::Download(machine.Get(), port, kDownloadTerminal, list.Get());
    if (!result.ok || e2e::CountOf(list.Get()) != kRecords) {
      state.SkipWithError(("download failed: " + result.message).c_str());
      break;
    }
  }
  state.counters["records_per_s"] =
      benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["wire_bytes_per_record"] =
      WireBytesPerRecord(site.Terminal(port, kDownloadTerminal)->records);
}
BENCHMARK(BM_DownloadCarddata)
    ->ArgName("tcp")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_ScanTerminals1To255(benchmark::State& state) {
  Site();
  ComPtr<IMachine> machine = CreateClsMachine();
  for (auto _ : state) {
    ComPtr<_Collection> found;
    const e2e::Result result = e2e::Register(machine.Get(), found, kPtyPort, kPtyPort, 1, 255);
    if (!result.ok || e2e::CountOf(found.Get()) != 3) {
      state.SkipWithError(("scan did not find the three terminals: " + result.message).c_str());
      break;
    }
  }
}
BENCHMARK(BM_ScanTerminals1To255)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// How long Stop takes with a line open on each port (argument: 1 for TCP).
void BM_SimulatorStop(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    SimulatorSite site;
    site.Options().tcp = state.range(0) != 0;
    site.AddTerminal(1, 1);
    site.AddTerminal(2, 1);
    site.Start();
    state.ResumeTiming();
    site.Stop();
  }
}
BENCHMARK(BM_SimulatorStop)->ArgName("tcp")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// From the start of a download to its failure when the line hangs up after ten answers, with
// the default settings (argument: 1 for TCP).
void BM_DownloadFailsOnHangUp(benchmark::State& state) {
  Site();  // classes registered
  for (auto _ : state) {
    state.PauseTiming();
    SimulatorSite site;
    site.Options().tcp = state.range(0) != 0;
    std::istringstream seed("port 9\nterminal 1\nrecords 5000 1 100 2026 1 1 0 0\n");
    site.LoadSeed(seed);
    terminal::sim::FaultPlan plan;
    plan.hangUpAfterAnswers = 10;
    site.SetFaults(9, plan);
    const std::string path = site.Start().at(9);
    ::setenv(terminal::control::PortVariable(9).c_str(), path.c_str(), 1);
    e2e::Result result;
    state.ResumeTiming();
    e2e::OnFreshThread([&] {  // a fresh control that reads the port's setting
      ComPtr<IMachine> machine = CreateClsMachine();
      ComPtr<_Collection> list = CreateCollection();
      result = e2e::Download(machine.Get(), 9, 1, list.Get());
    });
    state.PauseTiming();
    if (result.ok) state.SkipWithError("the download did not fail");
    site.Stop();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_DownloadFailsOnHangUp)
    ->ArgName("tcp")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_ParseRecordBatches(benchmark::State& state) {
  using namespace terminal::protocol;
  std::vector<CardRecordFields> records;
  for (int i = 0; i < 100; ++i) records.push_back({1000 + i, 2026, 11, 6, 9, i % 60});
  const auto line = EncodeFrame({1, AnswerTo(Command::kNextRecords), 1, Encode(PackRecords(records, {0, 100}))});
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
