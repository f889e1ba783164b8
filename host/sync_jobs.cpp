#include "host/sync_jobs.h"
#include "host/said_values.h"

#include <algorithm>

#include "host/db/civil_time.h"

namespace vanto::host {

SyncJobs::SyncJobs(site::Site site, SyncSettings settings) : site_(std::move(site)), settings_(std::move(settings)) {}

SyncJobs::~SyncJobs() { Stop(); }

SyncJobs::Start SyncJobs::Begin(store::RunStarter by, const std::string& who, std::optional<int> port, Done done,
                                Begun begun) {
  site::Site which = site_;
  if (port) {
    const site::SitePort* one = site_.Port(*port);
    if (!one) return Start::NoSuchPort;
    which.ports = {*one};
  }
  std::lock_guard lock(mutex_);
  if (stopping_) return Start::Stopping;
  if (state_.running) return Start::Busy;
  if (!held_ports_.empty()) {
    // An action holds `actions_` (it set held_ports_ under mutex_ once no sync ran on its ports,
    // so the ports it names are its own); a free `actions_` means it has ended.
    if (actions_.try_lock()) {
      actions_.unlock();
      held_ports_.clear();
    } else {
      for (const site::SitePort& p : which.ports)
        if (std::find(held_ports_.begin(), held_ports_.end(), p.number) != held_ports_.end()) return Start::Busy;
    }
  }
  if (worker_.joinable()) worker_.join();  // the last sync has ended: its thread is done
  state_.running = true;
  state_.started_by = by;
  state_.who = who;
  state_.port = port;
  state_.started_at = store::UtcNowText();
  state_.ports.clear();
  state_.run.reset();
  ++state_.version;
  cancel_ = CancelToken::Make();
  worker_ = std::thread([this, which = std::move(which), done = std::move(done), begun = std::move(begun)]() mutable {
    Run(std::move(which), std::move(done), std::move(begun));
  });
  changed_.notify_all();
  return Start::Started;
}

void SyncJobs::Run(site::Site site, Done done, Begun begun) {
  std::vector<TerminalSync> rows;
  // The thread's edge: nothing escapes it.
  try {
    SyncSettings settings = settings_;
    {
      std::lock_guard lock(mutex_);
      settings.started_by = state_.started_by;
      settings.who = state_.who;
      settings.cancel = cancel_;
    }
    settings.on_progress = [this](int port, const PortProgress& progress) {
      std::lock_guard lock(mutex_);
      state_.ports[port] = progress;
      ++state_.version;
      changed_.notify_all();
    };
    settings.on_run_begun = [this, &begun](std::optional<std::int64_t> run) {
      {
        std::lock_guard lock(mutex_);
        state_.run = run;
        ++state_.version;
        changed_.notify_all();
      }
      if (begun) begun(run);
    };
    rows = SyncSite(site, settings);
  } catch (const std::exception& e) {
    TerminalSync row;
    row.host_failed = true, row.cause_code = "host", row.cause_values = WithError({}, e);
    rows = {row};
  } catch (...) {
    TerminalSync row;
    row.host_failed = true, row.cause_code = "host", row.cause_values = {{"reason", "sync-thread"}};
    rows = {row};
  }
  try {
    if (done) done(rows);
  } catch (...) {  // the front end's part: it reports its own failures
  }
  std::lock_guard lock(mutex_);
  state_.running = false;
  state_.last = std::move(rows);
  ++state_.finished;
  ++state_.version;
  changed_.notify_all();
}

std::unique_lock<std::timed_mutex> SyncJobs::HoldPorts(const std::vector<int>& ports,
                                                      std::chrono::steady_clock::time_point until) const {
  std::unique_lock hold(actions_, std::defer_lock);
  if (!hold.try_lock_until(until)) return hold;
  auto holds = [&](const State& s) {
    if (!s.running) return false;
    if (!s.port) return true;  // the whole site
    return std::find(ports.begin(), ports.end(), *s.port) != ports.end();
  };
  std::unique_lock lock(mutex_);
  held_ports_.clear();  // the last holder's, who has let go
  if (!changed_.wait_until(lock, until, [&] { return !holds(state_); })) {
    hold.unlock();
    return hold;
  }
  held_ports_ = ports;  // from now until `hold` ends, Begin starts no sync on them
  return hold;
}

SyncJobs::State SyncJobs::Snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

SyncJobs::State SyncJobs::WaitFor(std::uint64_t after, std::chrono::milliseconds bound) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, bound, [&] { return state_.version > after || stopping_; });
  return state_;
}

void SyncJobs::Schedule(std::chrono::seconds every, Done done) {
  std::lock_guard lock(mutex_);
  if (stopping_ || scheduler_.joinable()) return;
  scheduler_ = std::thread([this, every, done = std::move(done)] { Scheduler(every, done); });
}

void SyncJobs::Scheduler(std::chrono::seconds every, Done done) {
  try {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (changed_.wait_for(lock, every, [&] { return stopping_; })) break;
      lock.unlock();
      Begin(store::RunStarter::Schedule, "", std::nullopt, done);  // Busy: this time is skipped
      lock.lock();
    }
  } catch (...) {  // the thread's edge (a lock or thread failure): the schedule ends
  }
}

void SyncJobs::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    cancel_.Cancel();
    changed_.notify_all();
  }
  if (scheduler_.joinable()) scheduler_.join();
  if (worker_.joinable()) worker_.join();
}

}  // namespace vanto::host
