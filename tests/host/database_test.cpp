// The database handle on both engines: opened once, it hands out every repository over the one
// schema; the options that decide what may be created or written hold for each repository.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "host/db/database.h"
#include "host/db/schema.h"
#include "tests/host/store_engines.h"

namespace vanto::db {
namespace {

using store::StoreError;
using store::StoreFailure;
using store::testing::StoreEngine;

store::StoredSwipe OneSwipe(int index) {
  store::StoredSwipe s;
  s.port = 1;
  s.terminal = 1;
  s.person = 7;
  s.minute = "2026-12-09 08:00";
  s.occurrence = index;
  s.time = "2026-12-09 08:00:00";
  s.downloaded_at = "2026-12-09T09:00:00Z";
  return s;
}

store::AuditEntry Entry(const std::string& action) {
  store::AuditEntry e;
  e.at = "2026-12-09T09:00:00Z";
  e.actor = "tester";
  e.origin = "command line";
  e.action = action;
  e.details = "from the handle";
  return e;
}

class DatabaseTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { VANTO_STORE_ENGINE(GetParam(), engine_); }
  std::unique_ptr<StoreEngine> engine_;
};

TEST_P(DatabaseTest, EveryRepositoryWorksOverTheOneSchema) {
  const std::string location = engine_->FreshLocation();
  std::shared_ptr<Database> db = Database::Open(location);
  EXPECT_EQ(db->schema_version(), store::LatestSchemaVersion());
  EXPECT_EQ(db->engine(), std::string(GetParam()) == "sqlite" ? store::Engine::Sqlite : store::Engine::Postgres);
  EXPECT_EQ(db->location().find("password"), std::string::npos);

  const store::StoredSwipe swipes[] = {OneSwipe(1), OneSwipe(2)};
  EXPECT_EQ(db->Swipes()->Insert(swipes), (std::vector<bool>{true, true}));
  EXPECT_EQ(db->Feed()->Read({}, 10).swipes.size(), 2u);

  auto runs = db->SyncRuns();
  const std::int64_t run = runs->Begin("2026-12-09T09:00:00Z", store::RunStarter::Command, "tester", "");
  runs->Finish(run, "2026-12-09T09:01:00Z", {});
  ASSERT_TRUE(runs->Find(run));
  EXPECT_TRUE(runs->Find(run)->ended_at);

  EXPECT_TRUE(db->Push()->Add("hook", {}, "2026-12-09T09:00:00Z"));
  EXPECT_EQ(db->Push()->Endpoints().size(), 1u);

  db->Audit(Entry("test.audit"));
  store::ApiToken token{"reader", {"swipes:read"}, "2026-12-09T09:00:00Z", "tester", ""};
  EXPECT_TRUE(db->Tokens()->Add(token, "hash", Entry("token.add")));
  const auto trail = db->Accounts()->AuditTrail(10, std::nullopt);
  ASSERT_EQ(trail.size(), 2u);
  EXPECT_EQ(trail[0].action, "token.add");
  EXPECT_EQ(trail[1].action, "test.audit");

  ComPtr<RowSet> rows;
  ASSERT_TRUE(SUCCEEDED(db->EnrolmentRows(7, std::nullopt, &rows)));
  LONG count = -1;
  ASSERT_TRUE(SUCCEEDED(rows->get_RecordCount(&count)));
  EXPECT_EQ(count, 0);

  auto tables = db->Tables(/*read_only=*/true);
  EXPECT_EQ(tables->SchemaVersion(), store::LatestSchemaVersion());
}

TEST_P(DatabaseTest, ReadOnlyHandleWritesNothing) {
  const std::string location = engine_->FreshLocation();
  Database::Open(location)->Swipes()->Insert(std::vector<store::StoredSwipe>{OneSwipe(1)});
  DatabaseOptions options;
  options.read_only = true;
  std::shared_ptr<Database> db = Database::Open(location, options);
  EXPECT_EQ(db->Swipes()->CountSwipes(), 1);
  try {
    db->Swipes()->Insert(std::vector<store::StoredSwipe>{OneSwipe(2)});
    FAIL() << "a read-only handle stored a swipe";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.failure(), StoreFailure::ReadOnly) << e.what();
  }
  EXPECT_EQ(Database::Open(location)->Swipes()->CountSwipes(), 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, DatabaseTest, ::testing::Values("sqlite", "postgresql"));

// SQLite's file rules, as the openers had them: a missing file is created only when asked, a
// first download creates it only when it stores something, a reader never creates one.
TEST(DatabaseFileTest, MissingFileIsCreatedOnlyWhenAsked) {
  store::testing::SqliteEngine engine;
  struct Case {
    const char* name;
    DatabaseOptions options;
    bool opens;
    bool exists_after_open;
  };
  DatabaseOptions refuse, read, deferred;
  refuse.create = false;
  read.read_only = true;
  deferred.create_on_first_write = true;
  const Case cases[] = {
      {"create", {}, true, true},
      {"no create", refuse, false, false},
      {"read only", read, false, false},
      {"on first write", deferred, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = engine.FreshLocation();
    std::shared_ptr<Database> db;
    try {
      db = Database::Open(path, c.options);
      EXPECT_TRUE(c.opens);
    } catch (const StoreError& e) {
      EXPECT_FALSE(c.opens) << e.what();
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_EQ(std::filesystem::exists(path), c.exists_after_open);
    if (!db || c.exists_after_open) continue;
    // Deferred: reads see an empty database, the first write creates the file, private.
    EXPECT_EQ(db->Swipes()->CountSwipes(), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    db->Swipes()->Insert(std::vector<store::StoredSwipe>{OneSwipe(1)});
    ASSERT_TRUE(std::filesystem::exists(path));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, store::kDatabaseFileMode);
    EXPECT_EQ(db->Feed()->Read({}, 10).swipes.size(), 1u);
    EXPECT_EQ(db->schema_version(), store::LatestSchemaVersion());
  }
}

}  // namespace
}  // namespace vanto::db
