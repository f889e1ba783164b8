// The OpenAPI 3.0 document of the API, generated from ApiRoutes: every route the dispatcher
// serves is documented with its parameters, scope and answers, and nothing else is.
#include <nlohmann/json.hpp>

#include "web/api.h"

namespace vanto::web {
namespace {

using nlohmann::json;

json Ref(const std::string& name) { return {{"$ref", "#/components/schemas/" + name}}; }

json Schemas() {
  json swipe = {{"type", "object"},
                {"required", {"port", "terminal", "person", "time", "occurrence", "downloaded_at"}},
                {"properties",
                 {{"port", {{"type", "integer"}}},
                  {"terminal", {{"type", "integer"}}},
                  {"person", {{"type", "integer"}}},
                  {"time", {{"type", "string"}, {"description", "as the terminal tells it, YYYY-MM-DD HH:MM:SS"}}},
                  {"occurrence", {{"type", "integer"}}},
                  {"downloaded_at", {{"type", "string"}, {"format", "date-time"}}},
                  {"identity", {{"type", "integer"}, {"description", "the terminal's serial number"}}},
                  {"generation", {{"type", "integer"}}},
                  {"index", {{"type", "integer"}}},
                  {"epoch", {{"type", "integer"}}}}}};
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
                   {"department", {{"type", "string"}}}}}};
  return {
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
  };
}

json ProblemAnswer(const std::string& description) {
  return {{"description", description}, {"content", {{"application/problem+json", {{"schema", Ref("Problem")}}}}}};
}

std::string OperationId(const ApiRoute& r) {
  std::string id = r.method == "GET" ? "get" : "post";
  bool upper = true;
  for (char c : r.path.substr(std::string("/api/v1/").size())) {
    if (c == '/' || c == '.' || c == '_') {
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
      params.push_back({{"name", p.name}, {"in", "query"}, {"required", false}, {"description", p.description},
                        {"schema", {{"type", p.type}}}});
    if (!params.empty()) op["parameters"] = params;
    if (!r.request_schema.empty())
      op["requestBody"] = {{"required", true}, {"content", {{"application/json", {{"schema", Ref(r.request_schema)}}}}}};
    op["responses"]["200"] = {{"description", "done"},
                              {"content", {{"application/json", {{"schema", Ref(r.response_schema)}}}}}};
    if (r.scope.empty()) {
      op["security"] = json::array();
    } else {
      op["description"] = "Needs a token with the scope " + r.scope + ".";
      op["x-scope"] = r.scope;
      op["security"] = json::array({{{"bearer", json::array()}}});
      if (!r.query.empty() || !r.request_schema.empty()) op["responses"]["400"] = ProblemAnswer("a parameter is malformed");
      op["responses"]["401"] = ProblemAnswer("no token, or one that is not known");
      op["responses"]["403"] = ProblemAnswer("the token lacks the scope");
      op["responses"]["429"] = ProblemAnswer("too many requests: see Retry-After");
      op["responses"]["503"] = ProblemAnswer("the database failed");
    }
    std::string method = r.method == "GET" ? "get" : "post";
    paths[r.path][method] = op;
  }
  json doc = {
      {"openapi", "3.0.3"},
      {"info", {{"title", "vanto API"}, {"version", "1"}}},
      {"servers", json::array({{{"url", "/"}}})},
      {"paths", paths},
      {"components",
       {{"schemas", Schemas()},
        {"securitySchemes", {{"bearer", {{"type", "http"}, {"scheme", "bearer"}}}}}}},
  };
  return doc.dump(2);
}

}  // namespace vanto::web
