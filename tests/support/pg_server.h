// The PostgreSQL server the test command starts (scripts/pg-cluster.sh): where it is, and fresh
// databases on it that are dropped again. Without VANTO_TEST_PG_URL the PostgreSQL tests skip
// with a message, except in CI (CI=true), where they fail: there they must always run.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace vanto::testing {

inline std::optional<std::string> PgTestUrl() {
  const char* url = std::getenv("VANTO_TEST_PG_URL");
  if (!url || !*url) return std::nullopt;
  return std::string(url);
}

inline bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

inline const char* kNoPgServer =
    "VANTO_TEST_PG_URL is not set: no PostgreSQL server for this test (scripts/test.sh starts one; "
    "or: eval \"$(scripts/pg-cluster.sh start)\")";

// Skips (locally) or fails (CI) the current test when no server is configured; use as
// `if (!RequirePg()) return;` in SetUp or a test body.
#define VANTO_REQUIRE_PG()                                        \
  do {                                                            \
    if (!::vanto::testing::PgTestUrl()) {                         \
      if (::vanto::testing::InCi()) FAIL() << ::vanto::testing::kNoPgServer; \
      GTEST_SKIP() << ::vanto::testing::kNoPgServer;              \
    }                                                             \
  } while (0)

// `url` with its database name replaced by `name`.
inline std::string WithDatabase(const std::string& url, const std::string& name) {
  std::size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  std::size_t slash = url.find('/', start);
  std::size_t end = url.find('?', start);
  if (slash == std::string::npos || (end != std::string::npos && slash > end)) {
    std::size_t at = end == std::string::npos ? url.size() : end;
    return url.substr(0, at) + "/" + name + url.substr(at);
  }
  if (end == std::string::npos) end = url.size();
  return url.substr(0, slash + 1) + name + url.substr(end);
}

// Runs one statement on the server's postgres database; answers the first value or "".
inline std::string PgAdmin(const std::string& sql, const std::string& database = "postgres") {
  std::optional<std::string> url = PgTestUrl();
  if (!url) return "";
  PGconn* conn = PQconnectdb(WithDatabase(*url, database).c_str());
  std::string first;
  if (PQstatus(conn) != CONNECTION_OK) {
    ADD_FAILURE() << "cannot reach the test server: " << PQerrorMessage(conn);
  } else {
    PGresult* r = PQexec(conn, sql.c_str());
    ExecStatusType s = PQresultStatus(r);
    if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK)
      ADD_FAILURE() << sql << ": " << PQresultErrorMessage(r);
    else if (PQntuples(r) > 0 && PQnfields(r) > 0)
      first = PQgetvalue(r, 0, 0);
    PQclear(r);
  }
  PQfinish(conn);
  return first;
}

// Fresh databases on the test server, dropped when this goes.
class PgDatabases {
 public:
  PgDatabases() = default;
  PgDatabases(const PgDatabases&) = delete;
  PgDatabases& operator=(const PgDatabases&) = delete;
  ~PgDatabases() {
    for (const std::string& name : names_) PgAdmin("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
  }
  // The URL of a new, empty database.
  std::string Fresh() {
    static std::atomic<int> counter{0};
    std::string name = "vanto_t" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    PgAdmin("CREATE DATABASE " + name);
    names_.push_back(name);
    return WithDatabase(*PgTestUrl(), name);
  }

 private:
  std::vector<std::string> names_;
};

}  // namespace vanto::testing
