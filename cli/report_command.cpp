// report: the attendance of a month (or of --from/--to) per person and working day.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <sstream>

#include "host/atomic_file.h"
#include "host/attendance_data.h"
#include "host/judged_report.h"
#include "cli/attendance_use.h"
#include "cli/command.h"
#include "cli/site_use.h"
#include "cli/command_support.h"
#include "host/machine.h"
#include "host/text/messages.h"
#include "present/report/date_options.h"
#include "present/report/formats.h"

namespace vanto::cli {
namespace {

struct ReportOptions : DatabaseOptions {
  std::optional<std::string> month, from, to, day_starts, html;
  bool csv = false, json = false, raw = false;
};

// The page replaces `file` whole (a reader never sees half a page, a failed write leaves an
// earlier report as it was); it names people, so it is private to its owner.
void WriteHtmlFile(const report::Report& report, const std::string& file) {
  std::ostringstream page;
  report::WriteReportHtml(page, report);
  if (auto failed = ReplaceFileAtomically(file, page.str(), kPrivateFileMode))
    throw HostError(TrFill("cannot write report {0}: {1}", {file, *failed}));
}

int RunReport(const ReportOptions& o, Io& io) {
  if (o.html && (o.csv || o.json)) throw UsageError(Tr("give one of --csv, --json and --html"));
  report::Format format = ChooseFormat(o.csv, o.json, o.raw);
  report::DayRange days = ParseDates([&] { return report::ParseReportDays(o.month, o.from, o.to); });
  // --day-starts, else the site file's day_starts (checked when the file was read), else 00:00.
  const std::string starts = o.day_starts ? *o.day_starts : CurrentSite() ? CurrentSite()->day_starts : "00:00";
  int day_starts = ParseDates([&] { return report::ParseDayStarts(starts, "--day-starts"); });
  if (o.html && o.html->empty()) throw UsageError(Tr("--html needs a file name"));
  // The site file's late_after was checked when the file was read.
  std::optional<int> late_after;
  if (CurrentSite() && CurrentSite()->late_after)
    late_after = ParseDates([&] { return report::ParseDayStarts(*CurrentSite()->late_after, "late_after"); });
  // Read only: the swipes' report and each day as the attendance rules judge it.
  const AttendanceSite at = CommandAttendance(o, DatabaseUse::kRead);
  report::Report report = BuildJudgedReport(at, days, day_starts, late_after);
  if (o.html) {
    WriteHtmlFile(report, *o.html);
    std::initializer_list<std::string> args{*o.html, std::to_string(report.people.size()),
                                            std::to_string(report.day_count()), report::DateText(days.first),
                                            report::DateText(days.last)};
    io.out << (report.people.size() == 1 ? TrFill("wrote {0}: {1} person, {2} person-days, {3} to {4}", args)
                                         : TrFill("wrote {0}: {1} people, {2} person-days, {3} to {4}", args))
           << "\n";
    return kExitOk;
  }
  report::WriteReport(io.out, report, format);
  return kExitOk;
}

}  // namespace

Command ReportCommand() {
  return {"report", TrLater("attendance per person and working day: first and last swipe, swipes, span"),
          "vanto report (--month YYYY-MM | --from DATE --to DATE) [--day-starts HH:MM]\n"
          "       [--csv | --json | --html FILE] [--db PATH]",
          TrLater("For each person and working day: the first and the last swipe, the number of swipes and\n"
          "the span between first and last; for each person: the days present and the total span.\n"
          "A working day starts at --day-starts (default 00:00): with --day-starts 12:00 a night\n"
          "shift from 22:00 to 06:00 is one working day, dated by the day it began (a time on the\n"
          "next calendar day shows as '06:00 +1'). Swipes of one person in the same minute count\n"
          "once. People with swipes but no name are listed as '(no name)'; people with a name but no\n"
          "swipe in the period are listed with 0 days. When the site file sets late_after (HH:MM), a\n"
          "day whose first swipe comes after it is marked late (CSV: a column 'late', 1 or 0).\n"
          "Each working day also shows its status as the attendance rules judge it (present, late,\n"
          "absent, pending, ...; CSV and JSON: with its late, early, worked and overtime minutes), and\n"
          "each person the count of each status over every day of the period, days without swipes too.\n"
          "\n"
          "--csv: one row per person and working day; --json: one JSON object per line (\"type\":\n"
          "\"day\", then \"person\" with the totals); --html FILE: one self-contained page to open in a\n"
          "browser or print on A4, one person per page, with a month grid and a bar for each day."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<ReportOptions>();
            p.Text("month", "YYYY-MM", TrLater("the month to report"), &o->month);
            p.Text("from", "DATE", TrLater("first working day (YYYY-MM-DD), with --to"), &o->from);
            p.Text("to", "DATE", TrLater("last working day (inclusive), with --from"), &o->to);
            p.Text("day-starts", "HH:MM", TrLater("when a working day starts (default: the site file's day_starts, else 00:00)"),
                   &o->day_starts);
            p.Flag("csv", TrLater("CSV, one row per person and working day"), &o->csv);
            p.Flag("json", TrLater("one JSON object per line"), &o->json);
            p.Flag("raw", TrLater("with --csv: every value as stored, for programs (no apostrophe before = + - @)"), &o->raw);
            p.Text("html", "FILE", TrLater("write the printable page to FILE"), &o->html);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunReport(*o, io); };
          }};
}

}  // namespace vanto::cli
