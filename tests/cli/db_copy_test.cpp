// `vanto db copy`: a site's SQLite database into PostgreSQL and back again, every swipe,
// enrolment and person arriving once however often it runs (a person's name from the source); a server that cannot be reached or a text
// that is no URL is a one-line error with exit status 3 (2 for a usage mistake).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "cli/cli.h"
#include "host/enrolment.h"
#include "host/store/record_store.h"
#include "platform/ado/enrolment.h"
#include "platform/automation/errorinfo.h"
#include "tests/support/pg_server.h"

namespace vanto::cli {
namespace {

struct Result {
  int status;
  std::string out, err;
};

Result Vanto(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  Io io{out, err, false};
  int status = RunVanto(args, io);
  return {status, out.str(), err.str()};
}

DATE At(int minutes) { return 46332.0 + minutes / 1440.0; }

std::vector<EnrolmentRow> Enrolments(const std::string& location) {
  ComPtr<RowSet> rows = OpenEnrolmentRows(location, std::nullopt, 5, /*for_reading=*/true);
  std::vector<EnrolmentRow> all;
  EXPECT_EQ(ReadEnrolmentRows(rows.Get(), &all), S_OK);
  return all;
}

class DbCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vanto-dbcopy-XXXXXX";
    folder_ = mkdtemp(pattern);
    site_ = (folder_ / "site.db").string();
    auto store = store::RecordStore::Open(site_);
    std::vector<store::Swipe> swipes;
    for (int i = 0; i < 4321; ++i) swipes.push_back({i % 13, At(i / 3)});
    store::Delivery(store, 1, 1).Store(swipes);
    store::Delivery(store, 2, 3).Store(std::span(swipes).first(1000));
    store.swipes().PutPeople(std::vector<store::PersonName>{{101, "Zhang, Wei", "Nights"}, {102, "王小明", ""}});
    ComPtr<RowSet> rows = OpenEnrolmentRows(site_, std::nullopt, 5);
    std::vector<BYTE> print(2296);
    for (std::size_t i = 0; i < print.size(); ++i) print[i] = static_cast<BYTE>(i * 31);
    ASSERT_EQ(AddEnrolmentRow(rows.Get(), {101, 0, 1, std::nullopt, print}), S_OK);
    ASSERT_EQ(AddEnrolmentRow(rows.Get(), {101, 10, 1, 4321, std::vector<BYTE>{}}), S_OK);
    ASSERT_EQ(AddEnrolmentRow(rows.Get(), {102, 0, 3, std::nullopt, std::vector<BYTE>(2296, 0)}), S_OK);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  std::filesystem::path folder_;
  std::string site_;
};

TEST_F(DbCopy, SqliteToPostgresAndBackIsWholeAndIdempotent) {
  VANTO_REQUIRE_PG();
  vanto::testing::PgDatabases databases;
  const std::string central = databases.Fresh();
  const std::string back = (folder_ / "back.db").string();
  const auto want = store::RecordStore::Open(site_).Swipes();
  for (int run = 0; run < 2; ++run) {
    Result there = Vanto({"db", "copy", "--from", site_, "--to", central});
    ASSERT_EQ(there.status, kExitOk) << there.err;
    EXPECT_NE(there.out.find(run == 0 ? "5321 swipes (5321 new, 0 already there), 3 enrolments (3 new) and 2 people "
                                        "(2 new, 0 with the source's name, 0 unchanged)"
                                      : "5321 swipes (0 new, 5321 already there), 3 enrolments (0 new) and 2 people "
                                        "(0 new, 0 with the source's name, 2 unchanged)"),
              std::string::npos)
        << there.out;
    Result home = Vanto({"db", "copy", "--from", central, "--to", back});
    ASSERT_EQ(home.status, kExitOk) << home.err;
    EXPECT_NE(home.out.find("holds 5321 swipes, 3 enrolments and 2 people"), std::string::npos) << home.out;
  }
  // Every row with every field, on both sides.
  auto compare = [](std::vector<store::StoredSwipe> a, std::vector<store::StoredSwipe> b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(std::tie(a[i].port, a[i].terminal, a[i].person, a[i].minute, a[i].occurrence, a[i].time, a[i].downloaded_at),
                std::tie(b[i].port, b[i].terminal, b[i].person, b[i].minute, b[i].occurrence, b[i].time, b[i].downloaded_at))
          << "row " << i;
      if (::testing::Test::HasFailure()) return;
    }
  };
  compare(want, store::RecordStore::Open(central).Swipes());
  compare(want, store::RecordStore::Open(back).Swipes());
  EXPECT_EQ(Enrolments(central), Enrolments(site_));
  EXPECT_EQ(Enrolments(back), Enrolments(site_));
  const auto people = store::RecordStore::Open(site_).swipes().People();
  ASSERT_EQ(people.size(), 2u);
  EXPECT_EQ(store::RecordStore::Open(central).swipes().People(), people);
  EXPECT_EQ(store::RecordStore::Open(back).swipes().People(), people);
}

// A person the destination knows under another name takes the source's, as a re-import would
// give it; a person only the destination knows stays.
TEST_F(DbCopy, TheSourcesNamesUpdateTheDestinations) {
  const std::string target = (folder_ / "target.db").string();
  store::RecordStore::Open(target).swipes().PutPeople(
      std::vector<store::PersonName>{{101, "Old Name", ""}, {102, "王小明", ""}, {999, "Only There", "HQ"}});
  Result r = Vanto({"db", "copy", "--from", site_, "--to", target});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_NE(r.out.find("2 people (0 new, 1 with the source's name, 1 unchanged)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("and 3 people\n"), std::string::npos) << r.out;
  EXPECT_EQ(store::RecordStore::Open(target).swipes().People(),
            (std::vector<store::PersonName>{{101, "Zhang, Wei", "Nights"}, {102, "王小明", ""}, {999, "Only There", "HQ"}}));
}

// The source is only read: a read-only file is copied, and left exactly as it was.
TEST_F(DbCopy, AReadOnlySourceIsCopiedAndLeftAlone) {
  const std::string copy = (folder_ / "copy.db").string();
  chmod(site_.c_str(), 0444);
  auto before = std::filesystem::last_write_time(site_);
  Result r = Vanto({"db", "copy", "--from", site_, "--to", copy});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_NE(r.out.find("5321 swipes (5321 new, 0 already there), 3 enrolments (3 new) and 2 people (2 new"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(std::filesystem::last_write_time(site_), before);
  EXPECT_EQ(Enrolments(copy), Enrolments(site_));
  chmod(site_.c_str(), 0644);
}

// Swipes of a terminal that tells its identity keep their log and index, quarantined records
// arrive once, and the per-log counts the destination keeps match the source's.
TEST_F(DbCopy, IdentifiedSwipesAndRejectedRecordsTravelBothWays) {
  VANTO_REQUIRE_PG();
  const store::LogKey log{0x8000'0123u, 4};
  {
    auto store = store::RecordStore::Open(site_);
    std::vector<store::Swipe> swipes;
    for (int i = 0; i < 700; ++i) swipes.push_back({i % 7, At(2000 + i / 2)});
    store::Delivery delivery(store, 5, 9);
    delivery.Position(log, 0);
    delivery.Store(std::span(swipes).first(300));
    delivery.Position(log, 301);  // index 300 is the record the driver could not convert
    delivery.Store(std::span(swipes).subspan(300, 399));
    store::RejectedRecord bad{5, 9, log, 300, 7, 2026, 13, 1, 8, 0, "month 13", "2026-12-08T06:00:00Z"};
    ASSERT_TRUE(store.AddRejected(bad));
    store::RejectedRecord old{2, 3, std::nullopt, 17, 8, 2026, 2, 30, 9, 15, "day 30 in month 2 of 2026",
                              "2026-12-07T22:00:00Z"};
    ASSERT_TRUE(store.AddRejected(old));
  }
  vanto::testing::PgDatabases databases;
  const std::string central = databases.Fresh();
  const std::string back = (folder_ / "back.db").string();
  auto source = store::RecordStore::Open(site_);
  const auto want = source.Swipes();
  const auto want_rejected = source.Rejected();
  ASSERT_EQ(want.size(), 6020u);
  ASSERT_EQ(want_rejected.size(), 2u);
  for (int run = 0; run < 2; ++run) {
    Result there = Vanto({"db", "copy", "--from", site_, "--to", central});
    ASSERT_EQ(there.status, kExitOk) << there.err;
    EXPECT_NE(there.out.find(run == 0 ? "6020 swipes (6020 new, 0 already there)" : "6020 swipes (0 new, 6020 already there)"),
              std::string::npos)
        << there.out;
    EXPECT_NE(there.out.find(run == 0 ? "copied 2 rejected records (2 new)" : "copied 2 rejected records (0 new)"),
              std::string::npos)
        << there.out;
    Result home = Vanto({"db", "copy", "--from", central, "--to", back});
    ASSERT_EQ(home.status, kExitOk) << home.err;
    EXPECT_NE(home.out.find("holds 6020 swipes"), std::string::npos) << home.out;
    EXPECT_NE(home.out.find(run == 0 ? "copied 2 rejected records (2 new)" : "copied 2 rejected records (0 new)"),
              std::string::npos)
        << home.out;
  }
  auto key = [](const store::StoredSwipe& s) {
    return std::tie(s.port, s.terminal, s.person, s.minute, s.occurrence, s.time, s.identity, s.generation, s.index);
  };
  auto rejected_key = [](const store::RejectedRecord& r) {
    return std::make_tuple(r.port, r.terminal, r.log ? std::optional(r.log->identity) : std::nullopt,
                           r.log ? std::optional(r.log->generation) : std::nullopt, r.index, r.person, r.year, r.month,
                           r.day, r.hour, r.minute, r.reason, r.first_seen);
  };
  for (const std::string& location : {central, back}) {
    auto copy = store::RecordStore::Open(location);
    const auto got = copy.Swipes();
    ASSERT_EQ(got.size(), want.size()) << location;
    for (std::size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(key(got[i]), key(want[i])) << location << " row " << i;
    }
    const auto rejected = copy.Rejected();
    ASSERT_EQ(rejected.size(), want_rejected.size()) << location;
    for (std::size_t i = 0; i < rejected.size(); ++i)
      EXPECT_EQ(rejected_key(rejected[i]), rejected_key(want_rejected[i])) << location;
    // The destination's per-log count holds every index 0..699, the rejected one included.
    const store::LogCoverage coverage = copy.Coverage(log);
    EXPECT_EQ(coverage.count, 700) << location;
    EXPECT_EQ(coverage.next, 700) << location;
    EXPECT_TRUE(copy.Missing(log, 700).empty()) << location;
  }
}

// A destination holding a terminal's swipes from before it told its identity gets identity and
// index attached when the source holds them identified, whichever terminal a batch starts with:
// no swipe is stored twice.
TEST_F(DbCopy, IdentifiedSwipesAdoptTheDestinationsUnidentifiedRows) {
  const std::string target = (folder_ / "target.db").string();
  std::vector<store::Swipe> swipes;
  for (int i = 0; i < 1000; ++i) swipes.push_back({i % 13, At(i / 3)});
  {
    auto old = store::RecordStore::Open(target);
    store::Delivery(old, 2, 3).Store(swipes);
  }
  const std::string source = (folder_ / "source.db").string();
  {
    auto store = store::RecordStore::Open(source);
    store::Delivery(store, 1, 1).Store(swipes);
    store::Delivery delivery(store, 2, 3);
    delivery.Position(store::LogKey{42, 1}, 0);
    delivery.Store(swipes);
  }
  Result r = Vanto({"db", "copy", "--from", source, "--to", target});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  auto copy = store::RecordStore::Open(target);
  EXPECT_EQ(copy.CountSwipes(), 2000);
  EXPECT_EQ(copy.CountSwipes(2, 3), 1000);
  std::int64_t identified = 0;
  for (const auto& s : copy.Swipes(2, 3)) identified += s.identity == 42u ? 1 : 0;
  EXPECT_EQ(identified, 1000);
  EXPECT_EQ(copy.Coverage(store::LogKey{42, 1}).count, 1000);
}

TEST_F(DbCopy, BadLocationsAreOneLineErrors) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string words;
  } cases[] = {
      {{"db", "copy", "--from", site_, "--to", "postgresql://vanto@127.0.0.1:1/central"}, kExitHost, "127.0.0.1:1"},
      {{"db", "copy", "--from", site_, "--to", "postgresql://%zz@host/db"}, kExitHost, "no usable URL"},
      {{"db", "copy", "--from", site_, "--to", "mysql://host/db"}, kExitHost, "unknown scheme"},
      {{"db", "copy", "--from", (folder_ / "missing.db").string(), "--to", site_}, kExitHost, "does not exist"},
      {{"db", "copy", "--from", site_, "--to", site_}, kExitUsage, "same database"},
      {{"db", "move", "--from", site_, "--to", site_ + ".copy"}, kExitUsage, "unknown action 'move'"},
      {{"db", "--from", site_, "--to", site_ + ".copy"}, kExitUsage, "vanto db copy"},
      {{"db", "copy", "--from", site_}, kExitUsage, "--to"},
  };
  for (const Case& c : cases) {
    Result r = Vanto(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[c.args.size() - 1] << ": " << r.err;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
  EXPECT_EQ(store::RecordStore::Open(site_).CountSwipes(), 5321);
}

}  // namespace
}  // namespace vanto::cli
