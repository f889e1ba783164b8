// The store engines the contract tests run against: each hands out locations of fresh, empty
// databases and removes them afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/pg_server.h"

namespace vanto::store::testing {

class StoreEngine {
 public:
  virtual ~StoreEngine() = default;
  // A location (path or URL) of a database that does not hold anything yet.
  virtual std::string FreshLocation() = 0;
};

class SqliteEngine final : public StoreEngine {
 public:
  SqliteEngine() {
    char pattern[] = "/tmp/vanto-contract-XXXXXX";
    folder_ = mkdtemp(pattern);
  }
  ~SqliteEngine() override {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  std::string FreshLocation() override { return (folder_ / ("db" + std::to_string(++count_) + ".sqlite")).string(); }

 private:
  std::filesystem::path folder_;
  int count_ = 0;
};

class PostgresEngine final : public StoreEngine {
 public:
  std::string FreshLocation() override { return databases_.Fresh(); }

 private:
  vanto::testing::PgDatabases databases_;
};

// The engine a parameterised test names ("sqlite" or "postgresql"); the PostgreSQL one needs the
// test server (VANTO_REQUIRE_PG: skipped without it, failed under CI).
#define VANTO_STORE_ENGINE(name, engine)                                                  \
  do {                                                                                    \
    if (std::string(name) == "postgresql") {                                              \
      VANTO_REQUIRE_PG();                                                                 \
      (engine) = std::make_unique<::vanto::store::testing::PostgresEngine>();             \
    } else {                                                                              \
      (engine) = std::make_unique<::vanto::store::testing::SqliteEngine>();               \
    }                                                                                     \
  } while (false)

}  // namespace vanto::store::testing
