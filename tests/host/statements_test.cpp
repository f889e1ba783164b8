// The statements both engines share: their placeholders as SQLite numbers them (only the
// placeholders: never a `$` in a literal, a quoted name, a comment or a name), and every shared
// statement accepted by both engines over the schema they open.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/db/database.h"
#include "host/db/pg_connection.h"
#include "host/db/statements.h"
#include "tests/host/store_engines.h"

namespace vanto::store {
namespace {

// Fixed when compiled: a statement that converted wrongly does not build.
constexpr SharedSql kCompiled{"SELECT x FROM t WHERE a = $2 AND b = '$1' AND c = $1"};
static_assert(std::string_view(kCompiled.sqlite()) == "SELECT x FROM t WHERE a = ?2 AND b = '$1' AND c = ?1");
static_assert(std::string_view(kCompiled.postgres()) == "SELECT x FROM t WHERE a = $2 AND b = '$1' AND c = $1");

TEST(SqliteText, RewritesOnlyPlaceholders) {
  struct Case {
    const char* what;
    const char* shared;
    const char* sqlite;
  };
  const Case cases[] = {
      {"plain", "SELECT a FROM t WHERE b = $1", "SELECT a FROM t WHERE b = ?1"},
      {"out of order", "VALUES ($2, $1)", "VALUES (?2, ?1)"},
      {"ten and more", "VALUES ($1, $10, $11, $100)", "VALUES (?1, ?10, ?11, ?100)"},
      {"repeated", "WHERE a < $2 AND (b = $1 OR c = $1) AND d < $2", "WHERE a < ?2 AND (b = ?1 OR c = ?1) AND d < ?2"},
      {"without spaces", "a=$1,b=($2)", "a=?1,b=(?2)"},
      {"inside a string literal", "WHERE a = '$1' AND b = $1", "WHERE a = '$1' AND b = ?1"},
      {"a literal with a doubled quote", "WHERE a = 'it''s $1 or $2' AND b = $2", "WHERE a = 'it''s $1 or $2' AND b = ?2"},
      {"a quoted name", "SELECT \"col$1\" FROM t WHERE a = $1", "SELECT \"col$1\" FROM t WHERE a = ?1"},
      {"a name holding $", "SELECT col$1, x$2y FROM t WHERE a = $1", "SELECT col$1, x$2y FROM t WHERE a = ?1"},
      {"a line comment", "SELECT 1 -- not $1\nWHERE a = $1", "SELECT 1 -- not $1\nWHERE a = ?1"},
      {"a block comment", "SELECT /* $1 */ $1", "SELECT /* $1 */ ?1"},
      {"a minus and a slash", "SELECT $1 - $2 / $3", "SELECT ?1 - ?2 / ?3"},
      {"no number after $", "SELECT $$ || $a || $", "SELECT $$ || $a || $"},
      {"an unterminated literal", "SELECT $1, 'open $2", "SELECT ?1, 'open $2"},
      {"an unterminated comment", "SELECT $1 /* open $2", "SELECT ?1 /* open $2"},
      {"already SQLite's", "WHERE a = ?1", "WHERE a = ?1"},
      {"nothing", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(SqliteText(c.shared), c.sqlite) << c.what;
}

// What the texts are for: each engine binds the same values to the same numbers.
class SharedStatements : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { VANTO_STORE_ENGINE(GetParam(), engine_); }
  bool sqlite() const { return std::string(GetParam()) == "sqlite"; }
  std::unique_ptr<testing::StoreEngine> engine_;
};

constexpr SharedSql kBindsByNumber{
    "SELECT CAST($2 AS text) || CAST($1 AS text) || CAST($2 AS text) || '$1'"};

TEST_P(SharedStatements, BindByTheirNumbers) {
  const std::vector<std::string> values = {"a", "b"};
  std::string answer;
  if (sqlite()) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> close(db, sqlite3_close);
    sqlite3_stmt* raw = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, kBindsByNumber.sqlite(), -1, &raw, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> q(raw, sqlite3_finalize);
    ASSERT_EQ(sqlite3_bind_parameter_count(raw), 2);
    for (std::size_t i = 0; i < values.size(); ++i)
      sqlite3_bind_text(raw, static_cast<int>(i + 1), values[i].c_str(), -1, SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(raw), SQLITE_ROW);
    answer = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
  } else {
    PgConnection c(engine_->FreshLocation());
    std::vector<const char*> pointers;
    for (const std::string& v : values) pointers.push_back(v.c_str());
    answer = c.Exec(kBindsByNumber.postgres(), pointers, "binding by number").text(0, 0);
  }
  EXPECT_EQ(answer, "bab$1");  // as written "$2 $1 $2", SQLite would have said "aba"
}

// Every statement both engines share, as each engine takes it over the schema it opens.
TEST_P(SharedStatements, EveryOneIsAcceptedOverTheSchema) {
  struct Shared {
    const char* name;
    const char* postgres;
    const char* sqlite;
  };
#define VANTO_SHARED(s) Shared{#s, sql::s.postgres(), sql::s.sqlite()}
  const Shared all[] = {
      VANTO_SHARED(kInsertAudit),      VANTO_SHARED(kAuditTrail), VANTO_SHARED(kAuditCount),       VANTO_SHARED(kSchemaVersion),
      VANTO_SHARED(kRecordSchemaVersion), VANTO_SHARED(kUsers),         VANTO_SHARED(kFindUser),
      VANTO_SHARED(kAddUser),          VANTO_SHARED(kSetPassword),      VANTO_SHARED(kSetDisabled),
      VANTO_SHARED(kSetLanguage),      VANTO_SHARED(kAddSession),       VANTO_SHARED(kFindSession),
      VANTO_SHARED(kTouchSession),     VANTO_SHARED(kRemoveSession),    VANTO_SHARED(kRemoveSessionsOf),
      VANTO_SHARED(kRemoveExpiredSessions), VANTO_SHARED(kAddToken),    VANTO_SHARED(kTokens),
      VANTO_SHARED(kFindToken),        VANTO_SHARED(kRevokeToken),      VANTO_SHARED(kCountTokenReads),
      VANTO_SHARED(kTokenReads),       VANTO_SHARED(kBeginRun),         VANTO_SHARED(kEndRun),
      VANTO_SHARED(kRunTerminal),      VANTO_SHARED(kRunsUpto),         VANTO_SHARED(kRunTerminals),
      VANTO_SHARED(kLastRunTerminals), VANTO_SHARED(kPushEndpoints),    VANTO_SHARED(kAddPushEndpoint),
      VANTO_SHARED(kRemovePushEndpoint), VANTO_SHARED(kPushDelivered),  VANTO_SHARED(kPushFailed),
      VANTO_SHARED(kPushDefer),        VANTO_SHARED(kPersonHeld),       VANTO_SHARED(kAddPerson),
      VANTO_SHARED(kUpdatePerson),     VANTO_SHARED(kEnrolments),       VANTO_SHARED(kAddRejected),
      VANTO_SHARED(kDepartments),      VANTO_SHARED(kAdoptPushEndpoint),
      VANTO_SHARED(kPushAllSites),     VANTO_SHARED(kPushKeySites),
      VANTO_SHARED(kSiteDepartments),  VANTO_SHARED(kSiteEnrolments),
  };
#undef VANTO_SHARED
  const std::string location = engine_->FreshLocation();
  db::Database::Open(location);  // the schema, brought up to date
  if (sqlite()) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(location.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> close(db, sqlite3_close);
    for (const Shared& s : all) {
      sqlite3_stmt* q = nullptr;
      EXPECT_EQ(sqlite3_prepare_v2(db, s.sqlite, -1, &q, nullptr), SQLITE_OK) << s.name << ": " << sqlite3_errmsg(db);
      sqlite3_finalize(q);
    }
  } else {
    PgConnection c(location);
    int n = 0;
    for (const Shared& s : all) {
      PGresult* r = PQprepare(c.get(), ("shared_" + std::to_string(++n)).c_str(), s.postgres, 0, nullptr);
      EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << s.name << ": " << PQresultErrorMessage(r);
      PQclear(r);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, SharedStatements, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace vanto::store
