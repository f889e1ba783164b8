#include "web/enrolments_page.h"

#include <map>

#include "host/attendance_data.h"
#include "web/templates.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;

constexpr const char* kEnrolmentsTemplate = R"html(<p class="meta" id="host-copy">{{t.enrolments_host_copy}}</p>
{{#has_rows}}<table id="enrolments">
<thead><tr><th>{{t.person}}</th><th>{{t.person_name}}</th><th>{{t.kind}}</th><th>{{t.terminal}}</th></tr></thead>
<tbody>
{{#rows}}<tr class="enrolment" data-person="{{person}}"><td>{{person}}</td><td>{{name}}</td><td>{{kind}}</td><td>{{terminal}}</td></tr>
{{/rows}}</tbody>
</table>{{/has_rows}}
{{^has_rows}}<p id="no-enrolments">{{t.no_enrolments}}</p>{{/has_rows}}
)html";

std::string KindWord(Language language, const std::optional<std::int64_t>& kind) {
  if (!kind) return "";
  if (*kind == 0) return Say(language, "kind_fingerprint");
  if (*kind == 10) return Say(language, "kind_password");
  return Say(language, "kind_other") + " " + std::to_string(*kind);
}

void EnrolmentsPage(const PageHost& host, const RecordsSource& records, Context& c) {
  if (records.database.empty()) return host.Refuse(c, 503, "no_database");
  std::vector<store::EnrolmentEntry> entries;
  std::map<std::int32_t, std::string> names;
  try {
    std::unique_ptr<store::SwipeStore> store = OpenRecords(records);
    entries = store->Enrolments();
    if (host::HoldsPeople(*store))
      for (store::PersonName& p : store->People()) names.emplace(p.person, std::move(p.name));
  } catch (const store::StoreError& e) {
    host.Log("enrolments page for " + c.client + ": " + e.what());
    return host.Answer(c, 503, Say(c.language, "nav_enrolments"), "", "",
                       Say(c.language, "db_failed") + " " + e.what());
  }
  data d;
  d.set("t", Words(c.language));
  list rows;
  for (const store::EnrolmentEntry& e : entries) {
    data row;
    row.set("person", e.person ? std::to_string(*e.person) : std::string());
    auto name = e.person ? names.find(*e.person) : names.end();
    row.set("name", name != names.end() ? name->second : std::string());
    row.set("kind", KindWord(c.language, e.kind));
    row.set("terminal", e.terminal ? std::to_string(*e.terminal) : std::string());
    rows.push_back(row);
  }
  d.set("has_rows", !entries.empty());
  d.set("rows", rows);
  host.Answer(c, 200, Say(c.language, "nav_enrolments"), RenderText("enrolments", kEnrolmentsTemplate, d));
}

}  // namespace

std::vector<Route> EnrolmentsRoutes(const PageHost& host, const RecordsSource& records) {
  return {{"GET", "/enrolments", Access::Page, Action::ViewEnrolments,
           [&host, &records](Context& c) { EnrolmentsPage(host, records, c); }}};
}

}  // namespace vanto::web
