#include "web/attendance_setup_page.h"

#include <algorithm>
#include <memory>

#include "host/attendance_host.h"
#include "host/errors.h"
#include "host/report/dates.h"
#include "host/site/site.h"
#include "present/report/date_options.h"
#include "web/templates.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;

constexpr const char* kSetupTemplate = R"html(<h2 id="shifts">{{t.setup_shifts}}</h2>
{{#has_shifts}}<table id="shift-list">
<thead><tr><th>{{t.setup_shift}}</th><th>{{t.setup_start}}</th><th>{{t.setup_end}}</th><th>{{t.setup_late_grace}}</th><th>{{t.setup_early_grace}}</th><th>{{t.setup_break}}</th><th>{{t.setup_window}}</th><th>{{t.setup_full_day}}</th><th>{{t.setup_half_day}}</th><th>{{t.setup_flexible}}</th>{{#may_shifts}}<th></th>{{/may_shifts}}</tr></thead>
<tbody>
{{#shifts}}<tr class="shift" data-shift="{{name}}"><td>{{name}}</td><td>{{start}}</td><td>{{end}}</td><td>{{late_grace}}</td><td>{{early_grace}}</td><td>{{break}}</td><td>{{window}}</td><td>{{full_day}}</td><td>{{half_day}}</td><td>{{flexible}}</td>{{#may_shifts}}<td><form method="post" action="/attendance/setup/shift/remove"><input type="hidden" name="csrf" value="{{csrf}}"><input type="hidden" name="shift_name" value="{{name}}"><button>{{t.setup_remove}}</button></form></td>{{/may_shifts}}</tr>
{{/shifts}}</tbody>
</table>{{/has_shifts}}
{{^has_shifts}}<p class="meta" id="no-shifts">{{t.setup_no_shifts}}</p>{{/has_shifts}}
{{#may_shifts}}<form method="post" action="/attendance/setup/shift/add" id="shift-form" class="filters">
<input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.setup_shift}} <input name="shift_name" id="shift-name" value="{{f.shift_name}}" required maxlength="100"></label>
<label>{{t.setup_start}} <input type="time" name="shift_start" id="shift-start" value="{{f.shift_start}}"></label>
<label>{{t.setup_end}} <input type="time" name="shift_end" id="shift-end" value="{{f.shift_end}}"></label>
<label>{{t.setup_late_grace}} <input type="number" min="0" max="1439" name="shift_late_grace" value="{{f.shift_late_grace}}" size="4"></label>
<label>{{t.setup_early_grace}} <input type="number" min="0" max="1439" name="shift_early_grace" value="{{f.shift_early_grace}}" size="4"></label>
<label>{{t.setup_break}} <input type="number" min="0" max="1439" name="shift_break" value="{{f.shift_break}}" size="4"></label>
<label>{{t.setup_window_before}} <input type="number" min="0" max="1439" name="shift_window_before" value="{{f.shift_window_before}}" size="4"></label>
<label>{{t.setup_window_after}} <input type="number" min="0" max="1439" name="shift_window_after" value="{{f.shift_window_after}}" size="4"></label>
<label>{{t.setup_full_day}} <input type="number" min="0" max="2880" name="shift_full_day" value="{{f.shift_full_day}}" size="4"></label>
<label>{{t.setup_half_day}} <input type="number" min="0" max="2880" name="shift_half_day" value="{{f.shift_half_day}}" size="4"></label>
<label><input type="checkbox" name="shift_flexible" value="1"{{#f.shift_flexible}} checked{{/f.shift_flexible}}> {{t.setup_flexible}}</label>
<label>{{t.setup_core}} <input type="time" name="shift_core_start" value="{{f.shift_core_start}}">–<input type="time" name="shift_core_end" value="{{f.shift_core_end}}"></label>
<label>{{t.setup_required}} <input type="number" min="0" max="2880" name="shift_required" value="{{f.shift_required}}" size="4"></label>
<fieldset><legend>{{t.setup_week_days}}</legend>{{#week_days}}<label><input type="checkbox" name="shift_day_{{key}}" value="1"{{#checked}} checked{{/checked}}> {{word}}</label> {{/week_days}}</fieldset>
<button id="shift-add">{{t.add}}</button> <button formaction="/attendance/setup/shift/change" id="shift-change">{{t.setup_change}}</button>
<p class="meta">{{t.setup_shift_help}}</p>
</form>{{/may_shifts}}

<h2 id="patterns">{{t.setup_patterns}}</h2>
{{#has_patterns}}<table id="pattern-list">
<thead><tr><th>{{t.setup_pattern}}</th><th>{{t.kind}}</th><th>{{t.setup_starts}}</th><th>{{t.setup_days}}</th>{{#may_shifts}}<th></th>{{/may_shifts}}</tr></thead>
<tbody>
{{#patterns}}<tr class="pattern" data-pattern="{{name}}"><td>{{name}}</td><td>{{kind}}</td><td>{{starts}}</td><td>{{days}}</td>{{#may_shifts}}<td><form method="post" action="/attendance/setup/pattern/remove"><input type="hidden" name="csrf" value="{{csrf}}"><input type="hidden" name="pattern_name" value="{{name}}"><button>{{t.setup_remove}}</button></form></td>{{/may_shifts}}</tr>
{{/patterns}}</tbody>
</table>{{/has_patterns}}
{{#may_shifts}}<form method="post" action="/attendance/setup/pattern/add" id="pattern-form" class="filters">
<input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.setup_pattern}} <input name="pattern_name" id="pattern-name" value="{{f.pattern_name}}" required maxlength="100"></label>
<label>{{t.kind}} <select name="pattern_kind" id="pattern-kind"><option value="week">{{t.setup_week}}</option><option value="rotation"{{#rotation}} selected{{/rotation}}>{{t.setup_rotation}}</option></select></label>
<label>{{t.setup_days}} <input name="pattern_days" id="pattern-days" value="{{f.pattern_days}}" placeholder="day,day,day,day,day,," maxlength="2000"></label>
<label>{{t.setup_starts}} <input type="date" name="pattern_starts" id="pattern-starts" value="{{f.pattern_starts}}"></label>
<button id="pattern-add">{{t.add}}</button>
<p class="meta">{{t.setup_pattern_help}}</p>
</form>{{/may_shifts}}

<h2 id="assignments">{{t.setup_assignments}}</h2>
{{#has_assignments}}<table id="assignment-list">
<thead><tr><th>#</th><th>{{t.setup_pattern}}</th><th>{{t.setup_who}}</th><th>{{t.from}}</th><th>{{t.setup_until}}</th>{{#may_shifts}}<th></th>{{/may_shifts}}</tr></thead>
<tbody>
{{#assignments}}<tr class="assignment" data-id="{{id}}"><td>{{id}}</td><td>{{pattern}}</td><td>{{who}}</td><td>{{from}}</td><td>{{until}}</td>{{#may_shifts}}<td><form method="post" action="/attendance/setup/unassign"><input type="hidden" name="csrf" value="{{csrf}}"><input type="hidden" name="assign_id" value="{{id}}"><button>{{t.setup_remove}}</button></form></td>{{/may_shifts}}</tr>
{{/assignments}}</tbody>
</table>{{/has_assignments}}
{{#may_shifts}}<form method="post" action="/attendance/setup/assign" id="assign-form" class="filters">
<input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.setup_pattern}} <input name="assign_pattern" id="assign-pattern" value="{{f.assign_pattern}}" required maxlength="100"></label>
<label>{{t.setup_people}} <input name="assign_people" id="assign-people" value="{{f.assign_people}}" placeholder="17-19,23" maxlength="2000"></label>
<label>{{t.department}} <input name="assign_department" id="assign-department" value="{{f.assign_department}}" maxlength="200"></label>
<label>{{t.from}} <input type="date" name="assign_from" id="assign-from" value="{{f.assign_from}}" required></label>
<label>{{t.setup_until}} <input type="date" name="assign_until" id="assign-until" value="{{f.assign_until}}"></label>
<button id="assign">{{t.setup_assign}}</button>
<p class="meta">{{t.setup_assign_help}}</p>
</form>{{/may_shifts}}

<h2 id="holidays">{{t.setup_holidays}} {{year}}</h2>
<form method="get" action="/attendance/setup#holidays" class="filters"><label>{{t.setup_year}} <input type="number" name="year" min="1" max="9999" value="{{year}}" size="5"></label> <button>{{t.show}}</button></form>
{{#has_holidays}}<table id="holiday-list">
<thead><tr><th>{{t.setup_date}}</th><th>{{t.kind}}</th><th>{{t.name}}</th>{{#may_shifts}}<th></th>{{/may_shifts}}</tr></thead>
<tbody>
{{#holidays}}<tr class="holiday" data-date="{{date}}"><td>{{date}}</td><td>{{kind}}</td><td>{{name}}</td>{{#may_shifts}}<td><form method="post" action="/attendance/setup/holiday/remove"><input type="hidden" name="csrf" value="{{csrf}}"><input type="hidden" name="holiday_date" value="{{date}}"><button>{{t.setup_remove}}</button></form></td>{{/may_shifts}}</tr>
{{/holidays}}</tbody>
</table>{{/has_holidays}}
{{#may_shifts}}<form method="post" action="/attendance/setup/holiday/set" id="holiday-form" class="filters">
<input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.setup_date}} <input type="date" name="holiday_date" id="holiday-date" value="{{f.holiday_date}}" required></label>
<label>{{t.kind}} <select name="holiday_kind" id="holiday-kind"><option value="holiday">{{t.setup_holiday}}</option><option value="rest"{{#rest}} selected{{/rest}}>{{t.setup_rest_day}}</option></select></label>
<label>{{t.name}} <input name="holiday_name" id="holiday-name" value="{{f.holiday_name}}" maxlength="200"></label>
<button id="holiday-set">{{t.save}}</button>
</form>{{/may_shifts}}

<h2 id="leave-kinds">{{t.setup_leave_kinds}}</h2>
<p id="leave-kind-list">{{leave_kinds}}</p>
{{#may_leave}}<form method="post" action="/attendance/setup/leave-kinds" id="leave-kinds-form" class="filters">
<input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.setup_leave_kinds}} <input name="leave_kinds" id="leave-kinds" value="{{f.leave_kinds}}{{^f.leave_kinds}}{{leave_kinds}}{{/f.leave_kinds}}" maxlength="2000" size="40"></label>
<button id="leave-kinds-set">{{t.save}}</button>
<p class="meta">{{t.setup_leave_kinds_help}}</p>
</form>{{/may_leave}}

{{#may_close}}<h2 id="months">{{t.setup_months}}</h2>
<form method="post" action="/attendance/setup/month/close" id="month-form" class="filters">
<input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.month}} <input type="month" name="month" id="close-month" value="{{f.month}}" required></label>
<button id="month-close">{{t.setup_close_month}}</button>{{#may_reopen}} <button formaction="/attendance/setup/month/reopen" id="month-reopen">{{t.setup_reopen_month}}</button>{{/may_reopen}}
<p class="meta">{{t.setup_months_help}}</p>
</form>{{/may_close}}
)html";

constexpr const char* kDayKeys[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

// A form's value that is not right: already worded in the page's language.
struct Refusal {
  std::string text;
};

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

class Setup {
 public:
  Setup(const PageHost& host, const RecordsSource& records) : host_(host), records_(records) {}

  void Page(Context& c, int status, const std::string& error, bool keep) const {
    data d;
    d.set("csrf", c.who->session.csrf);
    const accounts::Role role = c.who->user.role;
    d.set("may_shifts", Allowed(role, Action::EditShifts));
    d.set("may_leave", Allowed(role, Action::EditLeave));
    d.set("may_close", Allowed(role, Action::CloseMonth));
    d.set("may_reopen", Allowed(role, Action::ReopenMonth));
    data f;
    if (keep)
      for (const auto& [name, value] : c.req.params)
        if (name != "csrf" && value.size() <= 2000) f.set(name, value);
    d.set("rotation", keep && Field(c.req, "pattern_kind") == "rotation");
    d.set("rest", keep && Field(c.req, "holiday_kind") == "rest");
    list days;
    for (const char* key : kDayKeys) {
      data day;
      day.set("key", key);
      day.set("word", Say(c.language, key));
      day.set("checked", keep && Field(c.req, std::string("shift_day_") + key) == "1");
      days.push_back(day);
    }
    d.set("week_days", days);
    d.set("f", f);
    std::optional<std::string> year = FieldText(c.req, "year", 4);
    if (!year || year->empty() || !AllDigits(*year) || *year == "0000") year = ThisMonth().substr(0, 4);
    while (year->size() < 4) *year = "0" + *year;
    d.set("year", *year);
    try {
      WithSite(c, [&](const host::AttendanceSite& at) { Fill(d, at, *year, c.language); });
    } catch (const std::exception& e) {  // a store or host failure: said, never a half page
      host_.Log("attendance set-up for " + c.client + ": " + e.what());
      return host_.Answer(c, 503, Say(c.language, "nav_setup"), "", "",
                          Say(c.language, "db_failed") + " " + host::Translate(e, c.language));
    }
    const std::string notice = c.req.has_param("saved") && status == 200 ? Say(c.language, "saved") : std::string();
    host_.Answer(c, status, Say(c.language, "nav_setup"), RenderText("attendance_setup", kSetupTemplate, d, c.language),
                 notice, error);
  }

  // A POST: the action, then back to the page with a notice; a refusal shows the page again
  // with what was typed.
  Handler Post(void (Setup::*act)(Context&, const host::AttendanceSite&) const, const char* anchor) const {
    return [this, act, anchor](Context& c) {
      if (records_.database.empty()) return host_.Refuse(c, 503, "no_database");
      try {
        WithSite(c, [&](const host::AttendanceSite& at) { (this->*act)(c, at); });
      } catch (const Refusal& r) {
        return Page(c, 400, r.text, true);
      } catch (const host::InputError& e) {
        return Page(c, 400, Say(c.language, "setup_refused") + " " + host::Translate(e, c.language), true);
      } catch (const std::exception& e) {
        host_.Log("attendance set-up " + std::string(anchor) + " for " + c.client + ": " + e.what());
        return Page(c, 503, Say(c.language, "db_failed") + " " + host::Translate(e, c.language), true);
      }
      c.res.set_redirect(std::string("/attendance/setup?saved=1#") + anchor, 303);
    };
  }

  void AddShift(Context& c, const host::AttendanceSite& at) const {
    attendance::Shift shift;
    shift.name = Name(c, "shift_name", "setup_shift");
    if (Text(c, "shift_start").empty() || Text(c, "shift_end").empty())
      throw Refusal{Say(c.language, "setup_needs_times")};
    shift = Apply(c, shift);
    std::optional<std::vector<bool>> days;
    for (int i = 0; i < 7; ++i)
      if (Text(c, std::string("shift_day_") + kDayKeys[i]) == "1") {
        if (!days) days.emplace(7, false);
        (*days)[i] = true;
      }
    host::AddShift(at, shift, days);
  }

  void ChangeShift(Context& c, const host::AttendanceSite& at) const {
    const std::string name = Name(c, "shift_name", "setup_shift");
    for (const attendance::Shift& s : host::ListShifts(at))
      if (s.name == name) return host::ChangeShift(at, Apply(c, s));
    throw Refusal{Say(c.language, "setup_no_such_shift") + " " + name};
  }

  void RemoveShift(Context& c, const host::AttendanceSite& at) const {
    host::RemoveShift(at, Name(c, "shift_name", "setup_shift"));
  }

  void AddPattern(Context& c, const host::AttendanceSite& at) const {
    attendance::Pattern p;
    p.name = Name(c, "pattern_name", "setup_pattern");
    const std::string days = Text(c, "pattern_days");
    std::size_t begin = 0;
    while (true) {  // "day,day,,": a shift's name per day, "" a rest day
      const std::size_t comma = days.find(',', begin);
      std::string day = days.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
      day.erase(0, day.find_first_not_of(' '));
      day.erase(day.find_last_not_of(' ') + 1);
      p.days.push_back(day);
      if (comma == std::string::npos) break;
      begin = comma + 1;
    }
    if (Text(c, "pattern_kind") == "rotation") {
      p.kind = attendance::PatternKind::kRotation;
      p.starts = Date(c, "pattern_starts", "setup_starts");
    } else {
      p.kind = attendance::PatternKind::kWeek;
      if (p.days.size() != 7) throw Refusal{Say(c.language, "setup_week_needs_seven") + " " + days};
    }
    host::AddPattern(at, p);
  }

  void RemovePattern(Context& c, const host::AttendanceSite& at) const {
    host::RemovePattern(at, Name(c, "pattern_name", "setup_pattern"));
  }

  void Assign(Context& c, const host::AttendanceSite& at) const {
    attendance::Assignment a;
    a.pattern = Name(c, "assign_pattern", "setup_pattern");
    const std::string people = Text(c, "assign_people"), department = Text(c, "assign_department");
    if (people.empty() == department.empty()) throw Refusal{Say(c.language, "setup_people_or_department")};
    a.from = Date(c, "assign_from", "from");
    if (!Text(c, "assign_until").empty()) a.until = Date(c, "assign_until", "setup_until");
    if (!department.empty()) {
      a.target = attendance::TargetKind::kDepartment;
      a.department = department;
      host::Assign(at, a);
      return;
    }
    a.target = attendance::TargetKind::kPerson;
    host::Assign(at, a, host::PeopleNumbers(people, Say(c.language, "setup_people")));  // all or nothing
  }

  void Unassign(Context& c, const host::AttendanceSite& at) const {
    std::optional<std::int64_t> id = WholeNumber(Text(c, "assign_id"), 1, INT64_MAX);
    if (!id) throw Bad(c, "setup_assignment", Text(c, "assign_id"));
    host::Unassign(at, *id);
  }

  void SetHoliday(Context& c, const host::AttendanceSite& at) const {
    attendance::DayOff day;
    day.date = Date(c, "holiday_date", "setup_date");
    day.kind = Text(c, "holiday_kind") == "rest" ? attendance::DayOffKind::kRest : attendance::DayOffKind::kHoliday;
    day.name = Text(c, "holiday_name");
    host::SetDayOff(at, day);
  }

  void RemoveHoliday(Context& c, const host::AttendanceSite& at) const {
    host::RemoveDayOff(at, Date(c, "holiday_date", "setup_date"));
  }

  void SetLeaveKinds(Context& c, const host::AttendanceSite& at) const {
    std::vector<std::string> kinds;
    std::string word;
    for (char ch : Text(c, "leave_kinds") + " ") {
      if (ch == ' ' || ch == ',') {
        if (!word.empty()) kinds.push_back(word);
        word.clear();
      } else {
        word += ch;
      }
    }
    if (kinds.empty()) throw Refusal{Say(c.language, "setup_needs_leave_kinds")};
    host::SetLeaveKinds(at, kinds);
  }

  void CloseMonth(Context& c, const host::AttendanceSite& at) const { host::CloseMonth(at, Month(c)); }
  void ReopenMonth(Context& c, const host::AttendanceSite& at) const { host::ReopenMonth(at, Month(c)); }

 private:
  // The chosen site, judged with the serving site's file when it is that site.
  template <class Act>
  void WithSite(const Context& c, Act act) const {
    host::SiteChoice shown;
    shown.name = c.site.value_or("");
    shown.filter = c.site;
    const host::AttendanceSite at{records_.db->Get(), shown, c.site == records_.site ? records_.site_file : nullptr,
                                  {c.Actor().name, c.client}, std::nullopt};
    act(at);
  }

  void Fill(data& d, const host::AttendanceSite& at, const std::string& year, Language language) const {
    list shifts, patterns, assignments, holidays;
    for (const attendance::Shift& s : host::ListShifts(at)) {
      data row;
      row.set("name", s.name);
      row.set("start", report::ClockText(s.start));
      row.set("end", report::ClockText(s.end));
      row.set("late_grace", std::to_string(s.late_grace));
      row.set("early_grace", std::to_string(s.early_grace));
      row.set("break", std::to_string(s.break_minutes));
      row.set("window", "-" + std::to_string(s.window_before) + " +" + std::to_string(s.window_after));
      row.set("full_day", std::to_string(s.full_day_minutes));
      row.set("half_day", std::to_string(s.half_day_minutes));
      row.set("flexible", s.flexible ? report::ClockText(s.core_start) + "–" + report::ClockText(s.core_end) + " " +
                                           std::to_string(s.required_minutes)
                                     : std::string());
      shifts.push_back(row);
    }
    for (const attendance::Pattern& p : host::ListPatterns(at)) {
      data row;
      row.set("name", p.name);
      row.set("kind", Say(language, p.kind == attendance::PatternKind::kWeek ? "setup_week" : "setup_rotation"));
      row.set("starts", p.starts);
      std::string days;
      for (std::size_t i = 0; i < p.days.size(); ++i) days += (i ? "," : "") + p.days[i];
      row.set("days", days);
      patterns.push_back(row);
    }
    for (const attendance::Assignment& a : host::ListAssignments(at)) {
      data row;
      row.set("id", std::to_string(a.id));
      row.set("pattern", a.pattern);
      row.set("who", a.target == attendance::TargetKind::kPerson
                          ? Say(language, "person") + " " + std::to_string(a.person)
                          : Say(language, "department") + " " + a.department);
      row.set("from", a.from);
      row.set("until", a.until.value_or(""));
      assignments.push_back(row);
    }
    for (const attendance::DayOff& day : host::ListDaysOff(at, year)) {
      data row;
      row.set("date", day.date);
      row.set("kind", Say(language, day.kind == attendance::DayOffKind::kRest ? "setup_rest_day" : "setup_holiday"));
      row.set("name", day.name);
      holidays.push_back(row);
    }
    std::string kinds;
    for (const std::string& k : host::LeaveKinds(at)) kinds += (kinds.empty() ? "" : " ") + k;
    d.set("has_shifts", !shifts.empty());
    d.set("shifts", shifts);
    d.set("has_patterns", !patterns.empty());
    d.set("patterns", patterns);
    d.set("has_assignments", !assignments.empty());
    d.set("assignments", assignments);
    d.set("has_holidays", !holidays.empty());
    d.set("holidays", holidays);
    d.set("leave_kinds", kinds);
  }

  static Refusal Bad(const Context& c, const char* word, const std::string& value) {
    return Refusal{Say(c.language, "setup_bad_value") + " " + Say(c.language, word) + " '" + value + "'"};
  }

  static std::string Text(const Context& c, const std::string& name) {
    std::optional<std::string> text = FieldText(c.req, name, 2000);
    if (!text) throw Refusal{Say(c.language, "bad_request")};
    return *text;
  }

  static std::string Name(const Context& c, const char* field, const char* word) {
    std::string name = Text(c, field);
    if (name.empty() || name.size() > 100 ||
        std::any_of(name.begin(), name.end(), [](unsigned char ch) { return ch < 0x20 || ch == 0x7F; }))
      throw Bad(c, word, name);
    return name;
  }

  static std::string Date(const Context& c, const char* field, const char* word) {
    const std::string text = Text(c, field);
    try {
      return report::DateText(report::ParseDate(text, field));
    } catch (const report::DateError&) {
      throw Bad(c, word, text);
    }
  }

  static std::string Month(const Context& c) {
    const std::string text = Text(c, "month");
    try {
      const report::DayRange days = report::ParseMonth(text);
      return report::DateText(days.first).substr(0, 7);
    } catch (const report::DateError&) {
      throw Bad(c, "month", text);
    }
  }

  // The fields given over `shift` (a new one's defaults, or the shift as it is); an empty field
  // keeps its value.
  static attendance::Shift Apply(const Context& c, attendance::Shift shift) {
    auto clock = [&](const char* field, const char* word, int* target) {
      const std::string text = Text(c, field);
      if (text.empty()) return false;
      std::optional<int> minutes = site::ParseTimeOfDay(text);
      if (!minutes) throw Bad(c, word, text);
      *target = *minutes;
      return true;
    };
    auto minutes = [&](const char* field, const char* word, int* target, int max) {
      const std::string text = Text(c, field);
      if (text.empty()) return false;
      std::optional<std::int64_t> n = WholeNumber(text, 0, max);
      if (!n) throw Bad(c, word, text);
      *target = static_cast<int>(*n);
      return true;
    };
    clock("shift_start", "setup_start", &shift.start);
    clock("shift_end", "setup_end", &shift.end);
    minutes("shift_late_grace", "setup_late_grace", &shift.late_grace, 1439);
    minutes("shift_early_grace", "setup_early_grace", &shift.early_grace, 1439);
    minutes("shift_break", "setup_break", &shift.break_minutes, 1439);
    minutes("shift_window_before", "setup_window_before", &shift.window_before, 1439);
    minutes("shift_window_after", "setup_window_after", &shift.window_after, 1439);
    minutes("shift_full_day", "setup_full_day", &shift.full_day_minutes, 2880);
    minutes("shift_half_day", "setup_half_day", &shift.half_day_minutes, 2880);
    if (Text(c, "shift_flexible") == "1") shift.flexible = true;
    const bool core = clock("shift_core_start", "setup_core", &shift.core_start) |
                      clock("shift_core_end", "setup_core", &shift.core_end);
    const bool required = minutes("shift_required", "setup_required", &shift.required_minutes, 2880);
    if ((core || required) && !shift.flexible) throw Refusal{Say(c.language, "setup_core_for_flexible")};
    if (shift.flexible && (!shift.required_minutes || shift.core_start == shift.core_end))
      throw Refusal{Say(c.language, "setup_flexible_needs")};
    return shift;
  }

  const PageHost& host_;
  const RecordsSource& records_;
};

}  // namespace

std::vector<Route> AttendanceSetupRoutes(const PageHost& host, const RecordsSource& records) {
  auto setup = std::make_shared<Setup>(host, records);
  auto post = [setup](void (Setup::*act)(Context&, const host::AttendanceSite&) const, const char* anchor) {
    Handler handler = setup->Post(act, anchor);
    return [setup, handler](Context& c) { handler(c); };  // keeps the page alive with its routes
  };
  return {
      {"GET", "/attendance/setup", Access::Page, Action::ViewAttendance,
       [setup, &host, &records](Context& c) {
         if (records.database.empty()) return host.Refuse(c, 503, "no_database");
         setup->Page(c, 200, "", false);
       }},
      {"POST", "/attendance/setup/shift/add", Access::Form, Action::EditShifts, post(&Setup::AddShift, "shifts")},
      {"POST", "/attendance/setup/shift/change", Access::Form, Action::EditShifts, post(&Setup::ChangeShift, "shifts")},
      {"POST", "/attendance/setup/shift/remove", Access::Form, Action::EditShifts, post(&Setup::RemoveShift, "shifts")},
      {"POST", "/attendance/setup/pattern/add", Access::Form, Action::EditShifts, post(&Setup::AddPattern, "patterns")},
      {"POST", "/attendance/setup/pattern/remove", Access::Form, Action::EditShifts,
       post(&Setup::RemovePattern, "patterns")},
      {"POST", "/attendance/setup/assign", Access::Form, Action::EditShifts, post(&Setup::Assign, "assignments")},
      {"POST", "/attendance/setup/unassign", Access::Form, Action::EditShifts, post(&Setup::Unassign, "assignments")},
      {"POST", "/attendance/setup/holiday/set", Access::Form, Action::EditShifts, post(&Setup::SetHoliday, "holidays")},
      {"POST", "/attendance/setup/holiday/remove", Access::Form, Action::EditShifts,
       post(&Setup::RemoveHoliday, "holidays")},
      {"POST", "/attendance/setup/leave-kinds", Access::Form, Action::EditLeave,
       post(&Setup::SetLeaveKinds, "leave-kinds")},
      {"POST", "/attendance/setup/month/close", Access::Form, Action::CloseMonth, post(&Setup::CloseMonth, "months")},
      {"POST", "/attendance/setup/month/reopen", Access::Form, Action::ReopenMonth, post(&Setup::ReopenMonth, "months")},
  };
}

}  // namespace vanto::web
