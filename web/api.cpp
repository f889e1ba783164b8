#include "web/api.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <nlohmann/json.hpp>

#include "host/site_choice.h"
#include "host/site_view.h"
#include "host/attendance_host.h"
#include "host/errors.h"
#include "host/db/attendance_rows.h"
#include "host/db/table_rows.h"
#include "host/attendance_data.h"
#include "host/enrolment.h"
#include "host/facade.h"
#include "host/machine.h"
#include "host/judged_report.h"
#include "host/report/dates.h"
#include "host/db/database.h"
#include "host/db/sites.h"
#include "host/db/swipe_feed.h"
#include "host/site/site.h"
#include "host/db/swipe_store.h"
#include "host/db/sync_runs.h"
#include "host/sync_jobs.h"
#include "web/api_attendance.h"
#include "web/enrolments_page.h"
#include "web/metrics.h"
#include "web/refusals.h"
#include "present/report/date_options.h"

namespace vanto::web {
namespace {

using nlohmann::json;
using vanto::store::FeedCursor;
using vanto::store::StoredSwipe;

constexpr std::size_t kMaxTargets = 64;  // terminals of one enrolment copy

const char* kProblem = "application/problem+json";

// Thrown by a handler: answered as a problem.
struct Problem {
  int status;
  std::string title;
  std::string detail;
  std::string field;  // the parameter at fault, when there is one
};

ApiResponse ProblemResponse(const Problem& p) {
  json body = {{"type", "about:blank"}, {"title", p.title}, {"status", p.status}, {"detail", p.detail}};
  if (!p.field.empty()) body["field"] = p.field;
  return {p.status, kProblem, body.dump(), {}};
}

Problem BadParameter(const std::string& field, const std::string& detail) {
  return {400, "Bad Request", detail, field};
}

std::optional<std::string> Param(const ApiRequest& r, const std::string& name) {
  auto it = r.params.find(name);
  if (it == r.params.end()) return std::nullopt;
  return it->second;
}

std::optional<std::int64_t> IntParam(const ApiRequest& r, const std::string& name, std::int64_t low, std::int64_t high) {
  std::optional<std::string> text = Param(r, name);
  if (!text) return std::nullopt;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (text->empty() || ec != std::errc() || end != text->data() + text->size() || value < low || value > high)
    throw BadParameter(name, "'" + name + "' must be a whole number from " + std::to_string(low) + " to " +
                                 std::to_string(high));
  return value;
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" (a 'T' may stand for the space).
std::optional<std::string> TimeParam(const ApiRequest& r, const std::string& name) {
  std::optional<std::string> text = Param(r, name);
  if (!text) return std::nullopt;
  std::string t = *text;
  if (t.size() > 10 && t[10] == 'T') t[10] = ' ';
  static const std::string shape = "dddd-dd-dd dd:dd:dd";
  bool ok = t.size() == 10 || t.size() == 16 || t.size() == 19;
  for (std::size_t i = 0; ok && i < t.size(); ++i)
    ok = shape[i] == 'd' ? (t[i] >= '0' && t[i] <= '9') : t[i] == shape[i];
  if (!ok) throw BadParameter(name, "'" + name + "' must be a date (YYYY-MM-DD), optionally with a time (HH:MM[:SS])");
  // A day the calendar has (no 2026-02-30) and a time of day, as the console and the command line take them.
  if (!vanto::report::MinuteOfTimeText(t.size() == 10 ? t + " 00:00" : t) || (t.size() == 19 && t.substr(17) > "59"))
    throw BadParameter(name, "'" + name + "' names no real date and time: " + *text);
  return t;
}

json SwipeJson(const StoredSwipe& s) {
  json j = {{"port", s.port},   {"terminal", s.terminal},     {"person", s.person},
            {"time", s.time},   {"occurrence", s.occurrence}, {"downloaded_at", s.downloaded_at},
            {"site", s.site}};
  if (s.identity) {
    j["identity"] = *s.identity;
    j["generation"] = *s.generation;
    j["index"] = *s.index;
    j["epoch"] = s.epoch;
  }
  if (s.withdrawn) j["withdrawn"] = true;
  return j;
}

// The keyset position of a swipe in a listing: its sort key.
std::string ListingCursor(const StoredSwipe& s) {
  std::string t = s.time;
  if (t.size() > 10) t[10] = 'T';
  return t + "_" + std::to_string(s.person) + "_" + std::to_string(s.port) + "_" + std::to_string(s.terminal) + "_" +
         std::to_string(s.occurrence);
}

struct ListingKey {
  std::string time;
  std::int64_t person = 0, port = 0, terminal = 0, occurrence = 0;
  auto Tie() const { return std::tie(time, person, port, terminal, occurrence); }
};

std::optional<ListingKey> ParseListingCursor(const std::string& text) {
  if (text.size() < 20 || text[10] != 'T' || text[19] != '_') return std::nullopt;
  ListingKey k;
  k.time = text.substr(0, 19);
  k.time[10] = ' ';
  std::int64_t* parts[] = {&k.person, &k.port, &k.terminal, &k.occurrence};
  std::size_t at = 20;
  for (int i = 0; i < 4; ++i) {
    std::size_t end = i < 3 ? text.find('_', at) : text.size();
    if (end == std::string::npos || end == at) return std::nullopt;
    auto [p, ec] = std::from_chars(text.data() + at, text.data() + end, *parts[i]);
    if (ec != std::errc() || p != text.data() + end) return std::nullopt;
    at = end + 1;
  }
  for (std::size_t i = 0; i < 19; ++i)
    if (i != 4 && i != 7 && i != 10 && i != 13 && i != 16 && (k.time[i] < '0' || k.time[i] > '9')) return std::nullopt;
  return k;
}

ListingKey KeyOf(const StoredSwipe& s) { return {s.time, s.person, s.port, s.terminal, s.occurrence}; }

// Whether `path` is of the route's `pattern`, whose "{name}" segments take any one segment
// (put into `captured`).
bool PathMatches(const std::string& pattern, const std::string& path, std::map<std::string, std::string>& captured) {
  std::size_t p = 0, q = 0;
  std::map<std::string, std::string> found;
  while (p < pattern.size() && q < path.size()) {
    if (pattern[p] == '{') {
      const std::size_t close = pattern.find('}', p);
      std::size_t end = path.find('/', q);
      if (end == std::string::npos) end = path.size();
      if (close == std::string::npos || end == q) return false;
      found[pattern.substr(p + 1, close - p - 1)] = path.substr(q, end - q);
      p = close + 1;
      q = end;
    } else if (pattern[p++] != path[q++]) {
      return false;
    }
  }
  if (p != pattern.size() || q != path.size()) return false;
  captured = std::move(found);
  return true;
}

const char* StageName(host::PortProgress::Stage stage) {
  switch (stage) {
    case host::PortProgress::Stage::kScanning: return "scanning";
    case host::PortProgress::Stage::kStarting: return "starting";
    case host::PortProgress::Stage::kReading: return "reading";
    case host::PortProgress::Stage::kDone: return "done";
  }
  return "starting";
}

// A run of the run store: who started it, when, and each terminal's outcome, cause and counts, in
// the facade's one shape of a sync (host::SyncRowJson, host::SyncCountsJson). Two fields keep the
// API's own form: "terminal" is 0 (not null) for a port that failed before any terminal was
// reached, and a terminal's clock as the sync found it.
json RunJson(const vanto::store::SyncRun& run) {
  const host::SyncReport report = host::ReportOf(run);
  json terminals = json::array();
  for (std::size_t i = 0; i < report.terminals.size(); ++i) {
    const vanto::store::RunTerminal& t = run.terminals[i];
    json row = host::SyncRowJson(report.terminals[i]);
    row["terminal"] = t.terminal;
    if (!t.clock.empty()) row["clock"] = t.clock;
    if (t.clock_drift) row["clock_drift"] = *t.clock_drift;
    terminals.push_back(std::move(row));
  }
  json ports = json::array();
  for (std::size_t at = 0; at < run.ports.size();) {
    std::size_t end = run.ports.find(',', at);
    if (end == std::string::npos) end = run.ports.size();
    std::int64_t number = 0;
    if (std::from_chars(run.ports.data() + at, run.ports.data() + end, number).ec == std::errc()) ports.push_back(number);
    at = end + 1;
  }
  return {{"id", run.id},
          {"state", run.ended_at ? "finished" : "unfinished"},
          {"started_at", run.started_at},
          {"ended_at", run.ended_at ? json(*run.ended_at) : json(nullptr)},
          {"started_by", vanto::store::RunStarterName(run.started_by)},
          {"who", run.who},
          {"ports", ports},
          {"terminals", terminals},
          {"counts", json(host::SyncCountsJson(report.counts))}};
}

// The running sync as its watchers see it: each port's stage and how far it has read.
json ProgressJson(const host::SyncJobs::State& state) {
  json ports = json::array();
  for (const auto& [port, p] : state.ports) {
    json row = {{"port", port}, {"stage", StageName(p.stage)}};
    if (p.stage == host::PortProgress::Stage::kScanning) {
      row["first"] = p.first;
      row["last"] = p.last;
    } else if (p.stage != host::PortProgress::Stage::kDone) {
      row["terminal"] = p.terminal;
      row["index"] = p.index;
      row["count"] = p.count;
    }
    if (p.stage == host::PortProgress::Stage::kReading) {
      row["records"] = p.records;
      row["rate"] = p.rate;
    }
    ports.push_back(std::move(row));
  }
  json j = {{"id", state.run ? json(*state.run) : json(nullptr)},
            {"state", "running"},
            {"started_at", state.started_at},
            {"started_by", vanto::store::RunStarterName(state.started_by)},
            {"who", state.who},
            {"progress", ports}};
  return j;
}

const char* KindCode(std::optional<std::int64_t> kind) {
  if (!kind) return "unknown";
  if (*kind == host::kFingerprintKind) return "fingerprint";
  if (*kind == host::kPasswordKind) return "password";
  return "other";
}

// One enrolment action's result on a terminal, as codes and values.
json EnrolmentResultJson(const host::TerminalAt& at, const host::EnrolmentResult& r, bool failed) {
  using Status = host::EnrolmentResult::Status;
  json j = {{"port", at.port}, {"terminal", at.terminal}};
  if (failed) {
    j["outcome"] = "failed";  // the host's part (the database)
  } else if (r.port_cause) {
    j["outcome"] = "port-failed";
  } else {
    switch (r.status) {
      case Status::kDone:
        j["outcome"] = "done";
        j["kind"] = KindCode(r.kind);
        break;
      case Status::kRefused:
        j["outcome"] = "refused";
        j["step"] = r.step == host::EnrolmentResult::Step::kBackup ? "backup"
                    : r.step == host::EnrolmentResult::Step::kScan ? "scan"
                                                                   : "write";
        break;
      case Status::kNotAnswering: j["outcome"] = "not-answering"; break;
      case Status::kNoneStored: j["outcome"] = "none-stored"; break;
      case Status::kNotAudited: j["outcome"] = "not-audited"; break;
    }
  }
  return j;
}

// A body's JSON object (an empty body: an empty object); 415 or 400 for anything else.
json BodyObject(const ApiRequest& r) {
  if (r.body.empty()) return json::object();
  if (r.content_type.rfind("application/json", 0) != 0)
    throw Problem{415, "Unsupported Media Type", "send the body as application/json", "body"};
  json input = json::parse(r.body, nullptr, false);
  if (input.is_discarded() || !input.is_object()) throw BadParameter("body", "the body is not a JSON object");
  return input;
}

// A terminal named in a body: {"port": P, "terminal": T}.
std::optional<host::TerminalAt> TerminalField(const json& j) {
  if (!j.is_object() || !j.contains("port") || !j.contains("terminal") || !j["port"].is_number_integer() ||
      !j["terminal"].is_number_integer())
    return std::nullopt;
  const std::int64_t port = j["port"].get<std::int64_t>(), terminal = j["terminal"].get<std::int64_t>();
  if (port < 1 || port > 32767 || terminal < 1 || terminal > 255) return std::nullopt;
  return host::TerminalAt{static_cast<int>(port), static_cast<int>(terminal)};
}

}  // namespace

const std::vector<ApiRoute>& ApiRoutes() {
  static const std::vector<ApiRoute> routes = {
      {"GET", "/api/v1/openapi.json", "", "This document.", {}, "", "OpenApi"},
      {"GET",
       "/metrics",
       "metrics:read",
       "The site's and the console's figures in the Prometheus text format: per terminal the seconds since its last "
       "complete sync and the swipes stored, open conflicts, rejected records, each push endpoint's backlog and "
       "failures, the console's requests and their latency.",
       {},
       "",
       "",
       200,
       {},
       kExpositionType},
      {"GET",
       "/healthz",
       "",
       "'ok' (200) while the server reaches its database within a bound; 503 otherwise, saying no more.",
       {},
       "",
       "",
       200,
       {{503, "the database does not answer"}},
       "text/plain; charset=utf-8"},
      {"GET", "/api/v1/terminals", "terminals:read", "The site's ports and their terminals.", {}, "", "Terminals"},
      {"GET",
       "/api/v1/swipes",
       "swipes:read",
       "Stored swipes in time order, a page at a time (keyset paging).",
       {{"from", "string", "swipes at or after this date or time (YYYY-MM-DD[ HH:MM[:SS]])"},
        {"to", "string", "swipes at or before this date or time (a date covers its whole day)"},
        {"person", "integer", "only this person's swipes"},
        {"port", "integer", "only swipes read on this port"},
        {"terminal", "integer", "only swipes of this terminal number"},
        {"after", "string", "the 'next' of the previous page"},
        {"limit", "integer", "swipes per page (at most the maximum the answer names)"}},
       "",
       "SwipePage",
       200,
       {{403, "the token lacks the scope, or is limited to sites other than the serving site"}}},
      {"GET",
       "/api/v1/swipes/feed",
       "swipes:read",
       "Every swipe once, in the order they became visible; keep 'next' after each page.",
       {{"after", "string", "the 'next' of the previous page (none: from the first swipe)"},
        {"limit", "integer", "swipes per page (at most the maximum the answer names)"},
        {"site", "string",
         "only this site's swipes (a site the database holds; none: every site's, or a limited token's sites')"}},
       "",
       "FeedPage",
       200,
       {{403, "the token lacks the scope, or is limited to sites other than the one asked for"}}},
      {"GET", "/api/v1/people", "people:read", "Every person's name and department.", {}, "", "People"},
      {"POST", "/api/v1/people", "people:write", "Adds or updates people by person number (all or none).", {},
       "PeopleInput", "PeopleResult"},
      {"GET",
       "/api/v1/syncs",
       "syncs:read",
       "Recorded syncs, newest first, whoever started them (a token limited to sites: only theirs).",
       {{"before", "integer", "only syncs with a smaller id (the 'next' of the previous page)"},
        {"limit", "integer", "syncs per page (at most the maximum the answer names)"}},
       "",
       "SyncPage"},
      {"POST",
       "/api/v1/syncs",
       "syncs:write",
       "Starts a sync of the site (or of one port) in the background; follow it at its Location.",
       {{"port", "integer", "only this port of the site"}},
       "",
       "SyncStarted",
       202,
       {{409, "a sync is running, or this server has no site"}}},
      {"GET",
       "/api/v1/syncs/{id}",
       "syncs:read",
       "A sync: each port's progress while it runs, then each terminal's outcome, cause code and counts.",
       {{"id", "integer", "the sync's id", true}},
       "",
       "Sync",
       200,
       {{403, "the token lacks the scope, or is limited to sites other than the sync's"},
        {404, "there is no sync of that id"}}},
      {"GET",
       "/api/v1/reports/month",
       "reports:read",
       "The month's attendance: per person and working day the first and last swipe, the swipes and the span.",
       {{"month", "string", "the month, YYYY-MM", false, true},
        {"person", "integer", "only this person"},
        {"department", "string", "only the people of this department"}},
       "",
       "MonthReport",
       200,
       {{403, "the token lacks the scope, or is limited to sites other than the serving site"}}},
      {"GET",
       "/api/v1/enrolments",
       "enrolments:read",
       "Which enrolments (fingerprint, password, other) the host holds for whom; never the templates.",
       {{"person", "integer", "only this person's"}},
       "",
       "Enrolments",
       200,
       {{403, "the token lacks the scope, or is limited to sites other than the serving site"}}},
      {"POST",
       "/api/v1/enrolments/copy",
       "enrolments:write",
       "Copies a person's enrolment (the stored one, or backed up from a terminal first) to chosen terminals.",
       {},
       "EnrolmentCopyInput",
       "EnrolmentCopyResult",
       200,
       {{403, "the token lacks the scope, or is limited to sites other than the serving site"},
        {409, "a sync or another action holds a port, or this server has no site"}}},
      {"GET",
       "/api/v1/attendance",
       "attendance:read",
       "Each person's status for each day of the month, judged from the shifts, leave, corrections and swipes (a "
       "day is pending until every terminal of the site has synced after it), or as judged when the month was "
       "closed.",
       {{"month", "string", "the month, YYYY-MM", false, true},
        {"person", "integer", "only this person"},
        {"site", "string", "this site of the database (none: the serving site)"}},
       "",
       "Attendance",
       200,
       {{403, "the token lacks the scope, or is limited to sites other than the one asked for"}}},
      {"GET",
       "/api/v1/attendance/corrections",
       "attendance:read",
       "The corrections of a month (swipes added, swipes set aside), withdrawn ones too.",
       {{"month", "string", "the month, YYYY-MM", false, true},
        {"person", "integer", "only this person's"},
        {"site", "string", "this site of the database (none: the serving site)"}},
       "",
       "Corrections",
       200,
       {{403, "the token lacks the scope, or is limited to sites other than the one asked for"}}},
      {"POST",
       "/api/v1/attendance/corrections",
       "attendance:write",
       "Adds a correction: a missed swipe added, or a stored swipe set aside (stored swipes never change).",
       {{"site", "string", "this site of the database (none: the serving site)"}},
       "CorrectionInput",
       "Created",
       201,
       {{403, "the token lacks the scope, or is limited to sites other than the one asked for"}}},
      {"DELETE",
       "/api/v1/attendance/corrections/{id}",
       "attendance:write",
       "Withdraws a correction (it is kept, listed as withdrawn, and counts for nothing).",
       {{"id", "integer", "the correction's id", true},
        {"site", "string", "this site of the database (none: the serving site)"}},
       "",
       "",
       204,
       {{403, "the token lacks the scope, or is limited to sites other than the one asked for"},
        {404, "the site has no correction of that id"},
        {409, "the correction is withdrawn already"}}},
      {"GET",
       "/api/v1/leave",
       "attendance:read",
       "The leave overlapping a month, withdrawn leave too.",
       {{"month", "string", "the month, YYYY-MM", false, true},
        {"person", "integer", "only this person's"},
        {"site", "string", "this site of the database (none: the serving site)"}},
       "",
       "LeaveList",
       200,
       {{403, "the token lacks the scope, or is limited to sites other than the one asked for"}}},
      {"POST",
       "/api/v1/leave",
       "leave:write",
       "Adds leave: one object or an array of them, all or nothing.",
       {{"site", "string", "this site of the database (none: the serving site)"}},
       "LeaveInput",
       "CreatedMany",
       201,
       {{403, "the token lacks the scope, or is limited to sites other than the one asked for"}}},
      {"DELETE",
       "/api/v1/leave/{id}",
       "leave:write",
       "Withdraws leave (it is kept, listed as withdrawn, and counts for nothing).",
       {{"id", "integer", "the leave's id", true},
        {"site", "string", "this site of the database (none: the serving site)"}},
       "",
       "",
       204,
       {{403, "the token lacks the scope, or is limited to sites other than the one asked for"},
        {404, "the site has no leave of that id"},
        {409, "the leave is withdrawn already"}}},
  };
  return routes;
}

struct ApiServer::Impl {
  Impl(ApiOptions o, accounts::Tokens& t)
      : options(std::move(o)),
        tokens(t),
        database(options.db, options.database, options.lock_timeout),
        refusals(
            [this](const accounts::Actor& actor, const std::string& action, const std::string& details) {
              accounts::ApiToken token;
              token.name = actor.name;
              tokens.AuditChange(token, actor.origin, action, details);
            },
            [this] { return tokens.Now(); }, RefusalLimits{}, [this](const std::string& line) { Log(line); }),
        health(options.health_bound),
        health_database(std::make_shared<ConsoleDatabase>(options.db, options.database, options.lock_timeout)) {
    CheckHandlers();
  }

  ApiOptions options;
  accounts::Tokens& tokens;
  // The process's one database: each request borrows a repository and gives it back.
  ConsoleDatabase database;
  // A token refused for its scope: audited as the console's refusals are, with the same bound.
  RefusalAudit refusals;
  // /healthz: its check may outlive a request, so it holds the database itself; the checker's
  // thread is joined when this server ends.
  HealthCheck health;
  std::shared_ptr<ConsoleDatabase> health_database;

  void Log(const std::string& line) const {
    if (options.log) options.log(line);
  }

  std::size_t Limit(const ApiRequest& r, bool& clamped) {
    std::optional<std::int64_t> asked = IntParam(r, "limit", 1, INT32_MAX);
    clamped = asked && static_cast<std::size_t>(*asked) > options.max_limit;
    if (!asked) return options.default_limit;
    return clamped ? options.max_limit : static_cast<std::size_t>(*asked);
  }

  json PageInfo(std::size_t limit, bool clamped) {
    json j = {{"limit", limit}, {"max_limit", options.max_limit}};
    if (clamped) j["limit_clamped"] = true;
    return j;
  }

  ApiResponse OpenApi(const ApiRequest&, const accounts::ApiToken&) {
    return {200, "application/json", OpenApiDocument(), {}};
  }

  // No detail of what failed: the answer is for anyone who asks.
  ApiResponse Healthz(const ApiRequest&, const accounts::ApiToken&) {
    const bool healthy = health.Healthy([database = health_database] { host::CheckDatabaseAnswers(database->Get()); });
    return {healthy ? 200 : 503, "text/plain; charset=utf-8", healthy ? "ok\n" : "unavailable\n", {}};
  }

  ApiResponse Metrics(const ApiRequest&, const accounts::ApiToken&) {
    const host::SiteFigures figures =
        host::ReadSiteFigures(database.Get(), options.figures, std::chrono::system_clock::now());
    const RequestCounters::Totals requests = options.requests ? options.requests->Read() : RequestCounters::Totals{};
    return {200, kExpositionType, MetricsText(figures, requests), {}};
  }

  ApiResponse Terminals(const ApiRequest&, const accounts::ApiToken&) {
    json ports = json::array();
    for (const ApiPort& p : options.ports) ports.push_back({{"port", p.number}, {"device", p.device}, {"terminals", p.terminals}});
    return {200, "application/json", json{{"ports", ports}}.dump(), {}};
  }

  // A token limited to sites asks for another's swipes or enrolments: refused and audited (as a
  // scope is).
  Problem SiteRefused(const ApiRequest& r, const accounts::ApiToken& token, const std::string& site) {
    const std::string sites = vanto::store::JoinScopes(token.sites);
    refusals.Refused({token.name, r.origin}, token.name,
                     r.method + " " + r.path + ": the token is limited to the sites " + sites + ", not " +
                         (site.empty() ? std::string("every site") : "site " + site));
    return {403, "Forbidden",
            "token " + token.name + " may use only the sites " + sites +
                (site.empty() ? std::string(", not every site") : ", not site " + site),
            ""};
  }

  // The serving site's swipes (a listing or report): refused to a token limited to other sites.
  void CheckServedSite(const ApiRequest& r, const accounts::ApiToken& token) {
    if (token.sites.empty()) return;
    if (!options.site || !token.AllowsSite(*options.site)) throw SiteRefused(r, token, options.site.value_or(""));
  }

  ApiResponse Feed(const ApiRequest& r, const accounts::ApiToken& token) {
    std::string after_text = Param(r, "after").value_or("");
    std::optional<FeedCursor> after = vanto::store::ParseFeedCursor(after_text);
    if (!after) throw BadParameter("after", "'after' is not a cursor this feed handed out");
    // ?site: a site the database holds; a token limited to sites reads only those.
    std::vector<std::string> sites = token.sites;
    if (std::optional<std::string> asked = Param(r, "site")) {
      if (site::SiteNameProblem(*asked))
        throw BadParameter("site", "'site' must be a site's name: 1 to 32 letters, digits, '-' or '_'");
      const std::vector<std::string> held = host::SiteNames(database.Get());
      if (std::find(held.begin(), held.end(), *asked) == held.end()) {
        std::string names;
        for (const std::string& name : held) names += (names.empty() ? "" : ", ") + name;
        throw BadParameter("site", "'site' names no site of this database: " + *asked +
                                       (held.empty() ? std::string(" (it holds none)") : " (it holds " + names + ")"));
      }
      if (!token.AllowsSite(*asked)) throw SiteRefused(r, token, *asked);
      sites = {*asked};
    }
    bool clamped = false;
    std::size_t limit = Limit(r, clamped);
    auto feed = database.Get().Feed();
    vanto::store::FeedPage page;
    try {
      page = feed->Read(*after, limit, sites);
    } catch (const vanto::store::FeedCursorMoved& moved) {
      // A cursor of the database this one was copied from: never read as a position here.
      throw BadParameter("after", "'after' is a cursor of the database this one was copied from; here it is '" +
                                      vanto::store::FormatFeedCursor(moved.here()) + "': go on with that one");
    }
    // Each swipe with its person's employee code at its site.
    std::map<std::pair<std::string, std::int32_t>, std::string> codes;
    if (!page.swipes.empty()) {
      auto store = database.Get().Swipes();
      if (host::HoldsPeople(*store)) {
        std::vector<std::int32_t> persons;
        for (const StoredSwipe& s : page.swipes) persons.push_back(s.person);
        for (vanto::store::PersonName& p : store->PeopleAmong(persons))
          codes.emplace(std::pair{std::move(p.site), p.person}, std::move(p.employee_code));
      }
    }
    json swipes = json::array();
    for (const StoredSwipe& s : page.swipes) {
      json item = SwipeJson(s);
      // A swipe read without its site (a feed of no site) is taken as the serving site's.
      auto code = codes.find({s.site.empty() && options.site ? *options.site : s.site, s.person});
      item["employee_code"] = code == codes.end() ? std::string() : code->second;
      swipes.push_back(std::move(item));
    }
    json body = PageInfo(limit, clamped);
    body["swipes"] = std::move(swipes);
    body["next"] = vanto::store::FormatFeedCursor(page.next);
    return {200, "application/json", body.dump(), {}};
  }

  ApiResponse Swipes(const ApiRequest& r, const accounts::ApiToken& token) {
    CheckServedSite(r, token);
    vanto::store::SwipeQuery q;
    q.site = options.site;
    q.from = TimeParam(r, "from");
    q.to = TimeParam(r, "to");
    if (auto person = IntParam(r, "person", INT32_MIN, INT32_MAX)) q.persons.push_back(static_cast<std::int32_t>(*person));
    if (auto port = IntParam(r, "port", 0, INT32_MAX)) q.port = static_cast<int>(*port);
    if (auto terminal = IntParam(r, "terminal", 0, INT32_MAX)) q.terminal = static_cast<int>(*terminal);
    std::optional<ListingKey> after;
    if (auto text = Param(r, "after")) {
      after = ParseListingCursor(*text);
      if (!after) throw BadParameter("after", "'after' is not a cursor this listing handed out");
      if (!q.from || *q.from < after->time) q.from = after->time;
    }
    bool clamped = false;
    std::size_t limit = Limit(r, clamped);
    json swipes = json::array();
    std::optional<StoredSwipe> last;
    bool more = false;
    auto store = database.Get().Swipes();
    store->Each(q, [&](const StoredSwipe& s) {
      if (after && KeyOf(s).Tie() <= after->Tie()) return true;
      if (swipes.size() == limit) {
        more = true;
        return false;
      }
      swipes.push_back(SwipeJson(s));
      last = s;
      return true;
    });
    json body = PageInfo(limit, clamped);
    body["swipes"] = std::move(swipes);
    body["next"] = more && last ? json(ListingCursor(*last)) : json(nullptr);
    return {200, "application/json", body.dump(), {}};
  }

  ApiResponse People(const ApiRequest&, const accounts::ApiToken&) {
    json people = json::array();
    auto store = database.Get().Swipes();
    for (const auto& p : store->People(options.site))  // the serving site's people
      people.push_back(
          {{"person", p.person}, {"name", p.name}, {"department", p.department}, {"employee_code", p.employee_code}});
    return {200, "application/json", json{{"people", people}}.dump(), {}};
  }

  ApiResponse PutPeople(const ApiRequest& r, const accounts::ApiToken& token) {
    if (r.content_type.rfind("application/json", 0) != 0)
      throw Problem{415, "Unsupported Media Type", "send the people as application/json", "body"};
    json input = json::parse(r.body, nullptr, false);
    if (input.is_discarded()) throw BadParameter("body", "the body is not JSON");
    if (input.is_object() && input.contains("people")) input = input["people"];
    if (!input.is_array() || input.empty())
      throw BadParameter("people", "'people' must be a non-empty list of {person, name, department}");
    std::vector<vanto::store::PersonName> people;
    for (std::size_t i = 0; i < input.size(); ++i) {
      const json& p = input[i];
      std::string at = "people[" + std::to_string(i) + "]";
      if (!p.is_object()) throw BadParameter(at, "'" + at + "' must be an object");
      if (!p.contains("person") || !p["person"].is_number_integer() || p["person"].get<std::int64_t>() < INT32_MIN ||
          p["person"].get<std::int64_t>() > INT32_MAX)
        throw BadParameter(at + ".person", "'" + at + ".person' must be a whole number");
      if (!p.contains("name") || !p["name"].is_string() || p["name"].get<std::string>().empty())
        throw BadParameter(at + ".name", "'" + at + ".name' must be a non-empty text");
      if (p.contains("department") && !p["department"].is_string())
        throw BadParameter(at + ".department", "'" + at + ".department' must be a text");
      if (p.contains("employee_code") && !p["employee_code"].is_string())
        throw BadParameter(at + ".employee_code", "'" + at + ".employee_code' must be a text");
      people.push_back({static_cast<std::int32_t>(p["person"].get<std::int64_t>()), p["name"].get<std::string>(),
                        p.value("department", std::string()), options.site.value_or(""),
                        p.value("employee_code", std::string())});
    }
    vanto::store::PeopleImport result;
    {
      auto store = database.Get().Swipes();
      result = store->PutPeople(people);
    }
    tokens.AuditChange(token, r.origin, "people.put",
                       std::to_string(result.added) + " added, " + std::to_string(result.updated) + " updated, " +
                           std::to_string(result.unchanged) + " unchanged");
    json body = {{"added", result.added}, {"updated", result.updated}, {"unchanged", result.unchanged}};
    return {200, "application/json", body.dump(), {}};
  }

  // ---- syncs ----

  host::SyncJobs& Jobs(const char* what) {
    if (!options.sync) throw Problem{409, "Conflict", std::string("this server has no site: ") + what, ""};
    return *options.sync;
  }

  ApiResponse StartSync(const ApiRequest& r, const accounts::ApiToken& token) {
    std::optional<std::int64_t> port = IntParam(r, "port", 1, 32767);
    host::SyncJobs& jobs = Jobs("there is nothing to sync");
    if (port && !jobs.site().Port(static_cast<int>(*port)))
      throw BadParameter("port", "'port' names no port of the site: " + std::to_string(*port));
    auto run = std::make_shared<std::promise<std::optional<std::int64_t>>>();
    std::future<std::optional<std::int64_t>> recorded = run->get_future();
    // The facade audits the intent, the outcome and a refusal under the token's name.
    accounts::Tokens& audit = tokens;
    const host::AuditWriter audit_writer = [&audit, token, origin = r.origin](const std::string& action,
                                                                              const std::string& details) {
      audit.AuditChange(token, origin, action, details);
    };
    const host::SyncJobs::Start started = host::StartSync(
        jobs, store::RunStarter::Console, "token:" + token.name,
        port ? std::optional<int>(static_cast<int>(*port)) : std::nullopt, audit_writer,
        [this](const std::string& problem) { Log("the audit trail could not record a sync: " + problem); }, {},
        [run](std::optional<std::int64_t> id) { run->set_value(id); });
    if (started == host::SyncJobs::Start::Stopping) throw Problem{503, "Service Unavailable", "the server is stopping", ""};
    if (started != host::SyncJobs::Start::Started) {
      const host::SyncJobs::State state = jobs.Snapshot();
      if (!state.running)  // no sync runs: an action on terminals holds a port it would sync
        throw Problem{409, "Conflict", "port busy: an action on terminals holds a port of this sync", ""};
      throw Problem{409, "Conflict",
                    state.run ? "sync " + std::to_string(*state.run) + " is running" : std::string("a sync is running"),
                    ""};
    }
    // Its record is begun before any port is reached; bounded by the database's lock timeouts.
    std::optional<std::int64_t> id;
    if (recorded.wait_for(options.lock_timeout * 3 + std::chrono::seconds(5)) == std::future_status::ready)
      id = recorded.get();
    json body = {{"id", id ? json(*id) : json(nullptr)}, {"state", "running"}, {"started_at", jobs.Snapshot().started_at}};
    ApiResponse res{202, "application/json", "", {}};
    if (id) {
      body["location"] = "/api/v1/syncs/" + std::to_string(*id);
      res.headers.push_back({"Location", body["location"]});
    } else {
      body["recorded"] = false;  // the sync runs, but its record could not be begun (the server's log says why)
    }
    res.body = body.dump();
    return res;
  }

  ApiResponse Sync(const ApiRequest& r, const accounts::ApiToken& token) {
    const std::int64_t id = *IntParam(r, "id", 1, INT64_MAX);
    if (options.sync) {
      const host::SyncJobs::State state = options.sync->Snapshot();
      if (state.running && state.run == id) {
        CheckServedSite(r, token);
        return {200, "application/json", ProgressJson(state).dump(), {}};
      }
    }
    std::optional<store::SyncRun> run = database.Get().SyncRuns()->Find(id);
    if (!run) throw Problem{404, "Not Found", "there is no sync " + std::to_string(id), "id"};
    if (!token.AllowsSite(run->site)) throw SiteRefused(r, token, run->site);
    return {200, "application/json", RunJson(*run).dump(), {}};
  }

  // Recorded syncs, newest first; a token limited to sites sees only theirs (run numbers are the
  // whole database's, so a page reads on past other sites' runs).
  ApiResponse Syncs(const ApiRequest& r, const accounts::ApiToken& token) {
    const std::int64_t before = IntParam(r, "before", 1, INT64_MAX).value_or(INT64_MAX);
    bool clamped = false;
    const std::size_t limit = Limit(r, clamped);
    std::vector<store::SyncRun> runs;
    auto store = database.Get().SyncRuns();
    for (std::int64_t upto = before - 1; runs.size() <= limit;) {
      const std::vector<store::SyncRun> read = store->Upto(limit + 1, upto);
      for (const store::SyncRun& run : read)
        if (token.AllowsSite(run.site)) runs.push_back(run);
      if (read.size() < limit + 1) break;
      upto = read.back().id - 1;
    }
    if (runs.size() > limit + 1) runs.resize(limit + 1);
    const bool more = runs.size() > limit;
    if (more) runs.pop_back();
    json listed = json::array();
    for (const store::SyncRun& run : runs) listed.push_back(RunJson(run));
    json body = PageInfo(limit, clamped);
    body["syncs"] = std::move(listed);
    body["next"] = more ? json(runs.back().id) : json(nullptr);
    return {200, "application/json", body.dump(), {}};
  }

  // ---- the month report ----

  ApiResponse MonthReport(const ApiRequest& r, const accounts::ApiToken& token) {
    CheckServedSite(r, token);
    std::optional<std::string> month = Param(r, "month");
    if (!month) throw BadParameter("month", "'month' is needed: YYYY-MM");
    report::DayRange days;
    try {
      days = report::ParseMonth(*month);
    } catch (const report::DateError&) {
      throw BadParameter("month", "'month' must be a month, YYYY-MM");
    }
    std::optional<std::int64_t> person = IntParam(r, "person", INT32_MIN, INT32_MAX);
    std::optional<std::string> department = Param(r, "department");
    auto store = database.Get().Swipes();
    std::vector<std::int32_t> persons;
    if (person) persons.push_back(static_cast<std::int32_t>(*person));
    if (department) {
      std::vector<std::int32_t> of_department;
      for (const report::Person& p : host::StoredPeople(*store, options.site))
        if (p.department == *department && (!person || p.number == *person)) of_department.push_back(p.number);
      persons = std::move(of_department);
    }
    store.reset();  // its connection back: the report borrows its own
    json people = json::array();
    if (!department || !persons.empty()) {  // no one in the department: an empty report
      // The serving site's report with each day as the attendance rules judge it (one judgement
      // of the site's month, or of the one person's).
      // The swipes the report always read (options.site), of the site judged.
      host::SiteChoice served = options.served;
      served.filter = options.site;
      if (served.name.empty() && options.site) served.name = *options.site;
      const host::AttendanceSite at{database.Get(), served, options.site_file, {"token:" + token.name, r.origin},
                                    std::nullopt};
      const report::Report rep = host::BuildJudgedReport(at, days, options.day_starts, options.late_after, persons);
      for (const report::PersonReport& p : rep.people) {
        json person_days = json::array();
        for (const report::DayEntry& e : p.days) {
          json day = {{"day", report::DateText(e.day)},
                      {"first", MinuteText(e.first)},
                      {"last", MinuteText(e.last)},
                      {"swipes", e.swipes},
                      {"span_minutes", e.span()},
                      {"late", e.late}};
          const report::JudgedDay* j = p.JudgedOn(e.day);
          day["status"] = j ? json(j->status) : json(nullptr);
          day["late_minutes"] = j ? json(j->late_minutes) : json(nullptr);
          day["early_minutes"] = j ? json(j->early_minutes) : json(nullptr);
          day["worked_minutes"] = j ? json(j->worked_minutes) : json(nullptr);
          day["overtime_minutes"] = j ? json(j->overtime_minutes) : json(nullptr);
          person_days.push_back(std::move(day));
        }
        // Every judged day of the month, swipes or not: absent, leave, holiday, pending ...
        json statuses = rep.judged ? json::object() : json(nullptr);
        for (const auto& [word, count] : p.StatusCounts()) statuses[word] = count;
        people.push_back({{"person", p.person},
                          {"name", p.name ? json(*p.name) : json(nullptr)},
                          {"employee_code", p.employee_code},
                          {"department", p.department},
                          {"days_present", p.days_present()},
                          {"total_minutes", p.total_span()},
                          {"days", person_days},
                          {"statuses", statuses}});
      }
    }
    json body = {{"month", *month},
                 {"first_day", report::DateText(days.first)},
                 {"last_day", report::DateText(days.last)},
                 {"day_starts", report::ClockText(options.day_starts)},
                 {"late_after", options.late_after ? json(report::ClockText(*options.late_after)) : json(nullptr)},
                 {"people", people}};
    return {200, "application/json", body.dump(), {}};
  }

  // "YYYY-MM-DD HH:MM" of minutes since 1970-01-01 00:00.
  static std::string MinuteText(std::int64_t minute) {
    const std::int64_t day = minute >= 0 ? minute / 1440 : -((-minute + 1439) / 1440);
    return report::DateText(report::DateFromDays(day)) + " " + report::ClockText(static_cast<int>(minute - day * 1440));
  }

  // ---- enrolments ----

  ApiResponse Enrolments(const ApiRequest& r, const accounts::ApiToken& token) {
    CheckServedSite(r, token);
    std::optional<std::int64_t> person = IntParam(r, "person", INT32_MIN, INT32_MAX);
    json rows = json::array();
    auto store = database.Get().Swipes();
    for (const store::EnrolmentEntry& e : store->Enrolments(options.site)) {  // the serving site's
      if (person && e.person != person) continue;
      rows.push_back({{"person", e.person ? json(*e.person) : json(nullptr)},
                      {"kind", KindCode(e.kind)},
                      {"kind_number", e.kind ? json(*e.kind) : json(nullptr)},
                      {"terminal", e.terminal ? json(*e.terminal) : json(nullptr)}});
    }
    return {200, "application/json", json{{"enrolments", rows}}.dump(), {}};
  }

  ApiResponse CopyEnrolment(const ApiRequest& r, const accounts::ApiToken& token) {
    const json input = BodyObject(r);
    if (!input.contains("person") || !input["person"].is_number_integer() || input["person"].get<std::int64_t>() < -32768 ||
        input["person"].get<std::int64_t>() > 32767)
      throw BadParameter("person", "'person' must be a person number from -32768 to 32767");
    const auto person = static_cast<std::int32_t>(input["person"].get<std::int64_t>());
    CheckServedSite(r, token);
    host::SyncJobs& jobs = Jobs("it reaches no terminals");
    // The serving site's person: its stored rows are read and a backup is stored under it.
    host::SiteChoice site;
    site.name = jobs.site_name();
    site.filter = options.site;
    const std::vector<host::TerminalAt> offered = OfferedTerminals(jobs, [this]() -> db::Database& { return database.Get(); });
    auto known = [&](const json& j, const std::string& field) {
      std::optional<host::TerminalAt> at = TerminalField(j);
      if (!at) throw BadParameter(field, "'" + field + "' must be {\"port\": P, \"terminal\": T}");
      if (std::find(offered.begin(), offered.end(), *at) == offered.end())
        throw BadParameter(field, "'" + field + "' is no terminal of the site: port " + std::to_string(at->port) +
                                      " terminal " + std::to_string(at->terminal));
      return *at;
    };
    std::optional<host::TerminalAt> from;
    if (input.contains("from") && !input["from"].is_null()) from = known(input["from"], "from");
    if (!input.contains("to") || !input["to"].is_array() || input["to"].empty() || input["to"].size() > kMaxTargets)
      throw BadParameter("to", "'to' must list 1 to " + std::to_string(kMaxTargets) + " terminals");
    std::vector<host::TerminalAt> to;
    for (std::size_t i = 0; i < input["to"].size(); ++i) {
      const host::TerminalAt at = known(input["to"][i], "to[" + std::to_string(i) + "]");
      if (std::find(to.begin(), to.end(), at) == to.end()) to.push_back(at);
    }
    std::vector<host::TerminalAt> ports = to;
    if (from) ports.push_back(*from);
    // The facade holds the ports, audits a refusal and each step under the token's name, and runs
    // the copy on a thread of its own that releases the driver's ports.
    const host::AuditWriter audit = [this, &token, &r](const std::string& action, const std::string& details) {
      tokens.AuditChange(token, r.origin, action, details);
    };
    host::EnrolmentCopy copy;
    const host::TerminalActionResult outcome = host::RunTerminalAction(
        jobs, "enrolment.write", ports, std::chrono::steady_clock::now() + options.terminal_wait, audit,
        [&](const host::EnrolmentAuditHook& hook) {
          host::Machine machine = host::Machine::Create();
          copy = host::CopyEnrolment(machine, database.Get(), site, person, from, to, hook);
        },
        [this](const std::string& problem) { Log("enrolment copy: " + problem); });
    if (outcome.status == host::TerminalActionResult::Status::kBusy)
      throw Problem{409, "Conflict", "port busy: a sync or another action holds " + host::TerminalsText(ports), ""};
    if (outcome.status == host::TerminalActionResult::Status::kFailed)
      throw Problem{500, "Internal Server Error", "the enrolment copy failed: " + outcome.failure.English(), ""};
    json body = {{"person", person}, {"done", copy.Done()}};
    if (copy.backup) body["backup"] = EnrolmentResultJson(*from, *copy.backup, false);
    json writes = json::array();
    for (const host::EnrolmentCopy::Write& w : copy.writes) writes.push_back(EnrolmentResultJson(w.to, w.result, w.failure.has_value()));
    if (copy.writes.empty())  // the backup failed: nothing was written
      for (const host::TerminalAt& target : to)
        writes.push_back({{"port", target.port}, {"terminal", target.terminal}, {"outcome", "not-copied"}});
    body["writes"] = std::move(writes);
    return {200, "application/json", body.dump(), {}};
  }

  // ---- attendance ----

  // The site an attendance call acts on: ?site= (a site the database holds), else the serving
  // site; refused to a token limited to other sites, as the swipes are.
  struct AttendanceScope {
    host::SiteChoice choice;
    const site::Site* file = nullptr;
    std::optional<site::Site> recorded;  // another site: as its last sync recorded it
    const site::Site* File() const { return recorded ? &*recorded : file; }
  };
  AttendanceScope AttendanceSiteOf(const ApiRequest& r, const accounts::ApiToken& token) {
    AttendanceScope scope{options.served, options.site_file, std::nullopt};
    if (std::optional<std::string> asked = Param(r, "site"); asked && *asked != options.served.name) {
      if (site::SiteNameProblem(*asked))
        throw BadParameter("site", "'site' must be a site's name: 1 to 32 letters, digits, '-' or '_'");
      const std::vector<std::string> held = host::SiteNames(database.Get());
      if (std::find(held.begin(), held.end(), *asked) == held.end())
        throw BadParameter("site", "'site' names no site of this database: " + *asked);
      scope.choice.name = *asked;
      scope.choice.filter = *asked;
      scope.choice.sites = held;
      // The serving site's file says nothing of another site: its zone, working day and
      // terminals are those its last sync recorded.
      scope.file = nullptr;
      scope.recorded = host::SiteAsLastSynced(database.Get(), *asked);
    }
    if (!token.sites.empty() && (scope.choice.name.empty() || !token.AllowsSite(scope.choice.name)))
      throw SiteRefused(r, token, scope.choice.name);
    return scope;
  }

  // Runs a host operation on the site: its refusal of the input is a 400 with its words.
  template <typename Operation>
  auto OnSite(const ApiRequest& r, const accounts::ApiToken& token, const AttendanceScope& scope, Operation operation) {
    host::AttendanceSite at{database.Get(), scope.choice, scope.File(), {"token:" + token.name, r.origin}, std::nullopt,
                            &database.Judged()};
    try {
      return operation(at);
    } catch (const host::InputError& e) {
      throw Problem{400, "Bad Request", e.what(), ""};
    }
  }

  // ?month=YYYY-MM: its first and last day.
  static report::DayRange MonthParam(const ApiRequest& r) {
    std::optional<std::string> month = Param(r, "month");
    if (!month) throw BadParameter("month", "'month' is needed: YYYY-MM");
    try {
      return report::ParseMonth(*month);
    } catch (const report::DateError&) {
      throw BadParameter("month", "'month' must be a month, YYYY-MM");
    }
  }

  static std::optional<std::int32_t> PersonParam(const ApiRequest& r) {
    if (std::optional<std::int64_t> person = IntParam(r, "person", INT32_MIN, INT32_MAX))
      return static_cast<std::int32_t>(*person);
    return std::nullopt;
  }

  // A body that is JSON (an object, or for leave an array too).
  static json BodyJson(const ApiRequest& r, bool array_too) {
    if (r.content_type.rfind("application/json", 0) != 0)
      throw Problem{415, "Unsupported Media Type", "send the body as application/json", "body"};
    json input = json::parse(r.body, nullptr, false);
    if (input.is_discarded() || !(input.is_object() || (array_too && input.is_array())))
      throw BadParameter("body", array_too ? "the body is not a JSON object or array" : "the body is not a JSON object");
    return input;
  }

  ApiResponse Attendance(const ApiRequest& r, const accounts::ApiToken& token) {
    const report::DayRange days = MonthParam(r);
    const std::optional<std::int32_t> person = PersonParam(r);
    const AttendanceScope scope = AttendanceSiteOf(r, token);
    const std::string month = report::DateText(days.first).substr(0, 7);
    const host::MonthAttendance judged =
        OnSite(r, token, scope, [&](const host::AttendanceSite& at) { return host::JudgeMonth(at, month, person); });
    json listed = json::array();
    for (const attendance::DayResult& day : judged.days) listed.push_back(host::DayJson(day));
    json body = {{"site", scope.choice.name}, {"month", month}, {"closed", judged.closed}, {"days", std::move(listed)}};
    if (judged.closed) {
      body["closed_by"] = judged.closed_by;
      body["closed_at"] = judged.closed_at;
    }
    return {200, "application/json", body.dump(), {}};
  }

  // HR's entries of a site (corrections, leave), each kind's list, add and withdraw alike; the
  // kind's own parts: its listing and JSON, its reading of a body, its host operations.

  // GET: the entries of ?month= (of ?person=) as {"site", "month", KEY: [...]}.
  template <typename Entry>
  ApiResponse MonthEntries(const ApiRequest& r, const accounts::ApiToken& token, const char* key,
                           std::vector<Entry> (*list)(const host::AttendanceSite&, const std::string&, const std::string&,
                                                      std::optional<std::int32_t>),
                           json (*entry_json)(const Entry&)) {
    const report::DayRange days = MonthParam(r);
    const std::optional<std::int32_t> person = PersonParam(r);
    const AttendanceScope scope = AttendanceSiteOf(r, token);
    const std::vector<Entry> found = OnSite(r, token, scope, [&](const host::AttendanceSite& at) {
      return list(at, report::DateText(days.first), report::DateText(days.last), person);
    });
    json listed = json::array();
    for (const Entry& e : found) listed.push_back(entry_json(e));
    json body = {{"site", scope.choice.name}, {"month", report::DateText(days.first).substr(0, 7)}, {key, std::move(listed)}};
    return {200, "application/json", body.dump(), {}};
  }

  // POST: the body read field by field (`array_too`: an array of entries too), added by the host;
  // 201 with what `created` makes of the host's answer.
  template <typename Input, typename Added>
  ApiResponse AddEntries(const ApiRequest& r, const accounts::ApiToken& token, bool array_too,
                         Input (*read)(const json&), Added (*add)(const host::AttendanceSite&, const Input&),
                         json (*created)(const Added&)) {
    const json body = BodyJson(r, array_too);
    Input input;
    try {
      input = read(body);
    } catch (const BodyFieldError& e) {
      throw BadParameter(e.field, e.detail);
    }
    const AttendanceScope scope = AttendanceSiteOf(r, token);
    const Added added = OnSite(r, token, scope, [&](const host::AttendanceSite& at) { return add(at, input); });
    return {201, "application/json", created(added).dump(), {}};
  }

  // DELETE /{id}: the site's entry of that id (another site's id is none of this site's): 404
  // when there is none, 409 when it is withdrawn already; 204 once withdrawn.
  template <typename Entry>
  ApiResponse WithdrawEntry(const ApiRequest& r, const accounts::ApiToken& token, const std::string& what,
                            std::optional<Entry> (store::AttendanceRows::*find)(std::int64_t),
                            void (*withdraw)(const host::AttendanceSite&, std::int64_t)) {
    const std::int64_t id = *IntParam(r, "id", 1, INT64_MAX);
    const AttendanceScope scope = AttendanceSiteOf(r, token);
    std::optional<Entry> held;
    {
      auto tables = database.Get().Tables(false);
      store::AttendanceRows rows(*tables, scope.choice.name);
      held = (rows.*find)(id);
    }
    if (!held) throw Problem{404, "Not Found", "there is no " + what + " " + std::to_string(id), "id"};
    if (held->entered.withdrawn())
      throw Problem{409, "Conflict", what + " " + std::to_string(id) + " is withdrawn already", "id"};
    OnSite(r, token, scope, [&](const host::AttendanceSite& at) { withdraw(at, id); });
    return {204, "application/json", "", {}};
  }

  static json IdJson(const std::int64_t& id) { return json{{"id", id}}; }
  static json IdsJson(const std::vector<std::int64_t>& ids) { return json{{"ids", ids}}; }

  ApiResponse Corrections(const ApiRequest& r, const accounts::ApiToken& token) {
    return MonthEntries<attendance::Correction>(r, token, "corrections", &host::ListCorrections, &CorrectionJson);
  }
  ApiResponse AddCorrection(const ApiRequest& r, const accounts::ApiToken& token) {
    return AddEntries<attendance::Correction, std::int64_t>(r, token, false, &CorrectionFromJson, &host::AddCorrection,
                                                            &IdJson);
  }
  ApiResponse WithdrawCorrection(const ApiRequest& r, const accounts::ApiToken& token) {
    return WithdrawEntry<attendance::Correction>(r, token, "correction", &store::AttendanceRows::FindCorrection,
                                                 &host::WithdrawCorrection);
  }
  ApiResponse Leave(const ApiRequest& r, const accounts::ApiToken& token) {
    return MonthEntries<attendance::Leave>(r, token, "leave", &host::ListLeave, &LeaveJson);
  }
  ApiResponse AddLeave(const ApiRequest& r, const accounts::ApiToken& token) {
    return AddEntries<std::vector<attendance::Leave>, std::vector<std::int64_t>>(r, token, true, &LeaveFromJson,
                                                                                &host::AddLeave, &IdsJson);
  }
  ApiResponse WithdrawLeave(const ApiRequest& r, const accounts::ApiToken& token) {
    return WithdrawEntry<attendance::Leave>(r, token, "leave", &store::AttendanceRows::FindLeave, &host::WithdrawLeave);
  }

  // Each route's handler, by method and path (ApiRoutes gives each its scope and its OpenAPI
  // text); a route without one is found when the server is made, never when it is asked.
  using Handler = ApiResponse (Impl::*)(const ApiRequest&, const accounts::ApiToken&);
  struct Handled {
    const char* method;
    const char* path;
    Handler handler;
  };
  static const std::vector<Handled>& Handlers() {
    static const std::vector<Handled> handlers = {
        {"GET", "/api/v1/openapi.json", &Impl::OpenApi},
        {"GET", "/healthz", &Impl::Healthz},
        {"GET", "/metrics", &Impl::Metrics},
        {"GET", "/api/v1/terminals", &Impl::Terminals},
        {"GET", "/api/v1/swipes", &Impl::Swipes},
        {"GET", "/api/v1/swipes/feed", &Impl::Feed},
        {"GET", "/api/v1/people", &Impl::People},
        {"POST", "/api/v1/people", &Impl::PutPeople},
        {"GET", "/api/v1/syncs", &Impl::Syncs},
        {"POST", "/api/v1/syncs", &Impl::StartSync},
        {"GET", "/api/v1/syncs/{id}", &Impl::Sync},
        {"GET", "/api/v1/reports/month", &Impl::MonthReport},
        {"GET", "/api/v1/enrolments", &Impl::Enrolments},
        {"POST", "/api/v1/enrolments/copy", &Impl::CopyEnrolment},
        {"GET", "/api/v1/attendance", &Impl::Attendance},
        {"GET", "/api/v1/attendance/corrections", &Impl::Corrections},
        {"POST", "/api/v1/attendance/corrections", &Impl::AddCorrection},
        {"DELETE", "/api/v1/attendance/corrections/{id}", &Impl::WithdrawCorrection},
        {"GET", "/api/v1/leave", &Impl::Leave},
        {"POST", "/api/v1/leave", &Impl::AddLeave},
        {"DELETE", "/api/v1/leave/{id}", &Impl::WithdrawLeave},
    };
    return handlers;
  }
  static Handler HandlerOf(const ApiRoute& route) {
    for (const Handled& h : Handlers())
      if (route.method == h.method && route.path == h.path) return h.handler;
    throw std::logic_error("the API route " + route.method + " " + route.path + " has no handler");
  }
  // Every route handled (checked once, when the server is made).
  static void CheckHandlers() {
    for (const ApiRoute& route : ApiRoutes()) HandlerOf(route);
  }

  ApiResponse Dispatch(const ApiRequest& r) {
    refusals.Tick();
    const ApiRoute* route = nullptr;
    bool path_known = false;
    std::map<std::string, std::string> captured;
    for (const ApiRoute& candidate : ApiRoutes()) {
      std::map<std::string, std::string> found;
      if (!PathMatches(candidate.path, r.path, found)) continue;
      path_known = true;
      if (candidate.method == r.method || (candidate.method == "GET" && r.method == "HEAD")) {
        route = &candidate;
        captured = std::move(found);
      }
    }
    if (!route && path_known) {
      ApiResponse res = ProblemResponse({405, "Method Not Allowed", r.method + " is not served at " + r.path, ""});
      std::string allow;
      for (const ApiRoute& c : ApiRoutes())
        if (std::map<std::string, std::string> unused; PathMatches(c.path, r.path, unused))
          allow += (allow.empty() ? "" : ", ") + c.method;
      res.headers.push_back({"Allow", allow});
      return res;
    }
    if (!route) return ProblemResponse({404, "Not Found", "there is no " + r.path + " in this API", ""});
    if (route->scope.empty()) return (this->*HandlerOf(*route))(r, {});

    static const std::string kBearer = "Bearer ";
    std::optional<accounts::ApiToken> token;
    if (r.authorization.size() > kBearer.size() && r.authorization.compare(0, kBearer.size(), kBearer) == 0)
      token = tokens.Authenticate(r.authorization.substr(kBearer.size()));
    if (!token) {
      ApiResponse res = ProblemResponse(
          {401, "Unauthorized", r.authorization.empty() ? "send a token: Authorization: Bearer TOKEN"
                                                        : "the token is not known (revoked, or never made)",
           ""});
      res.headers.push_back({"WWW-Authenticate", "Bearer realm=\"vanto\""});
      return res;
    }
    if (std::int64_t wait = tokens.Admit(token->name); wait > 0) {
      ApiResponse res = ProblemResponse(
          {429, "Too Many Requests", "token " + token->name + " has made too many requests; try again later", ""});
      res.headers.push_back({"Retry-After", std::to_string(wait)});
      return res;
    }
    if (!token->Allows(route->scope)) {
      refusals.Refused({token->name, r.origin}, token->name,
                       r.method + " " + r.path + ": the token lacks the scope " + route->scope);
      return ProblemResponse({403, "Forbidden", "token " + token->name + " lacks the scope " + route->scope, ""});
    }
    ApiResponse res;
    if (captured.empty()) {
      res = (this->*HandlerOf(*route))(r, *token);
    } else {  // the path's values stand for the query's of the same names
      ApiRequest with_path = r;
      for (auto& [name, value] : captured) {
        with_path.params.erase(name);
        with_path.params.emplace(name, std::move(value));
      }
      res = (this->*HandlerOf(*route))(with_path, *token);
    }
    if (route->method == "GET") tokens.CountRead(token->name);
    return res;
  }
};

ApiServer::ApiServer(ApiOptions options, accounts::Tokens& tokens)
    : impl_(std::make_unique<Impl>(std::move(options), tokens)) {}
ApiServer::~ApiServer() = default;

ApiResponse ApiServer::Handle(const ApiRequest& request) {
  try {
    return impl_->Dispatch(request);
  } catch (const Problem& p) {
    return ProblemResponse(p);
  } catch (const vanto::store::StoreError& e) {
    return ProblemResponse({503, "Service Unavailable", std::string("the database failed: ") + e.what(), ""});
  } catch (const std::exception& e) {
    return ProblemResponse({500, "Internal Server Error", e.what(), ""});
  } catch (...) {
    return ProblemResponse({500, "Internal Server Error", "an unknown failure", ""});
  }
}

}  // namespace vanto::web
