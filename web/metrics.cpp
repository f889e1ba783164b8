#include "web/metrics.h"

#include <charconv>
#include <cmath>
#include <system_error>
#include <functional>
#include <thread>

namespace vanto::web {
namespace {

constexpr std::size_t kShards = 16;
constexpr std::size_t kBuckets = kLatencyBounds.size() + 1;
constexpr const char* kClasses[] = {"1xx", "2xx", "3xx", "4xx", "5xx", "other"};

std::size_t ClassOf(int status) { return status >= 100 && status <= 599 ? static_cast<std::size_t>(status / 100 - 1) : 5; }

// This thread's shard: threads spread over the shards by their id, so two request threads rarely
// touch one cache line.
std::size_t ShardOfThread() {
  thread_local const std::size_t shard = std::hash<std::thread::id>{}(std::this_thread::get_id()) % kShards;
  return shard;
}

// The shortest text that reads back as the same value.
std::string Number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (std::isnan(value)) return "NaN";
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return ec == std::errc() ? std::string(text, end) : "NaN";
}

// A label value: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

// A help text: backslash and line feed escaped.
std::string HelpText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

// The one place a terminal's labels are made.
ExpositionWriter::Labels TerminalLabels(const host::TerminalFigures& t) {
  ExpositionWriter::Labels labels = {
      {"site", t.site}, {"port", std::to_string(t.port)}, {"terminal", std::to_string(t.terminal)}};
  if (t.identity) labels.push_back({"identity", std::to_string(*t.identity)});
  return labels;
}

}  // namespace

const char* RouteGroupName(RouteGroup group) {
  switch (group) {
    case RouteGroup::Page: return "page";
    case RouteGroup::Form: return "form";
    case RouteGroup::Login: return "login";
    case RouteGroup::Static: return "static";
    case RouteGroup::Events: return "events";
    case RouteGroup::Api: return "api";
    case RouteGroup::Metrics: return "metrics";
    case RouteGroup::Health: return "health";
    case RouteGroup::Other: return "other";
  }
  return "other";
}

RouteGroup GroupOf(std::string_view method, std::string_view path, bool console_route) {
  if (path.rfind("/api/", 0) == 0) return RouteGroup::Api;
  if (path == "/metrics") return RouteGroup::Metrics;
  if (path == "/healthz") return RouteGroup::Health;
  if (!console_route) return RouteGroup::Other;
  if (path.rfind("/static/", 0) == 0) return RouteGroup::Static;
  if (path == "/login" || path == "/logout") return RouteGroup::Login;
  if (path == "/sync/events") return RouteGroup::Events;
  return method == "GET" || method == "HEAD" ? RouteGroup::Page : RouteGroup::Form;
}

struct alignas(64) RequestCounters::Shard {
  std::array<std::array<std::atomic<std::uint64_t>, 6>, kRouteGroups> requests{};
  std::array<std::array<std::atomic<std::uint64_t>, kBuckets>, kRouteGroups> buckets{};
  std::array<std::atomic<std::uint64_t>, kRouteGroups> timed{};
  std::array<std::atomic<std::uint64_t>, kRouteGroups> nanoseconds{};
};

RequestCounters::RequestCounters() : shards_(new Shard[kShards]) {}
RequestCounters::~RequestCounters() = default;

void RequestCounters::Count(RouteGroup group, int status, std::optional<std::chrono::nanoseconds> took) {
  Shard& s = shards_[ShardOfThread()];
  const auto g = static_cast<std::size_t>(group);
  s.requests[g][ClassOf(status)].fetch_add(1, std::memory_order_relaxed);
  if (!took) return;
  const double seconds = std::chrono::duration<double>(*took).count();
  std::size_t bucket = 0;
  while (bucket < kLatencyBounds.size() && seconds > kLatencyBounds[bucket]) ++bucket;
  s.buckets[g][bucket].fetch_add(1, std::memory_order_relaxed);
  s.timed[g].fetch_add(1, std::memory_order_relaxed);
  s.nanoseconds[g].fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(0, took->count())),
                             std::memory_order_relaxed);
}

RequestCounters::Totals RequestCounters::Read() const {
  Totals t;
  for (std::size_t k = 0; k < kShards; ++k) {
    const Shard& s = shards_[k];
    for (std::size_t g = 0; g < kRouteGroups; ++g) {
      for (std::size_t c = 0; c < 6; ++c) t.requests[g][c] += s.requests[g][c].load(std::memory_order_relaxed);
      for (std::size_t b = 0; b < kBuckets; ++b) t.buckets[g][b] += s.buckets[g][b].load(std::memory_order_relaxed);
      t.timed[g] += s.timed[g].load(std::memory_order_relaxed);
      t.nanoseconds[g] += s.nanoseconds[g].load(std::memory_order_relaxed);
    }
  }
  return t;
}

void ExpositionWriter::Family(const std::string& name, const std::string& type, const std::string& help) {
  text_ += "# HELP " + name + " " + HelpText(help) + "\n# TYPE " + name + " " + type + "\n";
}

void ExpositionWriter::Line(const std::string& name, const Labels& labels, const std::string& value) {
  text_ += name;
  if (!labels.empty()) {
    text_ += '{';
    for (std::size_t i = 0; i < labels.size(); ++i)
      text_ += (i ? "," : "") + labels[i].first + "=\"" + LabelValue(labels[i].second) + "\"";
    text_ += '}';
  }
  text_ += ' ' + value + '\n';
}

void ExpositionWriter::Sample(const std::string& name, const Labels& labels, double value) {
  Line(name, labels, Number(value));
}

void ExpositionWriter::Sample(const std::string& name, const Labels& labels, std::int64_t value) {
  Line(name, labels, std::to_string(value));
}

std::string MetricsText(const host::SiteFigures& f, const RequestCounters::Totals& requests) {
  ExpositionWriter w;
  w.Family("vanto_terminal_last_sync_age_seconds", "gauge",
           "Seconds since the terminal's last complete sync ended (absent: never synced completely).");
  for (const host::TerminalFigures& t : f.terminals)
    if (t.last_sync_age_seconds) w.Sample("vanto_terminal_last_sync_age_seconds", TerminalLabels(t), *t.last_sync_age_seconds);
  w.Family("vanto_terminal_stored_swipes", "gauge",
           "Swipes stored of the terminal: of its identity's logs, and those read at its port and address from a "
           "terminal without identity.");
  for (const host::TerminalFigures& t : f.terminals) w.Sample("vanto_terminal_stored_swipes", TerminalLabels(t), t.swipes);
  w.Family("vanto_terminal_conflicts_open", "gauge", "Record conflicts of the terminal not acknowledged.");
  for (const host::TerminalFigures& t : f.terminals)
    if (t.conflicts_open) w.Sample("vanto_terminal_conflicts_open", TerminalLabels(t), t.conflicts_open);
  w.Family("vanto_terminal_rejected_records", "gauge", "Records of the terminal kept that could not be converted.");
  for (const host::TerminalFigures& t : f.terminals)
    if (t.rejected) w.Sample("vanto_terminal_rejected_records", TerminalLabels(t), t.rejected);
  w.Family("vanto_conflicts_open", "gauge", "Record conflicts not acknowledged.");
  w.Sample("vanto_conflicts_open", {}, f.conflicts_open);
  w.Family("vanto_rejected_records", "gauge", "Records kept that could not be converted (rejected records).");
  w.Sample("vanto_rejected_records", {}, f.rejected);
  w.Family("vanto_push_backlog_swipes", "gauge", "Swipes a push endpoint takes that it has not been delivered yet.");
  for (const host::PushFigures& p : f.pushes)
    if (p.in_store) w.Sample("vanto_push_backlog_swipes", {{"endpoint", p.endpoint}}, p.backlog);
  w.Family("vanto_push_consecutive_failures", "gauge",
           "Failed deliveries to a push endpoint since its last successful one.");
  for (const host::PushFigures& p : f.pushes)
    if (p.in_store) w.Sample("vanto_push_consecutive_failures", {{"endpoint", p.endpoint}}, p.failures);
  w.Family("vanto_push_delivered_swipes_total", "counter", "Swipes delivered to a push endpoint.");
  for (const host::PushFigures& p : f.pushes)
    if (p.in_store) w.Sample("vanto_push_delivered_swipes_total", {{"endpoint", p.endpoint}}, p.delivered);

  w.Family("vanto_console_requests_total", "counter",
           "Requests the console answered, by route group and status class.");
  for (std::size_t g = 0; g < kRouteGroups; ++g)
    for (std::size_t c = 0; c < 6; ++c)
      if (requests.requests[g][c])
        w.Sample("vanto_console_requests_total",
                 {{"group", RouteGroupName(static_cast<RouteGroup>(g))}, {"status", kClasses[c]}},
                 static_cast<std::int64_t>(requests.requests[g][c]));
  w.Family("vanto_console_request_duration_seconds", "histogram",
           "Time from a request's routing to its answer, by route group.");
  for (std::size_t g = 0; g < kRouteGroups; ++g) {
    if (!requests.timed[g]) continue;
    const std::string group = RouteGroupName(static_cast<RouteGroup>(g));
    std::uint64_t cumulative = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      cumulative += requests.buckets[g][b];
      w.Sample("vanto_console_request_duration_seconds_bucket",
               {{"group", group}, {"le", b < kLatencyBounds.size() ? Number(kLatencyBounds[b]) : "+Inf"}},
               static_cast<std::int64_t>(cumulative));
    }
    w.Sample("vanto_console_request_duration_seconds_sum", {{"group", group}},
             static_cast<double>(requests.nanoseconds[g]) / 1e9);
    w.Sample("vanto_console_request_duration_seconds_count", {{"group", group}},
             static_cast<std::int64_t>(requests.timed[g]));
  }
  return w.text();
}

HealthCheck::~HealthCheck() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void HealthCheck::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || pending_; });
    if (!pending_) return;  // stopping, nothing asked
    std::function<void()> check = std::move(pending_);
    pending_ = nullptr;
    const std::uint64_t mine = started_;
    lock.unlock();
    bool healthy = false;
    try {
      check();
      healthy = true;
    } catch (...) {  // the database did not answer: not healthy
    }
    check = nullptr;  // what it holds goes before the next wait
    lock.lock();
    running_ = false;
    finished_ = mine;
    healthy_ = healthy;
    done_.notify_all();
  }
}

bool HealthCheck::Healthy(const std::function<void()>& check) {
  std::unique_lock lock(mutex_);
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      return false;  // no thread to check with: not healthy now
    }
  }
  std::uint64_t mine = started_;
  if (!running_) {
    running_ = true;
    mine = ++started_;
    pending_ = check;
    wake_.notify_one();
  }
  if (!done_.wait_for(lock, bound_, [&] { return finished_ >= mine; })) return false;
  return healthy_;
}

}  // namespace vanto::web
