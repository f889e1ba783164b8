// The console's figures for a monitor: its requests per route group and status class with their
// latency (counted in memory, sharded relaxed atomics: nothing measurable per request), the
// Prometheus text format they and the site's figures (host/metrics.h) are written in, and the
// bounded check behind /healthz.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "host/metrics.h"

namespace vanto::web {

// What a request was for, as the figures group them.
enum class RouteGroup { Page, Form, Login, Static, Events, Api, Metrics, Health, Other };
inline constexpr std::size_t kRouteGroups = static_cast<std::size_t>(RouteGroup::Other) + 1;
const char* RouteGroupName(RouteGroup group);  // "page", "form", ...

// The request's group from its method and path; `console_route`: whether the path is one of the
// console's own routes (pages and forms).
RouteGroup GroupOf(std::string_view method, std::string_view path, bool console_route);

// The latency histogram's upper bounds, in seconds (then +Inf).
inline constexpr std::array<double, 12> kLatencyBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                          0.1,   0.25,   0.5,   1,    2.5,   10};

class RequestCounters {
 public:
  RequestCounters();
  ~RequestCounters();
  RequestCounters(const RequestCounters&) = delete;
  RequestCounters& operator=(const RequestCounters&) = delete;

  // One answered request (status 100..599; others count as class "other"); `took`: from its
  // routing to its answer (none: it never reached routing, a malformed request).
  void Count(RouteGroup group, int status, std::optional<std::chrono::nanoseconds> took);

  struct Totals {
    std::array<std::array<std::uint64_t, 6>, kRouteGroups> requests{};  // by group, class 1xx..5xx, other
    std::array<std::array<std::uint64_t, kLatencyBounds.size() + 1>, kRouteGroups> buckets{};  // not cumulative
    std::array<std::uint64_t, kRouteGroups> timed{};
    std::array<std::uint64_t, kRouteGroups> nanoseconds{};
  };
  Totals Read() const;

 private:
  struct Shard;
  std::unique_ptr<Shard[]> shards_;
};

// The Prometheus text exposition format (version 0.0.4): each family's HELP and TYPE once, then
// its samples; label values and help texts escaped as the format requires.
class ExpositionWriter {
 public:
  using Labels = std::vector<std::pair<std::string, std::string>>;
  void Family(const std::string& name, const std::string& type, const std::string& help);
  void Sample(const std::string& name, const Labels& labels, double value);
  void Sample(const std::string& name, const Labels& labels, std::int64_t value);
  const std::string& text() const { return text_; }

 private:
  void Line(const std::string& name, const Labels& labels, const std::string& value);
  std::string text_;
};
inline constexpr char kExpositionType[] = "text/plain; version=0.0.4; charset=utf-8";

// The whole page of /metrics.
std::string MetricsText(const host::SiteFigures& figures, const RequestCounters::Totals& requests);

// /healthz: whether the database answers within `bound`. One check runs at a time, on the
// checker's own thread (a database that hangs holds no request past the bound); requests
// meanwhile wait for it. The thread is started by the first check and joined when this ends (a
// check under way ends within the database's own bounds: its lock timeout, the server's).
class HealthCheck {
 public:
  explicit HealthCheck(std::chrono::milliseconds bound) : bound_(bound) {}
  ~HealthCheck();
  HealthCheck(const HealthCheck&) = delete;
  HealthCheck& operator=(const HealthCheck&) = delete;
  // `check` throws when the database does not answer; it runs on the checker's thread, so it
  // owns what it uses (it may still run when the caller has stopped waiting).
  bool Healthy(const std::function<void()>& check);

 private:
  void Run();
  std::chrono::milliseconds bound_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::function<void()> pending_;
  bool running_ = false, stopping_ = false, healthy_ = false;
  std::uint64_t started_ = 0, finished_ = 0;
  std::thread thread_;  // last: started after everything it reads
};

}  // namespace vanto::web
