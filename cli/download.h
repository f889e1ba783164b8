// One download from one terminal into the record store. DownloadCarddata returns only when the
// terminal has delivered everything, so the host hands it a list that reports each appended
// record; work posted to the thread's queue, run by the driver's message pump between records,
// stores what has arrived in batches (one transaction each) and draws the progress line.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/machine.h"
#include "cli/store/record_store.h"

namespace vanto::cli {

class DownloadSession {
 public:
  // `progress` (may be null) gets a one-line progress display that is erased when done.
  DownloadSession(store::RecordStore& store, int port, int terminal, std::ostream* progress);

  // Runs DownloadCarddata and stores every record it delivered, also when it answered False.
  Outcome Run(Machine& machine);

  // Every record delivered, in delivery order, with its key and whether this run stored it.
  const std::vector<store::Delivery::Keyed>& records() const { return records_; }
  std::size_t added() const { return delivery_.added(); }
  // Records delivered and keyed so far (also when they are not kept).
  std::size_t delivered() const { return delivery_.delivered(); }
  // Set when the store refused a batch and the last attempt to store the rest failed too.
  const std::optional<std::string>& store_error() const { return store_error_; }

  // Called instead of drawing on `progress` (at most every 100 ms): records so far, records/s.
  std::function<void(long, double)> on_progress;

  // Whether records() keeps every record (for printing them); a sync only counts them, so its
  // memory stays the same whatever the record count.
  bool keep_records = true;

  // Tuning of the batches (tests use small ones).
  std::size_t batch_records = 500;
  std::chrono::milliseconds batch_interval{200};
  // The least time between two draws of the progress line.
  std::chrono::milliseconds progress_interval{100};
  // Whether the progress display may use cursor codes (redraw one line); without them it is a
  // plain line each time (as often as the redrawn one).
  bool cursor_codes = true;

 private:
  void OnAppend(long count);
  void Pumped();
  void Store(bool last);
  void DrawProgress(bool force);

  store::Delivery delivery_;
  int port_, terminal_;
  std::ostream* progress_;
  ComPtr<_Collection> list_;
  long count_ = 0;
  std::size_t taken_ = 0;  // records read out of the list so far
  std::vector<store::Swipe> pending_;  // read out, not stored yet
  std::vector<store::Swipe> passed_;   // appended to a list that keeps nothing, not taken yet
  bool work_pending_ = false;
  bool store_failed_ = false;
  bool read_failed_ = false;
  std::optional<std::string> store_error_;
  std::vector<store::Delivery::Keyed> records_;
  std::chrono::steady_clock::time_point started_, last_store_, last_draw_;
  bool drawn_ = false;
};

}  // namespace vanto::cli
