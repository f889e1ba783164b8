// Swipes per second the feed serves to one consumer over HTTP (GET /api/v1/swipes/feed, pages of
// 1,000, a bearer token, JSON), from SQLite and from PostgreSQL: the consumer pages from the start
// through 100,000 stored swipes, keeping the cursor after each page.
// PostgreSQL: the server in VANTO_BENCH_PG_URL (else VANTO_TEST_PG_URL), e.g. the socket of a
// cluster from scripts/pg-cluster.sh; a database of its own is created and dropped.
// Run: build/bench/api/feed_bench (medians of 5 repetitions, by the wall clock).
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "host/db/openers.h"
#include "accounts/api_tokens.h"
#include "bench/bench_server.h"
#include "host/db/swipe_store.h"
#include "web/api.h"

namespace {

constexpr int kSwipes = 100000;

using vanto::bench::Admin;
using vanto::bench::ServerUrl;
using vanto::bench::WithDatabase;

void ServeFeed(benchmark::State& state, const std::string& location) {
  vanto::bench::FillSwipes(location, kSwipes);
  vanto::accounts::Tokens tokens(vanto::store::OpenTokenStore(location, std::chrono::seconds(10)),
                                 vanto::accounts::RateLimit{1000000});
  std::string secret = tokens.Add({"bench", "bench"}, "bench", {"swipes:read"});
  vanto::web::ApiOptions options;
  options.database = location;
  vanto::web::ApiServer api(options, tokens);
  httplib::Server server;
  vanto::web::MountApi(server, api);
  int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       !server.is_running() && std::chrono::steady_clock::now() < until;)
    std::this_thread::yield();
  httplib::Client client("127.0.0.1", port);
  client.set_bearer_token_auth(secret);
  client.set_read_timeout(std::chrono::seconds(60));
  std::int64_t served = 0;
  for (auto _ : state) {
    std::string cursor;
    int seen = 0;
    for (;;) {
      auto res = client.Get("/api/v1/swipes/feed", httplib::Params{{"after", cursor}, {"limit", "1000"}},
                            httplib::Headers{});
      if (!res || res->status != 200) {
        state.SkipWithError("the feed did not answer 200");
        break;
      }
      nlohmann::json page = nlohmann::json::parse(res->body);
      std::size_t n = page["swipes"].size();
      if (n == 0) break;
      seen += static_cast<int>(n);
      cursor = page["next"];
    }
    if (seen != kSwipes) state.SkipWithError("the feed did not serve every swipe once");
    served += seen;
  }
  state.SetItemsProcessed(served);
  server.stop();
  serving.join();
}

void BM_FeedSqlite(benchmark::State& state) {
  char pattern[] = "/tmp/vanto-feed-bench-XXXXXX";
  std::filesystem::path folder = mkdtemp(pattern);
  ServeFeed(state, (folder / "feed.sqlite").string());
  std::filesystem::remove_all(folder);
}

void BM_FeedPostgres(benchmark::State& state) {
  std::optional<std::string> url = ServerUrl();
  if (!url) {
    state.SkipWithError("no PostgreSQL server: set VANTO_BENCH_PG_URL or VANTO_TEST_PG_URL");
    return;
  }
  std::string name = "vanto_feed_bench_" + std::to_string(::getpid());
  if (!Admin(WithDatabase(*url, "postgres"), "CREATE DATABASE " + name)) {
    state.SkipWithError("cannot create the benchmark's database");
    return;
  }
  ServeFeed(state, WithDatabase(*url, name));
  Admin(WithDatabase(*url, "postgres"), "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

BENCHMARK(BM_FeedSqlite)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true)->Iterations(3);
BENCHMARK(BM_FeedPostgres)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
