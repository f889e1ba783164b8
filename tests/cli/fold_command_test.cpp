// `vanto conflicts` names swipes stored twice under two epochs of one log, and `conflicts fold`
// folds them once, audited, on SQLite and on PostgreSQL.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "accounts/accounts.h"
#include "cli/cli.h"
#include "host/db/database.h"
#include "host/db/record_store.h"
#include "tests/support/pg_server.h"

namespace vanto::cli {
namespace {

struct Result {
  int status;
  std::string out;
};

Result Vanto(std::vector<std::string> args, const std::string& db) {
  args.push_back("--db");
  args.push_back(db);
  std::ostringstream out, err;
  Io io{out, err, false};
  const int status = RunVanto(args, io);
  return {status, out.str() + err.str()};
}

class FoldCommand : public ::testing::TestWithParam<const char*> {};

TEST_P(FoldCommand, ListsFoldsOnceAndAuditsTheFold) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("vanto-fold-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  struct Remove {
    std::filesystem::path path;
    ~Remove() { std::filesystem::remove_all(path); }
  } remove{folder};
  std::unique_ptr<vanto::testing::PgDatabases> databases;
  std::string db = (folder / "fold.db").string();
  if (std::string(GetParam()) == "postgresql") {
    VANTO_REQUIRE_PG();
    databases = std::make_unique<vanto::testing::PgDatabases>();
    db = databases->Fresh();
  }
  {
    store::RecordStore store(vanto::db::Database::Open(db)->Swipes());
    std::vector<store::StoredSwipe> log;
    for (std::uint32_t i = 0; i < 3; ++i) {
      store::StoredSwipe s;
      s.port = 1, s.terminal = 1, s.person = 40 + static_cast<int>(i);
      s.minute = "2026-11-02 07:1" + std::to_string(i);
      s.time = s.minute + ":30";
      s.downloaded_at = "2026-11-02T08:00:00Z";
      s.identity = 0x6601, s.generation = 4, s.index = i;
      log.push_back(s);
    }
    store.swipes().InsertChecked(log, store::OnConflict::Continue);
    ASSERT_EQ(store.swipes().OpenEpoch({0x6601, 4, 0}, 0, std::nullopt, log).first.epoch, 1u);
  }
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
    std::int64_t swipes_after;
  } cases[] = {
      {{"conflicts"}, kExitOk, "3 swipes stored twice", 6},
      {{"conflicts", "fold", "--dry-run"}, kExitOk, "would fold 3 swipes", 6},
      {{"conflicts", "fold", "--json"}, kExitUsage, "fold takes no", 6},
      {{"conflicts", "--dry-run"}, kExitUsage, "--dry-run goes with fold", 6},
      {{"conflicts", "fold"}, kExitOk, "folded 3 swipes", 3},
      {{"conflicts", "fold"}, kExitOk, "no swipes stored twice", 3},
      {{"conflicts"}, kExitOk, "no conflicts waiting", 3},
  };
  for (const Case& c : cases) {
    const Result r = Vanto(c.args, db);
    const std::string line = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << line << ": " << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << line << ": " << r.out;
    EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(db)->Swipes()).swipes().CountSwipes(), c.swipes_after) << line;
  }
  accounts::Accounts accounts(vanto::db::Database::Open(db)->Accounts());
  int audited = 0;
  for (const auto& entry : accounts.AuditTrail(10))
    if (entry.action == "swipes.fold") {
      ++audited;
      EXPECT_NE(entry.details.find("3 folded"), std::string::npos) << entry.details;
    }
  EXPECT_EQ(audited, 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, FoldCommand, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace vanto::cli
