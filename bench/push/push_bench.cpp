// Swipes per second pushed to a local receiver in our JSON format (requests of 1,000, signed),
// from SQLite and from PostgreSQL: each repetition is a new endpoint that starts at the first of
// 100,000 stored swipes and is drained once; the receiver parses every body and counts the keys.
// PostgreSQL: the server in VANTO_BENCH_PG_URL (else VANTO_TEST_PG_URL); a database of its own is
// created and dropped. The receiver sends its answers at once (TCP_NODELAY), as a receiver meant
// for volume should: with Nagle's delay on its side every request waits for a delayed ACK.
// Run: build/bench/push/push_bench (medians of 5 repetitions, wall clock).
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "bench/bench_server.h"
#include "host/db/database.h"
#include "host/push/push.h"
#include "host/db/swipe_store.h"

namespace {

constexpr int kSwipes = 100000;

using vanto::bench::Admin;
using vanto::bench::ServerUrl;
using vanto::bench::WithDatabase;

void Push(benchmark::State& state, const std::string& location, const std::filesystem::path& folder) {
  vanto::bench::FillSwipes(location, kSwipes);
  const std::string secret = (folder / "secret").string();
  std::ofstream(secret) << "bench-secret\n";
  ::chmod(secret.c_str(), 0600);
  std::atomic<std::int64_t> received{0};
  httplib::Server server;
  server.set_tcp_nodelay(true);
  server.Post("/hook", [&](const httplib::Request& request, httplib::Response& response) {
    const std::size_t sent = nlohmann::json::parse(request.body)["swipes"].size();
    received += static_cast<std::int64_t>(sent);
    response.set_content("{\"received\":" + std::to_string(sent) + "}", "application/json");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  std::int64_t pushed = 0;
  int round = 0;
  // The process's one handle, as vanto push and vanto serve's drain have it.
  const auto database = vanto::db::Database::Open(location);
  for (auto _ : state) {
    vanto::site::SitePush e;
    e.name = "bench" + std::to_string(++round);
    e.url = "http://127.0.0.1:" + std::to_string(port) + "/hook";
    e.secret_file = secret;
    e.from = "2026-12-08";
    vanto::push::PushOptions options;
    options.database = database;
    options.endpoints = {e};
    const auto result = vanto::push::Drain(options);
    if (result.endpoints.at(0).sent != kSwipes) state.SkipWithError("the drain did not deliver every swipe");
    pushed += result.endpoints.at(0).sent;
  }
  if (received.load() != pushed) state.SkipWithError("the receiver did not get every swipe");
  state.SetItemsProcessed(pushed);
  server.stop();
  serving.join();
}

void BM_PushSqlite(benchmark::State& state) {
  char pattern[] = "/tmp/vanto-push-bench-XXXXXX";
  std::filesystem::path folder = mkdtemp(pattern);
  Push(state, (folder / "push.sqlite").string(), folder);
  std::filesystem::remove_all(folder);
}

void BM_PushPostgres(benchmark::State& state) {
  std::optional<std::string> url = ServerUrl();
  if (!url) {
    state.SkipWithError("no PostgreSQL server: set VANTO_BENCH_PG_URL or VANTO_TEST_PG_URL");
    return;
  }
  char pattern[] = "/tmp/vanto-push-bench-XXXXXX";
  std::filesystem::path folder = mkdtemp(pattern);
  std::string name = "vanto_push_bench_" + std::to_string(::getpid());
  if (!Admin(WithDatabase(*url, "postgres"), "CREATE DATABASE " + name)) {
    state.SkipWithError("cannot create the benchmark's database");
    return;
  }
  Push(state, WithDatabase(*url, name), folder);
  Admin(WithDatabase(*url, "postgres"), "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
  std::filesystem::remove_all(folder);
}

BENCHMARK(BM_PushSqlite)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true)->Iterations(2);
BENCHMARK(BM_PushPostgres)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
