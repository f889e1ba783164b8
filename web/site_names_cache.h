// The sites the console's site chooser offers, read at most once a `bound` (about a second):
// every request needs them, and a site added is seen within the bound. A failed read is not
// kept (the next request reads again). Safe for the server's threads.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "accounts/recent_checks.h"
#include "host/db/sites.h"

namespace vanto::web {

class SiteNamesCache {
 public:
  using Read = std::function<std::vector<store::SiteName>()>;
  explicit SiteNamesCache(std::chrono::milliseconds bound = std::chrono::seconds(1),
                          accounts::SteadyClock clock = accounts::SteadyNow)
      : bound_(bound), clock_(std::move(clock)) {}

  // The names read within the bound, else those `read` answers now (its exceptions pass on).
  std::vector<store::SiteName> Get(const Read& read) {
    std::lock_guard lock(mutex_);
    const auto now = clock_();
    if (read_at_ && now >= *read_at_ && now - *read_at_ < bound_) return names_;
    names_ = read();
    read_at_ = now;
    return names_;
  }

 private:
  const std::chrono::milliseconds bound_;
  const accounts::SteadyClock clock_;
  std::mutex mutex_;
  std::vector<store::SiteName> names_;
  std::optional<std::chrono::steady_clock::time_point> read_at_;
};

}  // namespace vanto::web
