// The printable attendance page. Self-contained on purpose: no scripts, no fonts or images
// fetched, so it opens offline and prints the same anywhere.
#include <algorithm>
#include <ostream>
#include <string>

#include "present/report/formats.h"
#include "host/text/messages.h"

namespace vanto::report {
namespace {

constexpr const char* kStyle = R"css(
:root { --ink: #1d2329; --muted: #66707a; --grid: #d7dce2; --bar: #2f6fb3; --track: #eef1f4; }
* { box-sizing: border-box; }
body { font: 13px/1.35 "DejaVu Sans", "Noto Sans CJK SC", "Noto Sans", Arial, sans-serif; color: var(--ink);
       margin: 24px auto; max-width: 1040px; padding: 0 16px; }
h1 { font-size: 20px; margin: 0 0 4px; }
h2 { font-size: 17px; margin: 0 0 2px; }
.meta { color: var(--muted); margin: 0 0 10px; }
.noname { color: var(--muted); font-style: italic; }
section { margin: 0 0 36px; }
table { border-collapse: collapse; width: 100%; }
th, td { padding: 2px 6px; border-bottom: 1px solid var(--grid); text-align: left; white-space: nowrap; }
td.name { white-space: normal; }
th { font-weight: 600; border-bottom: 1.5px solid #8a939c; vertical-align: bottom; }
.num { text-align: right; font-variant-numeric: tabular-nums; }
tr.weekend td { background: #f5f6f8; }
tr.day:not(.present) td { color: var(--muted); }
.late { color: #b3261e; font-weight: 600; }
td.status { white-space: normal; }
td.status.absent, td.status.missing-swipe { color: #b3261e; }
td.status.pending { font-style: italic; }
td.bar, th.bar { width: 46%; }
td.bar svg { display: block; width: 100%; height: 14px; }
svg .track { fill: var(--track); }
svg .tick { stroke: #c5ccd3; stroke-width: 1; }
svg .span { fill: var(--bar); }
.axis { position: relative; height: 14px; font-weight: 400; font-size: 10px; color: var(--muted); }
.axis span { position: absolute; transform: translateX(-50%); }
.axis span:first-child { transform: none; }
tfoot td { font-weight: 600; border-bottom: none; }
.sign { display: flex; gap: 48px; margin-top: 36px; }
.sign span { border-top: 1px solid var(--ink); min-width: 220px; padding-top: 3px; color: var(--muted); }
@page { size: A4 portrait; margin: 12mm; }
@media print {
  body { margin: 0; max-width: none; padding: 0; font-size: 10px; }
  section { margin: 0; break-after: page; page-break-after: always; }
  section:last-of-type { break-after: auto; page-break-after: auto; }
  tr { break-inside: avoid; page-break-inside: avoid; }
  * { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
  a { color: inherit; text-decoration: none; }
}
)css";

using vanto::host::Language;
using vanto::host::TrIn;
using vanto::host::TrInFill;

// Monday first, as Weekday counts.
const char* WeekdayName(Language l, int weekday) {
  const char* const names[] = {TrIn(l, "Mon"), TrIn(l, "Tue"), TrIn(l, "Wed"), TrIn(l, "Thu"),
                               TrIn(l, "Fri"), TrIn(l, "Sat"), TrIn(l, "Sun")};
  return names[weekday];
}

std::string DaysPresent(Language l, std::size_t days) {
  return vanto::host::Fill(days == 1 ? TrIn(l, "{0} day present") : TrIn(l, "{0} days present"), {std::to_string(days)});
}

std::string Name(Language l, const std::optional<std::string>& name) {
  return name ? HtmlEscape(*name) : "<span class=\"noname\">" + HtmlEscape(TrIn(l, "(no name)")) + "</span>";
}

std::string Period(Language l, const Report& r) {
  return r.days.first == r.days.last ? DateText(r.days.first)
                                     : TrInFill(l, "{0} to {1}", {DateText(r.days.first), DateText(r.days.last)});
}

std::string Clock(std::int64_t minute, const Date& day) {
  std::int64_t date = minute >= 0 ? minute / 1440 : -((-minute + 1439) / 1440);
  std::string text = ClockText(static_cast<int>(minute - date * 1440));
  std::int64_t after = date - DaysFromDate(day);
  if (after > 0) text += "<sup>+" + std::to_string(after) + "</sup>";
  return text;
}

// The time axis over one working day: a label every three hours from day_starts.
void Axis(std::ostream& out, int day_starts) {
  out << "<div class=\"axis\">";
  for (int h = 0; h < 24; h += 3)
    out << "<span style=\"left:" << (h * 100 / 24.0) << "%\">" << ClockText((day_starts + h * 60) % 1440).substr(0, 2)
        << "</span>";
  out << "</div>";
}

// A day's bar: the track with a tick every three hours, and the span from first to last swipe.
void Bar(Language l, std::ostream& out, const DayEntry* entry, int day_starts, const Date& day) {
  out << "<svg viewBox=\"0 0 1440 14\" preserveAspectRatio=\"none\"";
  if (entry)
    out << " role=\"img\" aria-label=\""
        << TrInFill(l, "{0} to {1}", {ClockText(static_cast<int>(entry->first % 1440)),
                                      ClockText(static_cast<int>(entry->last % 1440))})
        << "\"";
  else
    out << " aria-hidden=\"true\"";
  out << "><rect class=\"track\" x=\"0\" y=\"1\" width=\"1440\" height=\"12\"/>";
  for (int m = 180; m < 1440; m += 180)
    out << "<line class=\"tick\" x1=\"" << m << "\" y1=\"1\" x2=\"" << m << "\" y2=\"13\" vector-effect=\"non-scaling-stroke\"/>";
  if (entry) {
    std::int64_t start = DaysFromDate(day) * 1440 + day_starts;
    std::int64_t x = entry->first - start;
    std::int64_t width = std::max<std::int64_t>(entry->span(), 8);  // a lone swipe still shows
    if (x + width > 1440) x = 1440 - width;
    out << "<rect class=\"span\" x=\"" << x << "\" y=\"2\" width=\"" << width << "\" height=\"10\" rx=\"2\"/>";
  }
  out << "</svg>";
}

void PersonSection(Language l, std::ostream& out, const Report& report, const PersonReport& p) {
  out << "<section class=\"person\" id=\"p" << p.person << "\" data-person=\"" << p.person << "\">\n<h2>"
      << p.person << " · " << Name(l, p.name) << "</h2>\n<p class=\"meta\">";
  if (!p.employee_code.empty())
    out << "<span class=\"code\">" << TrInFill(l, "employee code {0}", {HtmlEscape(p.employee_code)}) << "</span> · ";
  if (!p.department.empty()) out << HtmlEscape(p.department) << " · ";
  out << Period(l, report) << " · " << DaysPresent(l, p.days_present()) << " · "
      << TrInFill(l, "total {0}", {SpanText(p.total_span())}) << "</p>\n";
  out << "<table class=\"month\">\n<thead><tr><th>" << TrIn(l, "Day") << "</th><th></th><th>" << TrIn(l, "First") << "</th><th>"
      << TrIn(l, "Last") << "</th><th class=\"num\">" << TrIn(l, "Swipes") << "</th><th class=\"num\">" << TrIn(l, "Span")
      << "</th>" << (report.judged ? "<th>" + std::string(TrIn(l, "Status")) + "</th>" : std::string()) << "<th class=\"bar\">";
  Axis(out, report.day_starts);
  out << "</th></tr></thead>\n<tbody>\n";
  auto entry = p.days.begin();
  for (std::int64_t d = DaysFromDate(report.days.first); d <= DaysFromDate(report.days.last); ++d) {
    Date day = DateFromDays(d);
    const DayEntry* e = nullptr;
    if (entry != p.days.end() && entry->day == day) e = &*entry++;
    int weekday = Weekday(day);
    out << "<tr class=\"day" << (e ? " present" : "") << (e && e->late ? " late" : "") << (weekday >= 5 ? " weekend" : "")
        << "\" data-day=\""
        << DateText(day) << "\"><td>" << DateText(day) << "</td><td>" << WeekdayName(l, weekday) << "</td>";
    if (e)
      out << "<td>" << Clock(e->first, day)
          << (e->late ? " <span class=\"late\">" + HtmlEscape(TrIn(l, "late")) + "</span>" : std::string()) << "</td><td>"
          << Clock(e->last, day) << "</td><td class=\"num\">"
          << e->swipes << "</td><td class=\"num\">" << SpanText(e->span()) << "</td>";
    else
      out << "<td></td><td></td><td></td><td></td>";
    // Every judged day shows its status, swipes or not (absent, leave, pending ...).
    if (report.judged) {
      const JudgedDay* j = p.JudgedOn(day);
      out << "<td class=\"status";
      if (j) out << " " << HtmlEscape(j->status) << "\" data-status=\"" << HtmlEscape(j->status);
      out << "\">" << (j ? HtmlEscape(StatusText(j->status, l)) : std::string()) << "</td>";
    }
    out << "<td class=\"bar\">";
    Bar(l, out, e, report.day_starts, day);
    out << "</td></tr>\n";
  }
  out << "</tbody>\n<tfoot><tr><td colspan=\"4\">" << DaysPresent(l, p.days_present())
      << "</td><td></td><td class=\"num\">" << SpanText(p.total_span()) << "</td>"
      << (report.judged ? "<td class=\"status\">" + HtmlEscape(StatusCountsText(p.StatusCounts(), l)) + "</td>" : std::string())
      << "<td></td></tr></tfoot>\n"
      << "</table>\n<div class=\"sign\"><span>" << TrIn(l, "Signature") << "</span><span>" << TrIn(l, "Date")
      << "</span></div>\n</section>\n";
}

}  // namespace

void WriteReportHtml(std::ostream& out, const Report& report, Language l) {
  std::string title = TrInFill(l, "Attendance {0}", {Period(l, report)});
  // The catalogue's language tag ("en" untranslated, "zh-CN" under zh_CN).
  out << "<!DOCTYPE html>\n<html lang=\"" << TrIn(l, "en") << "\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
      << "<title>" << title << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n";
  out << "<section class=\"summary\">\n<h1>" << title << "</h1>\n<p class=\"meta\">"
      << TrInFill(l, "Working days start at {0}; swipes of one person within the same minute count once.",
                  {ClockText(report.day_starts)})
      << " "
      << vanto::host::Fill(report.people.size() == 1 ? TrIn(l, "{0} person, {1} person-days.") : TrIn(l, "{0} people, {1} person-days."),
                {std::to_string(report.people.size()), std::to_string(report.day_count())})
      << "</p>\n";
  if (report.people.empty()) {
    out << "<p>" << TrIn(l, "No swipes and no people in this period.") << "</p>\n";
  } else {
    out << "<table class=\"summary\">\n<thead><tr><th class=\"num\">" << TrIn(l, "Person") << "</th><th>" << TrIn(l, "Name")
        << "</th><th>" << TrIn(l, "Employee code") << "</th><th>" << TrIn(l, "Department") << "</th><th class=\"num\">" << TrIn(l, "Days present")
        << "</th><th class=\"num\">" << TrIn(l, "Total span") << "</th>"
        << (report.judged ? "<th>" + std::string(TrIn(l, "Statuses")) + "</th>" : std::string()) << "</tr></thead>\n<tbody>\n";
    for (const PersonReport& p : report.people)
      out << "<tr class=\"total\" data-person=\"" << p.person << "\"><td class=\"num\"><a href=\"#p" << p.person
          << "\">" << p.person << "</a></td><td class=\"name\">" << Name(l, p.name) << "</td><td class=\"code\">"
          << HtmlEscape(p.employee_code) << "</td><td class=\"name\">" << HtmlEscape(p.department) << "</td><td class=\"num\">" << p.days_present() << "</td><td class=\"num\">"
          << SpanText(p.total_span()) << "</td>"
          << (report.judged ? "<td class=\"statuses\">" + HtmlEscape(StatusCountsText(p.StatusCounts(), l)) + "</td>" : std::string())
          << "</tr>\n";
    out << "</tbody>\n</table>\n";
  }
  out << "</section>\n";
  for (const PersonReport& p : report.people) PersonSection(l, out, report, p);
  out << "</body>\n</html>\n";
}

}  // namespace vanto::report
