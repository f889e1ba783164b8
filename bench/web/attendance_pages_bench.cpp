// The console's attendance pages under load: `vanto serve` (a child process) over a database of
// about 1,000,000 swipes: 200 people of one department ("Assembly") and 10 of another ("Office"),
// about five years of weekdays (1,250 up to November 2026) with four swipes a day (in, out to
// lunch, back, out), some late, some leaving early, some missing a swipe, some absent; a day shift
// with a weekly pattern assigned to both departments, holidays each year, a week of leave a year
// for some, corrections, and a sync run each day of the last 90 days so the recent days are
// judged. Stored through the store's and the host's own operations, in large transactions.
// 10 concurrent clients (closed loop: one thread and one keep-alive connection each; with --pause MS
// each waits a random pause of MS on average after each answer, as a clerk reads a page) ask in turn
// for a person's month (/attendance/person, a random person of the department and month) and the
// department's month (/attendance/department?department=Assembly, a random month; with --months N
// only the last N months, as clerks open this month and the last, the months kept judged). Each answer
// must be 200 with the page's table. Prints, per page, the median and 99th percentile latency,
// the requests per second, the failures, the server's peak resident memory, the cores and the
// machine's load average before and after.
//
// Run: build-rel/bench/web/attendance_pages_bench [--clients N] [--requests N] [--weekdays N]
// [--pause MS] [--months N] [--vanto PATH] [--database FILE] (an SQLite file kept for the next run: seeded only when it does
// not exist) [--pg-database NAME] (a PostgreSQL database kept for the next run: seeded only when
// it does not exist) (a Release build: cmake -DCMAKE_BUILD_TYPE=Release -DVANTO_BENCH=ON). With
// VANTO_BENCH_PG_URL (else VANTO_TEST_PG_URL) set, e.g. to a cluster from scripts/pg-cluster.sh,
// it runs on PostgreSQL too (a database of its own, created and dropped, unless --pg-database).
// Seeding the 1,000,000 swipes takes a few minutes on a loaded machine: keep the databases.
// Goals: p99 at most 50 ms for each page with 10 clients, on SQLite and on PostgreSQL; no failure.
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <latch>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "accounts/accounts.h"
#include "bench/bench_server.h"
#include "bench/web/serve_child.h"
#include "host/attendance_host.h"
#include "host/db/database.h"
#include "host/db/openers.h"
#include "host/db/swipe_store.h"
#include "host/db/sync_runs.h"
#include "host/site/site.h"
#include "host/site_choice.h"

namespace {

using namespace vanto;
using namespace vanto::bench;  // Start, Stop, SignIn, Percentile, ...
using std::chrono::days;
using std::chrono::sys_days;
using std::chrono::year_month_day;

constexpr int kDepartment = 200, kOthers = 10;
constexpr const char* kDepartmentName = "Assembly";
constexpr const char* kSite =
    "site = \"main\"\n"
    "timezone = \"Europe/Berlin\"\n"
    "day_starts = \"04:00\"\n"
    "late_after = \"09:00\"\n"
    "[[port]]\nnumber = 1\ndevice = \"/dev/vanto-bench-1\"\nterminals = [1, 2]\nin = [1]\nout = [2]\n";
// The last day swiped; the last sync run ends the morning after it.
const sys_days kLastDay = sys_days(std::chrono::year{2026} / 11 / 30);

struct Settings {
  int clients = 10;
  int requests = 30;  // per client and page
  int weekdays = 1250;
  double pause_ms = 0;  // each client's mean pause after an answer (a clerk reading the page); 0: none
  int months = 0;       // the last months asked for (as clerks open this month and the last); 0: every month
  std::string vanto = VANTO_BINARY;
  std::string database, pg_database;
};

std::string DateText(sys_days d) {
  const year_month_day ymd{d};
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()));
  return text;
}

std::string Wall(sys_days d, int minute, int second) {
  char text[48];
  std::snprintf(text, sizeof text, " %02d:%02d:%02d", minute / 60, minute % 60, second);
  return DateText(d) + text;
}

// The `count` weekdays up to kLastDay, oldest first.
std::vector<sys_days> Weekdays(int count) {
  std::vector<sys_days> out;
  for (sys_days d = kLastDay; static_cast<int>(out.size()) < count; d -= days(1))
    if (std::chrono::weekday(d).iso_encoding() <= 5) out.push_back(d);
  std::reverse(out.begin(), out.end());
  return out;
}

// The months the weekdays span, "YYYY-MM", oldest first.
std::vector<std::string> Months(const std::vector<sys_days>& weekdays) {
  std::vector<std::string> out;
  for (sys_days d : weekdays)
    if (out.empty() || out.back() != DateText(d).substr(0, 7)) out.push_back(DateText(d).substr(0, 7));
  return out;
}

// Everything the pages judge, stored through the host's own operations. Returns the swipes stored.
long long Seed(const std::string& location, const std::vector<sys_days>& weekdays) {
  auto db = db::Database::Open(location);
  const site::Site file = site::ParseSite(kSite, "bench.toml");
  const host::SiteChoice choice = host::ChooseSite(*db, std::string("main"), /*adopt=*/true, "bench");
  const auto now = std::chrono::system_clock::time_point(kLastDay + days(1)) + std::chrono::hours(8);
  const host::AttendanceSite at{*db, choice, &file, {"bench", "bench"}, now};

  std::vector<store::PersonName> people;
  for (int p = 1; p <= kDepartment + kOthers; ++p)
    people.push_back({p, "Person " + std::to_string(p), p <= kDepartment ? kDepartmentName : "Office", "main"});
  db->Swipes()->PutPeople(people);

  // Four swipes a weekday: in at terminal 1, out to lunch and back, out at terminal 2.
  std::mt19937 random(23);
  auto swipes = db->Swipes();
  std::vector<store::StoredSwipe> batch;
  batch.reserve(50000);
  long long stored = 0;
  const std::string downloaded = DateText(kLastDay + days(1)) + "T06:00:00Z";
  for (sys_days d : weekdays)
    for (int p = 1; p <= kDepartment + kOthers; ++p) {
      const unsigned roll = random() % 100;
      if (roll < 3) continue;  // absent (or on leave)
      const int in = 8 * 60 + 30 + static_cast<int>(random() % 25) + (roll < 10 ? 40 : 0);  // late
      const int out = 18 * 60 + static_cast<int>(random() % 30) - (roll >= 10 && roll < 14 ? 60 : 0);  // early
      const int lunch = 12 * 60 + static_cast<int>(random() % 15);
      const int minutes[4] = {in, lunch, lunch + 45, out};
      for (int k = 0; k < 4; ++k) {
        if (roll >= 14 && roll < 18 && k == 3) continue;  // no swipe at the end of the day
        const int second = static_cast<int>(random() % 60);
        store::StoredSwipe row{1, k == 3 ? 2 : 1, p, Wall(d, minutes[k], second).substr(0, 16), 1,
                               Wall(d, minutes[k], second), downloaded};
        row.site = "main";
        batch.push_back(std::move(row));
      }
      if (batch.size() >= 50000) {
        for (bool added : swipes->Insert(batch)) stored += added ? 1 : 0;
        batch.clear();
      }
    }
  for (bool added : swipes->Insert(batch)) stored += added ? 1 : 0;

  attendance::Shift day{"day", 9 * 60, 18 * 60, 5, 5, 60};
  host::AddShift(at, day);
  host::AddPattern(at, {"office", attendance::PatternKind::kWeek, "", {"day", "day", "day", "day", "day", "", ""}});
  const std::string first = DateText(weekdays.front());
  host::Assign(at, {0, "office", attendance::TargetKind::kDepartment, 0, kDepartmentName, first, std::nullopt});
  host::Assign(at, {0, "office", attendance::TargetKind::kDepartment, 0, "Office", first, std::nullopt});
  const int first_year = static_cast<int>(year_month_day{weekdays.front()}.year());
  const int last_year = static_cast<int>(year_month_day{weekdays.back()}.year());
  std::vector<attendance::Leave> leave;
  for (int y = first_year; y <= last_year; ++y) {
    for (auto [m, d, name] : {std::tuple{1, 1, "New Year"}, {5, 1, "Labour Day"}, {10, 3, "Unity Day"}})
      host::SetDayOff(at, {DateText(sys_days(std::chrono::year{y} / m / d)), attendance::DayOffKind::kHoliday, name});
    for (int p = 1; p <= kDepartment + kOthers; p += 4) {  // a week of leave a year for a quarter of them
      const sys_days from = sys_days(std::chrono::year{y} / 7 / 6) + days(7 * (p % 6));
      attendance::Leave l;
      l.person = p, l.kind = "annual", l.from = DateText(from), l.to = DateText(from + days(4));
      leave.push_back(l);
    }
  }
  host::AddLeave(at, leave);
  // A forgotten swipe out added now and then (the days that miss one), in the last months.
  for (int p = 1; p <= kDepartment; p += 5) {
    attendance::Correction c;
    c.person = p, c.kind = attendance::CorrectionKind::kAdd, c.direction = attendance::Direction::kOut;
    c.time = Wall(weekdays[weekdays.size() - 1 - static_cast<std::size_t>(p % 40)], 18 * 60 + 5, 0);
    c.reason = "forgot to swipe out";
    host::AddCorrection(at, c);
  }
  // A sync run each morning of the last 90 days, both terminals synced.
  auto runs = db->SyncRuns();
  for (sys_days d = kLastDay - days(89); d <= kLastDay + days(1); d += days(1)) {
    const std::int64_t run = runs->Begin(DateText(d) + "T05:00:00Z", store::RunStarter::Timer, "", "", "main");
    std::vector<store::RunTerminal> rows;
    for (int terminal : {1, 2}) {
      store::RunTerminal row;
      row.port = 1, row.terminal = terminal, row.outcome = "synced", row.delivered = row.added = 840;
      rows.push_back(row);
    }
    runs->Finish(run, DateText(d) + "T05:02:00Z", rows);
  }
  vanto::accounts::Accounts accounts(vanto::store::OpenAccountsStore(location, std::chrono::seconds(10)));
  accounts.AddUser({"bench", "command line"}, kUser, vanto::accounts::Role::Admin, kPassword);
  return stored;
}

struct Page {
  const char* name;
  const char* table;  // what the page's answer must hold
};
constexpr Page kPages[] = {{"person month", "id=\"calendar\""}, {"department month", "id=\"department-month\""}};

std::string PathOf(int page, std::mt19937& random, const std::vector<std::string>& months) {
  const std::string& month = months[random() % months.size()];
  if (page == 0)
    return "/attendance/person?person=" + std::to_string(1 + random() % kDepartment) + "&month=" + month;
  return "/attendance/department?department=" + std::string(kDepartmentName) + "&month=" + month;
}

void Run(const Settings& settings, const std::string& engine, const std::string& location, bool kept) {
  char pattern[] = "/tmp/vanto-attendance-pages-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  const std::vector<sys_days> weekdays = Weekdays(settings.weekdays);
  std::vector<std::string> months = Months(weekdays);
  if (settings.months > 0 && static_cast<std::size_t>(settings.months) < months.size())
    months.erase(months.begin(), months.end() - settings.months);
  const auto seeding = Clock::now();
  long long swipes = -1;
  if (!kept) {
    try {
      swipes = Seed(location, weekdays);
    } catch (const std::exception& e) {
      Fail("seeding " + location + " failed: " + e.what());
    }
    // As the server's autovacuum leaves a table after a large load.
    if (store::IsDatabaseUrl(location) && !Admin(location, "VACUUM (ANALYZE)"))
      std::fprintf(stderr, "VACUUM failed: the reads may visit the tables' rows\n");
  }
  const double seed_s = std::chrono::duration<double>(Clock::now() - seeding).count();
  const std::string site_file = (folder / "site.toml").string();
  {
    std::ofstream site(site_file);
    site << "database = \"" << location << "\"\n" << kSite;
  }
  const Server server = Start(settings.vanto, site_file, (folder / "serve.log").string());
  const std::string cookie = SignIn(server.port);

  const int kinds = static_cast<int>(std::size(kPages));
  std::vector<std::vector<std::vector<double>>> times(kinds, std::vector<std::vector<double>>(settings.clients));
  std::atomic<int> failures{0};
  std::atomic<long long> department_rows{0};
  std::latch ready(settings.clients + 1), go(1);
  std::vector<std::thread> clients;
  for (int i = 0; i < settings.clients; ++i) {
    clients.emplace_back([&, i] {
      httplib::Client client("127.0.0.1", server.port);
      client.set_keep_alive(true);
      client.set_read_timeout(std::chrono::seconds(60));
      const httplib::Headers headers{{"Cookie", cookie}};
      std::mt19937 random(static_cast<unsigned>(100 + i));
      std::exponential_distribution<double> pause(settings.pause_ms > 0 ? 1.0 / settings.pause_ms : 1.0);
      // The connection open, and a page of each kind asked for once, before the clock starts (as
      // after the first clerk of the day: with --months, the months are judged and kept by then).
      for (int page = 0; page < kinds; ++page) client.Get(PathOf(page, random, months), headers);
      ready.count_down();
      go.wait();
      for (int n = 0; n < settings.requests; ++n)
        for (int page = 0; page < kinds; ++page) {
          const std::string path = PathOf(page, random, months);
          const auto start = Clock::now();
          auto r = client.Get(path, headers);
          const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
          if (!r || r->status != 200 || r->body.find(kPages[page].table) == std::string::npos) {
            if (failures++ < 3)
              std::fprintf(stderr, "  %s: %s\n", path.c_str(), r ? ("status " + std::to_string(r->status)).c_str()
                                                                  : httplib::to_string(r.error()).c_str());
            continue;
          }
          if (page == 1) {
            long long rows = 0;
            for (std::size_t at = 0; (at = r->body.find("<tr class=\"person\"", at)) != std::string::npos; ++at) ++rows;
            department_rows += rows;
          }
          times[page][i].push_back(ms);
          if (settings.pause_ms > 0)
            std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(pause(random)));
        }
    });
  }
  ready.arrive_and_wait();
  const std::string load_before = LoadAverage();
  const auto started = Clock::now();
  go.count_down();
  for (std::thread& t : clients) t.join();
  const double wall = std::chrono::duration<double>(Clock::now() - started).count();
  const long long peak = PeakKiB(server.pid);
  const std::string load_after = LoadAverage();

  std::printf("%s: %s swipes over %d weekdays (%s), %d clients x %d requests of each page (%s; %s), %u cores\n",
              engine.c_str(), swipes < 0 ? "kept" : std::to_string(swipes).c_str(), settings.weekdays,
              kept ? "a kept database" : ("seeded in " + std::to_string(static_cast<int>(seed_s + 0.5)) + " s").c_str(),
              settings.clients, settings.requests,
              settings.pause_ms > 0 ? ("a pause of " + std::to_string(static_cast<int>(settings.pause_ms)) + " ms on average after each answer").c_str()
                                    : "no pause",
              (std::to_string(months.size()) + (settings.months > 0 ? " latest months" : " months, every one")).c_str(),
              std::thread::hardware_concurrency());
  std::printf("  load average before %s, after %s\n", load_before.c_str(), load_after.c_str());
  bool met = failures == 0;
  std::size_t answered = 0;
  for (int page = 0; page < kinds; ++page) {
    std::vector<double> all;
    for (const auto& t : times[page]) all.insert(all.end(), t.begin(), t.end());
    answered += all.size();
    std::printf("  %-17s median %7.1f ms  p99 %7.1f ms  (%zu answers", kPages[page].name, Percentile(all, 0.5),
                Percentile(all, 0.99), all.size());
    if (page == 1 && !all.empty())
      std::printf(", %.0f people a page", static_cast<double>(department_rows) / static_cast<double>(all.size()));
    std::printf(")\n");
    met = met && !all.empty() && Percentile(all, 0.99) <= 50;
  }
  std::printf("  %.1f requests/s, %d failed; server peak RSS %.1f MiB\n", static_cast<double>(answered) / wall,
              failures.load(), static_cast<double>(peak) / 1024.0);
  std::printf("  goals (p99 <= 50 ms for each page, no failure): %s\n", met ? "met" : "MISSED");
  std::fflush(stdout);
  Stop(server);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc)
      Fail("usage: attendance_pages_bench [--clients N] [--requests N] [--weekdays N] [--vanto PATH] "
           "[--database FILE] [--pg-database NAME] [--pause MS] [--months N]");
    if (a == "--clients") settings.clients = std::atoi(argv[++i]);
    else if (a == "--requests") settings.requests = std::atoi(argv[++i]);
    else if (a == "--weekdays") settings.weekdays = std::atoi(argv[++i]);
    else if (a == "--pause") settings.pause_ms = std::atof(argv[++i]);
    else if (a == "--months") settings.months = std::atoi(argv[++i]);
    else if (a == "--vanto") settings.vanto = argv[++i];
    else if (a == "--database") settings.database = argv[++i];
    else if (a == "--pg-database") settings.pg_database = argv[++i];
    else Fail("unknown option " + a);
  }
  if (settings.clients < 1 || settings.clients > 200 || settings.requests < 1 || settings.weekdays < 100 ||
      settings.weekdays > 5000 || !(settings.pause_ms >= 0 && settings.pause_ms <= 60000) || settings.months < 0)
    Fail("--clients takes 1 to 200, --requests at least 1, --weekdays 100 to 5000, --pause 0 to 60000 ms, --months 0 or more");
  signal(SIGPIPE, SIG_IGN);
  OnEachEngine(settings.database, settings.pg_database, "vanto_attendance_pages",
               [&](const std::string& engine, const std::string& location, bool kept) { Run(settings, engine, location, kept); });
  return 0;
}
