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

class ApiServer;  // web/api.h

class WebError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Sized for the benchmark's 50 clients plus open progress streams.
inline constexpr std::size_t kDefaultThreads = 50 + 16;

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;                  // 0: any free port (Bind answers which)
  std::string tls_cert, tls_key;    // both or neither: HTTPS when given
  // Addresses of reverse proxies whose X-Forwarded-For and X-Forwarded-Proto are believed.
  std::vector<std::string> trusted_proxies;
  std::size_t max_body = 1 << 20;   // larger request bodies are refused (413)
  std::size_t threads = kDefaultThreads;
  std::chrono::seconds io_timeout{10};
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
