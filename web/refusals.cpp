#include "web/refusals.h"

#include <algorithm>
#include <vector>

namespace vanto::web {

RefusalAudit::RefusalAudit(Writer write, std::function<std::int64_t()> now, RefusalLimits limits,
                           std::function<void(const std::string&)> log)
    : write_(std::move(write)), now_(std::move(now)), limits_(limits), log_(std::move(log)) {}

RefusalAudit::~RefusalAudit() {
  std::lock_guard lock(mutex_);
  FlushLocked(now_(), true);
}

void RefusalAudit::Write(const accounts::Actor& actor, const std::string& action, const std::string& details) {
  try {
    write_(actor, action, details);
  } catch (const std::exception& e) {
    if (log_) log_("the audit trail could not record a refused request (" + details + "): " + e.what());
  }
}

void RefusalAudit::WriteCount(const std::string& key, const Window& w) {
  accounts::Actor actor = w.actor;
  if (key.empty()) actor = {"", kManyAddresses};
  else if (key.rfind("address ", 0) == 0) actor.origin = key.substr(8);
  Write(actor, "refused.counted",
        std::to_string(w.counted) + " more refused requests in the minute from " + accounts::UtcText(w.since) +
            " (the last: " + w.what + ")");
}

void RefusalAudit::FlushLocked(std::int64_t now, bool all) {
  std::int64_t next = INT64_MAX;
  for (auto it = windows_.begin(); it != windows_.end();) {
    if (all || now - it->second.since >= kWindow) {
      if (it->second.counted > 0) WriteCount(it->first, it->second);
      it = windows_.erase(it);
    } else {
      next = std::min(next, it->second.since + kWindow);
      ++it;
    }
  }
  next_flush_ = next;
}

void RefusalAudit::Tick() {
  const std::int64_t now = now_();
  if (now < next_flush_.load()) return;
  std::lock_guard lock(mutex_);
  FlushLocked(now, false);
}

void RefusalAudit::Refused(const accounts::Actor& actor, const std::string& session, const std::string& what) {
  const std::int64_t now = now_();
  std::lock_guard lock(mutex_);
  FlushLocked(now, false);
  // The windows this refusal counts in, the narrowest first; the whole server's last.
  std::vector<std::pair<std::string, std::size_t>> keys;
  if (!session.empty()) keys.emplace_back("session " + session, limits_.per_minute);
  keys.emplace_back("address " + actor.origin, limits_.per_minute);
  if (windows_.size() + keys.size() > kMaxKeys) keys.clear();  // too many to follow: all together
  keys.emplace_back("", limits_.total_per_minute);
  std::vector<Window*> in;
  for (const auto& [key, limit] : keys) {
    auto [it, added] = windows_.try_emplace(key);
    if (added) it->second.since = now;
    in.push_back(&it->second);
    next_flush_ = std::min(next_flush_.load(), it->second.since + kWindow);
  }
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i]->written < keys[i].second) continue;
    // Over a rate: counted in the narrowest window that is full, not written.
    ++in[i]->counted;
    in[i]->actor = actor;
    in[i]->what = what;
    return;
  }
  for (Window* w : in) ++w->written;
  Write(actor, "refused", what);
}

}  // namespace vanto::web
