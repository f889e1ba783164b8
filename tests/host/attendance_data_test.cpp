// Listings and reports over a real SQLite store through the seam: names beside person numbers,
// re-imported people, filters, an empty database, and 1,000,000 swipes exported with flat
// memory (the export holds no rows: its resident high-water mark barely moves).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <streambuf>

#include "host/attendance_data.h"
#include "host/db/swipe_store.h"
#include "present/report/date_options.h"
#include "present/swipe_export.h"
#include "tests/host/report/csv_rows.h"
#include "host/db/openers.h"

namespace fs = std::filesystem;
using namespace vanto;
using vanto::report::test::CsvRows;

namespace {

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/vanto-listing-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

store::StoredSwipe Row(int port, int terminal, std::int32_t person, const std::string& time, int occurrence = 1) {
  return {port, terminal, person, time.substr(0, 16), occurrence, time, "2026-04-01T00:00:00Z", {}, {}, {}};
}

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = store::OpenSwipeStore(folder_.File("vanto.db"));
    std::vector<store::StoredSwipe> rows = {
        Row(1, 1, 101, "2026-03-05 22:00:10"), Row(1, 1, 101, "2026-03-06 06:00:40"),
        Row(1, 2, 102, "2026-03-06 08:00:00"), Row(1, 2, 102, "2026-03-06 08:00:30", 2),
        Row(2, 3, 102, "2026-03-06 11:00:00"), Row(2, 3, 999, "2026-03-07 09:00:00"),
    };
    store_->Insert(rows);
  }
  std::string Csv(const store::SwipeQuery& query) {
    std::ostringstream out;
    host::ExportSwipes(*store_, query, report::Format::Csv, out);
    return out.str();
  }
  TempFolder folder_;
  std::unique_ptr<store::SwipeStore> store_;
};

TEST_F(ListingTest, PeopleImportAddsAndUpdates) {
  store::PeopleImport first = store_->PutPeople(std::vector<store::PersonName>{
      {101, "Zhang, Wei", "Night \"B\" shift"}, {102, "王小明", ""}, {103, "Two\nLines", "Lab"}});
  EXPECT_EQ(first.added, 3u);
  EXPECT_EQ(first.updated, 0u);
  store::PeopleImport again = store_->PutPeople(std::vector<store::PersonName>{
      {101, "Zhang, Wei", "Night \"B\" shift"}, {102, "Wang Xiaoming", "Sales"}, {104, "New", ""}});
  EXPECT_EQ(again.added, 1u);
  EXPECT_EQ(again.updated, 1u);
  EXPECT_EQ(again.unchanged, 1u);
  std::vector<store::PersonName> people = store_->People();
  ASSERT_EQ(people.size(), 4u);  // a re-import keeps people it does not list
  EXPECT_EQ(people[1].person, 102);
  EXPECT_EQ(people[1].name, "Wang Xiaoming");
  EXPECT_EQ(people[1].department, "Sales");
  EXPECT_EQ(people[2].name, "Two\nLines");
}

TEST_F(ListingTest, SwipesInTimeOrderWithNamesAndFilters) {
  store_->PutPeople(std::vector<store::PersonName>{{101, "Zhang, Wei", ""}, {102, "王小明", ""}});
  auto rows = CsvRows(Csv({}));
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[1], (std::vector<std::string>{"2026-03-05 22:00:10", "1", "1", "101", "Zhang, Wei"}));
  EXPECT_EQ(rows[3][4], "王小明");
  EXPECT_EQ(rows[6], (std::vector<std::string>{"2026-03-07 09:00:00", "2", "3", "999", ""}));
  for (std::size_t i = 2; i < rows.size(); ++i) EXPECT_LE(rows[i - 1][0], rows[i][0]);

  store::SwipeQuery day;
  report::TimeRange range = report::ParseTimeRange("2026-03-06", "2026-03-06");
  day.from = range.from;
  day.to = range.to;
  EXPECT_EQ(CsvRows(Csv(day)).size(), 1u + 4u);
  day.persons = {102, 999};
  day.port = 1;
  EXPECT_EQ(CsvRows(Csv(day)).size(), 1u + 2u);
  store::SwipeQuery minute;
  range = report::ParseTimeRange("2026-03-06 08:00", "2026-03-06 08:00");
  minute.from = range.from;
  minute.to = range.to;
  EXPECT_EQ(CsvRows(Csv(minute)).size(), 1u + 2u);
}

TEST_F(ListingTest, ReportThroughTheStore) {
  store_->PutPeople(std::vector<store::PersonName>{{101, "Zhang, Wei", "Nights"}, {150, "Never Came", ""}});
  report::Report r = host::BuildReport(*store_, report::ParseMonth("2026-03"), 12 * 60);
  ASSERT_EQ(r.people.size(), 4u);  // 101, 102, 150 (no swipes), 999 (no name)
  EXPECT_EQ(r.people[0].person, 101);
  ASSERT_EQ(r.people[0].days.size(), 1u);  // the night shift is one working day
  EXPECT_EQ(r.people[0].days[0].span(), 480);
  EXPECT_EQ(r.people[1].person, 102);
  ASSERT_EQ(r.people[1].days.size(), 1u);
  EXPECT_EQ(r.people[1].days[0].swipes, 2);  // 08:00 twice counts once
  EXPECT_EQ(r.people[1].days[0].span(), 180);
  EXPECT_EQ(r.people[2].days_present(), 0);
  EXPECT_FALSE(r.people[3].name.has_value());
}

TEST(Listing, EmptyDatabase) {
  TempFolder folder;
  auto store = store::OpenSwipeStore(folder.File("empty.db"));
  std::ostringstream csv, json;
  EXPECT_EQ(host::ExportSwipes(*store, {}, report::Format::Csv, csv), 0u);
  EXPECT_EQ(csv.str(), "time,port,terminal,person,name\n");
  EXPECT_EQ(host::ExportSwipes(*store, {}, report::Format::Json, json), 0u);
  EXPECT_EQ(json.str(), "");
  EXPECT_TRUE(store->People().empty());
  EXPECT_TRUE(host::BuildReport(*store, report::ParseMonth("2026-03"), 0).people.empty());
}

long StatusKib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
  return -1;
}

// Counts what passes through and keeps nothing.
class CountingBuffer : public std::streambuf {
 public:
  std::size_t bytes = 0, lines = 0;

 protected:
  int overflow(int c) override {
    if (c != EOF) Count(static_cast<char>(c));
    return c == EOF ? 0 : c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) Count(s[i]);
    return n;
  }

 private:
  void Count(char c) {
    ++bytes;
    if (c == '\n') ++lines;
  }
};

// Hands the real store's rows on and watches the output: how many rows it handed out that the
// writer has not written yet (at most one, the row being written, when nothing is collected).
class WatchedStore final : public store::SwipeStore {
 public:
  WatchedStore(store::SwipeStore& inner, const CountingBuffer& written) : inner_(inner), written_(written) {}
  const std::string& location() const override { return inner_.location(); }
  int schema_version() const override { return inner_.schema_version(); }
  std::vector<bool> Insert(std::span<const store::StoredSwipe> rows) override { return inner_.Insert(rows); }
  std::int64_t Count(const store::SwipeQuery& query) const override { return inner_.Count(query); }
  store::PeopleImport PutPeople(std::span<const store::PersonName> people) override { return inner_.PutPeople(people); }
  std::vector<store::PersonName> People(const std::optional<std::string>& site) const override { return inner_.People(site); }
  void Each(const store::SwipeQuery& query, const std::function<bool(const store::StoredSwipe&)>& row) const override {
    inner_.Each(query, [&](const store::StoredSwipe& s) {
      std::size_t lines = written_.lines > 0 ? written_.lines - 1 : 0;  // the header is no row
      peak_held = std::max(peak_held, handed - lines);
      ++handed;
      return row(s);
    });
  }
  mutable std::size_t handed = 0, peak_held = 0;

 private:
  store::SwipeStore& inner_;
  const CountingBuffer& written_;
};

TEST(Listing, MillionSwipesStreamWithFlatMemory) {
  TempFolder folder;
  auto store = store::OpenSwipeStore(folder.File("big.db"));
  constexpr int kSwipes = 1'000'000;
  std::vector<store::StoredSwipe> batch;
  batch.reserve(20000);
  // Rows in the order of both the key and the time index, so that building the database costs
  // little: a person per 2,000 swipes, a swipe a second from 2026-01-01 06:00 on.
  for (int i = 0; i < kSwipes; ++i) {
    int day = 1 + i / 40000, second = i % 40000;
    char time[32];
    std::snprintf(time, sizeof time, "2026-01-%02d %02d:%02d:%02d", day, second / 3600 + 6, second / 60 % 60, second % 60);
    batch.push_back(Row(1, 1, 1 + i / 2000, time, 1 + second % 60));
    if (batch.size() == batch.capacity()) {
      store->Insert(batch);
      batch.clear();
    }
  }
  batch = {};
  ASSERT_EQ(store->Count({}), kSwipes);

  CountingBuffer counter;
  std::ostream out(&counter);
  WatchedStore watched(*store, counter);
  long before = StatusKib("VmRSS:");
  {
    std::ofstream clear("/proc/self/clear_refs");  // resets the high-water mark
    clear << "5";
  }
  std::size_t written = host::ExportSwipes(watched, {}, report::Format::Csv, out);
  long peak = StatusKib("VmHWM:");
  EXPECT_EQ(written, static_cast<std::size_t>(kSwipes));
  EXPECT_EQ(counter.lines, kSwipes + 1u);
  EXPECT_EQ(watched.handed, static_cast<std::size_t>(kSwipes));
  // Each row is written before the next is read: never more than one held.
  EXPECT_LE(watched.peak_held, 1u);
#if !defined(__SANITIZE_ADDRESS__)
  // 1,000,000 rows held would take well over 100 MiB; streaming stays within a few. (Under
  // AddressSanitizer freed memory sits in quarantine, so only the count above holds there.)
  EXPECT_LT(peak - before, 24 * 1024) << "resident memory grew from " << before << " KiB to " << peak << " KiB";
#else
  (void)before;
  (void)peak;
#endif
}

}  // namespace
