#include "web/people_page.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "host/attendance_data.h"
#include "host/report/people.h"
#include "host/db/civil_time.h"
#include "web/report_page.h"
#include "web/templates.h"
#include "present/report/people_file.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;

constexpr std::size_t kMaxListed = 500;

constexpr const char* kPeopleTemplate = R"html(<form method="get" action="/people" class="filters" id="people-search">
<label>{{t.search}} <input name="q" id="q" value="{{q}}" placeholder="{{t.search_hint}}" maxlength="200"></label>
<button id="search">{{t.search}}</button>
</form>
{{#has_people}}<table id="people">
<thead><tr><th>{{t.person}}</th><th>{{t.person_name}}</th><th>{{t.employee_code}}</th><th>{{t.department}}</th><th></th></tr></thead>
<tbody>
{{#people}}<tr class="person" data-person="{{number}}"><td><a href="/people/person?number={{number}}">{{number}}</a></td><td class="name"><a href="/people/person?number={{number}}">{{name}}</a></td><td class="code">{{employee_code}}</td><td>{{department}}</td><td><a href="/attendance/person?person={{number}}" class="attendance-month">{{t.att_person_month}}</a></td></tr>
{{/people}}</tbody>
</table>{{/has_people}}
{{#more}}<p class="meta" id="more-people">{{t.more_people}} {{more}}</p>{{/more}}
<p class="meta">{{t.rows_total}} <span id="rows-total">{{total}}</span></p>
{{^has_people}}<p id="no-people">{{t.no_people}}</p>{{/has_people}}
<h2>{{t.add_person}}</h2>
<form method="post" action="/people/edit" id="add-person" class="filters">
<input type="hidden" name="csrf" value="{{csrf}}">
<input type="hidden" name="add" value="1">
<label>{{t.person}} <input type="number" name="number" id="add-number" min="1" max="2147483647" required></label>
<label>{{t.person_name}} <input name="name" id="add-name" required maxlength="200"></label>
<label>{{t.department}} <input name="department" id="add-department" maxlength="200"></label>
<label>{{t.employee_code}} <input name="employee_code" id="add-employee-code" maxlength="200"></label>
<button id="add-person-button">{{t.add}}</button>
</form>
<h2>{{t.import_people}}</h2>
<p>{{t.import_help}}</p>
<form method="post" action="/people/import" enctype="multipart/form-data" id="import-people">
<input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.csv_file}} <input type="file" name="file" id="people-file" accept=".csv,text/csv" required></label>
<button id="import">{{t.import}}</button>
</form>
)html";

constexpr const char* kPersonTemplate = R"html(<form method="post" action="/people/edit" id="edit-person">
<input type="hidden" name="csrf" value="{{csrf}}">
<input type="hidden" name="number" value="{{number}}">
<input type="hidden" name="month" value="{{month}}">
<label>{{t.person_name}} <input name="name" id="person-name" value="{{name}}" required maxlength="200"></label>
<label>{{t.department}} <input name="department" id="person-department" value="{{department}}" maxlength="200"></label>
<label>{{t.employee_code}} <input name="employee_code" id="person-employee-code" value="{{employee_code}}" maxlength="200"></label>
<button id="save-person">{{t.save}}</button>
</form>
<h2>{{t.open_person}} {{month}}</h2>
<p><a href="/people/person?number={{number}}&amp;month={{prev}}" id="prev-month">{{t.prev_month}}</a> · <a href="/people/person?number={{number}}&amp;month={{next}}" id="next-month">{{t.next_month}}</a></p>
<p class="meta" id="person-totals">{{t.days_present}}: <span id="days-present">{{days_present}}</span> · {{t.total_span}}: <span id="total-span">{{total_span}}</span>{{#late_after}} · {{t.late_after}} {{late_after}}{{/late_after}}</p>
<table class="calendar" id="calendar">
<thead><tr><th>{{t.mon}}</th><th>{{t.tue}}</th><th>{{t.wed}}</th><th>{{t.thu}}</th><th>{{t.fri}}</th><th>{{t.sat}}</th><th>{{t.sun}}</th></tr></thead>
<tbody>
{{#weeks}}<tr>{{#cells}}<td{{#day}} class="day{{#present}} present{{/present}}{{#single}} single{{/single}}{{#late}} late{{/late}}" data-day="{{date}}"{{/day}}>{{#day}}<span class="date">{{day}}</span>{{#present}}<br><span class="first">{{first}}</span>–<span class="last">{{last}}</span><br><span class="span">{{span}}</span>{{#single}} <span class="mark">{{t.one_swipe}}</span>{{/single}}{{#late}} <span class="mark late">{{t.late}}</span>{{/late}}{{/present}}{{/day}}</td>{{/cells}}</tr>
{{/weeks}}</tbody>
</table>
)html";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

void StoreFailed(const PageHost& host, Context& c, const std::exception& e) {
  host.Log("people page for " + c.client + ": " + e.what());
  host.Answer(c, 503, Say(c.language, "nav_people"), "", "", Say(c.language, "db_failed") + " " + host::Translate(e, c.language));
}

void PeopleList(const PageHost& host, const RecordsSource& records, Context& c, int status, const std::string& notice,
                const std::string& error) {
  std::optional<std::string> q = FieldText(c.req, "q");
  if (!q) return host.Refuse(c, 400, "bad_request", "/people");
  std::vector<store::PersonName> people;
  try {
    std::unique_ptr<store::SwipeStore> store = OpenRecords(records);
    people = store->People(records.site);  // the serving site's people
  } catch (const store::StoreError& e) {
    return StoreFailed(host, c, e);
  }
  std::string needle = Lower(*q);
  data d;
  d.set("csrf", c.who->session.csrf);
  d.set("q", *q);
  list rows;
  bool more = false;
  std::size_t total = 0;  // every person the search matches, listed or not
  for (const store::PersonName& p : people) {
    std::string number = std::to_string(p.person);
    if (!needle.empty() && number != needle && Lower(p.name).find(needle) == std::string::npos &&
        Lower(p.department).find(needle) == std::string::npos && Lower(p.employee_code) != needle)
      continue;
    ++total;
    if (rows.size() == kMaxListed) {
      more = true;  // said on the page: a search narrows the list
      continue;
    }
    data row;
    row.set("number", number);
    row.set("name", p.name);
    row.set("department", p.department);
    row.set("employee_code", p.employee_code);
    rows.push_back(row);
  }
  d.set("total", std::to_string(total));
  d.set("has_people", !rows.empty());
  d.set("people", rows);
  if (more) d.set("more", std::to_string(kMaxListed));
  std::string shown = notice;
  if (shown.empty() && c.req.has_param("added")) {
    auto count = [&](const char* name) { return WholeNumber(Field(c.req, name), 0, 1LL << 40); };
    if (auto a = count("added"), u = count("updated"), n = count("unchanged"); a && u && n)
      shown = Say(c.language, "imported") + " " + std::to_string(*a) + ", " + std::to_string(*u) + ", " +
              std::to_string(*n);
  }
  host.Answer(c, status, Say(c.language, "nav_people"), RenderText("people", kPeopleTemplate, d, c.language), shown, error);
}

std::optional<std::int32_t> PersonNumber(const httplib::Request& req) {
  std::optional<std::int64_t> n = WholeNumber(Field(req, "number"), INT32_MIN, INT32_MAX);
  if (!n) return std::nullopt;
  return static_cast<std::int32_t>(*n);
}

// What an edit gave, shown again when it is refused.
struct PersonGiven {
  std::string name, department, employee_code;
};

void PersonPage(const PageHost& host, const RecordsSource& records, Context& c, int status, const std::string& error,
                const PersonGiven* given = nullptr) {
  std::optional<std::int32_t> number = PersonNumber(c.req);
  std::string month;
  std::optional<report::DayRange> days = RequestedMonth(c.req, month);
  if (!number || !days) return host.Refuse(c, 400, "bad_request", "/people");
  std::optional<store::PersonName> person;
  report::Report r;
  try {
    std::unique_ptr<store::SwipeStore> store = OpenRecords(records);
    for (store::PersonName& p : store->PeopleAmong(std::vector<std::int32_t>{*number}, c.site))
      person = std::move(p);
    r = host::BuildReport(*store, *days, records.day_starts, records.late_after, host::ReportScope(c.site, {*number}));
  } catch (const store::StoreError& e) {
    return StoreFailed(host, c, e);
  }
  const report::PersonReport* mine = nullptr;
  for (const report::PersonReport& p : r.people)
    if (p.person == *number) mine = &p;
  data d;
  d.set("csrf", c.who->session.csrf);
  d.set("number", std::to_string(*number));
  d.set("month", month);
  d.set("prev", MonthAround(*days, -1));
  d.set("next", MonthAround(*days, 1));
  d.set("name", given ? given->name : person ? person->name : std::string());
  d.set("department", given ? given->department : person ? person->department : std::string());
  d.set("employee_code", given ? given->employee_code : person ? person->employee_code : std::string());
  d.set("days_present", std::to_string(mine ? mine->days_present() : 0));
  d.set("total_span", report::SpanText(mine ? mine->total_span() : 0));
  if (records.late_after) d.set("late_after", report::ClockText(*records.late_after));
  // The month as weeks from Monday: blank cells before the first day and after the last.
  list weeks;
  list cells;
  data blank;
  blank.set("blank", true);
  for (int b = 0; b < report::Weekday(days->first); ++b) cells.push_back(blank);
  auto entry = mine ? mine->days.begin() : std::vector<report::DayEntry>::const_iterator();
  for (std::int64_t n = report::DaysFromDate(days->first); n <= report::DaysFromDate(days->last); ++n) {
    report::Date day = report::DateFromDays(n);
    data cell;
    cell.set("day", std::to_string(day.day));
    cell.set("date", report::DateText(day));
    if (mine && entry != mine->days.end() && entry->day == day) {
      const report::DayEntry& e = *entry++;
      cell.set("present", true);
      cell.set("first", ClockOnDay(e.first, e.day));
      cell.set("last", ClockOnDay(e.last, e.day));
      cell.set("span", report::SpanText(e.span()));
      if (e.swipes == 1) cell.set("single", true);
      if (e.late) cell.set("late", true);
    }
    cells.push_back(cell);
    if (cells.size() == 7) {
      data week;
      week.set("cells", cells);
      weeks.push_back(week);
      cells = list();
    }
  }
  if (!cells.empty()) {
    while (cells.size() < 7) cells.push_back(blank);
    data week;
    week.set("cells", cells);
    weeks.push_back(week);
  }
  d.set("weeks", weeks);
  std::string title = Say(c.language, "person") + " " + std::to_string(*number) +
                      (person ? " · " + person->name : std::string());
  std::string notice = c.req.has_param("saved") ? Say(c.language, "saved") : std::string();
  host.Answer(c, status, title, RenderText("person", kPersonTemplate, d, c.language), notice, error);
}

store::AuditNote Note(const Context& c, const char* action, std::string details) {
  return {store::UtcNowText(), c.who->user.name, c.client, action, std::move(details)};
}

void EditPerson(const PageHost& host, const RecordsSource& records, Context& c) {
  if (records.database.empty()) return host.Refuse(c, 503, "no_database");
  std::optional<std::int32_t> number = PersonNumber(c.req);
  std::optional<std::string> name = FieldText(c.req, "name"), department = FieldText(c.req, "department"),
                             code = c.req.has_param("employee_code") ? FieldText(c.req, "employee_code") : std::string();
  const bool code_given = c.req.has_param("employee_code");  // a form without the field keeps the code
  std::string month;
  if (!number || !RequestedMonth(c.req, month)) return host.Refuse(c, 400, "bad_request", "/people");
  auto has_control = [](const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](unsigned char ch) { return ch < 0x20 || ch == 0x7F; });
  };
  if (!name || !department || !code || name->empty() || has_control(*name) || has_control(*department) ||
      has_control(*code)) {
    const PersonGiven kept{name.value_or(""), department.value_or(""), code.value_or("")};
    return PersonPage(host, records, c, 400, Say(c.language, "bad_person"), &kept);
  }
  // The serving site's person (a database of no site: the person of no site).
  const std::string site = records.site.value_or("");
  try {
    std::unique_ptr<store::SwipeStore> store = OpenRecords(records);
    const std::vector<store::PersonName> now = store->PeopleAmong(std::vector<std::int32_t>{*number}, records.site);
    // The People page's "Add" never overwrites a person already there.
    if (Field(c.req, "add") == "1" && !now.empty()) {
      store.reset();
      return PeopleList(host, records, c, 409, "", Say(c.language, "person_exists") + " " + std::to_string(*number));
    }
    if (!code_given)
      for (const store::PersonName& p : now) *code = p.employee_code;
    store->PutPeopleAudited(std::vector<store::PersonName>{{*number, *name, *department, site, *code}},
                            Note(c, "people.edit", "person " + std::to_string(*number) + ": name \"" + *name +
                                                       "\", department \"" + *department + "\", employee code \"" +
                                                       *code + "\"" + (site.empty() ? "" : ", site " + site)));
  } catch (const store::StoreError& e) {
    host.Log("editing person " + std::to_string(*number) + " for " + c.client + ": " + e.what());
    const PersonGiven kept{*name, *department, *code};
    return PersonPage(host, records, c, 503, Say(c.language, "db_failed") + " " + host::Translate(e, c.language), &kept);
  }
  c.res.set_redirect("/people/person?number=" + std::to_string(*number) + "&month=" + month + "&saved=1", 303);
}

void ImportPeople(const PageHost& host, const RecordsSource& records, Context& c) {
  if (records.database.empty()) return host.Refuse(c, 503, "no_database");
  if (!c.req.is_multipart_form_data() || !c.req.has_file("file")) return host.Refuse(c, 400, "bad_request", "/people");
  const httplib::MultipartFormData& file = c.req.get_file_value("file");
  std::string source = file.filename.empty() ? "upload" : file.filename.substr(0, 100);
  std::vector<report::Person> people;
  try {
    std::istringstream in(file.content);
    people = report::ReadPeopleCsv(in, source);
  } catch (const report::PeopleFileError& e) {
    return PeopleList(host, records, c, 400, "", Say(c.language, "import_refused") + " " + host::Translate(e, c.language));
  }
  std::vector<store::PersonName> names;
  names.reserve(people.size());
  const std::string site = records.site.value_or("");  // the serving site's people
  for (report::Person& p : people)
    names.push_back({p.number, std::move(p.name), std::move(p.department), site, std::move(p.employee_code)});
  store::PeopleImport done;
  try {
    std::unique_ptr<store::SwipeStore> store = OpenRecords(records);
    done = store->PutPeopleAudited(
        names, Note(c, "people.import", "file " + source + ", " + std::to_string(names.size()) + " rows"));
  } catch (const store::StoreError& e) {
    host.Log("importing people for " + c.client + ": " + e.what());
    return PeopleList(host, records, c, 503, "", Say(c.language, "db_failed") + " " + host::Translate(e, c.language));
  }
  c.res.set_redirect("/people?added=" + std::to_string(done.added) + "&updated=" + std::to_string(done.updated) +
                         "&unchanged=" + std::to_string(done.unchanged),
                     303);
}

}  // namespace

std::vector<Route> PeopleRoutes(const PageHost& host, const RecordsSource& records) {
  auto needs_database = [&host, &records](void (*page)(const PageHost&, const RecordsSource&, Context&)) {
    return [&host, &records, page](Context& c) {
      if (records.database.empty()) return host.Refuse(c, 503, "no_database");
      page(host, records, c);
    };
  };
  return {
      {"GET", "/people", Access::Page, Action::ViewPeople,
       needs_database([](const PageHost& h, const RecordsSource& r, Context& c) { PeopleList(h, r, c, 200, "", ""); })},
      {"GET", "/people/person", Access::Page, Action::ViewPeople,
       needs_database([](const PageHost& h, const RecordsSource& r, Context& c) { PersonPage(h, r, c, 200, ""); })},
      {"POST", "/people/edit", Access::Form, Action::EditPeople, needs_database(EditPerson)},
      {"POST", "/people/import", Access::Form, Action::ImportPeople, needs_database(ImportPeople)},
  };
}

}  // namespace vanto::web
