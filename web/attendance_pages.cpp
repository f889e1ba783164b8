#include "web/attendance_pages.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "host/attendance_data.h"
#include "host/attendance_host.h"
#include "host/errors.h"
#include "host/site/site.h"
#include "present/report/formats.h"
#include "present/sheet.h"
#include "web/report_page.h"
#include "web/templates.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;
using present::Cell;
using present::ColumnKind;

constexpr const char* kPersonTemplate = R"html(<form method="get" action="/attendance/person" class="filters" id="month-form">
<input type="hidden" name="person" value="{{person}}">
<label>{{t.month}} <input type="month" name="month" id="month" value="{{month}}"></label>
<button id="show">{{t.show}}</button>
</form>
<p><a href="/attendance/person?person={{person}}&amp;month={{prev}}" id="prev-month">{{t.prev_month}}</a> · <a href="/attendance/person?person={{person}}&amp;month={{next}}" id="next-month">{{t.next_month}}</a>
· <a href="/attendance/person?person={{person}}&amp;month={{month}}&amp;format=xlsx" id="export-xlsx" download>{{t.att_download_xlsx}}</a>
· <a href="/attendance/person?person={{person}}&amp;month={{month}}&amp;format=csv" id="export-csv" download>{{t.download_csv}}</a>
· <a href="/attendance/person?person={{person}}&amp;month={{month}}&amp;format=print" id="export-print">{{t.printable}}</a></p>
<p class="meta">{{t.person}} {{person}} · {{#name}}{{name}}{{/name}}{{^name}}{{t.no_name}}{{/name}}{{#department}} · {{department}}{{/department}} · {{t.att_times_in}} <span id="zone">{{zone}}</span></p>
{{#closed}}<p class="notice" id="closed">{{t.att_closed}}</p>{{/closed}}
<table class="month" id="calendar">
<thead><tr>{{#weekdays}}<th>{{.}}</th>{{/weekdays}}</tr></thead>
<tbody>
{{#weeks}}<tr>{{#cells}}{{#blank}}<td class="out"></td>{{/blank}}{{^blank}}<td class="day st-{{status_word}}" data-day="{{date}}" data-status="{{status_word}}"><div class="date">{{day}}</div><span class="status">{{status}}</span>{{#shift}} <span class="muted">{{shift}}</span>{{/shift}}
{{#has_findings}}<ul class="findings">{{#findings}}<li data-finding="{{word}}">{{text}}</li>{{/findings}}</ul>{{/has_findings}}
{{#has_swipes}}<div class="swipes">{{#swipes}}<span class="{{class}}"{{#title}} title="{{title}}"{{/title}}>{{text}}</span> {{/swipes}}</div>{{/has_swipes}}
{{#worked}}<div class="hours">{{t.att_worked}} <span class="worked">{{worked}}</span>{{#overtime}} · {{t.att_overtime}} <span class="overtime">{{overtime}}</span>{{/overtime}}</div>{{/worked}}
{{#leave}}<div class="leave">{{t.att_leave}}: {{leave}}</div>{{/leave}}</td>{{/blank}}{{/cells}}</tr>
{{/weeks}}</tbody>
</table>
<h2>{{t.att_totals}}</h2>
<table id="totals"><tbody>
{{#counts}}<tr data-status="{{word}}"><td class="st-{{word}}">{{text}}</td><td class="count">{{count}}</td></tr>
{{/counts}}<tr><td>{{t.att_worked}}</td><td id="total-worked">{{worked}}</td></tr>
<tr><td>{{t.att_overtime}}</td><td id="total-overtime">{{overtime}}</td></tr>
</tbody></table>
)html";

constexpr const char* kDepartmentTemplate = R"html(<form method="get" action="/attendance/department" class="filters" id="department-form">
<label>{{t.department}} <select name="department" id="department"><option value="">{{t.att_all_departments}}</option>{{#departments}}<option value="{{name}}"{{#selected}} selected{{/selected}}>{{name}}</option>{{/departments}}</select></label>
<label>{{t.month}} <input type="month" name="month" id="month" value="{{month}}"></label>
<button id="show">{{t.show}}</button>
</form>
<p><a href="/attendance/department?{{query}}&amp;month={{prev}}" id="prev-month">{{t.prev_month}}</a> · <a href="/attendance/department?{{query}}&amp;month={{next}}" id="next-month">{{t.next_month}}</a>
· <a href="/attendance/department?{{query}}&amp;month={{month}}&amp;format=xlsx" id="export-xlsx" download>{{t.att_download_xlsx}}</a>
· <a href="/attendance/department?{{query}}&amp;month={{month}}&amp;format=csv" id="export-csv" download>{{t.download_csv}}</a>
· <a href="/attendance/department?{{query}}&amp;month={{month}}&amp;format=print" id="export-print">{{t.printable}}</a></p>
{{#closed}}<p class="notice" id="closed">{{t.att_closed}}</p>{{/closed}}
<table id="department-month">
<thead><tr>{{#headings}}<th{{#numeric}} class="num"{{/numeric}}><a href="/attendance/department?{{base}}&amp;month={{month}}&amp;sort={{key}}&amp;order={{order}}" id="sort-{{key}}"{{#sorted}} class="sorted"{{/sorted}}>{{text}}{{#sorted}} {{arrow}}{{/sorted}}</a></th>{{/headings}}</tr></thead>
<tbody>
{{#rows}}<tr class="person" data-person="{{person}}"><td><a href="/attendance/person?person={{person}}&amp;month={{month}}">{{person}}</a></td><td class="name"><a href="/attendance/person?person={{person}}&amp;month={{month}}">{{name}}</a></td><td>{{department}}</td>{{#cells}}<td class="num">{{.}}</td>{{/cells}}</tr>
{{/rows}}<tr class="totals" id="totals"><td colspan="3">{{t.att_totals}}</td>{{#totals}}<td class="num">{{.}}</td>{{/totals}}</tr>
</tbody>
</table>
)html";

// The counted statuses of a department's month, in their columns' order.
constexpr const char* kCounted[] = {"late", "left-early", "absent", "missing-swipe", "leave"};

struct Shown {
  host::SiteChoice site;
  std::string month;            // "YYYY-MM"
  report::DayRange days;
  std::string zone;             // the zone the days are judged in
  std::string site_name;        // for file names and the printable page
};

// The request's site and month; an answer and nothing when they do not do.
std::optional<Shown> ShownMonth(const PageHost& host, const RecordsSource& records, Context& c, const char* title) {
  if (records.database.empty()) {
    host.Refuse(c, 503, "no_database");
    return std::nullopt;
  }
  Shown s;
  std::optional<report::DayRange> days = RequestedMonth(c.req, s.month);
  if (!days) {
    host.Answer(c, 400, Say(c.language, title), "", "",
                Say(c.language, "bad_filter") + " " + Say(c.language, "month") + " (YYYY-MM)");
    return std::nullopt;
  }
  s.days = *days;
  s.site.name = c.site.value_or("");
  s.site.filter = c.site;
  s.site_name = c.site.value_or("");
  const bool own = c.site == records.site && records.site_file;
  s.zone = own && records.site_file->timezone ? *records.site_file->timezone : host.times().zone();
  return s;
}

host::AttendanceSite SiteOf(const RecordsSource& records, const Shown& s, const Context& c) {
  return host::AttendanceSite{records.db->Get(), s.site, c.site == records.site ? records.site_file : nullptr,
                              {c.Actor().name, c.client}, std::nullopt, &records.db->Judged()};
}

}  // namespace

// The format asked for: "" the page, "xlsx", "csv", "print"; nothing (answered) for another.
std::optional<std::string> RequestedFormat(const PageHost& host, Context& c, const char* title) {
  std::optional<std::string> format = FieldText(c.req, "format", 10);
  if (format && (format->empty() || *format == "xlsx" || *format == "csv" || *format == "print")) return format;
  host.Answer(c, 400, Say(c.language, title), "", "", Say(c.language, "att_bad_format"));
  return std::nullopt;
}

// A file name's part: letters, digits, '.', '-' and '_' kept, anything else '_'.
std::string FilePart(const std::string& text) {
  std::string part;
  for (unsigned char ch : text) part += std::isalnum(ch) || ch == '.' || ch == '-' || ch == '_' ? static_cast<char>(ch) : '_';
  return part;
}

// An attachment named `base` + `extension`: letters beyond ASCII kept in the UTF-8 name
// (filename*), replaced in the plain one for older clients.
std::string Attachment(const std::string& base, const char* extension) {
  return "attachment; filename=\"" + FilePart(base) + extension + "\"; filename*=UTF-8''" + UrlEncode(base + extension);
}

// Sends `table` in `format` (not the page), named `base` + the extension.
void SendExport(Context& c, const std::string& format, const std::string& base, const std::string& title,
                const std::vector<std::string>& notes, const present::Table& table) {
  if (format == "xlsx") {
    c.res.set_header("Content-Disposition", Attachment(base, ".xlsx"));
    c.res.set_content(present::XlsxBytes({table}), "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");
  } else if (format == "csv") {
    std::ostringstream csv;
    present::WriteCsv(csv, table);
    c.res.set_header("Content-Disposition", Attachment(base, ".csv"));
    c.res.set_content(csv.str(), "text/csv; charset=utf-8");
  } else {
    std::ostringstream page;
    present::WritePrintable(page, {title, notes, c.language == Language::kChinese ? "zh-CN" : "en"}, {table});
    c.res.headers.erase("Content-Security-Policy");
    c.res.set_header("Content-Security-Policy",
                     "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'; base-uri 'none'; "
                     "form-action 'none'");
    c.res.set_content(page.str(), "text/html; charset=utf-8");
  }
}

namespace {

std::string FindingText(Language l, const attendance::Finding& f) {
  using attendance::FindingKind;
  const std::string word = attendance::FindingWord(f.kind);
  std::string text;
  switch (f.kind) {
    case FindingKind::kLate:
    case FindingKind::kLeftEarly:
    case FindingKind::kAbsent:
    case FindingKind::kMissingSwipe:
    case FindingKind::kHalfDay:
    case FindingKind::kLeave: text = StatusSaid(l, word); break;
    default: {
      std::string key = "att_finding_" + word;
      std::replace(key.begin(), key.end(), '-', '_');
      text = Say(l, key);
    }
  }
  if (f.kind == FindingKind::kLeave && !f.value.empty()) text += " " + f.value;
  if (f.kind == FindingKind::kJudgedWithout) text += " " + f.value;
  if (f.minutes && f.kind != FindingKind::kHalfDay && f.kind != FindingKind::kShortDay)
    text += " " + std::to_string(f.minutes) + " " + Say(l, "att_minutes");
  else if (f.minutes)
    text += " " + present::MinutesText(f.minutes);
  return text;
}

// "HH:MM" of a wall time "YYYY-MM-DD HH:MM:SS".
std::string ClockOf(const std::string& wall) { return wall.size() >= 16 ? wall.substr(11, 5) : wall; }
std::optional<std::int64_t> MinuteOf(const std::optional<std::string>& wall) {
  if (!wall || wall->size() < 16) return std::nullopt;
  return std::stoi(wall->substr(11, 2)) * 60 + std::stoi(wall->substr(14, 2));
}

// The person's name and department, when the database knows them.
std::optional<report::Person> PersonOf(const std::vector<report::Person>& people, std::int32_t number) {
  for (const auto& p : people)
    if (p.number == number) return p;
  return std::nullopt;
}

void StoreFailed(const PageHost& host, Context& c, const char* title, const std::exception& e) {
  host.Log("attendance for " + c.client + ": " + e.what());
  host.Answer(c, 503, Say(c.language, title), "", "", Say(c.language, "db_failed") + " " + host::Translate(e, c.language));
}

// Runs `read`; a refused input answers 400 saying why, a failing store 503: then false.
bool Read(const PageHost& host, Context& c, const char* title, const std::function<void()>& read) {
  try {
    read();
    return true;
  } catch (const host::InputError& e) {
    host.Answer(c, 400, Say(c.language, title), "", "", host::Translate(e, c.language));
  } catch (const store::StoreError& e) {
    StoreFailed(host, c, title, e);
  }
  return false;
}

// ---- A person's month ----

void PersonMonth(const PageHost& host, const RecordsSource& records, Context& c) {
  const char* title = "att_person_month";
  std::optional<std::string> format = RequestedFormat(host, c, title);
  if (!format) return;
  std::optional<std::string> person_text = FieldText(c.req, "person", 12);
  std::optional<std::int64_t> number = person_text ? WholeNumber(*person_text, 0, INT32_MAX) : std::nullopt;
  if (!number) {
    host.Answer(c, 400, Say(c.language, title), "", "", Say(c.language, "att_bad_person"));
    return;
  }
  std::optional<Shown> s = ShownMonth(host, records, c, title);
  if (!s) return;
  const auto person = static_cast<std::int32_t>(*number);
  const std::string first = report::DateText(s->days.first), last = report::DateText(s->days.last);
  std::shared_ptr<const host::MonthAttendance> judged;
  std::vector<attendance::Correction> corrections;
  std::map<std::string, std::vector<std::string>> swipes;  // date -> "HH:MM"
  std::optional<report::Person> who;
  const bool read = Read(host, c, title, [&] {
    const host::AttendanceSite at = SiteOf(records, *s, c);
    judged = host::JudgedMonth(at, s->month, person);
    corrections = host::ListCorrections(at, first, last, person);
    auto store = at.db.Swipes();
    store::SwipeQuery q;
    q.from = first;
    q.to = last;
    q.persons = {person};
    q.site = s->site.filter;
    store->Each(q, [&](const store::StoredSwipe& w) {
      swipes[w.time.substr(0, 10)].push_back(ClockOf(w.time));
      return true;
    });
    who = PersonOf(host::StoredPeople(*store, s->site.filter), person);
  });
  if (!read) return;
  const Language l = c.language;
  std::map<std::string, int> counts;
  std::int64_t worked = 0, overtime = 0;
  for (const auto& d : judged->days) {
    ++counts[attendance::StatusWord(d.status)];
    worked += d.worked_minutes;
    overtime += d.overtime_minutes;
  }
  const std::string heading = Say(l, title) + " " + s->month + " · " + std::to_string(person) +
                              (who && !who->name.empty() ? " " + who->name : std::string());
  if (!format->empty()) {
    present::Table t{s->month + " " + std::to_string(person),
                     {{Say(l, "day"), ColumnKind::kDate}, {Say(l, "status"), ColumnKind::kText},
                      {Say(l, "att_shift"), ColumnKind::kText}, {Say(l, "att_first_in"), ColumnKind::kTimeOfDay},
                      {Say(l, "att_last_out"), ColumnKind::kTimeOfDay}, {Say(l, "att_late_minutes"), ColumnKind::kInteger},
                      {Say(l, "att_early_minutes"), ColumnKind::kInteger}, {Say(l, "att_worked"), ColumnKind::kMinutes},
                      {Say(l, "att_overtime"), ColumnKind::kMinutes}, {Say(l, "att_leave"), ColumnKind::kText},
                      {Say(l, "att_findings"), ColumnKind::kText}},
                     {}};
    for (const auto& d : judged->days) {
      std::string findings;
      for (const auto& f : d.findings) findings += (findings.empty() ? "" : "; ") + FindingText(l, f);
      auto minute = [](const std::optional<std::int64_t>& m) { return m ? Cell{*m} : Cell{}; };
      t.rows.push_back({d.date, StatusSaid(l, attendance::StatusWord(d.status)), d.shift, minute(MinuteOf(d.first_in)),
                        minute(MinuteOf(d.last_out)), std::int64_t{d.late_minutes}, std::int64_t{d.early_minutes},
                        std::int64_t{d.worked_minutes}, std::int64_t{d.overtime_minutes}, d.leave_kind, findings});
    }
    t.rows.push_back({Cell{}, Say(l, "att_totals"), Cell{}, Cell{}, Cell{}, Cell{}, Cell{}, worked, overtime});
    std::vector<std::string> notes;
    if (!s->site_name.empty()) notes.push_back(Say(l, "att_site") + ": " + s->site_name);
    notes.push_back(Say(l, "att_times_in") + " " + s->zone);
    SendExport(c, *format, "attendance-" + (s->site_name.empty() ? "" : s->site_name + "-") +
                               std::to_string(person) + "-" + s->month,
               heading, notes, t);
    return;
  }

  std::map<std::string, const attendance::DayResult*> by_date;
  for (const auto& d : judged->days) by_date[d.date] = &d;
  std::map<std::string, std::vector<const attendance::Correction*>> corrected;
  for (const auto& k : corrections)
    if (!k.entered.withdrawn()) corrected[k.time.substr(0, 10)].push_back(&k);

  data d;
  d.set("person", std::to_string(person));
  d.set("month", s->month);
  d.set("prev", MonthAround(s->days, -1));
  d.set("next", MonthAround(s->days, 1));
  d.set("zone", s->zone);
  if (who && !who->name.empty()) d.set("name", who->name);
  if (who && !who->department.empty()) d.set("department", who->department);
  if (judged->closed) d.set("closed", true);
  list weekdays;
  for (const char* w : {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"}) weekdays.push_back(data(std::string(host::TrIn(l, w))));
  d.set("weekdays", weekdays);
  list weeks, cells;
  const std::int64_t first_day = report::DaysFromDate(s->days.first);
  const int lead = static_cast<int>(((first_day + 3) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
  for (int i = 0; i < lead; ++i) {
    data blank;
    blank.set("blank", true);
    cells.push_back(blank);
  }
  for (int day = s->days.first.day; day <= s->days.last.day; ++day) {
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", s->days.first.year, s->days.first.month, day);
    data cell;
    // Every key a cell's section reads is the cell's own, false when it has none: mustache would
    // otherwise find the page's key of the same name (the month's worked hours in a day without).
    for (const char* key : {"blank", "shift", "worked", "overtime", "leave", "has_findings", "has_swipes"})
      cell.set(key, false);
    cell.set("date", std::string(date));
    cell.set("day", std::to_string(day));
    auto it = by_date.find(date);
    if (it != by_date.end()) {
      const attendance::DayResult& r = *it->second;
      const std::string word = attendance::StatusWord(r.status);
      cell.set("status_word", word);
      cell.set("status", StatusSaid(l, word));
      if (!r.shift.empty()) cell.set("shift", r.shift);
      list findings;
      for (const auto& f : r.findings) {
        data item;
        item.set("word", std::string(attendance::FindingWord(f.kind)));
        item.set("text", FindingText(l, f));
        findings.push_back(item);
      }
      cell.set("has_findings", !findings.empty());
      cell.set("findings", findings);
      if (r.worked_minutes) cell.set("worked", present::MinutesText(r.worked_minutes));
      if (r.overtime_minutes) cell.set("overtime", present::MinutesText(r.overtime_minutes));
      if (!r.leave_kind.empty()) cell.set("leave", r.leave_kind);
    } else {
      cell.set("status_word", std::string("none"));
    }
    list shown;
    std::set<std::string> set_aside;
    for (const auto* k : corrected[date])
      if (k->kind == attendance::CorrectionKind::kSetAside) set_aside.insert(ClockOf(k->time));
    for (const auto& clock : swipes[date]) {
      data item;
      item.set("text", clock);
      item.set("class", std::string(set_aside.count(clock) ? "swipe aside" : "swipe"));
      item.set("title", false);
      shown.push_back(item);
    }
    for (const auto* k : corrected[date]) {
      data item;
      const bool added = k->kind == attendance::CorrectionKind::kAdd;
      item.set("text", (added ? "+" : "−") + ClockOf(k->time) + " (" + Say(l, "att_correction") +
                           (added ? "" : ", " + Say(l, "att_set_aside")) + ")");
      item.set("class", std::string("correction"));
      item.set("title", k->reason);
      shown.push_back(item);
    }
    cell.set("has_swipes", !shown.empty());
    cell.set("swipes", shown);
    cells.push_back(cell);
    if ((lead + day) % 7 == 0 || day == s->days.last.day) {
      data week;
      week.set("cells", cells);
      weeks.push_back(week);
      cells = list();
    }
  }
  d.set("weeks", weeks);
  list count_rows;
  for (const auto& [word, count] : counts) {
    data row;
    row.set("word", word);
    row.set("text", StatusSaid(l, word));
    row.set("count", std::to_string(count));
    count_rows.push_back(row);
  }
  d.set("counts", count_rows);
  d.set("worked", present::MinutesText(worked));
  d.set("overtime", present::MinutesText(overtime));
  host.Answer(c, 200, heading, RenderText("attendance_person", kPersonTemplate, d, l));
}

// ---- A department's month ----

struct PersonTotals {
  std::int32_t person = 0;
  std::string name, department;
  bool named = false;
  std::int64_t counts[std::size(kCounted)] = {};
  std::int64_t worked = 0, overtime = 0;
};

// The columns one can sort by, in the table's order.
constexpr const char* kSortKeys[] = {"person", "name", "department", "late", "left-early", "absent",
                                     "missing-swipe", "leave", "worked", "overtime"};

bool Before(const PersonTotals& a, const PersonTotals& b, std::size_t key) {
  switch (key) {
    case 0: return a.person < b.person;
    case 1: return a.name < b.name;
    case 2: return a.department < b.department;
    case 8: return a.worked < b.worked;
    case 9: return a.overtime < b.overtime;
    default: return a.counts[key - 3] < b.counts[key - 3];
  }
}

void DepartmentMonth(const PageHost& host, const RecordsSource& records, Context& c) {
  const char* title = "att_department_month";
  std::optional<std::string> format = RequestedFormat(host, c, title);
  if (!format) return;
  std::optional<std::string> department = FieldText(c.req, "department", 200);
  std::optional<std::string> sort = FieldText(c.req, "sort", 20), order = FieldText(c.req, "order", 4);
  std::size_t key = 0;
  if (sort && !sort->empty()) {
    key = static_cast<std::size_t>(std::find(std::begin(kSortKeys), std::end(kSortKeys), *sort) - std::begin(kSortKeys));
  }
  if (!department || !sort || !order || key == std::size(kSortKeys) ||
      !(order->empty() || *order == "asc" || *order == "desc")) {
    host.Answer(c, 400, Say(c.language, title), "", "", Say(c.language, !department ? "bad_filter" : "att_bad_sort"));
    return;
  }
  const bool descending = *order == "desc";
  std::optional<Shown> s = ShownMonth(host, records, c, title);
  if (!s) return;
  std::shared_ptr<const host::MonthAttendance> judged;
  std::vector<report::Person> people;
  const bool read = Read(host, c, title, [&] {
    const host::AttendanceSite at = SiteOf(records, *s, c);
    judged = host::JudgedMonth(at, s->month, std::nullopt);
    people = host::StoredPeople(*at.db.Swipes(), s->site.filter);
  });
  if (!read) return;
  const Language l = c.language;
  std::map<std::int32_t, PersonTotals> by_person;
  std::set<std::string> departments;
  for (const auto& p : people) {
    if (!p.department.empty()) departments.insert(p.department);
  }
  for (const auto& d : judged->days) {
    PersonTotals& t = by_person[d.person];
    t.person = d.person;
    const std::string word = attendance::StatusWord(d.status);
    for (std::size_t i = 0; i < std::size(kCounted); ++i)
      if (word == kCounted[i]) ++t.counts[i];
    t.worked += d.worked_minutes;
    t.overtime += d.overtime_minutes;
  }
  for (const auto& p : people) {
    auto it = by_person.find(p.number);
    if (it == by_person.end()) continue;
    it->second.name = p.name;
    it->second.department = p.department;
    it->second.named = !p.name.empty();
  }
  std::vector<PersonTotals> rows;
  for (auto& [number, t] : by_person)
    if (department->empty() || t.department == *department) rows.push_back(t);
  std::stable_sort(rows.begin(), rows.end(), [&](const PersonTotals& a, const PersonTotals& b) {
    return descending ? Before(b, a, key) : Before(a, b, key);
  });
  PersonTotals sum;
  for (const auto& t : rows) {
    for (std::size_t i = 0; i < std::size(kCounted); ++i) sum.counts[i] += t.counts[i];
    sum.worked += t.worked;
    sum.overtime += t.overtime;
  }
  std::vector<std::string> headings{Say(l, "person"), Say(l, "person_name"), Say(l, "department")};
  for (const char* word : kCounted) headings.push_back(StatusSaid(l, word));
  headings.push_back(Say(l, "att_worked"));
  headings.push_back(Say(l, "att_overtime"));
  const std::string heading = Say(l, title) + " " + s->month + (department->empty() ? "" : " · " + *department);

  if (!format->empty()) {
    present::Table t{s->month + (department->empty() ? "" : " " + *department), {}, {}};
    for (std::size_t i = 0; i < headings.size(); ++i)
      t.columns.push_back({headings[i], i == 0 ? ColumnKind::kInteger
                                        : i < 3 ? ColumnKind::kText
                                        : i < 8 ? ColumnKind::kInteger
                                                : ColumnKind::kMinutes});
    auto row_of = [](const PersonTotals& p, Cell person, std::string name) {
      std::vector<Cell> row{person, std::move(name), p.department};
      for (auto n : p.counts) row.push_back(n);
      row.push_back(p.worked);
      row.push_back(p.overtime);
      return row;
    };
    for (const auto& p : rows) t.rows.push_back(row_of(p, std::int64_t{p.person}, p.name));
    t.rows.push_back(row_of(sum, Cell{}, Say(l, "att_totals")));
    std::vector<std::string> notes;
    if (!s->site_name.empty()) notes.push_back(Say(l, "att_site") + ": " + s->site_name);
    SendExport(c, *format, "attendance-" + (s->site_name.empty() ? "" : s->site_name + "-") +
                               (department->empty() ? "all" : *department) + "-" + s->month,
               heading, notes, t);
    return;
  }

  data d;
  d.set("month", s->month);
  d.set("prev", MonthAround(s->days, -1));
  d.set("next", MonthAround(s->days, 1));
  d.set("query", "department=" + UrlEncode(*department) +
                     (sort->empty() ? "" : "&sort=" + *sort + (order->empty() ? "" : "&order=" + *order)));
  if (judged->closed) d.set("closed", true);
  list department_list;
  for (const auto& name : departments) {
    data option;
    option.set("name", name);
    if (name == *department) option.set("selected", true);
    department_list.push_back(option);
  }
  d.set("departments", department_list);
  list heading_list;
  const std::string base = "department=" + UrlEncode(*department);
  for (std::size_t i = 0; i < headings.size(); ++i) {
    data h;
    h.set("key", std::string(kSortKeys[i]));
    h.set("text", headings[i]);
    h.set("numeric", i >= 3);
    const bool sorted = i == key;
    if (sorted) h.set("sorted", true);
    h.set("arrow", std::string(descending ? "▼" : "▲"));
    h.set("order", std::string(sorted && !descending ? "desc" : "asc"));
    heading_list.push_back(h);
  }
  d.set("headings", heading_list);
  d.set("base", base);
  auto cells_of = [](const PersonTotals& p) {
    list cells;
    for (auto n : p.counts) cells.push_back(data(std::to_string(n)));
    cells.push_back(data(present::MinutesText(p.worked)));
    cells.push_back(data(present::MinutesText(p.overtime)));
    return cells;
  };
  list row_list;
  for (const auto& p : rows) {
    data row;
    row.set("person", std::to_string(p.person));
    row.set("month", s->month);
    row.set("name", p.named ? p.name : Say(l, "no_name"));
    row.set("department", p.department);
    row.set("cells", cells_of(p));
    row_list.push_back(row);
  }
  d.set("rows", row_list);
  d.set("totals", cells_of(sum));
  host.Answer(c, 200, heading, RenderText("attendance_department", kDepartmentTemplate, d, l));
}

}  // namespace

std::vector<Route> AttendanceRoutes(const PageHost& host, const RecordsSource& records) {
  return {
      {"GET", "/attendance/person", Access::Page, Action::ViewAttendance,
       [&host, &records](Context& c) { PersonMonth(host, records, c); }},
      {"GET", "/attendance/department", Access::Page, Action::ViewAttendance,
       [&host, &records](Context& c) { DepartmentMonth(host, records, c); }},
  };
}

}  // namespace vanto::web
