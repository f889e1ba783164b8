// The OpenAPI 3.0 document of the API, generated from ApiRoutes: every route the dispatcher
// serves is documented with its parameters, scope and answers, and nothing else is.
#include <cctype>
#include <nlohmann/json.hpp>

#include "host/attendance/rules.h"
#include "web/api.h"
#include "web/api_attendance.h"

namespace vanto::web {
namespace {

using nlohmann::json;

json Ref(const std::string& name) { return {{"$ref", "#/components/schemas/" + name}}; }

// The words of a day's status and of its findings, as the rules name them.
json StatusWords() {
  json words = json::array();
  for (int s = 0; s <= static_cast<int>(attendance::Status::kPending); ++s)
    words.push_back(attendance::StatusWord(static_cast<attendance::Status>(s)));
  return words;
}
json FindingWords() {
  json words = json::array();
  for (int f = 0; f <= static_cast<int>(attendance::FindingKind::kSimpleRule); ++f)
    words.push_back(attendance::FindingWord(static_cast<attendance::FindingKind>(f)));
  return words;
}

// A day's status, leave and corrections.
json AttendanceSchemas() {
  json text = {{"type", "string"}}, integer = {{"type", "integer"}};
  json entered = {{"by", {{"type", "string"}, {"description", "who made it: a user, or token:NAME"}}},
                  {"at", {{"type", "string"}, {"format", "date-time"}}},
                  {"withdrawn", {{"type", "boolean"}}},
                  {"withdrawn_by", text},
                  {"withdrawn_at", {{"type", "string"}, {"format", "date-time"}}}};
  json day = {
      {"type", "object"},
      {"required", {"site", "person", "date", "status", "late_minutes", "early_minutes", "worked_minutes",
                    "overtime_minutes"}},
      {"properties",
       {{"site", text},
        {"person", integer},
        {"date", {{"type", "string"}, {"format", "date"}}},
        {"status",
         {{"type", "string"},
          {"enum", StatusWords()},
          {"description", "pending: not judged yet, until every terminal of the site has synced after the day's "
                          "window closed (after the site's pending limit it is judged anyway, with a finding "
                          "naming the terminal)"}}},
        {"shift", {{"type", "string"}, {"description", "the day's shift ('' none)"}}},
        {"late_minutes", integer},
        {"early_minutes", integer},
        {"worked_minutes", integer},
        {"break_minutes", integer},
        {"overtime_minutes", integer},
        {"leave_kind", text},
        {"first_in", {{"type", "string"}, {"nullable", true}, {"description", "YYYY-MM-DD HH:MM:SS in the site's zone"}}},
        {"last_out", {{"type", "string"}, {"nullable", true}, {"description", "YYYY-MM-DD HH:MM:SS in the site's zone"}}},
        {"findings",
         {{"type", "array"},
          {"items",
           {{"type", "object"},
            {"required", {"kind"}},
            {"properties", {{"kind", {{"type", "string"}, {"enum", FindingWords()}}}, {"minutes", integer}, {"value", text}}}}}}},
        {"pending",
         {{"type", "array"},
          {"description", "a pending day only: the terminals it waits for"},
          {"items",
           {{"type", "object"},
            {"required", {"terminal", "since"}},
            {"properties",
             {{"terminal", {{"type", "string"}, {"description", "PORT:TERMINAL"}}},
              {"since",
               {{"type", "string"},
                {"description", "the end of its last complete sync (UTC, YYYY-MM-DDTHH:MM:SSZ; '' never)"}}}}}}}}}}}};
  json correction = {{"type", "object"},
                     {"required", {"id", "person", "kind", "time", "reason", "by", "at", "withdrawn"}},
                     {"properties",
                      {{"id", integer},
                       {"person", integer},
                       {"kind", {{"type", "string"}, {"enum", {"add", "set-aside"}}}},
                       {"time", {{"type", "string"}, {"description", "YYYY-MM-DD HH:MM:SS in the site's zone"}}},
                       {"direction", {{"type", "string"}, {"enum", {"in", "out"}}}},
                       {"port", integer},
                       {"terminal", integer},
                       {"reason", text}}}};
  correction["properties"].update(entered);
  json leave = {{"type", "object"},
                {"required", {"id", "person", "kind", "from", "to", "by", "at", "withdrawn"}},
                {"properties",
                 {{"id", integer},
                  {"person", integer},
                  {"kind", text},
                  {"from", {{"type", "string"}, {"format", "date"}}},
                  {"to", {{"type", "string"}, {"format", "date"}}},
                  {"part_start", {{"type", "string"}, {"description", "HH:MM, a part of one day"}}},
                  {"part_end", {{"type", "string"}, {"description", "HH:MM"}}},
                  {"note", text}}}};
  leave["properties"].update(entered);
  json leave_input = {{"type", "object"},
                      {"required", {"person", "kind", "from"}},
                      {"properties",
                       {{"person", integer},
                        {"kind", {{"type", "string"}, {"description", "one of the site's leave kinds"}}},
                        {"from", {{"type", "string"}, {"format", "date"}}},
                        {"to", {{"type", "string"}, {"format", "date"}, {"description", "none: from"}}},
                        {"part_start", {{"type", "string"}, {"description", "HH:MM, with part_end: a part of one day"}}},
                        {"part_end", {{"type", "string"}, {"description", "HH:MM"}}},
                        {"note", text}}}};
  return {
      {"AttendanceDay", day},
      {"Attendance",
       {{"type", "object"},
        {"required", {"site", "month", "closed", "days"}},
        {"properties",
         {{"site", text},
          {"month", text},
          {"closed", {{"type", "boolean"}, {"description", "true: the days as judged when the month was closed"}}},
          {"closed_by", text},
          {"closed_at", {{"type", "string"}, {"format", "date-time"}}},
          {"days", {{"type", "array"}, {"items", Ref("AttendanceDay")}}}}}}},
      {"Correction", correction},
      {"Corrections",
       {{"type", "object"},
        {"required", {"site", "month", "corrections"}},
        {"properties",
         {{"site", text}, {"month", text}, {"corrections", {{"type", "array"}, {"items", Ref("Correction")}}}}}}},
      {"CorrectionInput",
       {{"type", "object"},
        {"required", {"person", "kind", "time", "reason"}},
        {"properties",
         {{"person", integer},
          {"kind", {{"type", "string"}, {"enum", {"add", "set-aside"}}}},
          {"time", {{"type", "string"}, {"description", "YYYY-MM-DD HH:MM[:SS] in the site's zone"}}},
          {"direction", {{"type", "string"}, {"enum", {"in", "out"}}, {"description", "an added swipe's"}}},
          {"port", {{"type", "integer"}, {"description", "a swipe set aside: its terminal's port"}}},
          {"terminal", {{"type", "integer"}, {"description", "a swipe set aside: its terminal"}}},
          {"reason", text}}}}},
      {"Created", {{"type", "object"}, {"required", {"id"}}, {"properties", {{"id", integer}}}}},
      {"Leave", leave},
      {"LeaveList",
       {{"type", "object"},
        {"required", {"site", "month", "leave"}},
        {"properties", {{"site", text}, {"month", text}, {"leave", {{"type", "array"}, {"items", Ref("Leave")}}}}}}},
      {"LeaveOne", leave_input},
      {"LeaveInput",
       {{"oneOf", json::array({Ref("LeaveOne"), {{"type", "array"}, {"minItems", 1}, {"maxItems", kMaxLeavePerRequest}, {"items", Ref("LeaveOne")}}})},
        {"description", "one leave, or several added all or nothing"}}},
      {"CreatedMany",
       {{"type", "object"}, {"required", {"ids"}}, {"properties", {{"ids", {{"type", "array"}, {"items", integer}}}}}}},
  };
}

json Schemas() {
  json swipe = {{"type", "object"},
                {"required", {"port", "terminal", "person", "time", "occurrence", "downloaded_at", "site"}},
                {"properties",
                 {{"port", {{"type", "integer"}}},
                  {"terminal", {{"type", "integer"}}},
                  {"person", {{"type", "integer"}}},
                  {"time", {{"type", "string"}, {"description", "as the terminal tells it, YYYY-MM-DD HH:MM:SS"}}},
                  {"occurrence", {{"type", "integer"}}},
                  {"downloaded_at", {{"type", "string"}, {"format", "date-time"}}},
                  {"site",
                   {{"type", "string"},
                    {"description", "the site whose terminal delivered it (empty: a swipe of a database that holds no "
                                    "site)"}}},
                  {"identity", {{"type", "integer"}, {"description", "the terminal's serial number"}}},
                  {"generation", {{"type", "integer"}}},
                  {"index", {{"type", "integer"}}},
                  {"epoch", {{"type", "integer"}}},
                  {"employee_code",
                   {{"type", "string"},
                    {"description", "feed only: the employee code of the swipe's person at its site ('' none)"}}},
                  {"withdrawn",
                   {{"type", "boolean"},
                    {"description",
                     "feed only, present and true on an entry that withdraws the swipe of these members (a swipe "
                     "stored twice and folded): a consumer undoes that swipe; the entry has a feed position of its "
                     "own, after the swipe's"}}}}}};
  json page_info = {{"limit", {{"type", "integer"}}},
                    {"max_limit", {{"type", "integer"}}},
                    {"limit_clamped", {{"type", "boolean"}, {"description", "present when the limit asked was larger"}}},
                    {"swipes", {{"type", "array"}, {"items", Ref("Swipe")}}}};
  json feed = {{"type", "object"}, {"required", {"swipes", "next", "limit", "max_limit"}}, {"properties", page_info}};
  feed["properties"]["next"] = {{"type", "string"}, {"description", "the cursor to ask after next time"}};
  json listing = {{"type", "object"}, {"required", {"swipes", "next", "limit", "max_limit"}}, {"properties", page_info}};
  listing["properties"]["next"] = {{"type", "string"}, {"nullable", true}, {"description", "null: the last page"}};
  json person = {{"type", "object"},
                 {"required", {"person", "name"}},
                 {"properties",
                  {{"person", {{"type", "integer"}}},
                   {"name", {{"type", "string"}, {"minLength", 1}}},
                   {"department", {{"type", "string"}}},
                   {"employee_code",
                    {{"type", "string"}, {"description", "ties the same human's numbers at several sites ('' none)"}}}}}};
  json sync_terminal = {
      {"type", "object"},
      {"required", {"port", "terminal", "outcome", "cause_code", "delivered", "added", "quarantined"}},
      {"properties",
       {{"port", {{"type", "integer"}}},
        {"terminal", {{"type", "integer"}, {"description", "0: the port failed before any terminal was reached"}}},
        {"outcome", {{"type", "string"}, {"enum", {"synced", "failed", "cancelled"}}}},
        {"cause_code",
         {{"type", "string"},
          {"nullable", true},
          {"description", "what failed: missing, permission, busy, not-serial, setting, open, line, no-terminal, "
                          "terminal, download, store, host, quarantined, conflict, clone, cancelled; null when synced. "
                          "A code this version does not list may come from a later one"}}},
        {"cause_values",
         {{"type", "object"},
          {"additionalProperties", {{"type", "string"}}},
          {"description", "what the cause names, by name (port, device, terminal, first, last, epoch, count, "
                          "delivered, added, error, reason, clone_serial, clone_elsewhere as port/terminal pairs, "
                          "...); empty when synced or recorded by an earlier version"}}},
        {"delivered", {{"type", "integer"}}},
        {"added", {{"type", "integer"}, {"description", "the new records stored (the name to use)"}}},
        {"new", {{"type", "integer"}, {"description", "the same as added: the name `vanto sync --json` has always used"}}},
        {"quarantined", {{"type", "integer"}}},
        {"held", {{"type", "integer"}, {"description", "records on the terminal (0: not told)"}}},
        {"capacity", {{"type", "integer"}, {"description", "records it holds at most (0: not told)"}}},
        {"clock", {{"type", "string"}, {"enum", {"none", "read", "set", "invalid"}}}},
        {"clock_drift", {{"type", "integer"}, {"description", "seconds ahead of the host (negative: behind)"}}}}}};
  json sync = {
      {"type", "object"},
      {"required", {"id", "state", "started_at", "started_by", "who"}},
      {"properties",
       {{"id", {{"type", "integer"}, {"nullable", true}}},
        {"state",
         {{"type", "string"},
          {"enum", {"running", "finished", "unfinished"}},
          {"description", "unfinished: recorded without an end (running elsewhere, or its process stopped)"}}},
        {"started_at", {{"type", "string"}, {"format", "date-time"}}},
        {"ended_at", {{"type", "string"}, {"format", "date-time"}, {"nullable", true}}},
        {"started_by", {{"type", "string"}, {"enum", {"command", "timer", "console", "schedule"}}}},
        {"who", {{"type", "string"}, {"description", "the user, or token:NAME for a token"}}},
        {"ports", {{"type", "array"}, {"items", {{"type", "integer"}}}}},
        {"progress",
         {{"type", "array"},
          {"description", "while running: each port begun"},
          {"items",
           {{"type", "object"},
            {"required", {"port", "stage"}},
            {"properties",
             {{"port", {{"type", "integer"}}},
              {"stage", {{"type", "string"}, {"enum", {"scanning", "starting", "reading", "done"}}}},
              {"first", {{"type", "integer"}}},
              {"last", {{"type", "integer"}}},
              {"terminal", {{"type", "integer"}}},
              {"index", {{"type", "integer"}}},
              {"count", {{"type", "integer"}}},
              {"records", {{"type", "integer"}}},
              {"rate", {{"type", "number"}}}}}}}}},
        {"terminals", {{"type", "array"}, {"items", Ref("SyncTerminal")}}},
        {"counts",
         {{"type", "object"},
          {"properties",
           {{"terminals", {{"type", "integer"}}},
            {"synced", {{"type", "integer"}}},
            {"failed", {{"type", "integer"}}},
            {"cancelled", {{"type", "integer"}}},
            {"delivered", {{"type", "integer"}}},
            {"added", {{"type", "integer"}, {"description", "the new records stored (the name to use)"}}},
            {"new", {{"type", "integer"}, {"description", "the same as added"}}},
            {"quarantined", {{"type", "integer"}}}}}}}}}};
  json report_day = {{"type", "object"},
                     {"required", {"day", "first", "last", "swipes", "span_minutes", "late"}},
                     {"properties",
                      {{"day", {{"type", "string"}, {"format", "date"}, {"description", "the working day"}}},
                       {"first", {{"type", "string"}, {"description", "YYYY-MM-DD HH:MM"}}},
                       {"last", {{"type", "string"}, {"description", "YYYY-MM-DD HH:MM"}}},
                       {"swipes", {{"type", "integer"}, {"description", "distinct minutes"}}},
                       {"span_minutes", {{"type", "integer"}}},
                       {"late", {{"type", "boolean"}}},
                       {"status",
                        {{"type", "string"},
                         {"nullable", true},
                         {"enum", StatusWords()},
                         {"description", "the day as the attendance rules judge the person's day of this date "
                                         "(dated by the start of its shift): pending until every terminal has "
                                         "synced after the day; null when the database predates attendance"}}},
                       {"late_minutes", {{"type", "integer"}, {"nullable", true}}},
                       {"early_minutes", {{"type", "integer"}, {"nullable", true}}},
                       {"worked_minutes", {{"type", "integer"}, {"nullable", true}}},
                       {"overtime_minutes", {{"type", "integer"}, {"nullable", true}}}}}};
  json month_report = {
      {"type", "object"},
      {"required", {"month", "first_day", "last_day", "day_starts", "late_after", "people"}},
      {"properties",
       {{"month", {{"type", "string"}}},
        {"first_day", {{"type", "string"}, {"format", "date"}}},
        {"last_day", {{"type", "string"}, {"format", "date"}}},
        {"day_starts", {{"type", "string"}, {"description", "H:MM, when a working day starts"}}},
        {"late_after", {{"type", "string"}, {"nullable", true}}},
        {"people",
         {{"type", "array"},
          {"items",
           {{"type", "object"},
            {"required", {"person", "name", "department", "days_present", "total_minutes", "days"}},
            {"properties",
             {{"person", {{"type", "integer"}}},
              {"name", {{"type", "string"}, {"nullable", true}}},
              {"employee_code", {{"type", "string"}}},
              {"department", {{"type", "string"}}},
              {"days_present", {{"type", "integer"}}},
              {"total_minutes", {{"type", "integer"}}},
              {"days", {{"type", "array"}, {"items", report_day}, {"description", "the working days with swipes"}}},
              {"statuses",
               {{"type", "object"},
                {"nullable", true},
                {"additionalProperties", {{"type", "integer"}}},
                {"description", "how many days of the month have each status (a status word, as the days' "
                                "'status'), over every day the rules judge, days without swipes included "
                                "(absent, leave, holiday, rest, pending ...); a status no day has is left out; "
                                "null when the database predates attendance"}}}}}}}}}}}};
  json enrolment_result = {
      {"type", "object"},
      {"required", {"port", "terminal", "outcome"}},
      {"properties",
       {{"port", {{"type", "integer"}}},
        {"terminal", {{"type", "integer"}}},
        {"outcome",
         {{"type", "string"},
          {"enum", {"done", "refused", "not-answering", "none-stored", "not-audited", "port-failed", "failed", "not-copied"}}}},
        {"kind", {{"type", "string"}, {"enum", {"fingerprint", "password", "other", "unknown"}}}},
        {"step", {{"type", "string"}, {"enum", {"backup", "scan", "write"}}}}}}};
  json schemas = {
      {"Problem",
       {{"type", "object"},
        {"required", {"type", "title", "status"}},
        {"properties",
         {{"type", {{"type", "string"}}},
          {"title", {{"type", "string"}}},
          {"status", {{"type", "integer"}}},
          {"detail", {{"type", "string"}}},
          {"field", {{"type", "string"}, {"description", "the parameter or body field at fault"}}}}}}},
      {"Swipe", swipe},
      {"FeedPage", feed},
      {"SwipePage", listing},
      {"Person", person},
      {"People",
       {{"type", "object"}, {"required", {"people"}}, {"properties", {{"people", {{"type", "array"}, {"items", Ref("Person")}}}}}}},
      {"PeopleInput",
       {{"type", "object"},
        {"required", {"people"}},
        {"properties", {{"people", {{"type", "array"}, {"minItems", 1}, {"items", Ref("Person")}}}}}}},
      {"PeopleResult",
       {{"type", "object"},
        {"required", {"added", "updated", "unchanged"}},
        {"properties",
         {{"added", {{"type", "integer"}}}, {"updated", {{"type", "integer"}}}, {"unchanged", {{"type", "integer"}}}}}}},
      {"Terminals",
       {{"type", "object"},
        {"required", {"ports"}},
        {"properties",
         {{"ports",
           {{"type", "array"},
            {"items",
             {{"type", "object"},
              {"properties",
               {{"port", {{"type", "integer"}}},
                {"device", {{"type", "string"}}},
                {"terminals", {{"type", "array"}, {"items", {{"type", "integer"}}}}}}}}}}}}}}},
      {"OpenApi", {{"type", "object"}}},
      {"SyncTerminal", sync_terminal},
      {"Sync", sync},
      {"SyncPage",
       {{"type", "object"},
        {"required", {"syncs", "next", "limit", "max_limit"}},
        {"properties",
         {{"syncs", {{"type", "array"}, {"items", Ref("Sync")}}},
          {"next", {{"type", "integer"}, {"nullable", true}, {"description", "ask with before=next for older syncs; null: the last page"}}},
          {"limit", {{"type", "integer"}}},
          {"max_limit", {{"type", "integer"}}},
          {"limit_clamped", {{"type", "boolean"}}}}}}},
      {"SyncStarted",
       {{"type", "object"},
        {"required", {"id", "state", "started_at"}},
        {"properties",
         {{"id", {{"type", "integer"}, {"nullable", true}, {"description", "null: the sync runs but could not be recorded"}}},
          {"state", {{"type", "string"}, {"enum", {"running"}}}},
          {"started_at", {{"type", "string"}, {"format", "date-time"}}},
          {"location", {{"type", "string"}}},
          {"recorded", {{"type", "boolean"}}}}}}},
      {"MonthReport", month_report},
      {"Enrolments",
       {{"type", "object"},
        {"required", {"enrolments"}},
        {"properties",
         {{"enrolments",
           {{"type", "array"},
            {"items",
             {{"type", "object"},
              {"required", {"person", "kind", "kind_number", "terminal"}},
              {"properties",
               {{"person", {{"type", "integer"}, {"nullable", true}}},
                {"kind", {{"type", "string"}, {"enum", {"fingerprint", "password", "other", "unknown"}}}},
                {"kind_number", {{"type", "integer"}, {"nullable", true}}},
                {"terminal", {{"type", "integer"}, {"nullable", true}, {"description", "the terminal it was backed up from"}}}}}}}}}}}}},
      {"TerminalRef",
       {{"type", "object"},
        {"required", {"port", "terminal"}},
        {"properties", {{"port", {{"type", "integer"}}}, {"terminal", {{"type", "integer"}}}}}}},
      {"EnrolmentCopyInput",
       {{"type", "object"},
        {"required", {"person", "to"}},
        {"properties",
         {{"person", {{"type", "integer"}, {"minimum", -32768}, {"maximum", 32767}}},
          {"from", {{"allOf", json::array({Ref("TerminalRef")})}, {"description", "back up from this terminal first (else the stored enrolment)"}}},
          {"to", {{"type", "array"}, {"minItems", 1}, {"maxItems", 64}, {"items", Ref("TerminalRef")}}}}}}},
      {"EnrolmentResult", enrolment_result},
      {"EnrolmentCopyResult",
       {{"type", "object"},
        {"required", {"person", "done", "writes"}},
        {"properties",
         {{"person", {{"type", "integer"}}},
          {"done", {{"type", "boolean"}, {"description", "the backup (if any) and every write were done"}}},
          {"backup", Ref("EnrolmentResult")},
          {"writes", {{"type", "array"}, {"items", Ref("EnrolmentResult")}}}}}}},
  };
  schemas.update(AttendanceSchemas());
  return schemas;
}

std::string Lower(const std::string& text) {
  std::string lower;
  for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

json ProblemAnswer(const std::string& description) {
  return {{"description", description}, {"content", {{"application/problem+json", {{"schema", Ref("Problem")}}}}}};
}

std::string OperationId(const ApiRoute& r) {
  std::string id = Lower(r.method);
  bool upper = true;
  for (char c : r.path.substr(std::string("/api/v1/").size())) {
    if (c == '{') {  // a path parameter: "By" and its name
      id += "By";
      upper = true;
      continue;
    }
    if (c == '/' || c == '.' || c == '_' || c == '}') {
      upper = true;
      continue;
    }
    id += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    upper = false;
  }
  return id;
}

}  // namespace

std::string ApiServer::OpenApiDocument() {
  json paths = json::object();
  for (const ApiRoute& r : ApiRoutes()) {
    json op = {{"operationId", OperationId(r)}, {"summary", r.summary}};
    json params = json::array();
    for (const ApiParameter& p : r.query)
      params.push_back({{"name", p.name}, {"in", p.in_path ? "path" : "query"}, {"required", p.in_path || p.required},
                        {"description", p.description}, {"schema", {{"type", p.type}}}});
    if (!params.empty()) op["parameters"] = params;
    if (!r.request_schema.empty())
      op["requestBody"] = {{"required", true}, {"content", {{"application/json", {{"schema", Ref(r.request_schema)}}}}}};
    if (r.success == 204) {
      op["responses"]["204"] = {{"description", "done: no content"}};
    } else {
      op["responses"][std::to_string(r.success)] = {
          {"description", r.success == 202 ? "started" : r.success == 201 ? "made" : "done"},
          {"content", {{r.content_type, {{"schema", r.response_schema.empty() ? json{{"type", "string"}}
                                                                                 : Ref(r.response_schema)}}}}}};
    }
    if (r.success == 202)
      op["responses"]["202"]["headers"] = {
          {"Location", {{"description", "where to follow it (when it was recorded)"}, {"schema", {{"type", "string"}}}}}};
    if (r.scope.empty()) {
      op["security"] = json::array();
      for (const auto& [status, meaning] : r.refusals)
        op["responses"][std::to_string(status)] = {{"description", meaning}};
    } else {
      op["description"] = "Needs a token with the scope " + r.scope + ".";
      op["x-scope"] = r.scope;
      op["security"] = json::array({{{"bearer", json::array()}}});
      if (!r.query.empty() || !r.request_schema.empty()) op["responses"]["400"] = ProblemAnswer("a parameter is malformed");
      op["responses"]["401"] = ProblemAnswer("no token, or one that is not known");
      op["responses"]["403"] = ProblemAnswer("the token lacks the scope");
      op["responses"]["429"] = ProblemAnswer("too many requests: see Retry-After");
      op["responses"]["503"] = ProblemAnswer("the database failed");
      for (const auto& [status, meaning] : r.refusals) op["responses"][std::to_string(status)] = ProblemAnswer(meaning);
    }
    paths[r.path][Lower(r.method)] = op;
  }
  json doc = {
      {"openapi", "3.0.3"},
      {"info",
       {{"title", "vanto API"},
        {"version", "1"},
        {"description",
         "Version 1 only grows: every field a program reads keeps its name and meaning; new fields are added beside "
         "the old ones, never in their place; where two names say the same (a sync's \"added\" and \"new\"), both stay. Results are codes with values (cause_code, cause_values; outcome, "
         "state, stage); the words a person reads are the console's, in the reader's language. The command line's "
         "'vanto sync --json' follows the same rule: its 'new' is the API's 'added'; 'cause', 'warning' and "
         "'conflicts' are words, 'cause_code', 'cause_values', 'warnings' and 'conflict_details' the codes and values "
         "beside them: a program reads the codes."}}},
      {"servers", json::array({{{"url", "/"}}})},
      {"paths", paths},
      {"components",
       {{"schemas", Schemas()},
        {"securitySchemes", {{"bearer", {{"type", "http"}, {"scheme", "bearer"}}}}}}},
  };
  return doc.dump(2);
}

}  // namespace vanto::web
