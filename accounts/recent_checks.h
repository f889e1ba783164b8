// What a server believes without asking the database again: a recognised session or token, keyed
// by its hash, for at most `bound` after the look-up that found it. Any number of requests check at
// once: the entries are spread over shards, each with its own lock held only to copy an entry, so
// no lock is shared by every request. A change this process makes (Forget, Clear) is seen at once,
// even by a look-up that was under way when it was made (Begin/Put); one made by another process
// within `bound`. The clock is steady time, given by tests.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace vanto::accounts {

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
inline std::chrono::steady_clock::time_point SteadyNow() { return std::chrono::steady_clock::now(); }

template <class Value>
class RecentChecks {
 public:
  // A bound of zero believes nothing (every check looks up). `capacity`: entries at most (a full
  // shard drops what is out of date, then everything it holds).
  RecentChecks(std::chrono::milliseconds bound, std::size_t capacity, SteadyClock clock = SteadyNow)
      : bound_(bound), per_shard_(capacity / kShards + 1), clock_(std::move(clock)) {}

  bool enabled() const { return bound_.count() > 0; }

  // The value believed for `key`, when it was looked up less than `bound` ago.
  std::optional<Value> Find(const std::string& key) {
    if (!enabled()) return std::nullopt;
    const auto now = clock_();
    Shard& shard = ShardOf(key);
    std::lock_guard lock(shard.mutex);
    auto it = shard.entries.find(key);
    if (it == shard.entries.end()) return std::nullopt;
    if (now - it->second.at < bound_ && now >= it->second.at) return it->second.value;
    shard.entries.erase(it);
    return std::nullopt;
  }

  // Taken before a look-up: what Put needs to refuse a value that a change made meanwhile
  // (Forget or Clear) has made out of date.
  struct Ticket {
    std::uint64_t generation;
    std::chrono::steady_clock::time_point at;
  };
  Ticket Begin() const { return {generation_.load(std::memory_order_acquire), clock_()}; }

  // Believes `value` for `key` from the look-up `ticket` began; nothing when a change was made
  // since.
  void Put(const std::string& key, Value value, const Ticket& ticket) {
    if (!enabled()) return;
    Shard& shard = ShardOf(key);
    std::lock_guard lock(shard.mutex);
    // Checked under the shard's lock: a Clear or Forget that began before this is seen here.
    if (generation_.load(std::memory_order_acquire) != ticket.generation) return;
    if (shard.entries.size() >= per_shard_ && !shard.entries.contains(key)) {
      const auto now = clock_();
      std::erase_if(shard.entries, [&](const auto& entry) { return now - entry.second.at >= bound_; });
      if (shard.entries.size() >= per_shard_) shard.entries.clear();
    }
    shard.entries.insert_or_assign(key, Entry{std::move(value), ticket.at});
  }

  void Forget(const std::string& key) {
    generation_.fetch_add(1, std::memory_order_acq_rel);
    Shard& shard = ShardOf(key);
    std::lock_guard lock(shard.mutex);
    shard.entries.erase(key);
  }

  void Clear() {
    generation_.fetch_add(1, std::memory_order_acq_rel);
    for (Shard& shard : shards_) {
      std::lock_guard lock(shard.mutex);
      shard.entries.clear();
    }
  }

 private:
  static constexpr std::size_t kShards = 16;
  struct Entry {
    Value value;
    std::chrono::steady_clock::time_point at;  // when the look-up that found it began
  };
  struct Shard {
    std::mutex mutex;
    std::unordered_map<std::string, Entry> entries;
  };
  Shard& ShardOf(const std::string& key) { return shards_[std::hash<std::string>{}(key) % kShards]; }

  const std::chrono::milliseconds bound_;
  const std::size_t per_shard_;
  const SteadyClock clock_;
  std::atomic<std::uint64_t> generation_{0};
  std::array<Shard, kShards> shards_;
};

}  // namespace vanto::accounts
