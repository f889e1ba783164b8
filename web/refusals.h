// Refused actions into the audit trail (who, what, from where), bounded so that a client cannot
// fill the disk: a row each up to a rate per session and per address (and for all together);
// beyond it the refusals are counted, and each count is written as one row once its minute ends.
// Internal to web/.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "accounts/accounts.h"
#include "web/console_server.h"

namespace vanto::web {

class RefusalAudit {
 public:
  // The origin of a count of refusals from addresses too many to follow one by one (no actor).
  static constexpr const char* kManyAddresses = "many addresses";
  // The minute of a count; the clock is the accounts' own (seconds).
  static constexpr std::int64_t kWindow = 60;
  // Sessions and addresses followed at once; refusals of any more count for all together.
  static constexpr std::size_t kMaxKeys = 10000;

  // Writes one audit row (throws when it cannot).
  using Writer = std::function<void(const accounts::Actor& actor, const std::string& action, const std::string& details)>;

  // `now`: the audit trail's clock (seconds); `log` gets a row that could not be written.
  RefusalAudit(Writer write, std::function<std::int64_t()> now, RefusalLimits limits,
               std::function<void(const std::string&)> log);
  ~RefusalAudit();  // writes the counts still held
  RefusalAudit(const RefusalAudit&) = delete;
  RefusalAudit& operator=(const RefusalAudit&) = delete;

  // A refused request of `actor` (no name: nobody signed in) from `actor.origin`; `session`
  // tells the session apart (never written; empty: none); `what` says what was refused.
  void Refused(const accounts::Actor& actor, const std::string& session, const std::string& what);
  // Writes the counts whose minute has ended (cheap when none has: called on every request).
  void Tick();

 private:
  struct Window {
    std::int64_t since = 0;
    std::size_t written = 0, counted = 0;
    accounts::Actor actor;  // the last refused, and what
    std::string what;
  };
  void FlushLocked(std::int64_t now, bool all);
  void WriteCount(const std::string& key, const Window& w);
  void Write(const accounts::Actor& actor, const std::string& action, const std::string& details);

  Writer write_;
  std::function<std::int64_t()> now_;
  const RefusalLimits limits_;
  std::function<void(const std::string&)> log_;
  std::mutex mutex_;
  std::map<std::string, Window> windows_;  // "session ...", "address ...", and "" for all
  std::atomic<std::int64_t> next_flush_{INT64_MAX};
};

}  // namespace vanto::web
