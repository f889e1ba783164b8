// The To review page: host::ToReview over the chosen site, and each day's actions as form posts
// (host::AddCorrection, host::AddLeave, host::MarkReviewed, host::UnmarkReviewed), audited by the
// host under the console user and the client's address.
#include "web/review_page.h"

#include <algorithm>
#include <functional>

#include "host/attendance_data.h"
#include "host/attendance_dates.h"
#include "host/attendance_host.h"
#include "host/attendance_review.h"
#include "host/errors.h"
#include "web/attendance_pages.h"
#include "web/templates.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;

constexpr const char* kReviewTemplate = R"html(<form method="get" action="/review" class="filters" id="review-view">
{{#site}}<input type="hidden" name="site" value="{{site}}">{{/site}}
<label>{{t.review_from}} <input type="date" name="from" id="from" value="{{from}}"></label>
<label>{{t.review_to}} <input type="date" name="to" id="to" value="{{to}}"></label>
<label>{{t.department}} <select name="department" id="department"><option value="">{{t.review_all_departments}}</option>{{#departments}}<option value="{{value}}"{{#selected}} selected{{/selected}}>{{value}}</option>{{/departments}}</select></label>
<label><input type="checkbox" name="reviewed" value="1" id="show-reviewed"{{#show_reviewed}} checked{{/show_reviewed}}> {{t.review_show_reviewed}}</label>
<button id="show">{{t.show}}</button>
</form>
<p class="meta">{{t.review_zone}} <span id="review-zone">{{zone}}</span> · {{t.review_rows}} <span id="review-count">{{count}}</span>
· <a href="/review?{{query}}&amp;format=xlsx" id="export-xlsx" download>{{t.att_download_xlsx}}</a>
· <a href="/review?{{query}}&amp;format=csv" id="export-csv" download>{{t.download_csv}}</a>
· <a href="/review?{{query}}&amp;format=print" id="export-print">{{t.printable}}</a></p>
{{#has_days}}<table id="review-days">
<thead><tr><th>{{t.day}}</th><th>{{t.person}}</th><th>{{t.person_name}}</th><th>{{t.department}}</th><th>{{t.status}}</th><th>{{t.review_findings}}</th><th>{{t.review_swipes}}</th><th>{{t.review_actions}}</th></tr></thead>
<tbody>
{{#days}}<tr class="review-day" data-person="{{person}}" data-date="{{date}}" data-status="{{status_word}}"><td>{{date}}</td><td>{{person}}</td><td class="name">{{#name}}{{name}}{{/name}}{{^name}}<span class="muted">{{t.no_name}}</span>{{/name}}</td><td>{{department}}</td><td class="status">{{status}}</td>
<td class="findings">{{#findings}}<span class="finding">{{text}}</span> {{/findings}}</td>
<td class="swipes">{{#swipes}}<span class="swipe{{#added}} added{{/added}}" data-time="{{full}}">{{#aside}}<s>{{/aside}}{{time}}{{#aside}}</s>{{/aside}}{{#next_day}} (+1){{/next_day}}{{#added}} ({{direction}}, {{t.review_added}}){{/added}}{{#aside}} ({{t.review_set_aside_mark}}){{/aside}}</span> {{/swipes}}</td>
<td class="actions">
{{#reviewed}}<p class="reviewed">{{t.review_reviewed_by}} {{by}}{{#note}}: {{note}}{{/note}}</p>
<form method="post" action="/review/unmark" class="unmark"><input type="hidden" name="csrf" value="{{csrf}}">{{#site}}<input type="hidden" name="site" value="{{site}}">{{/site}}<input type="hidden" name="from" value="{{from}}"><input type="hidden" name="to" value="{{to}}"><input type="hidden" name="department" value="{{department_shown}}"><input type="hidden" name="reviewed" value="{{reviewed_shown}}"><input type="hidden" name="person" value="{{person}}"><input type="hidden" name="date" value="{{date}}"><button>{{t.review_unmark}}</button></form>{{/reviewed}}
<details class="add-swipe"><summary>{{t.review_add_swipe}}</summary>
<form method="post" action="/review/add-swipe"><input type="hidden" name="csrf" value="{{csrf}}">{{#site}}<input type="hidden" name="site" value="{{site}}">{{/site}}<input type="hidden" name="from" value="{{from}}"><input type="hidden" name="to" value="{{to}}"><input type="hidden" name="department" value="{{department_shown}}"><input type="hidden" name="reviewed" value="{{reviewed_shown}}"><input type="hidden" name="person" value="{{person}}"><input type="hidden" name="date" value="{{date}}">
<label>{{t.review_time}} <input type="time" name="time" required></label>
<label><input type="checkbox" name="next_day" value="1"> {{t.review_next_day}}</label>
<label>{{t.review_direction}} <select name="direction"><option value="in">{{t.review_in}}</option><option value="out">{{t.review_out}}</option></select></label>
<label>{{t.review_reason}} <input name="reason" required maxlength="200"></label>
<button>{{t.review_add_swipe}}</button></form></details>
{{#has_stored}}<details class="set-aside"><summary>{{t.review_set_aside}}</summary>
<form method="post" action="/review/set-aside"><input type="hidden" name="csrf" value="{{csrf}}">{{#site}}<input type="hidden" name="site" value="{{site}}">{{/site}}<input type="hidden" name="from" value="{{from}}"><input type="hidden" name="to" value="{{to}}"><input type="hidden" name="department" value="{{department_shown}}"><input type="hidden" name="reviewed" value="{{reviewed_shown}}"><input type="hidden" name="person" value="{{person}}"><input type="hidden" name="date" value="{{date}}">
<label>{{t.review_which_swipe}} <select name="swipe">{{#stored}}<option value="{{value}}">{{time}}</option>{{/stored}}</select></label>
<label>{{t.review_reason}} <input name="reason" required maxlength="200"></label>
<button>{{t.review_set_aside}}</button></form></details>{{/has_stored}}
<details class="leave"><summary>{{t.review_record_leave}}</summary>
<form method="post" action="/review/leave"><input type="hidden" name="csrf" value="{{csrf}}">{{#site}}<input type="hidden" name="site" value="{{site}}">{{/site}}<input type="hidden" name="from" value="{{from}}"><input type="hidden" name="to" value="{{to}}"><input type="hidden" name="department" value="{{department_shown}}"><input type="hidden" name="reviewed" value="{{reviewed_shown}}"><input type="hidden" name="person" value="{{person}}"><input type="hidden" name="date" value="{{date}}">
<label>{{t.review_leave_kind}} <select name="kind">{{#kinds}}<option value="{{.}}">{{.}}</option>{{/kinds}}</select></label>
<span class="meta">{{t.review_whole_day}}</span>
<label>{{t.review_note}} <input name="note" maxlength="200"></label>
<button>{{t.review_record_leave}}</button></form></details>
{{^reviewed}}<form method="post" action="/review/mark" class="mark"><input type="hidden" name="csrf" value="{{csrf}}">{{#site}}<input type="hidden" name="site" value="{{site}}">{{/site}}<input type="hidden" name="from" value="{{from}}"><input type="hidden" name="to" value="{{to}}"><input type="hidden" name="department" value="{{department_shown}}"><input type="hidden" name="reviewed" value="{{reviewed_shown}}"><input type="hidden" name="person" value="{{person}}"><input type="hidden" name="date" value="{{date}}">
<label>{{t.review_note}} <input name="note" maxlength="200"></label>
<button>{{t.review_mark}}</button></form>{{/reviewed}}
</td></tr>
{{/days}}</tbody>
</table>{{/has_days}}
{{^has_days}}<p id="review-none">{{t.review_none}}</p>{{/has_days}}
)html";

// What the page shows: the period, the department ('' every one) and whether reviewed days too.
struct View {
  std::string from, to, department;
  bool reviewed = false;
};

// The notices a redirect may name (anything else shows none).
constexpr const char* kDone[] = {"review_done_swipe", "review_done_set_aside", "review_done_leave", "review_done_mark",
                                 "review_done_unmark"};

// "HH:MM" of a swipe's wall time "YYYY-MM-DD HH:MM:SS" (the row names the day).
std::string ClockOf(const std::string& wall) { return wall.size() >= 16 ? wall.substr(11, 5) : wall; }

// Whether a swipe listed under `date` was on the day after it (a shift past midnight).
bool NextDay(const std::string& swipe, const std::string& date) { return swipe.compare(0, 10, date) != 0; }

// The view a request names, today and the six days before by default; nothing when a field is
// too long or not UTF-8 (the host checks the dates themselves).
std::optional<View> RequestedView(const Context& c, const host::AttendanceSite& at) {
  std::optional<std::string> from = FieldText(c.req, "from", 10), to = FieldText(c.req, "to", 10),
                             department = FieldText(c.req, "department");
  if (!from || !to || !department) return std::nullopt;
  View v{*from, *to, *department, Field(c.req, "reviewed") == "1"};
  if (v.to.empty()) v.to = host::SiteToday(at);
  if (v.from.empty()) {
    const std::optional<std::int64_t> to = host::DayNumber(v.to);
    v.from = to ? host::DateOfDay(*to - 6) : v.to;  // a `to` that is no date: the host says so
  }
  return v;
}

std::string ViewQuery(const Context& c, const View& v) {
  std::string q = "from=" + UrlEncode(v.from) + "&to=" + UrlEncode(v.to);
  if (!v.department.empty()) q += "&department=" + UrlEncode(v.department);
  if (v.reviewed) q += "&reviewed=1";
  if (c.site) q += "&site=" + UrlEncode(*c.site);
  return q;
}

std::string FindingText(const attendance::Finding& f, Language language) {
  std::string word = attendance::FindingWord(f.kind);
  for (char& ch : word)
    if (ch == '-') ch = '_';
  std::string text = Say(language, "finding_" + word);
  if (f.minutes > 0) text += " " + std::to_string(f.minutes) + " " + Say(language, "review_minutes");
  if (f.kind == attendance::FindingKind::kLeave && !f.value.empty()) text += " (" + f.value + ")";
  return text;
}

// The site the request shows, as the host takes it (the serving site's file for its own site).
host::SiteChoice ChoiceOf(const Context& c) {
  host::SiteChoice choice;
  choice.name = c.site.value_or("");
  choice.filter = c.site;
  return choice;
}
struct Shown {
  host::SiteChoice choice;
  host::AttendanceSite at;
  Shown(const RecordsSource& records, const Context& c)
      : choice(ChoiceOf(c)),
        at{records.db->Get(), choice, c.site == records.site ? records.site_file : nullptr, {c.Actor().name, c.client},
           std::nullopt} {}
};

void StoreFailed(const PageHost& host, Context& c, const std::exception& e) {
  host.Log("to review for " + c.client + ": " + e.what());
  host.Answer(c, 503, Say(c.language, "nav_review"), "", "", Say(c.language, "db_failed") + " " + host::Translate(e, c.language));
}

// The list as a table to export: a row per day, its findings and swipes as text.
present::Table ReviewTable(const host::ReviewList& review, Language language) {
  using present::ColumnKind;
  present::Table table{Say(language, "nav_review"),
                       {{Say(language, "day"), ColumnKind::kDate},
                        {Say(language, "person"), ColumnKind::kInteger},
                        {Say(language, "person_name"), ColumnKind::kText},
                        {Say(language, "department"), ColumnKind::kText},
                        {Say(language, "status"), ColumnKind::kText},
                        {Say(language, "review_findings"), ColumnKind::kText},
                        {Say(language, "swipes"), ColumnKind::kText},
                        {Say(language, "review_reviewed_by"), ColumnKind::kText},
                        {Say(language, "review_note"), ColumnKind::kText}},
                       {}};
  for (const host::ReviewDay& r : review.days) {
    std::string findings, swipes;
    for (const attendance::Finding& f : r.day.findings) {
      if (f.kind == attendance::FindingKind::kSimpleRule) continue;
      findings += (findings.empty() ? "" : "; ") + FindingText(f, language);
    }
    for (const host::ReviewSwipe& s : r.swipes) {
      std::string text = ClockOf(s.time) + (NextDay(s.time, r.day.date) ? " (+1)" : "");
      if (s.added) text += " (" + Say(language, "review_added") + ")";
      if (s.set_aside) text += " (" + Say(language, "review_set_aside_mark") + ")";
      swipes += (swipes.empty() ? "" : ", ") + text;
    }
    table.rows.push_back({r.day.date, std::int64_t{r.day.person}, r.name, r.department,
                          StatusSaid(language, attendance::StatusWord(r.day.status)), findings, swipes,
                          r.reviewed ? r.reviewed->by : std::string(), r.reviewed ? r.reviewed->note : std::string()});
  }
  return table;
}

void ShowPage(const PageHost& host, const RecordsSource& records, Context& c, const View& view, int status,
              const std::string& error, const std::string& format = "") {
  try {
    Shown shown(records, c);
    host::ReviewOptions options;
    if (!view.department.empty()) options.department = view.department;
    options.include_reviewed = view.reviewed;
    host::ReviewList review;
    std::string problem = error;
    try {
      review = host::ToReview(shown.at, view.from, view.to, options);
    } catch (const host::InputError& e) {
      problem = host::Translate(e, c.language);
      status = 400;
    }
    if (!format.empty() && problem.empty()) {
      const std::string base = "to-review-" + (c.site ? *c.site + "-" : std::string()) + view.from + "-" + view.to;
      return SendExport(c, format, base, Say(c.language, "nav_review") + " " + view.from + " – " + view.to,
                        {Say(c.language, "review_zone") + " " + (review.timezone.empty() ? host::SiteZoneName(shown.at) : review.timezone)}, ReviewTable(review, c.language));
    }
    data d;
    if (c.site) d.set("site", *c.site);
    d.set("query", ViewQuery(c, view));
    d.set("csrf", c.who->session.csrf);
    d.set("from", view.from);
    d.set("to", view.to);
    d.set("department_shown", view.department);
    d.set("reviewed_shown", view.reviewed ? "1" : "");
    d.set("show_reviewed", view.reviewed);
    d.set("zone", review.timezone.empty() ? host::SiteZoneName(shown.at) : review.timezone);
    d.set("count", std::to_string(review.days.size()));
    std::vector<std::string> departments = review.departments;
    if (!view.department.empty() &&
        std::find(departments.begin(), departments.end(), view.department) == departments.end())
      departments.insert(std::lower_bound(departments.begin(), departments.end(), view.department), view.department);
    list department_list;
    for (const std::string& name : departments) {
      data item;
      item.set("value", name);
      item.set("selected", name == view.department);
      department_list.push_back(item);
    }
    d.set("departments", department_list);
    list kinds;
    for (const std::string& k : host::LeaveKinds(shown.at)) kinds.push_back(data(k));
    d.set("kinds", kinds);
    list days;
    for (const host::ReviewDay& r : review.days) {
      data row;
      row.set("person", std::to_string(r.day.person));
      row.set("date", r.day.date);
      if (!r.name.empty()) row.set("name", r.name);
      row.set("department", r.department);
      const std::string word = attendance::StatusWord(r.day.status);
      row.set("status_word", word);
      row.set("status", StatusSaid(c.language, word));
      list findings;
      for (const attendance::Finding& f : r.day.findings) {
        if (f.kind == attendance::FindingKind::kSimpleRule) continue;
        data item;
        item.set("text", FindingText(f, c.language));
        findings.push_back(item);
      }
      row.set("findings", findings);
      list swipes, stored;
      for (const host::ReviewSwipe& s : r.swipes) {
        data item;
        item.set("time", ClockOf(s.time));
        item.set("full", s.time);
        item.set("next_day", NextDay(s.time, r.day.date));
        if (s.added) {
          item.set("added", true);
          item.set("direction", Say(c.language, s.direction == attendance::Direction::kOut ? "review_out" : "review_in"));
        }
        if (s.set_aside) item.set("aside", true);
        swipes.push_back(item);
        if (!s.added && !s.set_aside) {
          data option;
          option.set("time", ClockOf(s.time) + (NextDay(s.time, r.day.date) ? " (+1)" : "") + " (" +
                                 std::to_string(s.port) + ":" + std::to_string(s.terminal) + ")");
          option.set("value", std::to_string(s.port) + ":" + std::to_string(s.terminal) + ":" + s.time);
          stored.push_back(option);
        }
      }
      row.set("swipes", swipes);
      row.set("has_stored", !stored.empty());
      row.set("stored", stored);
      if (r.reviewed) {
        data mark;
        mark.set("by", r.reviewed->by);
        if (!r.reviewed->note.empty()) mark.set("note", r.reviewed->note);
        row.set("reviewed", mark);
      }
      days.push_back(row);
    }
    d.set("has_days", !review.days.empty());
    d.set("days", days);
    std::string notice;
    const std::string done = c.req.has_param("done") ? c.req.get_param_value("done") : "";
    for (const char* key : kDone)
      if (done == key) notice = Say(c.language, key);
    host.Answer(c, status, Say(c.language, "nav_review"), RenderText("review", kReviewTemplate, d, c.language), notice,
                problem);
  } catch (const std::exception& e) {  // the store, or a database that cannot be opened
    StoreFailed(host, c, e);
  }
}

void ReviewPage(const PageHost& host, const RecordsSource& records, Context& c) {
  try {
    Shown shown(records, c);
    std::optional<View> view = RequestedView(c, shown.at);
    if (!view) return host.Refuse(c, 400, "bad_request", "/review");
    const std::optional<std::string> format = RequestedFormat(host, c, "nav_review");
    if (!format) return;
    ShowPage(host, records, c, *view, 200, "", *format);
  } catch (const std::exception& e) {
    StoreFailed(host, c, e);
  }
}

// An action on one person's day: `act` answers the notice's word; a refusal keeps the view and
// says why.
using Act = std::function<const char*(const host::AttendanceSite&, std::int32_t person, const std::string& date)>;

void Post(const PageHost& host, const RecordsSource& records, Context& c, const Act& act) {
  std::optional<View> view;
  try {
    Shown shown(records, c);
    view = RequestedView(c, shown.at);
    const std::optional<std::int64_t> person = WholeNumber(Field(c.req, "person"), 1, 2147483647);
    const std::optional<std::string> date = FieldText(c.req, "date", 10);
    if (!view || !person || !date || !host::DayNumber(*date)) return host.Refuse(c, 400, "bad_request", "/review");
    const char* done = nullptr;
    try {
      done = act(shown.at, static_cast<std::int32_t>(*person), *date);
    } catch (const host::InputError& e) {
      return ShowPage(host, records, c, *view, 400, host::Translate(e, c.language));
    }
    c.res.set_redirect("/review?" + ViewQuery(c, *view) + "&done=" + done, 303);
  } catch (const std::exception& e) {
    StoreFailed(host, c, e);
  }
}

// A form's text field: nothing when too long or not UTF-8 (refused as bad input).
std::string Text(const Context& c, const char* name) {
  std::optional<std::string> text = FieldText(c.req, name);
  if (!text) throw host::InputError(host::Message("the field {0} is too long or not text", {name}));
  return *text;
}

const char* AddSwipe(const Context& c, const host::AttendanceSite& at, std::int32_t person, const std::string& date) {
  attendance::Correction k;
  k.person = person;
  k.kind = attendance::CorrectionKind::kAdd;
  const std::string time = Text(c, "time");
  if (time.size() != 5 && time.size() != 8) throw host::InputError(host::Message("time '{0}' is not a time HH:MM", {time}));
  k.time = (Field(c.req, "next_day") == "1" ? host::DateOfDay(host::CheckedDate(date, "date") + 1) : date) + " " + time;
  const std::string direction = Field(c.req, "direction");
  k.direction = direction == "out" ? attendance::Direction::kOut
                : direction == "in" ? attendance::Direction::kIn
                                    : attendance::Direction::kUnknown;
  k.reason = Text(c, "reason");
  host::AddCorrection(at, k);
  return "review_done_swipe";
}

const char* SetAside(const Context& c, const host::AttendanceSite& at, std::int32_t person, const std::string&) {
  // "PORT:TERMINAL:YYYY-MM-DD HH:MM:SS", as the page lists the day's stored swipes.
  const std::string swipe = Text(c, "swipe");
  const std::size_t a = swipe.find(':'), b = a == std::string::npos ? a : swipe.find(':', a + 1);
  std::optional<std::int64_t> port, terminal;
  if (b != std::string::npos) {
    port = WholeNumber(swipe.substr(0, a), 0, 65535);
    terminal = WholeNumber(swipe.substr(a + 1, b - a - 1), 0, 65535);
  }
  if (!port || !terminal) throw host::InputError(host::Message("'{0}' names no stored swipe", {swipe}));
  attendance::Correction k;
  k.person = person;
  k.kind = attendance::CorrectionKind::kSetAside;
  k.time = swipe.substr(b + 1);
  k.port = static_cast<int>(*port);
  k.terminal = static_cast<int>(*terminal);
  k.reason = Text(c, "reason");
  host::AddCorrection(at, k);
  return "review_done_set_aside";
}

const char* RecordLeave(const Context& c, const host::AttendanceSite& at, std::int32_t person, const std::string& date) {
  attendance::Leave l;
  l.person = person;
  l.kind = Text(c, "kind");
  l.from = l.to = date;
  l.note = Text(c, "note");
  host::AddLeave(at, {l});
  return "review_done_leave";
}

}  // namespace

std::vector<Route> ReviewRoutes(const PageHost& host, const RecordsSource& records) {
  auto post = [&host, &records](const char* (*act)(const Context&, const host::AttendanceSite&, std::int32_t,
                                                   const std::string&)) {
    return [&host, &records, act](Context& c) {
      if (records.database.empty()) return host.Refuse(c, 503, "no_database");
      Post(host, records, c, [&c, act](const host::AttendanceSite& at, std::int32_t person, const std::string& date) {
        return act(c, at, person, date);
      });
    };
  };
  return {
      {"GET", "/review", Access::Page, Action::ReviewDays,
       [&host, &records](Context& c) {
         if (records.database.empty()) return host.Refuse(c, 503, "no_database");
         ReviewPage(host, records, c);
       }},
      {"POST", "/review/add-swipe", Access::Form, Action::EditCorrections, post(AddSwipe)},
      {"POST", "/review/set-aside", Access::Form, Action::EditCorrections, post(SetAside)},
      {"POST", "/review/leave", Access::Form, Action::EditLeave, post(RecordLeave)},
      {"POST", "/review/mark", Access::Form, Action::ReviewDays,
       post([](const Context& c, const host::AttendanceSite& at, std::int32_t person, const std::string& date) {
         host::MarkReviewed(at, person, date, Text(c, "note"));
         return "review_done_mark";
       })},
      {"POST", "/review/unmark", Access::Form, Action::ReviewDays,
       post([](const Context&, const host::AttendanceSite& at, std::int32_t person, const std::string& date) {
         host::UnmarkReviewed(at, person, date);
         return "review_done_unmark";
       })},
  };
}

}  // namespace vanto::web
