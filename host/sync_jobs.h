// Site syncs for a long-running front end (the web console): one at a time, in the background,
// started by a user ("Sync now", the whole site or one port) or by the site's schedule, each
// recorded like every sync (store/sync_runs.h) and taking the same port locks. Each port's
// progress is kept for watchers, who wait for a change with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/sync.h"

namespace vanto::host {

class SyncJobs {
 public:
  struct State {
    std::uint64_t version = 0;   // grows with every change
    bool running = false;
    std::uint64_t finished = 0;  // syncs finished since this object was made
    // The running (or last) sync: who started it, which port (absent: the whole site), when.
    store::RunStarter started_by = store::RunStarter::Console;
    std::string who;
    std::optional<int> port;
    std::string started_at;
    std::map<int, PortProgress> ports;  // each port's progress (absent: not begun yet)
    std::vector<TerminalSync> last;     // the last finished sync's rows
    // The running (or last) sync's id in the run store, once its record is begun (absent
    // before, or when it could not be recorded).
    std::optional<std::int64_t> run;
  };
  enum class Start { Started, Busy, NoSuchPort, Stopping };
  // Called on the sync's thread when it ends, with its rows (exceptions are caught there).
  using Done = std::function<void(const std::vector<TerminalSync>& rows)>;
  // Called on the sync's thread once its record is begun, with its id (absent: not recorded).
  using Begun = std::function<void(std::optional<std::int64_t> run)>;

  // `settings`: the database, lock timeout and batch size every sync uses (its progress, starter
  // and cancellation are set here).
  SyncJobs(site::Site site, SyncSettings settings);
  ~SyncJobs();  // Stop()
  SyncJobs(const SyncJobs&) = delete;
  SyncJobs& operator=(const SyncJobs&) = delete;

  // Starts a sync of the site, or of `port` only, unless one is running (Busy) or an action on
  // terminals holds one of the ports it would sync (Busy too, with no sync running): a sync,
  // the schedule's too, never starts on a port during an enrolment write on it.
  Start Begin(store::RunStarter by, const std::string& who, std::optional<int> port, Done done = {},
              Begun begun = {});

  // Actions on terminals other than syncs (backing up, copying, clearing), from whichever front
  // end: one at a time, and not while a sync uses one of `ports`. Answers a held lock when both
  // came before `until` (the action runs while it is held); an unheld one: the ports are busy.
  // While it is held, Begin refuses a sync of any of `ports`.
  std::unique_lock<std::timed_mutex> HoldPorts(const std::vector<int>& ports,
                                              std::chrono::steady_clock::time_point until) const;

  State Snapshot() const;
  // The state once its version is above `after`, or when `bound` has passed (then as it is).
  State WaitFor(std::uint64_t after, std::chrono::milliseconds bound) const;

  // From now on, a sync of the whole site every `every` (started by the schedule; skipped when
  // one is running then). `done` is called at the end of each.
  void Schedule(std::chrono::seconds every, Done done = {});

  // Cancels a running sync, stops the schedule and waits for both.
  void Stop();

  const site::Site& site() const { return site_; }
  // The site its syncs store as ('' a database of no site).
  const std::string& site_name() const { return settings_.site_name; }
  const std::shared_ptr<db::Database>& database() const { return settings_.db; }
  std::chrono::milliseconds lock_timeout() const {
    return std::chrono::milliseconds(static_cast<long long>(settings_.lock_timeout * 1000));
  }

 private:
  void Run(site::Site site, Done done, Begun begun);
  void Scheduler(std::chrono::seconds every, Done done);

  const site::Site site_;
  const SyncSettings settings_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  State state_;
  bool stopping_ = false;
  CancelToken cancel_;
  std::thread worker_, scheduler_;
  mutable std::timed_mutex actions_;  // HoldPorts: one action on terminals at a time
  // The ports the last action to take `actions_` holds (under mutex_); they count only while
  // `actions_` is held.
  mutable std::vector<int> held_ports_;
};

}  // namespace vanto::host
