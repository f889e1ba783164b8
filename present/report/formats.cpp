#include "present/report/formats.h"

#include "host/text/messages.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace vanto::report {
namespace {

using json = nlohmann::ordered_json;
using vanto::host::Tr;
using vanto::host::TrFill;
using vanto::host::TrLaterContext;

std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// `text` padded with spaces to `width` display columns, on the left when `right`.
std::string Padded(std::string_view text, std::size_t width, bool right) {
  const std::size_t used = DisplayWidth(text);
  const std::string pad(used < width ? width - used : 0, ' ');
  return right ? pad + std::string(text) : std::string(text) + pad;
}

std::string NameCell(const std::optional<std::string>& name) { return name ? OneLine(*name) : std::string(Tr("(no name)")); }

// "HH:MM" of a minute, with "+N" when it falls N calendar days after the working day.
std::string ClockOnDay(std::int64_t minute, const Date& day) {
  std::int64_t date = minute >= 0 ? minute / 1440 : -((-minute + 1439) / 1440);
  std::string text = ClockText(static_cast<int>(minute - date * 1440));
  std::int64_t after = date - DaysFromDate(day);
  if (after != 0) text += (after > 0 ? " +" : " -") + std::to_string(after > 0 ? after : -after);
  return text;
}

json NameJson(const std::optional<std::string>& name) { return name ? json(*name) : json(nullptr); }

std::string PeriodText(const Report& r) {
  return r.days.first == r.days.last ? DateText(r.days.first)
                                     : TrFill("{0} to {1}", {DateText(r.days.first), DateText(r.days.last)});
}

// The status columns of a judged report's working day (none: the day was not judged).
json JudgedJson(const JudgedDay* j) {
  if (!j)
    return {{"status", nullptr}, {"late_minutes", nullptr}, {"early_minutes", nullptr}, {"worked_minutes", nullptr},
            {"overtime_minutes", nullptr}};
  return {{"status", j->status}, {"late_minutes", j->late_minutes}, {"early_minutes", j->early_minutes},
          {"worked_minutes", j->worked_minutes}, {"overtime_minutes", j->overtime_minutes}};
}

// The rules' status words, as the catalogue knows them (said in the context "day status": "leave"
// and "rest" read otherwise elsewhere).
constexpr const char* kStatusWords[] = {
    TrLaterContext("day status", "present"),  TrLaterContext("day status", "late"),
    TrLaterContext("day status", "left-early"), TrLaterContext("day status", "absent"),
    TrLaterContext("day status", "missing-swipe"), TrLaterContext("day status", "half-day"),
    TrLaterContext("day status", "leave"), TrLaterContext("day status", "holiday"),
    TrLaterContext("day status", "rest"), TrLaterContext("day status", "not-scheduled"),
    TrLaterContext("day status", "pending")};

}  // namespace

std::string StatusText(const std::string& word, host::Language language) {
  for (const char* known : kStatusWords)
    if (word == known) return host::TrInContext(language, "day status", known);
  return word;
}

std::string StatusCountsText(const std::map<std::string, int>& counts, host::Language language) {
  std::string text;
  for (const auto& [word, count] : counts) text += (text.empty() ? "" : ", ") + StatusText(word, language) + " " + std::to_string(count);
  return text;
}

SwipeWriter::SwipeWriter(std::ostream& out, Format format) : out_(out), format_(format) {
  if (format_ == Format::Csv || format_ == Format::RawCsv) out_ << "time,port,terminal,person,name\n";
  if (format_ == Format::Table) {
    // The same widths as the rows' (a heading in another language is padded by its display width).
    out_ << Padded(Tr("TIME"), 19, false) << "  " << Padded(Tr("PORT"), 5, true) << "  " << Padded(Tr("TERMINAL"), 8, true)
         << "  " << Padded(Tr("PERSON"), 11, true) << "  " << Tr("NAME") << "\n";
  }
}

void SwipeWriter::Write(const SwipeLine& s) {
  ++rows_;
  switch (format_) {
    case Format::Csv:
    case Format::RawCsv:
      out_ << s.time << ',' << s.port << ',' << s.terminal << ',' << s.person << ',';
      if (s.name) out_ << CsvField(*s.name, CellsOf(format_));
      out_ << '\n';
      break;
    case Format::Json:
      // Written field by field (a JSON object per row costs several times as much); every
      // text still goes through the JSON library's escaping.
      out_ << "{\"time\":" << Dump(json(s.time)) << ",\"port\":" << s.port << ",\"terminal\":" << s.terminal
           << ",\"person\":" << s.person << ",\"name\":" << (s.name ? Dump(json(*s.name)) : "null") << "}\n";
      break;
    case Format::Table: {
      char cells[80];
      std::snprintf(cells, sizeof cells, "%-19.*s  %5d  %8d  %11d  ", static_cast<int>(s.time.size()), s.time.data(),
                    s.port, s.terminal, static_cast<int>(s.person));
      out_ << cells << (s.name ? OneLine(*s.name) : std::string()) << '\n';
      break;
    }
  }
}

void WritePeople(std::ostream& out, const std::vector<Person>& people, Format format, bool with_site) {
  switch (format) {
    case Format::Csv:
    case Format::RawCsv:
      // New columns come last: programs reading the first three by position read on.
      out << "person,name,department,employee_code" << (with_site ? ",site" : "") << "\n";
      for (const Person& p : people) {
        out << p.number << ',' << CsvField(p.name, CellsOf(format)) << ',' << CsvField(p.department, CellsOf(format))
            << ',' << CsvField(p.employee_code, CellsOf(format));
        if (with_site) out << ',' << CsvField(p.site, CellsOf(format));
        out << '\n';
      }
      break;
    case Format::Json:
      for (const Person& p : people) {
        json row = {{"person", p.number}, {"name", p.name}, {"department", p.department},
                    {"employee_code", p.employee_code}};
        if (with_site) row["site"] = p.site;
        out << Dump(row) << '\n';
      }
      break;
    case Format::Table: {
      std::vector<std::vector<std::string>> rows;
      for (const Person& p : people) {
        std::vector<std::string> row{std::to_string(p.number), OneLine(p.name), OneLine(p.employee_code),
                                     OneLine(p.department)};
        if (with_site) row.insert(row.begin(), OneLine(p.site));
        rows.push_back(std::move(row));
      }
      std::vector<std::string> heads{Tr("PERSON"), Tr("NAME"), Tr("EMPLOYEE CODE"), Tr("DEPARTMENT")};
      std::vector<bool> right{true, false, false, false};
      if (with_site) heads.insert(heads.begin(), Tr("SITE")), right.insert(right.begin(), false);
      WriteTable(out, heads, rows, right);
      break;
    }
  }
}

void WriteReport(std::ostream& out, const Report& report, Format format) {
  switch (format) {
    case Format::Csv:
    case Format::RawCsv:
      // A site that sets late_after gets a last column "late" (1 or 0); the columns stay as they
      // were for one that does not.
      // The employee code comes after every column programs read by position, and the day's
      // status and minutes after it (empty when the report was not judged).
      out << "person,name,department,day,first,last,swipes,span,span_minutes" << (report.late_after ? ",late" : "")
          << ",employee_code,status,late_minutes,early_minutes,worked_minutes,overtime_minutes\n";
      for (const PersonReport& p : report.people)
        for (const DayEntry& d : p.days) {
          out << p.person << ',' << (p.name ? CsvField(*p.name, CellsOf(format)) : "") << ','
              << CsvField(p.department, CellsOf(format)) << ',' << DateText(d.day) << ',' << MinuteText(d.first) << ','
              << MinuteText(d.last) << ',' << d.swipes << ',' << SpanText(d.span()) << ',' << d.span();
          if (report.late_after) out << ',' << (d.late ? 1 : 0);
          out << ',' << CsvField(p.employee_code, CellsOf(format));
          if (const JudgedDay* j = p.JudgedOn(d.day))
            out << ',' << j->status << ',' << j->late_minutes << ',' << j->early_minutes << ',' << j->worked_minutes << ','
                << j->overtime_minutes << '\n';
          else
            out << ",,,,,\n";
        }
      break;
    case Format::Json:
      for (const PersonReport& p : report.people) {
        for (const DayEntry& d : p.days) {
          json day = {{"type", "day"}, {"person", p.person}, {"name", NameJson(p.name)},
                          {"employee_code", p.employee_code}, {"department", p.department}, {"day", DateText(d.day)}, {"first", MinuteText(d.first)},
                          {"last", MinuteText(d.last)}, {"swipes", d.swipes}, {"span_minutes", d.span()}};
          if (report.late_after) day["late"] = d.late;
          day.update(JudgedJson(p.JudgedOn(d.day)));
          out << Dump(day) << '\n';
        }
        json person = {{"type", "person"}, {"person", p.person}, {"name", NameJson(p.name)},
                       {"employee_code", p.employee_code}, {"department", p.department}, {"days_present", p.days_present()},
                       {"total_span_minutes", p.total_span()}};
        // Every judged day of the period, with swipes or without (absent, leave, pending ...).
        json statuses = report.judged ? json::object() : json(nullptr);
        for (const auto& [word, count] : p.StatusCounts()) statuses[word] = count;
        person["statuses"] = std::move(statuses);
        out << Dump(person) << '\n';
      }
      break;
    case Format::Table: {
      out << TrFill("Attendance {0} (working days start at {1})", {PeriodText(report), ClockText(report.day_starts)})
          << "\n\n";
      if (report.people.empty()) {
        out << Tr("No swipes and no people in this period.") << "\n";
        return;
      }
      std::vector<std::vector<std::string>> rows;
      for (const PersonReport& p : report.people)
        for (const DayEntry& d : p.days) {
          const JudgedDay* j = p.JudgedOn(d.day);
          rows.push_back({std::to_string(p.person), NameCell(p.name), DateText(d.day),
                          ClockOnDay(d.first, d.day) + (d.late ? " " + std::string(Tr("late")) : std::string()),
                          ClockOnDay(d.last, d.day), std::to_string(d.swipes), SpanText(d.span()),
                          j ? StatusText(j->status) : std::string()});
        }
      if (!rows.empty()) {
        std::vector<std::string> heads{Tr("PERSON"), Tr("NAME"), Tr("DAY"), Tr("FIRST"), Tr("LAST"), Tr("SWIPES"), Tr("SPAN")};
        if (report.judged) heads.push_back(Tr("STATUS"));
        WriteTable(out, heads, rows, {true, false, false, false, false, true, true, false});
        out << '\n';
      }
      rows.clear();
      for (const PersonReport& p : report.people)
        rows.push_back({std::to_string(p.person), NameCell(p.name), OneLine(p.employee_code), OneLine(p.department),
                        std::to_string(p.days_present()), SpanText(p.total_span()), StatusCountsText(p.StatusCounts())});
      std::vector<std::string> heads{Tr("PERSON"), Tr("NAME"), Tr("EMPLOYEE CODE"), Tr("DEPARTMENT"), Tr("DAYS"), Tr("TOTAL")};
      if (report.judged) heads.push_back(Tr("STATUSES"));
      WriteTable(out, heads, rows, {true, false, false, false, true, true, false});
      break;
    }
  }
}

}  // namespace vanto::report
