// The PostgreSQL store against the test server: what a bad server, login, database or URL gives
// (a one-line error naming the server, nothing stored), a connection dropped in the middle of a
// batch, and four writers storing overlapping deliveries at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/db/record_store.h"
#include "host/db/schema.h"
#include "tests/support/pg_server.h"
#include "host/db/openers.h"

namespace vanto::store {
namespace {

using vanto::testing::PgAdmin;
using vanto::testing::WithDatabase;

DATE At(int minutes, int seconds = 0) { return 46332.0 + (minutes * 60 + seconds) / 86400.0; }

std::string DbName(const std::string& url) {
  std::size_t start = url.find('/', url.find("://") + 3) + 1;
  std::size_t end = url.find('?', start);
  return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Sets an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class PostgresStore : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTO_REQUIRE_PG();
    url_ = databases_.Fresh();
  }
  // The one-line refusal of opening `url` (with the store's short waits).
  StoreError Refusal(const std::string& url) {
    try {
      OpenSwipeStore(url, {.create = true, .lock_timeout = std::chrono::milliseconds(500)});
    } catch (const StoreError& e) {
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
      return e;
    }
    ADD_FAILURE() << url << " opened";
    return StoreError(StoreFailure::Other, "");
  }
  std::string TcpUrl(const std::string& user, const std::string& database) const {
    return "postgresql://" + user + "@127.0.0.1:" + std::getenv("VANTO_TEST_PG_PORT") + "/" + database;
  }

  vanto::testing::PgDatabases databases_;
  std::string url_;
};

TEST_F(PostgresStore, BadServersLoginsDatabasesAndUrlsAreOneLineNamingTheServer) {
  ScopedEnv no_password("PGPASSWORD", nullptr);
  ScopedEnv no_passfile("PGPASSFILE", "/nonexistent/pgpass");
  struct Case {
    const char* name;
    std::string url;
    const char* password;
    StoreFailure failure;
    std::string words;
  } cases[] = {
      {"refused", "postgresql://vanto@127.0.0.1:1/postgres", nullptr, StoreFailure::Unreachable, "127.0.0.1:1"},
      {"no such socket", "postgresql://vanto@/postgres?host=/nonexistent&port=5", nullptr, StoreFailure::Unreachable,
       ":5/postgres?host=/nonexistent"},
      {"wrong password", TcpUrl("vanto_pw", "postgres"), "wrong", StoreFailure::Denied, "password authentication failed"},
      {"no password", TcpUrl("vanto_pw", "postgres"), nullptr, StoreFailure::Denied, "vanto_pw@127.0.0.1"},
      {"no such database", WithDatabase(*vanto::testing::PgTestUrl(), "vanto_no_such_db"), nullptr,
       StoreFailure::Missing, "vanto_no_such_db"},
      {"no URL", "postgresql://%zz@host/db", nullptr, StoreFailure::Invalid, "no usable URL"},
  };
  for (const Case& c : cases) {
    ScopedEnv password("PGPASSWORD", c.password);
    StoreError e = Refusal(c.url);
    EXPECT_EQ(e.failure(), c.failure) << c.name << ": " << e.what();
    EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << c.name << ": " << e.what();
    EXPECT_EQ(std::string(e.what()).find("wrong"), std::string::npos) << c.name << ": shows the password: " << e.what();
  }
}

TEST_F(PostgresStore, APasswordComesFromThePasswordFile) {
  char pattern[] = "/tmp/vanto-pgpass-XXXXXX";
  std::filesystem::path folder = mkdtemp(pattern);
  std::string file = (folder / "pgpass").string();
  std::ofstream(file) << "127.0.0.1:" << std::getenv("VANTO_TEST_PG_PORT") << ":*:vanto_pw:vanto-secret\n";
  chmod(file.c_str(), 0600);
  ScopedEnv no_password("PGPASSWORD", nullptr);
  ScopedEnv passfile("PGPASSFILE", file.c_str());
  auto store = OpenSwipeStore(TcpUrl("vanto_pw", DbName(url_)));
  EXPECT_EQ(store->schema_version(), LatestSchemaVersion());
  std::filesystem::remove_all(folder);
}

TEST_F(PostgresStore, AReadOnlyServerReadsButRefusesToStore) {
  auto writer = OpenSwipeStore(url_);
  Delivery(*writer, 1, 1).Store(std::vector<Swipe>{{1, At(1)}});
  PgAdmin("ALTER DATABASE " + DbName(url_) + " SET default_transaction_read_only = on");
  auto reader = OpenSwipeStore(url_);  // the schema is current: opening needs no writing
  EXPECT_EQ(reader->CountSwipes(), 1);
  Delivery delivery(*reader, 1, 1);
  try {
    delivery.Store(std::vector<Swipe>{{1, At(1)}, {2, At(2)}});
    ADD_FAILURE() << "stored into a read-only database";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.failure(), StoreFailure::ReadOnly) << e.what();
    EXPECT_NE(std::string(e.what()).find("read-only"), std::string::npos) << e.what();
  }
  EXPECT_EQ(delivery.added(), 0u);
  PgAdmin("ALTER DATABASE " + DbName(url_) + " SET default_transaction_read_only = off");
  EXPECT_EQ(OpenSwipeStore(url_)->CountSwipes(), 1);
}

TEST_F(PostgresStore, ASchemaFromANewerVersionIsRefused) {
  { OpenSwipeStore(url_); }
  std::string newer = std::to_string(LatestSchemaVersion() + 1);
  PgAdmin("INSERT INTO schema_version VALUES (" + newer + ", 'from the future', 'x')", DbName(url_));
  StoreError e = Refusal(url_);
  EXPECT_EQ(e.failure(), StoreFailure::NewerSchema) << e.what();
  EXPECT_NE(std::string(e.what()).find("version " + newer), std::string::npos) << e.what();
  EXPECT_NE(std::string(e.what()).find(DbName(url_)), std::string::npos) << e.what();
}

// The server ends the store's session while a batch waits inside its transaction (behind a
// lock the test holds): the store connects again, runs the batch again, and every swipe is
// stored once; the next delivery of the same swipes adds nothing.
TEST_F(PostgresStore, AConnectionDroppedMidBatchIsMadeAgainWithNothingDoubled) {
  auto store = OpenSwipeStore(url_, {.create = true, .lock_timeout = std::chrono::milliseconds(20000)});
  std::vector<Swipe> swipes;
  for (int i = 0; i < 1200; ++i) swipes.push_back({i % 17, At(i / 5)});
  Delivery first(*store, 1, 1);
  first.Store(std::span(swipes).first(400));

  PGconn* locker = PQconnectdb(url_.c_str());
  ASSERT_EQ(PQstatus(locker), CONNECTION_OK);
  PQclear(PQexec(locker, "BEGIN; LOCK TABLE swipes IN EXCLUSIVE MODE"));
  std::thread killer([&] {
    // Waits (bounded) until the store's session is blocked on the lock, then ends it.
    const std::string waiting = "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'vanto' AND datname = '" +
                                DbName(url_) + "' AND wait_event_type = 'Lock'";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (PgAdmin(waiting) != "1" && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    PgAdmin("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'vanto' AND datname = '" +
            DbName(url_) + "'");
    PQclear(PQexec(locker, "COMMIT"));
  });
  auto keyed = first.Store(std::span(swipes).subspan(400, 500));
  killer.join();
  PQfinish(locker);
  EXPECT_EQ(keyed.size(), 500u);
  first.Store(std::span(swipes).subspan(900));
  EXPECT_EQ(first.added(), 1200u);
  EXPECT_EQ(store->CountSwipes(), 1200);

  // The next sync, on a new connection, adds nothing.
  auto again = OpenSwipeStore(url_);
  Delivery second(*again, 1, 1);
  second.Store(swipes);
  EXPECT_EQ(second.added(), 0u);
  EXPECT_EQ(again->CountSwipes(), 1200);
}

// The server stops taking connections and ends the store's session: the store tries again with
// growing pauses up to its bound, then gives up with one line naming the server and the cause;
// nothing of the batch is stored, and once the server takes connections again the same batch
// is stored whole.
TEST_F(PostgresStore, ALostConnectionIsRetriedUpToTheBoundThenNamed) {
  auto store = OpenSwipeStore(url_);
  Delivery delivery(*store, 1, 1);
  std::vector<Swipe> batch;
  for (int i = 0; i < 500; ++i) batch.push_back({i % 7, At(i)});
  PgAdmin("ALTER DATABASE " + DbName(url_) + " ALLOW_CONNECTIONS false");
  PgAdmin("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'vanto' AND datname = '" +
          DbName(url_) + "'");
  try {
    delivery.Store(batch);
    ADD_FAILURE() << "stored without a connection";
  } catch (const StoreError& e) {
    std::string text = e.what();
    EXPECT_EQ(e.failure(), StoreFailure::Unreachable) << text;
    EXPECT_NE(text.find(DbName(url_)), std::string::npos) << text;
    EXPECT_NE(text.find("gave up after 5 attempts"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  }
  EXPECT_EQ(delivery.added(), 0u);
  PgAdmin("ALTER DATABASE " + DbName(url_) + " ALLOW_CONNECTIONS true");
  delivery.Store(batch);
  EXPECT_EQ(delivery.added(), 500u);
  EXPECT_EQ(store->CountSwipes(), 500);
}

// Another session and the store deadlock over two keys: the server aborts the store's
// transaction (it waited first), and the store runs the batch again instead of failing.
TEST_F(PostgresStore, ABatchThatLosesADeadlockRunsAgain) {
  auto store = OpenSwipeStore(url_);
  const StoredSwipe one{1, 1, 5, "2026-11-06 08:00", 1, "2026-11-06 08:00:00", "2026-11-07T00:00:00Z", {}, {}, {}};
  const StoredSwipe two{1, 1, 6, "2026-11-06 08:00", 1, "2026-11-06 08:00:00", "2026-11-07T00:00:00Z", {}, {}, {}};
  auto insert = [](const StoredSwipe& s) {
    return "INSERT INTO swipes VALUES (" + std::to_string(s.port) + ", " + std::to_string(s.terminal) + ", " +
           std::to_string(s.person) + ", '" + s.minute + "', " + std::to_string(s.occurrence) + ", '" + s.time + "', '" +
           s.downloaded_at + "')";
  };
  PGconn* other = PQconnectdb(url_.c_str());
  ASSERT_EQ(PQstatus(other), CONNECTION_OK);
  PQclear(PQexec(other, "SET application_name = 'other'"));
  // Only the store's session looks for the deadlock in time (it waited first, but on a busy
  // machine the other's check could otherwise come first and abort the other instead).
  PQclear(PQexec(other, "SET deadlock_timeout = '1min'"));
  PQclear(PQexec(other, ("BEGIN; " + insert(two)).c_str()));
  std::vector<bool> added;
  std::string error;
  std::thread writer([&] {
    try {
      added = store->Insert(std::vector<StoredSwipe>{one, two});  // takes `one`, then waits for `two`
    } catch (const std::exception& e) {
      error = e.what();
    }
  });
  const std::string waiting = "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'vanto' AND datname = '" +
                              DbName(url_) + "' AND wait_event_type = 'Lock'";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (PgAdmin(waiting) != "1" && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  PGresult* crossed = PQexec(other, insert(one).c_str());  // waits for the store: a deadlock
  EXPECT_EQ(PQresultStatus(crossed), PGRES_COMMAND_OK) << PQresultErrorMessage(crossed);
  PQclear(crossed);
  PQclear(PQexec(other, "COMMIT"));
  writer.join();
  PQfinish(other);
  EXPECT_EQ(error, "");
  EXPECT_EQ(added, (std::vector<bool>{false, false}));  // the other session stored both first
  EXPECT_EQ(store->CountSwipes(), 2);
}

// Four writers, each with its own connection, store the same terminal's delivery (in batches
// cut differently) and a terminal of their own, all at once: every swipe exactly once.
TEST_F(PostgresStore, FourConcurrentWritersStoreEverySwipeExactlyOnce) {
  std::vector<Swipe> shared;
  for (int i = 0; i < 3000; ++i) shared.push_back({i % 23, At(i / 4, i % 60)});
  constexpr int kWriters = 4;
  std::vector<std::size_t> added_shared(kWriters), added_own(kWriters);
  std::vector<std::string> errors(kWriters);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      try {
        auto store = OpenSwipeStore(url_);
        Delivery common(*store, 1, 1), own(*store, 2, w + 1);
        std::size_t step = 100 + 37 * static_cast<std::size_t>(w);
        for (std::size_t at = 0; at < shared.size(); at += step) {
          auto part = std::span(shared).subspan(at, std::min(step, shared.size() - at));
          common.Store(part);
          own.Store(part);
        }
        added_shared[w] = common.added();
        added_own[w] = own.added();
      } catch (const std::exception& e) {
        errors[w] = e.what();
      }
    });
  for (auto& t : writers) t.join();
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(errors[w], "") << "writer " << w;
    EXPECT_EQ(added_own[w], shared.size()) << "writer " << w;
  }
  EXPECT_EQ(added_shared[0] + added_shared[1] + added_shared[2] + added_shared[3], shared.size());
  auto store = OpenSwipeStore(url_);
  EXPECT_EQ(store->CountSwipes(1, 1), static_cast<std::int64_t>(shared.size()));
  EXPECT_EQ(store->CountSwipes(), static_cast<std::int64_t>(shared.size()) * (kWriters + 1));
}

}  // namespace
}  // namespace vanto::store
