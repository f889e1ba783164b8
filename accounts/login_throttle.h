// Failed logins slowed per account and per address: after a few failures each further attempt
// waits out a lock-out that doubles with every failure, up to a bound. Kept in memory, bounded.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace vanto::accounts {

struct ThrottlePolicy {
  int account_free = 5;               // failures of one account before it is locked out
  int address_free = 20;              // failures from one address (over any accounts)
  std::int64_t first_lock = 2;        // seconds of the first lock-out, doubled per further failure
  std::int64_t max_lock = 15 * 60;    // no lock-out is longer
  std::int64_t forget_after = 60 * 60;  // failures older than this no longer count
  std::size_t max_entries = 10000;    // accounts and addresses remembered, each
};

class LoginThrottle {
 public:
  explicit LoginThrottle(ThrottlePolicy policy = {}) : policy_(policy) {}

  // Seconds an attempt on `account` from `address` must still wait (0: it may go ahead).
  std::int64_t Wait(const std::string& account, const std::string& address, std::int64_t now);
  // Counts a failed attempt; answers the lock-out it starts (0: none yet).
  std::int64_t Failed(const std::string& account, const std::string& address, std::int64_t now);
  // A successful login forgets the account's failures (not the address's).
  void Succeeded(const std::string& account);

 private:
  struct Entry {
    int failures = 0;
    std::int64_t last_failure = 0;
    std::int64_t locked_until = 0;
  };
  std::int64_t Count(std::map<std::string, Entry>& table, const std::string& key, int free, std::int64_t now);
  void Bound(std::map<std::string, Entry>& table, std::int64_t now);

  ThrottlePolicy policy_;
  std::mutex mutex_;
  std::map<std::string, Entry> accounts_, addresses_;
};

}  // namespace vanto::accounts
