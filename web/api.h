// The HTTP API under /api/v1 for programs: bearer tokens with scopes (accounts/api_tokens.h),
// JSON answers, errors as problem details (application/problem+json), and an OpenAPI document
// generated from the same route table that dispatches, so the two cannot drift. Independent of
// the HTTP server: ApiServer::Handle takes a parsed request (MountApi puts it on the console's
// server).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/api_tokens.h"
#include "host/metrics.h"
#include "host/site_choice.h"

namespace httplib {
class Server;
}
namespace vanto::host {
class SyncJobs;
}
namespace vanto::db {
class Database;
}
namespace vanto::site {
struct Site;
}

namespace vanto::web {

class RequestCounters;  // web/metrics.h

struct ApiRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // without the query
  std::multimap<std::string, std::string> params;  // the query's, decoded
  std::string authorization;  // the Authorization header
  std::string content_type;
  std::string body;
  std::string origin;  // the client's address, for the audit trail
};

struct ApiResponse {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// A port of the site and its terminals, as /api/v1/terminals lists them.
struct ApiPort {
  int number = 0;
  std::string device;
  std::vector<int> terminals;
};

struct ApiOptions {
  std::string database;            // the site's database (an SQLite path or a URL)
  // The process's handle over it (null: opened at the first request that needs it).
  std::shared_ptr<db::Database> db;
  std::vector<ApiPort> ports;      // the site's ports
  std::size_t default_limit = 100; // a page's size when none is asked for
  std::size_t max_limit = 1000;    // larger asks are clamped (and the answer says so)
  std::chrono::milliseconds lock_timeout{5000};  // the database's, for the terminal actions
  // The site's syncs, which also gate the actions on terminals (not owned; null: the server has
  // no site, and starting a sync or copying an enrolment is refused with 409).
  host::SyncJobs* sync = nullptr;
  // How long an enrolment copy waits for a sync or another action holding its ports (409 after).
  std::chrono::milliseconds terminal_wait{10000};
  // The month report's working day: its start and the time after which a first swipe is late
  // (minutes after midnight).
  int day_starts = 0;
  std::optional<int> late_after;
  // The serving site's swipes only (host::SiteChoice::filter; none: every swipe).
  std::optional<std::string> site;
  // Attendance: the serving site as chosen (its rows' name; '' a database of no site) and its
  // site file (not owned; null: none: the host's zone, days from 00:00). Another site asked for
  // with ?site= is judged without a site file.
  host::SiteChoice served;
  const site::Site* site_file = nullptr;
  // Receives what failed beside an answer (an audit row not written, a port not released); may be empty.
  std::function<void(const std::string&)> log;
  // GET /metrics: the terminals and push endpoints of the site, and the console's request counters
  // (not owned; null: none are written).
  host::FigureScope figures;
  const RequestCounters* requests = nullptr;
  // GET /healthz: how long it waits for the database to answer before it says 503.
  std::chrono::milliseconds health_bound{2000};
};

// One route: what OpenAPI documents and the dispatcher uses.
struct ApiParameter {
  std::string name;
  std::string type;  // "string" or "integer"
  std::string description;
  bool in_path = false;   // a "{name}" segment of the route's path (else a query parameter)
  bool required = false;  // a query parameter that must be given (a path's always is)
};
struct ApiRoute {
  std::string method;  // "GET", "POST" or "DELETE"
  std::string path;
  std::string scope;   // empty: no token needed
  std::string summary;
  std::vector<ApiParameter> query;
  std::string request_schema;   // a component's name, or empty
  std::string response_schema;  // a component's name
  int success = 200;            // the status of a successful answer
  // The refusals besides those of every route (400, 401, 403, 429, 503), with what they mean.
  std::vector<std::pair<int, std::string>> refusals = {};
  // A successful answer's type (other than JSON: its body is text, and response_schema is empty).
  std::string content_type = "application/json";
};
const std::vector<ApiRoute>& ApiRoutes();

class ApiServer {
 public:
  ApiServer(ApiOptions options, accounts::Tokens& tokens);
  ~ApiServer();
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Answers one request; never throws.
  ApiResponse Handle(const ApiRequest& request);
  // The OpenAPI 3.0 document of ApiRoutes.
  static std::string OpenApiDocument();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Routes every /api/v1 request of `server` to `api`, and /metrics and /healthz.
void MountApi(httplib::Server& server, ApiServer& api);

}  // namespace vanto::web
