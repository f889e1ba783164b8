// One download from one terminal into the record store. DownloadCarddata returns only when the
// terminal has delivered everything, so the host hands it a list that reports each appended
// record; work posted to the thread's queue, run by the driver's message pump between records,
// takes what has arrived out of the list and hands it, in batches, to a writer thread that
// stores each batch in one transaction while the terminal goes on sending; a batch the database
// refuses is offered again before anything more is read (the terminal then waits, so at most two
// batches are ever uncommitted); and it reports its progress as events (a front end draws them).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "host/cancel.h"
#include "host/machine.h"
#include "host/message.h"
#include "host/db/record_store.h"

namespace vanto::host {

// How far a download is, for a progress display: the host draws nothing itself.
struct DownloadProgress {
  long records = 0;   // records the driver delivered so far in this run
  double rate = 0;    // records a second since the session began
  bool done = false;  // the run ended: a display that showed progress takes it away
  // The database refused the last batch (another process holds its lock): the read pauses, the
  // terminal keeping its records, until the batch is committed or the pause ends the download.
  bool waiting = false;
  std::size_t uncommitted = 0;  // records delivered and not committed yet
};

// How many attempts the database may refuse in all, over a download, before the download ends
// with the database's error: each waits at most the lock timeout, so the pauses last at most this
// many lock timeouts (30 s at the default 5 s).
inline constexpr std::size_t kLockAttempts = 6;

class DownloadSession {
 public:
  DownloadSession(store::RecordStore& store, int port, int terminal);

  // Runs DownloadCarddata and stores every record it delivered, also when it answered False.
  // May run again (a read that goes on after a record the driver could not convert).
  Outcome Run(Machine& machine);

  // Where a Run's records come from (store::Delivery::Position): asked on the driver's thread
  // once per Run before its first records are stored. Without one, records are keyed as a
  // version 1 terminal's.
  struct Origin {
    std::optional<store::LogKey> log;
    std::uint32_t index = 0;
  };
  void SetPositioner(std::function<Origin()> positioner) { positioner_ = std::move(positioner); }
  // Records the driver appended in the last Run.
  std::size_t last_run_records() const { return static_cast<std::size_t>(count_); }

  // How many records this session stored (delivered and kept, new or not), over every run.
  std::size_t stored() const { return stored_; }
  std::size_t added() const { return delivery_.added(); }
  // Records delivered and keyed so far (also when they are not kept).
  std::size_t delivered() const { return delivery_.delivered(); }
  // Records read out of the driver's list over every run (also those the store then refused).
  std::size_t read() const { return read_; }
  // The log the session stores in now (absent: a version 1 terminal) and the conflicts it found
  // (store::Delivery); read them between runs, not during one.
  const std::optional<store::LogKey>& log() const { return delivery_.log(); }
  const std::vector<store::RecordConflict>& conflicts() const { return delivery_.conflicts(); }
  // True when a run was stopped by `cancel`: the driver's next append was refused, so the
  // download answered False; every record appended before it was stored as usual.
  bool cancelled() const { return cancelled_; }
  // Set when the store refused a batch and the last attempt to store the rest failed too: in
  // English, and unworded (store_said, for a front end to translate).
  std::optional<std::string> store_error() const {
    return store_error_ ? std::optional<std::string>(store_error_->English()) : std::nullopt;
  }
  const std::optional<Message>& store_said() const { return store_error_; }

  // Called on the driver's thread as the run goes on (at most every progress_interval), and
  // once with `done` at the end of a run that reported any progress (also when it throws).
  std::function<void(const DownloadProgress&)> on_progress;

  // Checked before each record is appended (on the driver's thread, between its exchanges with
  // the terminal): once cancelled, the download ends at the next record.
  CancelToken cancel;

  // Tuning of the batches (tests use small ones).
  std::size_t batch_records = 500;
  // The refused attempts a download outlasts in all (tests use few).
  std::size_t lock_attempts = kLockAttempts;
  std::chrono::milliseconds batch_interval{200};
  // The least time between two progress events (0: one at each step of the driver's pump; a
  // display spaces its drawing itself).
  std::chrono::milliseconds progress_interval{0};
  // Called on the writer thread after each committed batch with the records stored so far by
  // this session (delivered and keyed, new or not).
  std::function<void(std::size_t)> on_committed;
  // Each stored batch, keyed, on the writer's thread, once it is committed; the session keeps
  // none of them.
  std::function<void(const std::vector<store::Delivery::Keyed>&)> on_stored;

 private:
  void OnAppend(long count);
  void Pumped();
  void Store(bool last);
  void ReportProgress(bool force);
  void ReportDone();
  void WriterLoop();
  // Hands `swipes` to the writer once it is idle; with `wait`, also waits until they are stored.
  void HandOver(std::vector<store::Swipe> swipes, bool wait, bool position = false);
  // Offers a refused batch again, on the driver's thread (so the terminal is not asked for more)
  // until it is committed: false when the pause ended (the session then stores nothing more).
  bool Resume();
  std::size_t Uncommitted();

  struct Batch {
    bool position = false;  // apply origin_ first
    std::vector<store::Swipe> swipes;
  };
  std::thread writer_;
  std::mutex writer_mutex_;
  std::condition_variable writer_changed_;
  std::optional<Batch> batch_;        // handed over, not stored yet
  std::vector<store::Swipe> refused_; // a batch the store refused, tried again at the end
  bool refused_position_ = false;
  bool writer_quit_ = false;
  std::optional<Message> writer_error_;
  bool writer_locked_ = false;          // the last refusal was a lock held past the wait
  std::size_t refusals_ = 0;  // attempts the database refused, over every run
  Origin origin_;
  bool origin_pending_ = false;  // the next batch handed over applies origin_ first

  store::Delivery delivery_;
  std::function<Origin()> positioner_;
  bool positioned_ = false;
  int port_, terminal_;
  ComPtr<_Collection> list_;
  long count_ = 0;
  std::size_t taken_ = 0;  // records the driver appended so far
  std::size_t read_ = 0;   // records taken out of the list over every run
  std::vector<store::Swipe> pending_;  // read out, not stored yet
  bool work_pending_ = false;
  bool store_failed_ = false;
  bool read_failed_ = false;
  bool cancelled_ = false;
  std::optional<Message> store_error_;
  std::size_t stored_ = 0;  // guarded by writer_mutex_ while the writer runs
  std::chrono::steady_clock::time_point started_, last_store_, last_draw_;
  bool reported_ = false;  // a progress event went out in this run
};

}  // namespace vanto::host
