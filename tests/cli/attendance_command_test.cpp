// The attendance commands as HR runs them on a temporary database: a shift assigned and swipes
// judged into statuses, a correction that mends a day without touching a stored swipe, the
// refusals (each exit 2, nothing stored), a pending day naming its terminal, and a closed month
// that keeps its days until it is reopened.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/calendar.h"
#include "host/db/database.h"
#include "host/db/swipe_store.h"
#include "cli/cli.h"

namespace fs = std::filesystem;

namespace vanto::cli::testing {
namespace {

struct Result {
  int status;
  std::string out, err;
};

Result Vanto(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  Io io{out, err, false};
  const int status = RunVanto(args, io);
  return {status, out.str(), err.str()};
}

class AttendanceCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vanto-attendance-XXXXXX";
    folder_ = mkdtemp(pattern);
    db_ = (folder_ / "vanto.db").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  Result Run(std::vector<std::string> args) {
    args.insert(args.end(), {"--db", db_});
    return Vanto(args);
  }
  void Ok(const std::vector<std::string>& args) {
    Result r = Run(args);
    ASSERT_EQ(r.status, kExitOk) << args[0] << " " << args[1] << ": " << r.err;
  }
  void Store(const std::vector<std::pair<std::int32_t, std::string>>& swipes) {
    std::vector<store::StoredSwipe> rows;
    for (const auto& [person, time] : swipes)
      rows.push_back({1, 1, person, time.substr(0, 16), 1, time, "2026-12-01T00:00:00Z"});
    vanto::db::Database::Open(db_)->Swipes()->Insert(rows);
  }
  // person -> date -> the day's JSON.
  std::map<std::int32_t, std::map<std::string, nlohmann::json>> Days(const std::string& month,
                                                                      std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"attendance", "--month", month, "--json"};
    args.insert(args.end(), more.begin(), more.end());
    Result r = Run(args);
    EXPECT_EQ(r.status, kExitOk) << r.err;
    std::map<std::int32_t, std::map<std::string, nlohmann::json>> days;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      nlohmann::json day = nlohmann::json::parse(line);
      days[day["person"].get<std::int32_t>()][day["date"].get<std::string>()] = day;
    }
    return days;
  }
  // A day shift, Monday to Friday, for people 17 and 18 from November on, and their swipes.
  void DayShift() {
    Ok({"shift", "add", "day", "--start", "09:00", "--end", "18:00", "--late-grace", "5", "--break", "60", "--full-day", "420",
        "--days", "mon-fri"});
    Ok({"shift", "assign", "day", "--people", "17-18", "--from", "2026-11-01"});
    Store({{17, "2026-11-02 08:55:00"}, {17, "2026-11-02 18:05:00"},   // Monday: present
           {17, "2026-11-03 09:20:00"}, {17, "2026-11-03 18:00:00"},   // late 20
           {17, "2026-11-04 08:58:00"},                                // no check-out
           {17, "2026-11-05 08:50:00"}, {17, "2026-11-05 17:30:00"},   // left early 30
           {17, "2026-11-07 10:00:00"}, {17, "2026-11-07 12:00:00"}}); // Saturday, worked
  }
  fs::path folder_;
  std::string db_;
};

TEST_F(AttendanceCommands, ShiftsAndSwipesGiveEachDayItsStatus) {
  DayShift();
  auto days = Days("2026-11");
  struct Case {
    std::int32_t person;
    const char* date;
    const char* status;
    int late, early, worked, overtime;
  } cases[] = {
      {17, "2026-11-02", "present", 0, 0, 490, 70},   // 08:55-18:05 less the break; a full day is 420
      {17, "2026-11-03", "late", 20, 0, 460, 40},
      {17, "2026-11-04", "missing-swipe", 0, 0, 0, 0},
      {17, "2026-11-05", "left-early", 0, 30, 460, 40},
      {17, "2026-11-07", "rest", 0, 0, 120, 120},     // worked on a rest day: all overtime
      {17, "2026-11-08", "rest", 0, 0, 0, 0},
      {18, "2026-11-02", "absent", 0, 0, 0, 0},       // assigned, never swiped: still judged
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.person) + " " + c.date);
    const nlohmann::json& day = days[c.person][c.date];
    EXPECT_EQ(day["status"], c.status) << day;
    EXPECT_EQ(day["late_minutes"], c.late);
    EXPECT_EQ(day["early_minutes"], c.early);
    EXPECT_EQ(day["worked_minutes"], c.worked);
    EXPECT_EQ(day["overtime_minutes"], c.overtime);
  }
  EXPECT_EQ(days[17].size(), 30u);
  // The table names the status in every line of the person's days.
  Result table = Run({"attendance", "--month", "2026-11", "--person", "17"});
  ASSERT_EQ(table.status, kExitOk) << table.err;
  EXPECT_NE(table.out.find("2026-11-04  missing-swipe"), std::string::npos) << table.out;
}

TEST_F(AttendanceCommands, ACorrectionMendsTheDayAndLeavesTheSwipesAsStored) {
  DayShift();
  const Result before = Run({"swipes", "--json"});
  Ok({"correction", "add", "17", "--time", "2026-11-04 18:10", "--out", "--reason", "forgot to swipe"});
  EXPECT_EQ(Days("2026-11")[17]["2026-11-04"]["status"], "present");
  EXPECT_EQ(Run({"swipes", "--json"}).out, before.out);
  // Set aside the late arrival of 11-03: the day has one swipe left.
  Ok({"correction", "set-aside", "17", "--time", "2026-11-03 09:20:00", "--port", "1", "--terminal", "1", "--reason", "test swipe"});
  EXPECT_EQ(Days("2026-11")[17]["2026-11-03"]["status"], "missing-swipe");
  EXPECT_EQ(Run({"swipes", "--json"}).out, before.out);
  Ok({"correction", "withdraw", "2"});
  EXPECT_EQ(Days("2026-11")[17]["2026-11-03"]["status"], "late");
  Result list = Run({"correction", "list", "--month", "2026-11", "--json"});
  EXPECT_NE(list.out.find("\"withdrawn\":true"), std::string::npos) << list.out;
}

TEST_F(AttendanceCommands, BadInputIsRefusedNamingWhatAndNothingIsStored) {
  DayShift();
  Ok({"correction", "add", "17", "--time", "2026-11-04 18:10", "--out", "--reason", "forgot"});
  Ok({"shift", "add", "night", "--start", "22:00", "--end", "06:00"});
  Ok({"shift", "add", "early", "--start", "05:00", "--end", "13:00"});
  const std::string berlin = (folder_ / "berlin.toml").string();
  std::ofstream(berlin) << "timezone = \"Europe/Berlin\"\n[[port]]\nnumber = 1\ndevice = \"/dev/null\"\nterminals = [1]\n";
  const std::string leave = (folder_ / "leave.csv").string();
  std::ofstream(leave) << "person,kind,from,to\n17,annual,2026-12-01,2026-12-02\n18,holiday,2026-12-01,\n"
                       << "19,sick,2026-12-03,2026-12-03\n0,sick,2026-12-04,2026-12-04\n";
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"pattern", "add", "nights", "--week", "night,early,,,,,"}, "overlap"},
      {{"shift", "assign", "day", "--people", "18", "--from", "2026-11-15"}, "person 18 has assignment 2"},
      {{"correction", "add", "17", "--time", "2026-11-04 18:10", "--out", "--reason", "again"}, "correction 1 adds"},
      {{"correction", "add", "17", "--time", "2026-11-04 18:10", "--out", "--reason", " "}, "needs its reason"},
      {{"correction", "add", "17", "--time", "2026-03-29 02:30", "--in", "--reason", "r", "--site", berlin},
       "does not exist in time zone Europe/Berlin"},
      {{"leave", "import", leave}, "2 bad rows; nothing imported: line 3: 'holiday' is no leave kind"},
      {{"leave", "add", "17", "--kind", "annual", "--from", "2026-11-10", "--to", "2026-11-09"}, "before from"},
      {{"shift", "add", "day", "--start", "10:00", "--end", "11:00"}, "shift day exists already"},
      {{"shift", "remove", "day"}, "worked in pattern day"},
      {{"month", "close", "2999-01"}, "not over yet"},
  };
  for (const Case& c : cases) {
    Result r = Run(c.args);
    EXPECT_EQ(r.status, kExitUsage) << c.args[0] << " " << c.args[1] << ": " << r.out;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  Result csv = Run({"leave", "import", leave});
  EXPECT_NE(csv.err.find("line 5: person 0"), std::string::npos) << csv.err;
  EXPECT_EQ(Run({"leave", "list", "--month", "2026-12", "--json"}).out, "");
  EXPECT_EQ(Run({"pattern", "list", "--json"}).out.find("nights"), std::string::npos);
  EXPECT_EQ(Run({"shift", "assignments", "--json"}).out.find("2026-11-15"), std::string::npos);
}

// The options' readings: days of the week wrap past Sunday, people ranges expand, bad words are
// named with their option.
TEST_F(AttendanceCommands, OptionsAreReadOrRefusedNamingTheOption) {
  Ok({"shift", "add", "weekend", "--start", "10:00", "--end", "16:00", "--days", "sat-mon,wed"});
  EXPECT_NE(Run({"pattern", "list", "--json"}).out.find(R"("days":["weekend","","weekend","","","weekend","weekend"])"),
            std::string::npos);
  Ok({"shift", "assign", "weekend", "--people", "5-7,9,6", "--from", "2026-11-01"});
  EXPECT_EQ(Run({"shift", "assignments", "--json"}).out.find("\"person\":8"), std::string::npos);
  EXPECT_NE(Run({"shift", "assignments", "--json"}).out.find("\"person\":9"), std::string::npos);
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"shift", "add", "x", "--start", "09:00", "--end", "17:00", "--days", "mon-fry"}, "--days 'mon-fry': 'fry' is no day"},
      {{"shift", "add", "x", "--start", "9", "--end", "17:00"}, "--start '9' is not a time of day"},
      {{"shift", "add", "x", "--start", "09:00", "--end", "17:00", "--break", "-5"}, "--break '-5' is not a number of minutes"},
      {{"shift", "add", "x", "--start", "09:00", "--end", "17:00", "--core", "10:00-15:00"}, "--core and --required are for"},
      {{"shift", "assign", "weekend", "--people", "19-17", "--from", "2026-11-01"}, "range '19-17' is inverted"},
      {{"shift", "assign", "weekend", "--people", "1", "--department", "Stores", "--from", "2026-11-01"}, "give one of"},
      {{"correction", "add", "5", "--time", "2026-11-04", "--in", "--reason", "r"}, "--time '2026-11-04' is not a time"},
      {{"leave", "list", "--month", "2026-13"}, "2026-13"},
      {{"shift", "unassign", "x1"}, "'x1' is no assignment number"},
  };
  for (const Case& c : cases) {
    Result r = Run(c.args);
    EXPECT_EQ(r.status, kExitUsage) << c.args[0] << " " << c.args[1];
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
}

TEST_F(AttendanceCommands, ADayWaitsForATerminalNotYetSynced) {
  // Two days ago: its day is over, and well within the pending limit.
  const auto today = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
  const calendar::CivilDate d = calendar::CivilFromDays((today - std::chrono::days(2)).time_since_epoch().count());
  char date[32];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", d.year, d.month, d.day);
  Store({{30, std::string(date) + " 09:00:00"}});
  const std::string site = (folder_ / "site.toml").string();
  std::ofstream(site) << "timezone = \"UTC\"\n[[port]]\nnumber = 1\ndevice = \"/dev/null\"\nterminals = [1, 2]\n"
                         "not_collected = \"2\"\n";
  nlohmann::json day = Days(std::string(date).substr(0, 7), {"--site", site})[30][date];
  EXPECT_EQ(day["status"], "pending") << day;
  ASSERT_EQ(day["pending"].size(), 1u) << day;  // terminal 2 is never waited for
  EXPECT_EQ(day["pending"][0]["terminal"], "1:1");
  EXPECT_EQ(day["pending"][0]["since"], "");
  // Without the site file no terminal is known to wait for: judged by the simple rule.
  EXPECT_EQ(Days(std::string(date).substr(0, 7))[30][date]["status"], "present");
}

TEST_F(AttendanceCommands, AClosedMonthKeepsItsDaysUntilReopened) {
  DayShift();
  Ok({"month", "close", "2026-11"});
  Ok({"shift", "change", "day", "--start", "10:00"});
  EXPECT_EQ(Days("2026-11")[17]["2026-11-03"]["status"], "late");  // as judged at closing
  Result refused = Run({"correction", "add", "17", "--time", "2026-11-04 18:10", "--out", "--reason", "late entry"});
  EXPECT_EQ(refused.status, kExitUsage);
  EXPECT_NE(refused.err.find("month 2026-11 is closed"), std::string::npos) << refused.err;
  Result again = Run({"month", "close", "2026-11"});
  EXPECT_EQ(again.status, kExitUsage);
  Ok({"month", "reopen", "2026-11"});
  EXPECT_EQ(Days("2026-11")[17]["2026-11-03"]["status"], "present");  // 09:20 is early for 10:00
}

}  // namespace
}  // namespace vanto::cli::testing
