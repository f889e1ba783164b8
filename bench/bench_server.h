// The PostgreSQL server a benchmark may use, and its own database on it: the server in
// VANTO_BENCH_PG_URL (else VANTO_TEST_PG_URL), e.g. the socket of a cluster from
// scripts/pg-cluster.sh. Shared by the benchmarks that run on both engines, with the store they
// fill.
#pragma once

#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "host/db/swipe_store.h"
#include "host/db/openers.h"

namespace vanto::bench {

// The server's address, when one is given.
inline std::optional<std::string> ServerUrl() {
  for (const char* name : {"VANTO_BENCH_PG_URL", "VANTO_TEST_PG_URL"})
    if (const char* url = std::getenv(name); url && *url) return std::string(url);
  return std::nullopt;
}

// `url` naming the database `name` instead of its own.
inline std::string WithDatabase(const std::string& url, const std::string& name) {
  std::size_t start = url.find("://") + 3;
  std::size_t slash = url.find('/', start), query = url.find('?', start);
  if (slash == std::string::npos || (query != std::string::npos && slash > query)) {
    std::size_t at = query == std::string::npos ? url.size() : query;
    return url.substr(0, at) + "/" + name + url.substr(at);
  }
  return url.substr(0, slash + 1) + name + (query == std::string::npos ? "" : url.substr(query));
}

// Runs one statement that answers no rows (CREATE DATABASE, DROP DATABASE); false when it failed.
inline bool Admin(const std::string& url, const std::string& sql) {
  PGconn* conn = PQconnectdb(url.c_str());
  bool ok = PQstatus(conn) == CONNECTION_OK;
  if (ok) {
    PGresult* r = PQexec(conn, sql.c_str());
    ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
  }
  PQfinish(conn);
  return ok;
}

// A database of the benchmark's own on the server, dropped at the end.
class BenchDatabase {
 public:
  explicit BenchDatabase(const std::string& server) : server_(server) {
    static int counter = 0;
    name_ = "vanto_bench_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    ok_ = Admin(server_, "CREATE DATABASE " + name_);
  }
  ~BenchDatabase() { Admin(server_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)"); }
  bool ok() const { return ok_; }
  std::string url() const { return WithDatabase(server_, name_); }

 private:
  std::string server_, name_;
  bool ok_ = false;
};

// Stores `count` swipes of four version 2 terminals (5,000 a transaction) at `location`.
inline void FillSwipes(const std::string& location, int count) {
  auto store = vanto::store::OpenSwipeStore(location);
  std::vector<vanto::store::StoredSwipe> rows;
  for (int i = 0; i < count; ++i) {
    vanto::store::StoredSwipe s;
    s.port = 1;
    s.terminal = 1 + i % 4;
    s.person = i % 500;
    s.minute = "2026-12-08 08:00";
    s.occurrence = 1;
    s.time = "2026-12-08 08:00:00";
    s.downloaded_at = "2026-12-08T09:00:00Z";
    s.identity = 7000 + static_cast<std::uint32_t>(i % 4);
    s.generation = 1;
    s.index = static_cast<std::uint32_t>(i / 4);
    rows.push_back(s);
    if (rows.size() == 5000 || i + 1 == count) {
      store->Insert(rows);
      rows.clear();
    }
  }
}

}  // namespace vanto::bench
