#include "web/swipes_page.h"

#include <algorithm>
#include <streambuf>

#include "host/attendance_data.h"
#include "host/report/dates.h"
#include "web/templates.h"
#include "present/report/date_options.h"
#include "present/swipe_export.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;

constexpr std::size_t kPageSize = 50;
constexpr int kMaxPort = 255, kMaxTerminal = 255;

constexpr const char* kSwipesTemplate = R"html(<form method="get" action="/swipes" class="filters" id="swipe-filters">
<label>{{t.from_date}} <input type="date" name="from" id="from" value="{{from}}" placeholder="YYYY-MM-DD" maxlength="19"></label>
<label>{{t.to}} <input type="date" name="to" id="to" value="{{to}}" placeholder="YYYY-MM-DD" maxlength="19"></label>
<label>{{t.person_number}} <input name="person" id="person" value="{{person}}" inputmode="numeric" maxlength="11"></label>
<label>{{t.department}} <select name="department" id="department"><option value="">{{t.any}}</option>{{#departments}}<option value="{{name}}"{{#selected}} selected{{/selected}}>{{name}}</option>{{/departments}}</select></label>
<label>{{t.port}} <input name="port" id="port" value="{{port}}" inputmode="numeric" maxlength="3" size="3"></label>
<label>{{t.terminal}} <input name="terminal" id="terminal" value="{{terminal}}" inputmode="numeric" maxlength="3" size="3"></label>
<button id="show">{{t.show}}</button>
</form>
<p><a href="/swipes/csv?{{filters}}" id="download-csv" download>{{t.download_csv}}</a> · {{t.rows_total}} <span id="rows-total">{{total}}</span></p>
{{#has_rows}}<table id="swipes">
<thead><tr><th>{{t.time}}{{zone}}</th><th>{{t.port}}</th><th>{{t.terminal}}</th><th>{{t.person}}</th><th>{{t.person_name}}</th><th>{{t.department}}</th></tr></thead>
<tbody>
{{/has_rows}}{{#rows}}<tr class="swipe"><td>{{time}}</td><td>{{port}}</td><td>{{terminal}}</td><td>{{person}}</td><td>{{#name}}{{name}}{{/name}}{{^name}}<span class="muted">{{t.no_name}}</span>{{/name}}</td><td>{{department}}</td></tr>
{{/rows}}{{#has_rows}}</tbody>
</table>{{/has_rows}}
{{^has_rows}}<p id="no-swipes">{{t.no_swipes}}</p>{{/has_rows}}
<p class="paging">{{#after}}<a href="/swipes?{{filters}}" id="first-page">{{t.first_page}}</a> {{/after}}{{#next}}<a href="/swipes?{{filters}}&amp;after={{next}}" id="next-page" rel="next">{{t.next_page}}</a>{{/next}}</p>
)html";

// The filters of a request, checked; `error` says which one is not valid.
struct Filters {
  store::SwipeQuery query;
  std::string from, to, person, department, port, terminal;  // as given (shown back in the form)
  std::string link;  // the filters as a query string
  std::string error;
  bool nothing = false;  // a department without people: no swipe can match
};

// `site`: the serving site, whose swipes and people the filters select.
Filters ReadFilters(const httplib::Request& req, const store::SwipeStore& store, Language language,
                    const std::optional<std::string>& site) {
  Filters f;
  f.query.site = site;
  auto text = [&](const char* name, std::string& into, std::size_t max) {
    std::optional<std::string> value = FieldText(req, name, max);
    if (!value) {
      f.error = Say(language, "bad_filter") + " " + name;
      return false;
    }
    into = *value;
    return true;
  };
  if (!text("from", f.from, 19) || !text("to", f.to, 19) || !text("person", f.person, 11) ||
      !text("department", f.department, 200) || !text("port", f.port, 3) || !text("terminal", f.terminal, 3))
    return f;
  try {
    report::TimeRange range = report::ParseTimeRange(f.from.empty() ? std::nullopt : std::optional(f.from),
                                                     f.to.empty() ? std::nullopt : std::optional(f.to));
    f.query.from = range.from;
    f.query.to = range.to;
  } catch (const report::DateError& e) {
    f.error = Say(language, "bad_filter") + " " + host::Translate(e, language);
    return f;
  }
  auto number = [&](const std::string& given, const char* word, std::int64_t lo, std::int64_t hi) -> std::optional<std::int64_t> {
    if (given.empty()) return std::nullopt;
    std::optional<std::int64_t> n = WholeNumber(given, lo, hi);
    if (!n) f.error = Say(language, "bad_filter") + " " + Say(language, word) + " " + given;
    return n;
  };
  if (auto n = number(f.person, "person", INT32_MIN, INT32_MAX)) f.query.persons.push_back(static_cast<std::int32_t>(*n));
  if (auto n = number(f.port, "port", 1, kMaxPort)) f.query.port = static_cast<int>(*n);
  if (auto n = number(f.terminal, "terminal", 1, kMaxTerminal)) f.query.terminal = static_cast<int>(*n);
  if (!f.error.empty()) return f;
  if (!f.department.empty() && host::HoldsPeople(store)) {
    // The department's people; with a person given too, that person when in it.
    std::vector<std::int32_t> in;
    for (const store::PersonName& p : store.People(site))
      if (p.department == f.department &&
          (f.query.persons.empty() || f.query.persons[0] == p.person))
        in.push_back(p.person);
    f.query.persons = in;
    if (in.empty()) {
      f.nothing = true;
      f.query.limit = 0;
    }
  }
  f.link = "from=" + UrlEncode(f.from) + "&to=" + UrlEncode(f.to) + "&person=" + UrlEncode(f.person) +
           "&department=" + UrlEncode(f.department) + "&port=" + UrlEncode(f.port) + "&terminal=" + UrlEncode(f.terminal);
  return f;
}

// The store's failure in the page: nothing was half-done (these pages only read).
void StoreFailed(const PageHost& host, Context& c, const char* title, const std::exception& e) {
  host.Log("swipes page for " + c.client + ": " + e.what());
  host.Answer(c, 503, Say(c.language, title), "", "", Say(c.language, "db_failed") + " " + host::Translate(e, c.language));
}

void SwipesPage(const PageHost& host, const RecordsSource& records, Context& c) {
  if (records.database.empty()) return host.Refuse(c, 503, "no_database");
  std::unique_ptr<store::SwipeStore> store;
  Filters f;
  store::SwipePage page;
  std::vector<store::PersonName> people;  // the page's, by person number
  std::vector<std::string> departments;
  std::optional<store::SwipePosition> after;
  std::int64_t total = 0;  // every row the filters match, counted by the store
  try {
    store = OpenRecords(records);
    f = ReadFilters(c.req, *store, c.language, c.site);
    if (c.req.has_param("after")) {
      after = store::SwipePosition::Parse(Field(c.req, "after"));
      if (!after) f.error = Say(c.language, "bad_filter") + " after";
    }
    if (f.error.empty() && !f.nothing) {
      f.query.after = after;
      page = store->Page(f.query, kPageSize);
      store::SwipeQuery all = f.query;
      all.after.reset();
      total = store->Count(all);
    }
    if (host::HoldsPeople(*store)) {
      std::vector<std::int32_t> persons;
      for (const store::StoredSwipe& s : page.rows) persons.push_back(s.person);
      people = store->PeopleAmong(persons, records.site);  // the serving site's people
      departments = store->Departments(records.site);
    }
  } catch (const store::StoreError& e) {
    return StoreFailed(host, c, "nav_swipes", e);
  }
  auto person_named = [&people](std::int32_t number) -> const store::PersonName* {
    auto it = std::lower_bound(people.begin(), people.end(), number,
                               [](const store::PersonName& p, std::int32_t n) { return p.person < n; });
    return it != people.end() && it->person == number ? &*it : nullptr;
  };

  data d;
  d.set("zone", host.times().Note(c.language));  // the terminals keep the site's wall time
  for (auto [key, value] : {std::pair{"from", &f.from}, std::pair{"to", &f.to}, std::pair{"person", &f.person},
                            std::pair{"port", &f.port}, std::pair{"terminal", &f.terminal}})
    d.set(key, *value);
  list deps;
  for (const std::string& name : departments) {
    data dep;
    dep.set("name", name);
    if (name == f.department) dep.set("selected", true);
    deps.push_back(dep);
  }
  d.set("departments", deps);
  d.set("filters", f.link);
  d.set("total", std::to_string(total));
  list rows;
  for (const store::StoredSwipe& s : page.rows) {
    data row;
    row.set("time", s.time);
    row.set("port", std::to_string(s.port));
    row.set("terminal", std::to_string(s.terminal));
    row.set("person", std::to_string(s.person));
    if (const store::PersonName* p = person_named(s.person)) {
      row.set("name", p->name);
      row.set("department", p->department);
    } else {
      row.set("department", std::string());
    }
    rows.push_back(row);
  }
  d.set("has_rows", !page.rows.empty());
  d.set("rows", rows);
  if (after) d.set("after", true);
  if (page.next) d.set("next", UrlEncode(page.next->Text()));
  host.Answer(c, f.error.empty() ? 200 : 400, Say(c.language, "nav_swipes"),
              RenderText("swipes", kSwipesTemplate, d, c.language), "", f.error);
}

// Forwards what a listing writes to the response in 64 KiB chunks; a write the client no longer
// takes fails the stream, which stops the listing's query.
class SinkBuffer : public std::streambuf {
 public:
  explicit SinkBuffer(httplib::DataSink& sink) : sink_(sink) { buffer_.reserve(kChunk); }
  bool Flush() {
    if (buffer_.empty()) return ok_;
    ok_ = ok_ && sink_.write(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok_;
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (!ok_) return 0;
    buffer_.append(s, static_cast<std::size_t>(n));
    if (buffer_.size() >= kChunk && !Flush()) return 0;
    return n;
  }
  int_type overflow(int_type ch) override {
    if (ch == traits_type::eof()) return traits_type::not_eof(ch);
    char c = traits_type::to_char_type(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
  }

 private:
  static constexpr std::size_t kChunk = 64 * 1024;
  httplib::DataSink& sink_;
  std::string buffer_;
  bool ok_ = true;
};

void SwipesCsv(const PageHost& host, const RecordsSource& records, Context& c) {
  if (records.database.empty()) return host.Refuse(c, 503, "no_database");
  std::shared_ptr<store::SwipeStore> store;
  Filters f;
  try {
    store = OpenRecords(records);
    f = ReadFilters(c.req, *store, c.language, c.site);
  } catch (const store::StoreError& e) {
    return StoreFailed(host, c, "nav_swipes", e);
  }
  if (!f.error.empty()) return host.Answer(c, 400, Say(c.language, "nav_swipes"), "", "", f.error);
  c.res.set_header("Content-Disposition", "attachment; filename=\"swipes.csv\"");
  std::string client = c.client;
  // Runs after this handler, on the same thread: the store goes with it. A failure once rows
  // are sent ends the response early (the client sees a cut transfer, never a short success).
  c.res.set_chunked_content_provider(
      "text/csv; charset=utf-8", [&host, store, query = f.query, client](std::size_t, httplib::DataSink& sink) {
        try {
          SinkBuffer buffer(sink);
          std::ostream out(&buffer);
          // For a spreadsheet: a byte-order mark (names in Chinese open as UTF-8) and guarded cells.
          out << report::kUtf8ByteOrderMark;
          host::ExportSwipes(*store, query, report::Format::Csv, out);
          if (!out || !buffer.Flush()) return false;
          sink.done();
          return true;
        } catch (const std::exception& e) {
          host.Log("swipes CSV for " + client + " stopped: " + e.what());
          return false;
        }
      });
}

}  // namespace

std::vector<Route> SwipesRoutes(const PageHost& host, const RecordsSource& records) {
  return {
      {"GET", "/swipes", Access::Page, Action::ViewSwipes, [&host, &records](Context& c) { SwipesPage(host, records, c); }},
      {"GET", "/swipes/csv", Access::Page, Action::ViewSwipes, [&host, &records](Context& c) { SwipesCsv(host, records, c); }},
  };
}

}  // namespace vanto::web
