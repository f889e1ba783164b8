#include "accounts/login_throttle.h"

#include <algorithm>

namespace vanto::accounts {

std::int64_t LoginThrottle::Wait(const std::string& account, const std::string& address, std::int64_t now) {
  std::lock_guard lock(mutex_);
  std::int64_t wait = 0;
  for (auto* table : {&accounts_, &addresses_}) {
    auto it = table->find(table == &accounts_ ? account : address);
    if (it != table->end() && it->second.locked_until > now) wait = std::max(wait, it->second.locked_until - now);
  }
  return wait;
}

std::int64_t LoginThrottle::Count(std::map<std::string, Entry>& table, const std::string& key, int free,
                                  std::int64_t now) {
  Bound(table, now);
  Entry& e = table[key];
  if (e.failures > 0 && now - e.last_failure > policy_.forget_after) e = Entry{};
  ++e.failures;
  e.last_failure = now;
  if (e.failures < free) return 0;
  int doublings = std::min(e.failures - free, 20);
  std::int64_t lock = std::min(policy_.first_lock << doublings, policy_.max_lock);
  e.locked_until = now + lock;
  return lock;
}

std::int64_t LoginThrottle::Failed(const std::string& account, const std::string& address, std::int64_t now) {
  std::lock_guard lock(mutex_);
  return std::max(Count(accounts_, account, policy_.account_free, now),
                  Count(addresses_, address, policy_.address_free, now));
}

void LoginThrottle::Succeeded(const std::string& account) {
  std::lock_guard lock(mutex_);
  accounts_.erase(account);
}

void LoginThrottle::Bound(std::map<std::string, Entry>& table, std::int64_t now) {
  if (table.size() < policy_.max_entries) return;
  std::erase_if(table, [&](const auto& item) {
    return now - item.second.last_failure > policy_.forget_after && item.second.locked_until <= now;
  });
  while (table.size() >= policy_.max_entries) {
    auto oldest = std::min_element(table.begin(), table.end(), [](const auto& a, const auto& b) {
      return a.second.last_failure < b.second.last_failure;
    });
    table.erase(oldest);
  }
}

}  // namespace vanto::accounts
