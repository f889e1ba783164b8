// The console under load: `vanto serve` (a child process, so its peak resident memory is its own)
// over a database of 1,000,000 stored swipes, with a site file so the dashboard has ports, and one
// signed-in user; 50 concurrent clients (one thread and one keep-alive connection each) request the
// dashboard and a filtered swipes page (one person over one month) in turn, a fixed number of
// times each. Prints, per page, the median and 99th percentile latency, the requests per second
// and the server's peak resident memory (VmHWM), with the machine's load before and after.
//
// Then the doors: one client's dashboard median and a sign-in, first alone, then while 200 other
// clients keep asking for the progress stream and 100 send a request's headers one byte a second
// (each from a loopback address of its own, reconnecting whenever the server closes it); and an
// open loop of 300 requests a second at random intervals, alone and while they are held.
//
// Run: build-rel/bench/web/console_bench [--swipes N] [--clients N] [--requests N] [--vanto PATH]
// [--database FILE] (an SQLite file kept for the next run: seeded only when it does not exist)
// [--pg-database NAME] (a PostgreSQL database kept for the next run: seeded only when it does not exist)
// [--streams N] [--slow N] (the doors' attackers; both 0: no doors)
// [--rate N] [--open-seconds S] (the open loop beside the doors: N requests a second, at random)
// (a Release build: cmake -DCMAKE_BUILD_TYPE=Release -DVANTO_BENCH=ON). With VANTO_BENCH_PG_URL
// (else VANTO_TEST_PG_URL) set, e.g. to a cluster from scripts/pg-cluster.sh, it runs on a
// PostgreSQL database of its own too (created and dropped).
// Goals: p99 at most 100 ms for each page, peak resident memory under 128 MiB; under the doors'
// attack a sign-in and a dashboard within 200 ms, the one-client median up by at most 50 %.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <latch>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "accounts/accounts.h"
#include "bench/bench_server.h"
#include "bench/web/serve_child.h"
#include "host/db/schema.h"
#include "host/db/swipe_store.h"
#include "host/db/openers.h"


namespace {

using namespace vanto::bench;  // Start, Stop, SignIn, Percentile, ...

constexpr int kPeople = 500;
constexpr int kPorts = 2, kTerminalsPerPort = 4;

struct Settings {
  long long swipes = 1000000;
  int clients = 50;
  int requests = 40;  // per client and page
  std::string vanto = VANTO_BINARY;
  std::string database;  // an SQLite file kept between runs (seeded when it does not exist yet)
  std::string pg_database;  // a PostgreSQL database kept between runs (seeded when it does not exist yet)
  int streams = 200, slow = 100;  // the doors' attackers
  double rate = 300;               // the open loop's offered requests a second
  double open_seconds = 10;        // and how long it runs
};


// 1,000,000 swipes over a year: kPeople people, about two swipes a working day each, spread over
// the site's terminals, stored in large transactions through the store's own API.
void Seed(const std::string& location, long long count) {
  auto store = vanto::store::OpenSwipeStore(location);
  std::vector<vanto::store::PersonName> people;
  for (int p = 1; p <= kPeople; ++p)
    people.push_back({p, "Person " + std::to_string(p), "Department " + std::to_string(p % 12)});
  store->PutPeople(people);
  std::mt19937 random(19);
  std::vector<vanto::store::StoredSwipe> rows;
  rows.reserve(50000);
  const auto day0 = std::chrono::sys_days(std::chrono::year(2026) / 1 / 1);
  std::vector<std::uint32_t> next_index(kPorts * kTerminalsPerPort, 0);
  for (long long i = 0; i < count; ++i) {
    vanto::store::StoredSwipe s;
    const long long day = (i / (2 * kPeople)) % 365;
    s.person = static_cast<std::int32_t>(1 + i % kPeople);
    const int slot = static_cast<int>(random() % (kPorts * kTerminalsPerPort));
    s.port = 1 + slot / kTerminalsPerPort;
    s.terminal = 1 + slot % kTerminalsPerPort;
    const bool morning = (i / kPeople) % 2 == 0;
    const int minute = (morning ? 7 * 60 + 30 : 17 * 60) + static_cast<int>(random() % 90);
    const std::chrono::year_month_day date{day0 + std::chrono::days(day)};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), minute / 60, minute % 60);
    s.minute = text;
    s.time = s.minute + ":" + (random() % 2 ? "17" : "42");
    s.occurrence = 1 + static_cast<int>(i / (kPeople * 2 * 365));
    s.downloaded_at = "2027-01-01T00:00:00Z";
    s.identity = 7000 + static_cast<std::uint32_t>(slot);
    s.generation = 1;
    s.index = next_index[slot]++;
    rows.push_back(std::move(s));
    if (rows.size() == 50000 || i + 1 == count) {
      store->Insert(rows);
      rows.clear();
    }
  }
}

// The plan of the Swipes page's query (one person over one month, a page of 101), built by the
// store's own filter, as the engine would run it over the seeded database. The dashboard reads
// only what the sync runs record (sync_runs by id, sync_run_terminals through its index by
// terminal) and the quarantined records and open conflicts, never the swipes.
void PrintPlans(const std::string& location) {
  using vanto::store::Engine;
  vanto::store::SwipeQuery query;
  query.from = "2026-05-01";
  query.to = "2026-05-28";
  query.persons = {7};
  query.limit = 101;
  const bool server = vanto::store::IsDatabaseUrl(location);
  const vanto::store::SqlFilter filter = vanto::store::BuildFilter(query, server ? Engine::Postgres : Engine::Sqlite);
  const std::string sql = "SELECT " + vanto::store::SwipeColumnsOf(vanto::store::LatestSchemaVersion()) +
                          " FROM swipes" + filter.where + vanto::store::SwipeOrderOf(query);
  std::vector<std::string> texts;
  for (const auto& v : filter.values)
    texts.push_back(std::holds_alternative<std::string>(v) ? std::get<std::string>(v)
                                                          : std::to_string(std::get<std::int64_t>(v)));
  std::string plan;
  if (server) {
    PGconn* conn = PQconnectdb(location.c_str());
    std::vector<const char*> values;
    for (const std::string& t : texts) values.push_back(t.c_str());
    PGresult* r = PQexecParams(conn, ("EXPLAIN " + sql).c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0);
    if (PQresultStatus(r) == PGRES_TUPLES_OK)
      for (int i = 0; i < PQntuples(r); ++i) plan += std::string("    ") + PQgetvalue(r, i, 0) + "\n";
    else
      plan = std::string("    (no plan: ") + PQerrorMessage(conn) + ")\n";
    PQclear(r);
    PQfinish(conn);
  } else {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_open_v2(location.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
      for (std::size_t i = 0; i < texts.size(); ++i) {
        if (std::holds_alternative<std::int64_t>(filter.values[i]))
          sqlite3_bind_int64(stmt, static_cast<int>(i + 1), std::get<std::int64_t>(filter.values[i]));
        else
          sqlite3_bind_text(stmt, static_cast<int>(i + 1), texts[i].c_str(), -1, SQLITE_TRANSIENT);
      }
      while (sqlite3_step(stmt) == SQLITE_ROW)
        plan += std::string("    ") + reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3)) + "\n";
    } else {
      plan = std::string("    (no plan: ") + sqlite3_errmsg(db) + ")\n";
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  std::printf("  the Swipes page's query plan (one person, one month):\n%s", plan.c_str());
}


std::string SwipesPath(std::mt19937& random) {
  const int person = 1 + static_cast<int>(random() % kPeople);
  const int month = 1 + static_cast<int>(random() % 12);
  char period[64];
  std::snprintf(period, sizeof period, "from=2026-%02d-01&to=2026-%02d-28", month, month);
  return "/swipes?" + std::string(period) + "&person=" + std::to_string(person);
}

// Clients that hold the server's doors: `streams` ask for the progress stream as open dashboards
// do (reconnecting 1 s after each end, sooner than the server asks), `slow` send a request's
// headers one byte a second; each from a loopback address of its own, reconnecting 1 s after the
// server closes it. One thread, one poll over all.
class Attackers {
 public:
  Attackers(int port, int streams, int slow, const std::string& cookie) : port_(port) {
    for (int i = 0; i < streams + slow; ++i) {
      Conn c;
      c.stream = i < streams;
      c.from = c.stream ? "127.0." + std::to_string(2 + i / 250) + "." + std::to_string(1 + i % 250)
                        : "127.0.1." + std::to_string(1 + i - streams);
      conns_.push_back(std::move(c));
    }
    stream_request_ = "GET /sync/events HTTP/1.1\r\nHost: bench\r\nAccept: text/event-stream\r\nCookie: " + cookie + "\r\n\r\n";
    slow_request_ = "GET /dashboard HTTP/1.1\r\nHost: bench\r\nX-Slow: " + std::string(100000, 'a') + "\r\n\r\n";
    thread_ = std::thread([this] { Loop(); });
  }
  ~Attackers() {
    stop_ = true;
    thread_.join();
    for (Conn& c : conns_)
      if (c.fd >= 0) close(c.fd);
  }
  // Connections open now: streams the server holds, and slow clients.
  int held_streams() const { return held_streams_; }
  int open_slow() const { return open_slow_; }
  long long closed_by_server() const { return closed_; }
  long long refused() const { return refused_; }

 private:
  struct Conn {
    bool stream = false;
    std::string from;
    int fd = -1;
    std::size_t sent = 0;
    std::string head;
    bool held = false;
    Clock::time_point next{};
  };

  void Connect(Conn& c) {
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, c.from.c_str(), &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port_));
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    timeval tv{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (bind(c.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(c.fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
      close(c.fd);
      c.fd = -1;
      c.next = Clock::now() + std::chrono::seconds(1);
      return;
    }
    fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    c.sent = 0;
    c.head.clear();
    c.held = false;
    c.next = Clock::now();
    if (c.stream) {
      [[maybe_unused]] ssize_t n = send(c.fd, stream_request_.data(), stream_request_.size(), MSG_NOSIGNAL);
    }
  }

  void Drop(Conn& c, bool by_server) {
    close(c.fd);
    c.fd = -1;
    if (by_server) ++closed_;
    c.next = Clock::now() + std::chrono::seconds(1);
  }

  void Loop() {
    std::vector<pollfd> polls;
    std::vector<Conn*> of;
    while (!stop_) {
      const auto now = Clock::now();
      polls.clear();
      of.clear();
      int held = 0, slow = 0;
      for (Conn& c : conns_) {
        if (c.fd < 0 && now >= c.next) Connect(c);
        if (c.fd < 0) continue;
        if (!c.stream && now >= c.next) {  // the next byte of its headers
          if (send(c.fd, slow_request_.data() + c.sent % slow_request_.size(), 1, MSG_NOSIGNAL) == 1) ++c.sent;
          c.next = now + std::chrono::seconds(1);
        }
        held += c.stream && c.held;
        slow += !c.stream;
        polls.push_back({c.fd, POLLIN, 0});
        of.push_back(&c);
      }
      held_streams_ = held;
      open_slow_ = slow;
      if (poll(polls.data(), polls.size(), 100) <= 0) continue;
      for (std::size_t i = 0; i < polls.size(); ++i) {
        if (!polls[i].revents) continue;
        Conn& c = *of[i];
        char buffer[4096];
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
          Drop(c, true);
          continue;
        }
        if (c.head.size() < 4096) c.head.append(buffer, static_cast<std::size_t>(n));
        if (c.head.rfind("HTTP/1.1 503", 0) == 0) ++refused_;
        const std::size_t end = c.head.find("\r\n\r\n");
        if (!c.stream || end == std::string::npos) continue;
        c.held = c.head.find("Transfer-Encoding: chunked") != std::string::npos;
        // A whole answer (one event, not held): the dashboard asks again later, on a new connection.
        if (!c.held && c.head.find("\n\n", end + 4) != std::string::npos) Drop(c, false);
      }
    }
  }

  const int port_;
  std::vector<Conn> conns_;
  std::string stream_request_, slow_request_;
  std::atomic<bool> stop_{false};
  std::atomic<int> held_streams_{0}, open_slow_{0};
  std::atomic<long long> closed_{0}, refused_{0};
  std::thread thread_;
};

// Open loop: `rate` requests a second offered at random (exponential) intervals, the dashboard and
// a filtered Swipes page in turn, for `seconds`, by 30 clients (each its own kept-alive connection
// and its own share of the arrivals). A request's time counts from when it was due, so a server
// that falls behind shows it.
struct OpenFigures {
  std::vector<double> dashboard, swipes;
  double offered = 0, answered_per_second = 0;
  int failures = 0;
};

OpenFigures OpenLoop(int port, const std::string& cookie, double rate, double seconds) {
  constexpr int kClients = 30;
  OpenFigures f;
  f.offered = rate;
  std::mutex mutex;
  std::latch ready(kClients + 1);
  Clock::time_point start;
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      httplib::Client client("127.0.0.1", port);
      client.set_keep_alive(true);
      client.set_read_timeout(std::chrono::seconds(60));
      const httplib::Headers headers{{"Cookie", cookie}};
      std::mt19937 random(static_cast<unsigned>(1000 + i));
      std::exponential_distribution<double> gap(rate / kClients);
      client.Get("/dashboard", headers);  // connected before the clock starts
      ready.arrive_and_wait();
      std::vector<double> dashboard, swipes;
      int failures = 0;
      Clock::time_point due = start;
      for (int n = 0;; ++n) {
        due += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(random)));
        if (due - start >= std::chrono::duration<double>(seconds)) break;
        std::this_thread::sleep_until(due);
        const bool first = n % 2 == 0;
        auto r = client.Get(first ? std::string("/dashboard") : SwipesPath(random), headers);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - due).count();
        if (!r || r->status != 200) ++failures;
        else (first ? dashboard : swipes).push_back(ms);
      }
      std::lock_guard lock(mutex);
      f.dashboard.insert(f.dashboard.end(), dashboard.begin(), dashboard.end());
      f.swipes.insert(f.swipes.end(), swipes.begin(), swipes.end());
      f.failures += failures;
    });
  }
  start = Clock::now() + std::chrono::milliseconds(100);
  ready.arrive_and_wait();
  for (std::thread& t : clients) t.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  f.answered_per_second = static_cast<double>(f.dashboard.size() + f.swipes.size()) / wall;
  return f;
}

void PrintOpen(const char* label, const OpenFigures& f) {
  std::printf("  open loop %-13s %.0f/s offered, %.0f/s answered: dashboard median %6.1f ms p99 %7.1f ms;"
              " swipes median %6.1f ms p99 %7.1f ms; %d failed\n",
              label, f.offered, f.answered_per_second, Percentile(f.dashboard, 0.5), Percentile(f.dashboard, 0.99),
              Percentile(f.swipes, 0.5), Percentile(f.swipes, 0.99), f.failures);
}

double WorstP99(const OpenFigures& f) { return std::max(Percentile(f.dashboard, 0.99), Percentile(f.swipes, 0.99)); }

struct DoorFigures {
  std::vector<double> kept, fresh, sign_in;  // ms: the dashboard on one kept-alive connection, on new ones; signing in
  int failures = 0;
};

// One client's dashboard (100 on one kept-alive connection, 20 on a new connection each) and 5
// sign-ins, one after another.
DoorFigures Measure(int port, const std::string& cookie) {
  DoorFigures f;
  const httplib::Headers headers{{"Cookie", cookie}};
  {
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_connection_timeout(std::chrono::seconds(30));
    client.set_read_timeout(std::chrono::seconds(30));
    client.Get("/dashboard", headers);  // the connection is open before the clock starts
    for (int n = 0; n < 100; ++n) {
      const auto start = Clock::now();
      auto r = client.Get("/dashboard", headers);
      if (!r || r->status != 200) ++f.failures;
      else f.kept.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
  }
  for (int n = 0; n < 20; ++n) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(std::chrono::seconds(30));
    client.set_read_timeout(std::chrono::seconds(30));
    const auto start = Clock::now();
    auto r = client.Get("/dashboard", headers);
    if (!r || r->status != 200) ++f.failures;
    else f.fresh.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  for (int n = 0; n < 5; ++n) {
    const auto start = Clock::now();
    if (TrySignIn(port).empty()) ++f.failures;
    else f.sign_in.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return f;
}

void PrintDoors(const char* label, const DoorFigures& f) {
  auto max = [](const std::vector<double>& v) { return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()); };
  std::printf("  %-16s dashboard kept-alive median %6.1f ms max %7.1f ms; new connection median %6.1f ms max %7.1f ms;"
              " sign-in median %6.1f ms max %7.1f ms; %d failed\n",
              label, Percentile(f.kept, 0.5), max(f.kept), Percentile(f.fresh, 0.5), max(f.fresh),
              Percentile(f.sign_in, 0.5), max(f.sign_in), f.failures);
}

void Doors(const Settings& settings, const Server& server, const std::string& cookie) {
  const std::string load_before = LoadAverage();
  const DoorFigures alone = Measure(server.port, cookie);
  const OpenFigures open_alone = OpenLoop(server.port, cookie, settings.rate, settings.open_seconds);
  Attackers attackers(server.port, settings.streams, settings.slow, cookie);
  // Until every slow client is connected and the streams have been asked for (at most 30 s).
  for (const auto until = Clock::now() + std::chrono::seconds(30);
       attackers.open_slow() < settings.slow && Clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const int held = attackers.held_streams(), slow = attackers.open_slow();
  const DoorFigures attacked = Measure(server.port, cookie);
  const OpenFigures open_attacked = OpenLoop(server.port, cookie, settings.rate, settings.open_seconds);
  const std::string load_after = LoadAverage();
  const int threads = Threads(server.pid);
  std::printf("  doors: %d clients asking for the progress stream (%d held by the server), %d slow clients (%d open);"
              " load average before %s, after %s; server %d threads; %lld closed by the server, %lld refused (503)\n",
              settings.streams, held, settings.slow, slow, load_before.c_str(), load_after.c_str(), threads,
              attackers.closed_by_server(), attackers.refused());
  PrintDoors("alone", alone);
  PrintDoors("under attack", attacked);
  PrintOpen("alone", open_alone);
  PrintOpen("under attack", open_attacked);
  std::printf("  open-loop goals (p99 <= 100 ms alone, up at most 50 %% under attack, no failure): %s\n",
              open_alone.failures == 0 && open_attacked.failures == 0 && WorstP99(open_alone) <= 100 &&
                      WorstP99(open_attacked) <= 1.5 * WorstP99(open_alone)
                  ? "met"
                  : "MISSED");
  auto max = [](const std::vector<double>& v) { return v.empty() ? 1e9 : *std::max_element(v.begin(), v.end()); };
  const bool met = attacked.failures == 0 && max(attacked.sign_in) <= 200 && max(attacked.fresh) <= 200 &&
                   Percentile(attacked.kept, 0.5) <= 1.5 * Percentile(alone.kept, 0.5);
  std::printf("  doors goals (sign-in and dashboard within 200 ms, one-client median up at most 50 %%): %s\n",
              met ? "met" : "MISSED");
}

void Run(const Settings& settings, const std::string& engine, const std::string& location, bool kept) {
  char pattern[] = "/tmp/vanto-console-bench-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  auto seeded = Clock::now();
  if (!kept) {
    Seed(location, settings.swipes);
    vanto::accounts::Accounts accounts(vanto::store::OpenAccountsStore(location, std::chrono::seconds(10)));
    accounts.AddUser({"bench", "command line"}, kUser, vanto::accounts::Role::Admin, kPassword);
  }
  const double seed_s = std::chrono::duration<double>(Clock::now() - seeded).count();
  const std::string site_file = (folder / "site.toml").string();
  {
    std::ofstream site(site_file);
    site << "database = \"" << location << "\"\n";
    for (int p = 1; p <= kPorts; ++p)
      site << "\n[[port]]\nnumber = " << p << "\ndevice = \"/dev/vanto-bench-" << p << "\"\nterminals = [1, 2, 3, 4]\n";
  }
  const Server server = Start(settings.vanto, site_file, (folder / "serve.log").string());
  const std::string cookie = SignIn(server.port);

  std::vector<std::vector<double>> dashboard(settings.clients), swipes(settings.clients);
  std::atomic<int> failures{0};
  std::atomic<long long> rows_seen{0};
  std::latch ready(settings.clients + 1), go(1);
  std::vector<std::thread> clients;
  for (int i = 0; i < settings.clients; ++i) {
    clients.emplace_back([&, i] {
      httplib::Client client("127.0.0.1", server.port);
      client.set_keep_alive(true);
      client.set_read_timeout(std::chrono::seconds(60));
      const httplib::Headers headers{{"Cookie", cookie}};
      std::mt19937 random(static_cast<unsigned>(i));
      // One of each first (not counted): the connection is open before the clock starts.
      client.Get("/dashboard", headers);
      client.Get(SwipesPath(random), headers);
      ready.count_down();
      go.wait();
      for (int n = 0; n < settings.requests; ++n) {
        for (int page = 0; page < 2; ++page) {
          const std::string path = page == 0 ? "/dashboard" : SwipesPath(random);
          const auto start = Clock::now();
          auto r = client.Get(path, headers);
          const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
          if (!r || r->status != 200) {
            ++failures;
            continue;
          }
          if (page == 1) {
            std::size_t count = 0;
            for (std::size_t at = 0; (at = r->body.find("<tr", at)) != std::string::npos; ++at) ++count;
            rows_seen += static_cast<long long>(count);
          }
          (page == 0 ? dashboard : swipes)[i].push_back(ms);
        }
      }
    });
  }
  ready.arrive_and_wait();
  const std::string load_before = LoadAverage();
  const auto started = Clock::now();
  go.count_down();
  for (std::thread& t : clients) t.join();
  const double wall = std::chrono::duration<double>(Clock::now() - started).count();
  const long long peak = PeakKiB(server.pid);
  const int threads = Threads(server.pid);
  const std::string load_after = LoadAverage();
  const bool doors = settings.streams > 0 || settings.slow > 0;

  std::vector<double> all_dashboard, all_swipes;
  for (int i = 0; i < settings.clients; ++i) {
    all_dashboard.insert(all_dashboard.end(), dashboard[i].begin(), dashboard[i].end());
    all_swipes.insert(all_swipes.end(), swipes[i].begin(), swipes[i].end());
  }
  const std::size_t answered = all_dashboard.size() + all_swipes.size();
  std::printf("%s: %lld swipes (seeded in %.1f s), %d clients x %d requests of each page, %u cores\n", engine.c_str(),
              settings.swipes, seed_s, settings.clients, settings.requests, std::thread::hardware_concurrency());
  std::printf("  load average before %s, after %s\n", load_before.c_str(), load_after.c_str());
  std::printf("  dashboard        median %7.1f ms  p99 %7.1f ms  (%zu answers)\n", Percentile(all_dashboard, 0.5),
              Percentile(all_dashboard, 0.99), all_dashboard.size());
  std::printf("  swipes filtered  median %7.1f ms  p99 %7.1f ms  (%zu answers, %.1f table rows each)\n",
              Percentile(all_swipes, 0.5), Percentile(all_swipes, 0.99), all_swipes.size(),
              all_swipes.empty() ? 0.0 : static_cast<double>(rows_seen) / static_cast<double>(all_swipes.size()));
  std::printf("  %.0f requests/s, %d failed; server peak RSS %.1f MiB, %d threads\n", static_cast<double>(answered) / wall,
              failures.load(), static_cast<double>(peak) / 1024.0, threads);
  const bool met = Percentile(all_dashboard, 0.99) <= 100 && Percentile(all_swipes, 0.99) <= 100 && peak >= 0 &&
                   peak < 128 * 1024 && failures == 0;
  std::printf("  goals (p99 <= 100 ms, peak RSS < 128 MiB, no failure): %s\n", met ? "met" : "MISSED");
  PrintPlans(location);
  std::fflush(stdout);
  if (doors) Doors(settings, server, cookie);
  Stop(server);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) Fail("usage: console_bench [--swipes N] [--clients N] [--requests N] [--vanto PATH] [--database FILE] [--streams N] [--slow N] [--rate N] [--open-seconds S]");
    if (a == "--swipes") settings.swipes = std::atoll(argv[++i]);
    else if (a == "--clients") settings.clients = std::atoi(argv[++i]);
    else if (a == "--requests") settings.requests = std::atoi(argv[++i]);
    else if (a == "--vanto") settings.vanto = argv[++i];
    else if (a == "--database") settings.database = argv[++i];
    else if (a == "--pg-database") settings.pg_database = argv[++i];
    else if (a == "--streams") settings.streams = std::atoi(argv[++i]);
    else if (a == "--slow") settings.slow = std::atoi(argv[++i]);
    else if (a == "--rate") settings.rate = std::atof(argv[++i]);
    else if (a == "--open-seconds") settings.open_seconds = std::atof(argv[++i]);
    else Fail("unknown option " + a);
  }
  if (settings.swipes < 1 || settings.clients < 1 || settings.requests < 1) Fail("every count must be at least 1");
  if (!(settings.rate >= 1 && settings.rate <= 10000) || !(settings.open_seconds >= 1 && settings.open_seconds <= 600))
    Fail("--rate takes 1 to 10000 requests a second, --open-seconds 1 to 600");
  if (settings.streams < 0 || settings.slow < 0 || settings.streams > 500 || settings.slow > 250)
    Fail("--streams takes 0 to 500 clients, --slow 0 to 250");
  signal(SIGPIPE, SIG_IGN);
  OnEachEngine(settings.database, settings.pg_database, "vanto_console_bench",
               [&](const std::string& engine, const std::string& location, bool kept) { Run(settings, engine, location, kept); });
  return 0;
}
