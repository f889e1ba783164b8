// The API on the console's HTTP server: each /api/v1 request parsed into an ApiRequest and
// answered by ApiServer.
#include <httplib.h>

#include "web/api.h"

namespace vanto::web {

void MountApi(httplib::Server& server, ApiServer& api) {
  auto handler = [&api](const httplib::Request& req, httplib::Response& res) {
    ApiRequest r;
    r.method = req.method;
    r.path = req.path;
    for (const auto& [name, value] : req.params) r.params.emplace(name, value);
    r.authorization = req.get_header_value("Authorization");
    r.content_type = req.get_header_value("Content-Type");
    r.body = req.body;
    r.origin = req.remote_addr;
    ApiResponse answer = api.Handle(r);
    res.status = answer.status;
    for (const auto& [name, value] : answer.headers) res.set_header(name, value);
    res.set_header("Cache-Control", "no-store");
    res.set_content(answer.body, answer.content_type);
  };
  static const char* kPattern = R"(/api/v1/.*)";
  server.Get(kPattern, handler);
  server.Post(kPattern, handler);
  server.Put(kPattern, handler);
  server.Delete(kPattern, handler);
  server.Patch(kPattern, handler);
  // The monitor's routes, outside the versioned API (where monitors look for them), with its rules.
  for (const char* path : {"/metrics", "/healthz"}) {
    server.Get(path, handler);
    server.Post(path, handler);
  }
}

}  // namespace vanto::web
