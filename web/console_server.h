// The web console's HTTP(S) server: every route registered against the role matrix, sessions by
// cookie, a CSRF token on every state-changing request, security headers on every answer, and
// bounded bodies. Pages are rendered on the server; the host library's pages are placeholders
// until it is there.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "web/records.h"
#include "web/times.h"

namespace vanto::host {
class SyncJobs;
}

namespace vanto::web {

class ApiServer;        // web/api.h
class RequestCounters;  // web/metrics.h

class WebError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The console's doors: what one client may hold open and how long it may take. A slow or greedy
// client is closed or refused; it never makes the others wait. docs/web-console.md lists these
// with their values.
struct ConnectionLimits {
  std::chrono::milliseconds header{10000};  // a request's line and headers arrive within this
  std::chrono::milliseconds body{30000};    // its body within this once its headers are in
  std::chrono::seconds keep_alive{5};       // a kept-alive connection's next request begins within this
  std::size_t keep_alive_requests = 10000;  // requests one kept-alive connection serves before it is closed
  std::chrono::seconds io{10};              // each write waits at most this for the client
  std::size_t per_address = 64;             // connections open at once from one address (not a trusted proxy)
  std::size_t threads = 512;                // connections served at once (more wait for a thread)
};

// The dashboard's progress streams: held only while a sync runs (else one event answers, and the
// browser asks again after `poll`), a few per session and per user, each ended when idle.
struct StreamLimits {
  std::size_t per_session = 2;
  std::size_t per_user = 4;
  std::size_t total = 32;
  std::chrono::seconds idle{30};   // nothing new this long: the stream ends (the browser reconnects)
  std::chrono::seconds life{300};  // no stream lasts longer
  std::chrono::seconds poll{10};   // how soon a browser without a held stream asks again
};

// Refused actions (a role without the right, a form without its token) in the audit trail: one row
// each up to `per_minute` a minute from one session and from one address (`total_per_minute` from
// all); beyond, they are counted and the count is written as one row when the minute ends.
struct RefusalLimits {
  std::size_t per_minute = 10;
  std::size_t total_per_minute = 100;
};

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;                  // 0: any free port (Bind answers which)
  std::string tls_cert, tls_key;    // both or neither: HTTPS when given
  // Addresses of reverse proxies whose X-Forwarded-For and X-Forwarded-Proto are believed.
  std::vector<std::string> trusted_proxies;
  std::size_t max_body = 1 << 20;   // larger request bodies are refused (413)
  ConnectionLimits connections;
  StreamLimits streams;
  RefusalLimits refusals;
  // The site's syncs ("Sync now", progress, the dashboard's and Terminals page's data); null
  // when the console runs without a site (those pages say so). Stopped before the server is
  // destroyed (a sync's end is reported through the server's pages).
  host::SyncJobs* sync = nullptr;
  // The site's records the Swipes, People and Report pages show (no database: they say so).
  RecordsSource records;
  // How long an action on terminals (the Enrolments page's) waits for a sync or another such
  // action holding its port before it answers that the port is busy.
  std::chrono::milliseconds terminal_wait{10000};
  // Receives one line per request (method, path, status, client) and every failure; may be empty.
  std::function<void(const std::string&)> log;
  // The HTTP API under /api/v1, when it is served (not owned).
  ApiServer* api = nullptr;
  // The site's time zone, in which the pages show every time (UTC unless given).
  ShownTimes times;
  // Counts every answered request by route group and status class, with its latency (not owned;
  // null: nothing is counted).
  RequestCounters* requests = nullptr;
};

// "HOST:PORT", "[V6]:PORT" or "PORT" (on 127.0.0.1); throws WebError for anything else.
void ParseListen(const std::string& text, ServerOptions& options);

class ConsoleServer {
 public:
  ConsoleServer(ServerOptions options, accounts::Accounts& accounts);
  ~ConsoleServer();
  ConsoleServer(const ConsoleServer&) = delete;
  ConsoleServer& operator=(const ConsoleServer&) = delete;

  // Opens the listening socket; answers the port. Throws WebError naming the address or the
  // certificate that failed.
  int Bind();
  // Serves until Stop (from any thread); returns at once when Bind did not succeed.
  void Run();
  void Stop();
  // Whether Run is serving (for a caller waiting for it to start).
  bool running() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vanto::web
