// The console's HTTP(S) server with doors that hold: a connection is served by its own thread
// (cpp-httplib's request handling), but a request must arrive within deadlines (its line and
// headers, then its body), the connections one client address holds open are capped, and the
// threads grow with the open connections up to a bound instead of making a new one wait behind
// slow ones. Internal to web/.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/console_server.h"

namespace vanto::web {

// A server for `limits` (HTTPS with the PEM certificate and key when both are given; throws
// std::runtime_error naming them when they cannot be used). `exempt`: addresses (trusted proxies)
// whose connections are not capped. `log` gets one line when an address first reaches its cap.
std::unique_ptr<httplib::Server> MakeGuardedServer(const ConnectionLimits& limits, const std::string& tls_cert,
                                                   const std::string& tls_key, std::vector<std::string> exempt,
                                                   std::function<void(const std::string&)> log);

}  // namespace vanto::web
