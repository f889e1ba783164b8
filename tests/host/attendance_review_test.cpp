// The days to review on both engines: exactly the statuses that need a look over a month end,
// the department filter, reviewed days hidden unless asked, the day's swipes; marking refused
// where it makes no sense, audited where it is done.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <tuple>

#include "host/attendance_review.h"
#include "host/db/accounts_store.h"
#include "host/db/database.h"
#include "host/errors.h"
#include "host/site/site.h"
#include "tests/host/store_engines.h"

namespace vanto::host {
namespace {

using Row = std::tuple<std::string, std::int32_t, std::string>;  // date, person, status

class AttendanceReviewTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    VANTO_STORE_ENGINE(GetParam(), engine_);
    db_ = db::Database::Open(engine_->FreshLocation());
    site_ = site::ParseSite("timezone = \"UTC\"\n[[port]]\nnumber = 1\ndevice = \"/dev/null\"\nterminals = [1]\n", "s.toml");
    const AttendanceSite at = Site();
    // A full day is 4 hours worked: a late or early day is not a half day.
    AddShift(at, attendance::Shift{.name = "day", .full_day_minutes = 240},
             std::vector<bool>{true, true, true, true, true, false, false});
    for (const char* department : {"Stores", "Office"}) {
      attendance::Assignment a;
      a.pattern = "day", a.target = attendance::TargetKind::kDepartment, a.department = department, a.from = "2026-11-01";
      Assign(at, a);
    }
    db_->Swipes()->PutPeople(std::vector<store::PersonName>{
        {1, "Ann", "Stores"}, {2, "Bo", "Office"}, {3, "Cy", "Stores"}, {4, "Di", "Office"}});
    // Monday 30 November and Tuesday 1 December.
    const std::pair<std::int32_t, const char*> swipes[] = {
        {1, "2026-11-30 09:20:00"}, {1, "2026-11-30 18:00:00"}, {1, "2026-12-01 09:00:00"}, {1, "2026-12-01 18:00:00"},
        {2, "2026-11-30 09:00:00"}, {2, "2026-12-01 09:00:00"}, {2, "2026-12-01 16:00:00"},
        {4, "2026-12-01 08:55:00"}, {4, "2026-12-01 18:05:00"}};
    std::vector<store::StoredSwipe> stored;
    for (const auto& [person, time] : swipes)
      stored.push_back({1, 1, person, std::string(time).substr(0, 16), 1, time, "2026-12-04T10:00:00Z"});
    db_->Swipes()->Insert(stored);
    attendance::Leave leave;
    leave.person = 4, leave.kind = "annual", leave.from = leave.to = "2026-11-30";
    AddLeave(at, {leave});
    auto runs = db_->SyncRuns();
    const std::int64_t run = runs->Begin("2026-12-04T00:00:00Z", store::RunStarter::Command, "tester", "", "");
    store::RunTerminal t;
    t.port = 1, t.terminal = 1, t.outcome = "synced";
    runs->Finish(run, "2026-12-04T00:00:00Z", {t});
  }
  AttendanceSite Site() {
    return AttendanceSite{*db_, choice_, &site_, {"hr1", "10.0.0.9"}, std::chrono::sys_days(std::chrono::year{2026} / 12 / 5)};
  }
  std::set<Row> Rows(const ReviewOptions& options) {
    std::set<Row> rows;
    for (const ReviewDay& d : ToReview(Site(), "2026-11-30", "2026-12-01", options).days)
      rows.insert({d.day.date, d.day.person, attendance::StatusWord(d.day.status)});
    return rows;
  }
  std::vector<store::AuditEntry> Audited(const std::string& action) {
    std::vector<store::AuditEntry> found;
    for (const store::AuditEntry& e : db_->Accounts()->AuditTrail(100, std::nullopt))
      if (e.action == action) found.push_back(e);
    return found;
  }
  std::unique_ptr<store::testing::StoreEngine> engine_;
  std::shared_ptr<db::Database> db_;
  site::Site site_;
  SiteChoice choice_;
};

TEST_P(AttendanceReviewTest, ListsTheDaysThatNeedALookByDepartmentAndReviewed) {
  const std::set<Row> all{{"2026-11-30", 1, "late"},        {"2026-11-30", 2, "missing-swipe"}, {"2026-11-30", 3, "absent"},
                          {"2026-12-01", 2, "left-early"},  {"2026-12-01", 3, "absent"}};
  EXPECT_EQ(Rows({}), all);
  EXPECT_EQ(Rows({"Stores", false}), (std::set<Row>{{"2026-11-30", 1, "late"}, {"2026-11-30", 3, "absent"},
                                                    {"2026-12-01", 3, "absent"}}));
  EXPECT_TRUE(Rows({"Nobody's", false}).empty());
  // The filter's choices: every department of the site's people, whichever is shown.
  for (const std::optional<std::string>& shown : {std::optional<std::string>(), std::optional<std::string>("Nobody's")})
    EXPECT_EQ(ToReview(Site(), "2026-11-30", "2026-12-01", {shown, false}).departments,
              (std::vector<std::string>{"Office", "Stores"}));

  const ReviewList list = ToReview(Site(), "2026-11-30", "2026-12-01", {});
  EXPECT_EQ(list.timezone, "UTC");
  ASSERT_EQ(list.days.size(), 5u);
  const ReviewDay& late = list.days[0];  // by date, then person
  EXPECT_EQ(late.name, "Ann");
  EXPECT_EQ(late.department, "Stores");
  ASSERT_FALSE(late.day.findings.empty());
  EXPECT_EQ(late.day.findings[0], (attendance::Finding{attendance::FindingKind::kLate, 20, ""}));
  EXPECT_EQ(late.swipes, (std::vector<ReviewSwipe>{{"2026-11-30 09:20:00", 1, 1}, {"2026-11-30 18:00:00", 1, 1}}));

  // Marked: gone from the list, back with `include_reviewed` naming who and the note.
  MarkReviewed(Site(), 3, "2026-11-30", "on a course");
  std::set<Row> left = all;
  left.erase({"2026-11-30", 3, "absent"});
  EXPECT_EQ(Rows({}), left);
  EXPECT_EQ(Rows({std::nullopt, true}), all);
  for (const ReviewDay& d : ToReview(Site(), "2026-11-30", "2026-11-30", {std::nullopt, true}).days)
    if (d.day.person == 3) {
      ASSERT_TRUE(d.reviewed);
      EXPECT_EQ(d.reviewed->by, "hr1");
      EXPECT_EQ(d.reviewed->note, "on a course");
    } else {
      EXPECT_FALSE(d.reviewed) << d.day.person;
    }
  const std::vector<store::AuditEntry> marks = Audited("day.review");
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0].actor, "hr1");
  EXPECT_EQ(marks[0].origin, "10.0.0.9");
  EXPECT_NE(marks[0].details.find("person 3 on 2026-11-30, note: on a course"), std::string::npos) << marks[0].details;

  UnmarkReviewed(Site(), 3, "2026-11-30");
  EXPECT_EQ(Rows({}), all);
  EXPECT_EQ(Audited("day.unreview").size(), 1u);
  // An added swipe shows among the day's swipes, and the day no longer needs a look.
  attendance::Correction added;
  added.person = 2, added.time = "2026-11-30 18:00:00", added.direction = attendance::Direction::kOut, added.reason = "forgot";
  AddCorrection(Site(), added);
  left = all;
  left.erase({"2026-11-30", 2, "missing-swipe"});
  EXPECT_EQ(Rows({}), left);
}

TEST_P(AttendanceReviewTest, MarkingIsRefusedWhereItMakesNoSense) {
  const struct {
    const char* what;
    std::int32_t person;
    std::string date, note, says;
  } refused[] = {
      {"no date", 1, "2026-11-31", "", "is not a date"},
      {"after today", 1, "2026-12-06", "", "after today (2026-12-05 in time zone UTC)"},
      {"no person number", 0, "2026-11-30", "", "no person number"},
      {"a person unknown here", 99, "2026-11-30", "", "person 99 is not known at this site"},
      {"too long a note", 1, "2026-11-30", std::string(501, 'x'), "the note has 501 characters; at most 500"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    try {
      MarkReviewed(Site(), c.person, c.date, c.note);
      ADD_FAILURE() << "marked";
    } catch (const InputError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(UnmarkReviewed(Site(), 1, "2026-11-30"), InputError);  // never marked
  EXPECT_THROW(ToReview(Site(), "2025-01-01", "2026-12-01", {}), InputError);  // over a year
  EXPECT_THROW(ToReview(Site(), "2026-12-01", "2026-11-30", {}), InputError);
  EXPECT_TRUE(Audited("day.review").empty());
  // A closed month's day may be marked (the mark changes nothing judged); marking again keeps one
  // mark with the newer note.
  CloseMonth(Site(), "2026-11");
  MarkReviewed(Site(), 1, "2026-11-30", "first");
  MarkReviewed(Site(), 1, "2026-11-30", "second");
  const std::vector<ReviewDay> days = ToReview(Site(), "2026-11-30", "2026-11-30", {"Stores", true}).days;
  ASSERT_EQ(days.size(), 2u);
  ASSERT_TRUE(days[0].reviewed);
  EXPECT_EQ(days[0].reviewed->note, "second");
}

INSTANTIATE_TEST_SUITE_P(Engines, AttendanceReviewTest, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace vanto::host
