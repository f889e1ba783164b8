#include "web/report_page.h"

#include <algorithm>
#include <sstream>

#include "host/attendance_data.h"
#include "host/judged_report.h"
#include "present/report/formats.h"
#include "web/templates.h"
#include "present/report/date_options.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;

constexpr const char* kReportTemplate = R"html(<form method="get" action="/report" class="filters" id="report-month">
<label>{{t.month}} <input type="month" name="month" id="month" value="{{month}}" placeholder="YYYY-MM" maxlength="7" size="8"></label>
<button id="show">{{t.show}}</button>
</form>
<p><a href="/report?month={{prev}}" id="prev-month">{{t.prev_month}}</a> · <a href="/report?month={{next}}" id="next-month">{{t.next_month}}</a>
· <a href="/report/print?month={{month}}" id="printable">{{t.printable}}</a> · <a href="/report/csv?month={{month}}" id="report-csv" download>{{t.download_csv}}</a>
· <a href="/attendance/department?month={{month}}" id="department-month">{{t.att_department_month}}</a></p>
<p class="meta">{{t.day_starts}} {{day_starts}}{{#late_after}} · {{t.late_after}} {{late_after}}{{/late_after}}</p>
{{#has_people}}<table id="report-people">
<thead><tr><th>{{t.person}}</th><th>{{t.person_name}}</th><th>{{t.department}}</th><th>{{t.days_present}}</th><th>{{t.total_span}}</th>{{#judged}}<th>{{t.statuses}}</th>{{/judged}}</tr></thead>
<tbody>
{{#people}}<tr class="report-person" data-person="{{person}}"><td><a href="/attendance/person?person={{person}}&amp;month={{month}}" class="attendance-month">{{person}}</a></td><td class="name">{{#name}}{{name}}{{/name}}{{^name}}<span class="muted">{{t.no_name}}</span>{{/name}}</td><td>{{department}}</td><td class="days">{{days}}</td><td class="total">{{total}}</td>{{#judged}}<td class="statuses">{{statuses}}</td>{{/judged}}</tr>
{{/people}}</tbody>
</table>
<table id="report-days">
<thead><tr><th>{{t.person}}</th><th>{{t.person_name}}</th><th>{{t.day}}</th><th>{{t.first_swipe}}</th><th>{{t.last_swipe}}</th><th>{{t.swipes}}</th><th>{{t.span}}</th>{{#judged}}<th>{{t.status}}</th>{{/judged}}</tr></thead>
<tbody>
{{#days}}<tr class="report-day{{#late}} late{{/late}}" data-person="{{person}}" data-day="{{day}}"><td>{{person}}</td><td>{{name}}</td><td>{{day}}</td><td>{{first}}{{#late}} <span class="late">{{t.late}}</span>{{/late}}</td><td>{{last}}</td><td>{{swipes}}</td><td>{{span}}</td>{{#judged}}<td class="status" data-status="{{status_word}}">{{status}}</td>{{/judged}}</tr>
{{/days}}</tbody>
</table>{{/has_people}}
{{^has_people}}<p id="no-report">{{t.no_report}}</p>{{/has_people}}
)html";

void StoreFailed(const PageHost& host, Context& c, const std::exception& e) {
  host.Log("report for " + c.client + ": " + e.what());
  host.Answer(c, 503, Say(c.language, "nav_report"), "", "", Say(c.language, "db_failed") + " " + host::Translate(e, c.language));
}

// The report of the requested month, or an answer (bad month, no database, a failed store).
std::optional<report::Report> MonthReport(const PageHost& host, const RecordsSource& records, Context& c,
                                          std::string& month) {
  if (records.database.empty()) {
    host.Refuse(c, 503, "no_database");
    return std::nullopt;
  }
  std::optional<report::DayRange> days = RequestedMonth(c.req, month);
  if (!days) {
    host.Answer(c, 400, Say(c.language, "nav_report"), "", "", Say(c.language, "bad_filter") + " " +
                                                                          Say(c.language, "month") + " (YYYY-MM)");
    return std::nullopt;
  }
  try {
    // The shown site, judged with the site file when it is the serving site's own.
    host::SiteChoice shown;
    shown.name = c.site.value_or("");
    shown.filter = c.site;
    const host::AttendanceSite at{records.db->Get(), shown, c.site == records.site ? records.site_file : nullptr,
                                  {c.Actor().name, c.client}, std::nullopt};
    return host::BuildJudgedReport(at, *days, records.day_starts, records.late_after);
  } catch (const store::StoreError& e) {
    StoreFailed(host, c, e);
    return std::nullopt;
  }
}

void ReportPage(const PageHost& host, const RecordsSource& records, Context& c) {
  std::string month;
  std::optional<report::Report> r = MonthReport(host, records, c, month);
  if (!r) return;
  data d;
  d.set("month", month);
  d.set("prev", MonthAround(r->days, -1));
  d.set("next", MonthAround(r->days, 1));
  d.set("day_starts", report::ClockText(records.day_starts));
  if (records.late_after) d.set("late_after", report::ClockText(*records.late_after));
  list people, days;
  for (const report::PersonReport& p : r->people) {
    data row;
    row.set("person", std::to_string(p.person));
    row.set("month", month);
    if (p.name) row.set("name", *p.name);
    row.set("department", p.department);
    row.set("days", std::to_string(p.days_present()));
    row.set("total", report::SpanText(p.total_span()));
    row.set("statuses", StatusCountsSaid(c.language, p.StatusCounts()));
    people.push_back(row);
    for (const report::DayEntry& e : p.days) {
      data day;
      day.set("person", std::to_string(p.person));
      day.set("name", p.name ? *p.name : Say(c.language, "no_name"));
      day.set("day", report::DateText(e.day));
      day.set("first", ClockOnDay(e.first, e.day));
      day.set("last", ClockOnDay(e.last, e.day));
      day.set("swipes", std::to_string(e.swipes));
      day.set("span", report::SpanText(e.span()));
      if (e.late) day.set("late", true);
      if (const report::JudgedDay* j = p.JudgedOn(e.day)) {
        day.set("status_word", j->status);
        day.set("status", StatusSaid(c.language, j->status));
      }
      days.push_back(day);
    }
  }
  d.set("has_people", !r->people.empty());
  d.set("judged", r->judged);
  d.set("people", people);
  d.set("days", days);
  host.Answer(c, 200, Say(c.language, "nav_report") + " " + month, RenderText("report", kReportTemplate, d, c.language));
}

void ReportPrint(const PageHost& host, const RecordsSource& records, Context& c) {
  std::string month;
  std::optional<report::Report> r = MonthReport(host, records, c, month);
  if (!r) return;
  std::ostringstream page;
  report::WriteReportHtml(page, *r, c.language);
  // The printable page is self-contained: its own inline style, no script, nothing fetched.
  c.res.headers.erase("Content-Security-Policy");
  c.res.set_header("Content-Security-Policy",
                   "default-src 'none'; style-src 'unsafe-inline'; img-src data:; frame-ancestors 'none'; "
                   "base-uri 'none'; form-action 'none'");
  c.res.set_content(page.str(), "text/html; charset=utf-8");
}

void ReportCsv(const PageHost& host, const RecordsSource& records, Context& c) {
  std::string month;
  std::optional<report::Report> r = MonthReport(host, records, c, month);
  if (!r) return;
  // For a spreadsheet: a byte-order mark (names in Chinese open as UTF-8) and guarded cells.
  std::ostringstream csv;
  csv << report::kUtf8ByteOrderMark;
  report::WriteReport(csv, *r, report::Format::Csv);
  c.res.set_header("Content-Disposition", "attachment; filename=\"report-" + month + ".csv\"");
  c.res.set_content(csv.str(), "text/csv; charset=utf-8");
}

}  // namespace

std::string ClockOnDay(std::int64_t minute, const report::Date& day) {
  std::int64_t of_day = minute - report::DaysFromDate(day) * 1440;
  std::string text = report::ClockText(static_cast<int>(((of_day % 1440) + 1440) % 1440));
  if (of_day >= 1440) text += " +" + std::to_string(of_day / 1440);
  return text;
}

std::optional<report::DayRange> RequestedMonth(const httplib::Request& req, std::string& text) {
  std::optional<std::string> given = FieldText(req, "month", 7);
  if (!given) return std::nullopt;
  text = given->empty() ? ThisMonth() : *given;
  try {
    return report::ParseMonth(text);
  } catch (const report::DateError&) {
    return std::nullopt;
  }
}

std::string MonthAround(const report::DayRange& month, int step) {
  int index = std::max(month.first.year * 12 + (month.first.month - 1) + step, 12);  // from year 1
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d", index / 12, index % 12 + 1);
  return text;
}

std::vector<Route> ReportRoutes(const PageHost& host, const RecordsSource& records) {
  return {
      {"GET", "/report", Access::Page, Action::ViewReports, [&host, &records](Context& c) { ReportPage(host, records, c); }},
      {"GET", "/report/print", Access::Page, Action::ViewReports,
       [&host, &records](Context& c) { ReportPrint(host, records, c); }},
      {"GET", "/report/csv", Access::Page, Action::ViewReports, [&host, &records](Context& c) { ReportCsv(host, records, c); }},
  };
}

}  // namespace vanto::web
