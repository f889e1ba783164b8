// The accounts store on both engines: users, sessions and the audit trail, each change with its
// audit row in one transaction; and the login rules above it (throttling, expiry, hashing).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>
#include <thread>

#include "accounts/accounts.h"
#include "accounts/api_tokens.h"
#include "accounts/recent_checks.h"
#include "accounts/passwords.h"
#include "host/db/database.h"
#include "host/db/record_store.h"
#include "host/db/schema.h"
#include "tests/host/store_engines.h"
#include "host/db/openers.h"

namespace vanto::accounts {
namespace {

using vanto::store::testing::PostgresEngine;
using vanto::store::testing::SqliteEngine;
using vanto::store::testing::StoreEngine;

// Makes every later audit insert fail, as a full disk or a lost server would.
void BreakAudit(const std::string& location) {
  if (vanto::store::IsDatabaseUrl(location)) {
    std::size_t slash = location.find('/', location.find("://") + 3);
    std::size_t query = location.find('?', slash);
    std::string name = location.substr(slash + 1, query == std::string::npos ? std::string::npos : query - slash - 1);
    vanto::testing::PgAdmin(
        "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE EXCEPTION 'refused'; END $$; "
        "CREATE TRIGGER refuse BEFORE INSERT ON audit FOR EACH ROW EXECUTE FUNCTION refuse();",
        name);
    return;
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TRIGGER refuse BEFORE INSERT ON audit BEGIN SELECT RAISE(ABORT, 'refused'); END",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
}

// Runs `sqlite` or `postgres` on the database at `location`, as an administrator would.
void RunSql(const std::string& location, const char* sqlite, const char* postgres) {
  if (vanto::store::IsDatabaseUrl(location)) {
    std::size_t slash = location.find('/', location.find("://") + 3);
    std::size_t query = location.find('?', slash);
    vanto::testing::PgAdmin(postgres, location.substr(slash + 1, query == std::string::npos ? std::string::npos : query - slash - 1));
    return;
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, sqlite, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

class AccountsStoreTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    VANTO_STORE_ENGINE(GetParam(), engine_);
    location_ = engine_->FreshLocation();
    store_ = store::OpenAccountsStore(location_, std::chrono::milliseconds(5000));
  }
  AuditEntry Note(const std::string& action, const std::string& details = "") {
    return {0, "2026-12-08T10:00:00Z", "tester", "command line", action, details};
  }
  User Person(const std::string& name, Role role) { return {name, role, false, "", "2026-12-08T10:00:00Z", {}}; }
  SessionRecord Session(const std::string& token, const std::string& user, std::int64_t at) {
    return {TokenHash(token), user, NewToken(), at, at, "127.0.0.1"};
  }

  std::unique_ptr<StoreEngine> engine_;
  std::string location_;
  std::unique_ptr<AccountsStore> store_;
};

TEST_P(AccountsStoreTest, UsersKeepTheirRoleHashAndNameVerbatim) {
  struct Case {
    std::string name;
    Role role;
  };
  const std::vector<Case> cases = {{"ada", Role::Admin}, {"hal", Role::Hr}, {"vic", Role::Viewer},
                                   {"o'brien\"; DROP TABLE users; --", Role::Viewer}, {"张三", Role::Hr}};
  for (const Case& c : cases) ASSERT_TRUE(store_->AddUser(Person(c.name, c.role), "hash-of-" + c.name, Note("user.add", c.name)));
  EXPECT_FALSE(store_->AddUser(Person("ada", Role::Viewer), "other", Note("user.add", "again")));
  std::vector<User> users = store_->Users();
  ASSERT_EQ(users.size(), cases.size());
  for (const Case& c : cases) {
    std::string hash;
    std::optional<User> u = store_->FindUser(c.name, &hash);
    ASSERT_TRUE(u) << c.name;
    EXPECT_EQ(u->role, c.role);
    EXPECT_EQ(hash, "hash-of-" + c.name);
    EXPECT_FALSE(u->disabled);
  }
  // One audit row per change made, none for the refused one; newest first.
  std::vector<AuditEntry> trail = store_->AuditTrail(100, std::nullopt);
  ASSERT_EQ(trail.size(), cases.size());
  EXPECT_EQ(trail.front().details, cases.back().name);
  EXPECT_GT(trail.front().id, trail.back().id);
  EXPECT_EQ(store_->AuditTrail(2, trail[1].id).at(0).id, trail[2].id);
}

TEST_P(AccountsStoreTest, PasswordChangeAndDisablingEndOnlyThatUsersSessions) {
  store_->AddUser(Person("ada", Role::Admin), "h1", Note("user.add"));
  store_->AddUser(Person("hal", Role::Hr), "h2", Note("user.add"));
  struct Case {
    const char* what;
    std::function<bool()> change;
  };
  const std::vector<Case> cases = {
      {"password", [&] { return store_->SetPassword("hal", "h3", Note("user.password")); }},
      {"disable", [&] { return store_->SetDisabled("hal", true, Note("user.disable")); }},
  };
  for (const Case& c : cases) {
    store_->AddSession(Session("hal-1" + std::string(c.what), "hal", 100), Note("login"));
    store_->AddSession(Session("hal-2" + std::string(c.what), "hal", 100), Note("login"));
    store_->AddSession(Session("ada-1" + std::string(c.what), "ada", 100), Note("login"));
    ASSERT_TRUE(c.change()) << c.what;
    EXPECT_FALSE(store_->FindSession(TokenHash("hal-1" + std::string(c.what)))) << c.what;
    EXPECT_FALSE(store_->FindSession(TokenHash("hal-2" + std::string(c.what)))) << c.what;
    EXPECT_TRUE(store_->FindSession(TokenHash("ada-1" + std::string(c.what)))) << c.what;
    EXPECT_EQ(store_->AuditTrail(1, std::nullopt).at(0).action, std::string("user.") + c.what);
  }
  std::string hash;
  EXPECT_TRUE(store_->FindUser("hal", &hash)->disabled);
  EXPECT_EQ(hash, "h3");
  EXPECT_FALSE(store_->SetPassword("nobody", "h", Note("user.password")));
  EXPECT_FALSE(store_->SetDisabled("nobody", true, Note("user.disable")));
}

TEST_P(AccountsStoreTest, SessionsAreFoundByTokenHashTouchedAndExpired) {
  store_->AddUser(Person("ada", Role::Admin), "h", Note("user.add"));
  store_->AddSession(Session("old", "ada", 100), Note("login"));
  store_->AddSession(Session("new", "ada", 1000), Note("login"));
  std::optional<SessionRecord> found = store_->FindSession(TokenHash("new"));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->token_hash.size(), 64u);
  EXPECT_EQ(found->csrf.size(), 64u);
  EXPECT_FALSE(store_->FindSession("new"));  // the token itself is no key
  store_->TouchSession(TokenHash("new"), 2000);
  store_->TouchSession(TokenHash("new"), 1500);  // never back in time
  EXPECT_EQ(store_->FindSession(TokenHash("new"))->last_seen, 2000);
  store_->RemoveExpiredSessions(/*created_before=*/500, /*seen_before=*/0);
  EXPECT_FALSE(store_->FindSession(TokenHash("old")));
  EXPECT_TRUE(store_->FindSession(TokenHash("new")));
  AuditEntry out = Note("logout");
  store_->RemoveSession(TokenHash("new"), &out);
  EXPECT_FALSE(store_->FindSession(TokenHash("new")));
  EXPECT_EQ(store_->AuditTrail(1, std::nullopt).at(0).action, "logout");
}

TEST_P(AccountsStoreTest, AChangeWhoseAuditRowFailsIsNotMade) {
  store_->AddUser(Person("ada", Role::Admin), "h1", Note("user.add"));
  store_->AddSession(Session("ada", "ada", 100), Note("login"));
  BreakAudit(location_);
  store_ = store::OpenAccountsStore(location_, std::chrono::milliseconds(5000));
  struct Case {
    const char* what;
    std::function<void()> change;
  };
  for (const Case& c : std::vector<Case>{
           {"add", [&] { store_->AddUser(Person("eve", Role::Admin), "h", Note("user.add")); }},
           {"password", [&] { store_->SetPassword("ada", "h2", Note("user.password")); }},
           {"disable", [&] { store_->SetDisabled("ada", true, Note("user.disable")); }},
           {"login", [&] { store_->AddSession(Session("eve", "ada", 100), Note("login")); }},
       })
    EXPECT_THROW(c.change(), vanto::store::StoreError) << c.what;
  std::string hash;
  std::optional<User> ada = store_->FindUser("ada", &hash);
  EXPECT_EQ(hash, "h1");
  EXPECT_FALSE(ada->disabled);
  EXPECT_FALSE(store_->FindUser("eve", nullptr));
  EXPECT_TRUE(store_->FindSession(TokenHash("ada")));
  EXPECT_FALSE(store_->FindSession(TokenHash("eve")));
}

TEST_P(AccountsStoreTest, TheSchemaStepLeavesTheSwipeStoreReadable) {
  // Opening again takes no step twice.
  store_.reset();
  store_ = store::OpenAccountsStore(location_, std::chrono::milliseconds(5000));
  EXPECT_TRUE(vanto::store::HasTableAt(location_, "users"));
  EXPECT_TRUE(vanto::store::HasTableAt(location_, "audit"));
  vanto::store::RecordStore records = vanto::store::OpenRecordStore(location_);
  EXPECT_EQ(records.swipes().schema_version(), vanto::store::LatestSchemaVersion());
}

// A server believes a recognised session or token for less than the recheck bound: a change made
// by another process (a handle of its own on the same database) is seen from the bound on, one
// made by the server itself at once. The server's steady clock is the test's.
TEST_P(AccountsStoreTest, ChangesElsewhereAreRefusedWithinTheRecheckBound) {
  using std::chrono::milliseconds;
  std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
  const SteadyClock steady = [&now] { return now; };
  const std::shared_ptr<db::Database> mine = db::Database::Open(location_);
  Accounts server(mine, SessionPolicy{}, {}, SystemSeconds, steady);
  Tokens server_tokens(mine, {}, SystemSeconds, milliseconds(1000), steady);
  Accounts elsewhere(db::Database::Open(location_));
  Tokens elsewhere_tokens(db::Database::Open(location_));
  const Actor admin{"ada", "command line"};
  elsewhere.AddUser(admin, "ada", Role::Admin, "ada's password");

  struct Case {
    const char* what;
    bool here;  // made by the server's own Accounts and Tokens
    std::function<void(const std::string& user, const std::string& session, const std::string& token)> change;
    bool refused;  // once the change is seen
  };
  const std::vector<Case> cases = {
      {"nothing changed", false, [](auto&, auto&, auto&) {}, false},
      {"user disabled", false, [&](auto& user, auto&, auto&) { elsewhere.SetDisabled(admin, user, true); }, true},
      {"password changed", false,
       [&](auto& user, auto&, auto&) { elsewhere.ChangePassword(admin, user, "a new password"); }, true},
      {"signed out", false, [&](auto&, auto& session, auto&) { elsewhere.Logout(session, "elsewhere"); }, true},
      {"token revoked", false, [&](auto& user, auto&, auto&) { elsewhere_tokens.Revoke(admin, user); }, true},
      {"user disabled here", true, [&](auto& user, auto&, auto&) { server.SetDisabled(admin, user, true); }, true},
      {"token revoked here", true, [&](auto& user, auto&, auto&) { server_tokens.Revoke(admin, user); }, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string user = "user" + std::to_string(++n);
    elsewhere.AddUser(admin, user, Role::Viewer, "a password 1");
    const LoginOutcome login = server.Login(user, "a password 1", "127.0.0.1");
    ASSERT_EQ(login.kind, LoginOutcome::Kind::Ok) << c.what;
    const std::string token = elsewhere_tokens.Add(admin, user, {"swipes:read"});
    ASSERT_TRUE(server.Authenticate(login.token)) << c.what;
    ASSERT_TRUE(server_tokens.Authenticate(token)) << c.what;

    c.change(user, login.token, token);
    const bool session_changed = std::string(c.what).find("token") == std::string::npos;
    // Still within the bound: only a change elsewhere may be unseen yet.
    now += milliseconds(999);
    const bool stale_ok = !c.here || !c.refused;
    EXPECT_EQ(server.Authenticate(login.token).has_value(), stale_ok || !session_changed) << c.what;
    EXPECT_EQ(server_tokens.Authenticate(token).has_value(), stale_ok || session_changed) << c.what;
    // From the bound on, every change is seen.
    now += milliseconds(1);
    EXPECT_EQ(server.Authenticate(login.token).has_value(), !(c.refused && session_changed)) << c.what;
    EXPECT_EQ(server_tokens.Authenticate(token).has_value(), !(c.refused && !session_changed)) << c.what;
    now += milliseconds(5000);
  }
}

// A server's API reads are counted in memory and written at most once per interval, by a read,
// by WriteReads and when it stops: every read is counted once, in its hour, whatever the threads,
// and a write the database refuses loses none.
TEST_P(AccountsStoreTest, ReadsAreWrittenInBatchesAndEveryOneIsCountedOnce) {
  using std::chrono::milliseconds;
  std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
  std::int64_t seconds = 1796032800;  // 2026-11-30T10:00:00Z
  const std::shared_ptr<db::Database> database = db::Database::Open(location_);
  auto stored = [&](const std::string& hour) { return database->Tokens()->Reads("reader", hour); };
  const std::string ten = "2026-11-30T10", eleven = "2026-11-30T11";
  {
    Tokens server(database, {}, [&] { return seconds; }, milliseconds(1000), [&] { return now; }, milliseconds(5000));
    server.Add({"ada", "command line"}, "reader", {"swipes:read"});
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
      readers.emplace_back([&] {
        for (int i = 0; i < 250; ++i) server.CountRead("reader");
      });
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(stored(ten), 0) << "a read is not a write";
    EXPECT_EQ(server.ReadsThisHour("reader"), 1000);
    now += milliseconds(5000);  // the interval has passed: the next read writes them all
    server.CountRead("reader");
    EXPECT_EQ(stored(ten), 1001);
    server.CountRead("reader");
    EXPECT_EQ(stored(ten), 1001) << "the next write waits for the next interval";
    seconds += 3600;  // a read in the next hour is counted in that hour
    for (int i = 0; i < 3; ++i) server.CountRead("reader");
    EXPECT_EQ(server.ReadsThisHour("reader"), 3);
    server.WriteReads();
    EXPECT_EQ(stored(ten), 1002);
    EXPECT_EQ(stored(eleven), 3);

    // The database refuses the write: nothing is lost, and the next write stores it.
    RunSql(location_, "CREATE TRIGGER refuse BEFORE UPDATE ON api_token_reads BEGIN SELECT RAISE(ABORT, 'refused'); END",
           "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE EXCEPTION 'refused'; END $$; "
           "CREATE TRIGGER refuse BEFORE UPDATE ON api_token_reads FOR EACH ROW EXECUTE FUNCTION refuse();");
    for (int i = 0; i < 4; ++i) server.CountRead("reader");
    EXPECT_THROW(server.WriteReads(), store::StoreError);
    now += milliseconds(5000);
    EXPECT_NO_THROW(server.CountRead("reader")) << "a read whose write fails is still served";
    EXPECT_EQ(stored(eleven), 3);
    EXPECT_EQ(server.ReadsThisHour("reader"), 8);
    RunSql(location_, "DROP TRIGGER refuse", "DROP TRIGGER refuse ON api_token_reads");
    server.WriteReads();
    EXPECT_EQ(stored(eleven), 8);
    for (int i = 0; i < 7; ++i) server.CountRead("reader");
  }  // a server that stops writes what it counted
  EXPECT_EQ(stored(eleven), 15);
  EXPECT_EQ(stored(ten), 1002);
}

// A look-up under way while this process makes a change does not put back what the change made
// out of date; a full cache keeps its bound.
TEST(RecentChecks, AChangeDuringALookUpWinsAndTheSizeIsBounded) {
  using std::chrono::milliseconds;
  std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
  struct Case {
    const char* what;
    std::function<void(RecentChecks<int>&)> during;  // between Begin and Put
    bool believed;
  };
  const std::vector<Case> cases = {
      {"no change", [](RecentChecks<int>&) {}, true},
      {"cleared", [](RecentChecks<int>& c) { c.Clear(); }, false},
      {"that key forgotten", [](RecentChecks<int>& c) { c.Forget("k"); }, false},
  };
  for (const Case& c : cases) {
    RecentChecks<int> checks(milliseconds(1000), 64, [&now] { return now; });
    const auto ticket = checks.Begin();
    c.during(checks);
    checks.Put("k", 7, ticket);
    EXPECT_EQ(checks.Find("k").has_value(), c.believed) << c.what;
  }
  // The bound counts from the look-up's start, not from when its answer was kept.
  RecentChecks<int> checks(milliseconds(1000), 64, [&now] { return now; });
  const auto ticket = checks.Begin();
  now += milliseconds(600);
  checks.Put("k", 7, ticket);
  now += milliseconds(399);
  EXPECT_TRUE(checks.Find("k"));
  now += milliseconds(1);
  EXPECT_FALSE(checks.Find("k"));
  // Far more keys than the capacity: the newest is still believed.
  for (int i = 0; i < 5000; ++i) checks.Put("key" + std::to_string(i), i, checks.Begin());
  EXPECT_EQ(checks.Find("key4999"), 4999);
  // A zero bound believes nothing.
  RecentChecks<int> off(milliseconds(0), 64, [&now] { return now; });
  off.Put("k", 1, off.Begin());
  EXPECT_FALSE(off.Find("k"));
}

INSTANTIATE_TEST_SUITE_P(Engines, AccountsStoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return std::string(info.param); });

// ---- above the store: hashing and throttling -------------------------------------------------

// A database the accounts create holds password hashes, and has the one mode of every database
// file, as do its -wal and -shm, whoever creates it and whatever the umask.
TEST(AccountsFile, IsCreatedWithTheOneDatabaseMode) {
  SqliteEngine engine;
  for (const mode_t umask_bits : {mode_t{0}, mode_t{022}, mode_t{077}}) {
    SCOPED_TRACE(umask_bits);
    const std::string db = engine.FreshLocation();
    const mode_t old = umask(umask_bits);
    auto accounts = store::OpenAccountsStore(db, std::chrono::milliseconds(5000));
    umask(old);
    ASSERT_TRUE(accounts->AddUser({"clerk", Role::Hr, false, "", "2026-12-08T00:00:00Z", {}}, "hash",
                                  {0, "2026-12-08T00:00:00Z", "root", "command line", "user.add", ""}));
    for (const char* suffix : {"", "-wal", "-shm"}) {
      struct stat info {};
      ASSERT_EQ(stat((db + suffix).c_str(), &info), 0) << suffix;
      EXPECT_EQ(info.st_mode & 0777, vanto::store::kDatabaseFileMode) << suffix;
    }
  }
}

TEST(Passwords, HashesAreArgon2idAtTheRecommendedCostAndVerifyOnlyTheirPassword) {
  std::string hash = HashPassword("correct horse battery");
  EXPECT_EQ(hash.rfind("$argon2id$v=19$m=19456,t=2,p=1$", 0), 0u) << hash;
  EXPECT_NE(HashPassword("correct horse battery"), hash);  // salted
  struct Case {
    std::string password, encoded;
    bool ok;
  };
  for (const Case& c : std::vector<Case>{{"correct horse battery", hash, true},
                                         {"correct horse batterY", hash, false},
                                         {"", hash, false},
                                         {"correct horse battery", "", false},
                                         {"correct horse battery", "$argon2i$v=19$m=4096,t=3,p=1$xx$yy", false},
                                         {"correct horse battery", "plain text", false}})
    EXPECT_EQ(VerifyPassword(c.password, c.encoded), c.ok) << c.password << " / " << c.encoded;
  EXPECT_EQ(NewToken().size(), 64u);
  EXPECT_NE(NewToken(), NewToken());
  EXPECT_EQ(TokenHash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(LoginThrottle, LockOutsDoubleFromTheFreeFailuresOnUpToTheBoundAndAreForgotten) {
  ThrottlePolicy policy;
  LoginThrottle throttle(policy);
  std::int64_t now = 1000;
  // The k-th failure of one account (from ever new addresses) starts this lock-out.
  std::vector<std::int64_t> locks;
  for (int k = 1; k <= policy.account_free + 12; ++k)
    locks.push_back(throttle.Failed("ada", "10.0.0." + std::to_string(k), now));
  for (int k = 1; k < policy.account_free; ++k) EXPECT_EQ(locks[k - 1], 0) << k;
  EXPECT_EQ(locks[policy.account_free - 1], policy.first_lock);
  EXPECT_EQ(locks[policy.account_free], policy.first_lock * 2);
  EXPECT_EQ(locks.back(), policy.max_lock);
  EXPECT_EQ(throttle.Wait("ada", "192.0.2.1", now), policy.max_lock);
  EXPECT_EQ(throttle.Wait("bob", "192.0.2.1", now), 0);  // others are not locked out
  EXPECT_EQ(throttle.Wait("ada", "192.0.2.1", now + policy.max_lock), 0);
  // Failures older than the window count no more; a success forgets the account's.
  EXPECT_EQ(throttle.Failed("ada", "192.0.2.1", now + policy.forget_after + policy.max_lock + 1), 0);
  throttle.Succeeded("ada");
  for (int k = 1; k < policy.account_free; ++k) EXPECT_EQ(throttle.Failed("ada", "192.0.2.2", now), 0);
}

TEST(LoginThrottle, RemembersABoundedNumberOfNames) {
  ThrottlePolicy policy;
  policy.max_entries = 50;
  policy.first_lock = policy.max_lock = 100000;
  LoginThrottle throttle(policy);
  for (int k = 0; k < policy.account_free; ++k) throttle.Failed("first", "10.0.0.1", 0);
  ASSERT_GT(throttle.Wait("first", "10.9.9.8", 0), 0);
  // Many more names than it keeps: the oldest entry makes room (the table does not grow).
  for (int i = 1; i <= 1000; ++i) throttle.Failed("name" + std::to_string(i), "10.0.1." + std::to_string(i % 250), i);
  EXPECT_EQ(throttle.Wait("first", "10.9.9.8", 1000), 0);
  for (int k = 1; k < policy.account_free; ++k) throttle.Failed("name1000", "10.9.9.9", 1000);
  EXPECT_GT(throttle.Wait("name1000", "10.9.9.8", 1000), 0);
}

}  // namespace
}  // namespace vanto::accounts
