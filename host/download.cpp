#include "host/download.h"

#include <cstdio>
#include <iterator>

#include "host/observed_collection.h"
#include "platform/automation/message_queue.h"

namespace vanto::host {
namespace {

using Clock = std::chrono::steady_clock;

store::Swipe SwipeOf(const VARIANT& item, long position) {
  if (item.vt != VT_DISPATCH || !item.pdispVal)
    throw HostError("record " + std::to_string(position) + " of the download is not an object");
  ComPtr<ICardRecord> record;
  if (FAILED(ComPtr<IDispatch>(item.pdispVal).As(IID_ICardRecord, &record)))
    throw HostError("record " + std::to_string(position) + " of the download is not a CardRecord");
  Variant person, time;
  long long number = 0;
  if (FAILED(record->get_PersonNo(person.Put())) || !VariantToInt(person.Raw(), &number))
    throw HostError("record " + std::to_string(position) + " of the download has no person number");
  const VARIANT* when = time.Ptr();
  if (FAILED(record->get_SwipeTime(time.Put())) || (when->vt != VT_DATE && when->vt != VT_R8))
    throw HostError("record " + std::to_string(position) + " of the download has no swipe time");
  return {static_cast<std::int32_t>(number), when->vt == VT_DATE ? when->date : when->dblVal};
}

}  // namespace

DownloadSession::DownloadSession(store::RecordStore& store, int port, int terminal)
    : delivery_(store, port, terminal), port_(port), terminal_(terminal) {}

Outcome DownloadSession::Run(Machine& machine) {
  // Each record is taken out as the driver appends it (on the driver's thread, the session's
  // own), so the list holds none: memory stays one batch, whatever the log's length.
  list_ = CreatePassingCollection(
      [this](const VARIANT& item) {
        ++taken_;
        if (read_failed_) return;
        try {
          pending_.push_back(SwipeOf(item, static_cast<long>(taken_)));
          ++read_;
        } catch (const HostError& e) {
          read_failed_ = true;  // a record the host cannot read ends the reading
          store_error_ = e.message();
        }
      },
      [this](long count) { OnAppend(count); },
      [this] {
        // The database's refusal ended the session's storing: the terminal is not read on.
        if (store_failed_) return true;
        if (!cancel.Cancelled()) return false;
        cancelled_ = true;
        return true;
      });
  count_ = 0;
  taken_ = 0;
  positioned_ = false;
  if (!started_.time_since_epoch().count()) started_ = Clock::now();
  last_store_ = last_draw_ = Clock::now();
  reported_ = false;
  writer_quit_ = false;
  writer_ = std::thread([this] { WriterLoop(); });
  // The writer ends with the run, whichever way it ends.
  struct Join {
    DownloadSession* session;
    ~Join() {
      {
        std::lock_guard lock(session->writer_mutex_);
        session->writer_quit_ = true;
      }
      session->writer_changed_.notify_all();
      if (session->writer_.joinable()) session->writer_.join();
    }
  } join{this};
  Outcome outcome;
  try {
    outcome = machine.Download(port_, terminal_, list_.Get());
  } catch (...) {
    PumpMessages();  // no work of this session may outlive it
    ReportDone();
    throw;
  }
  PumpMessages();
  Store(true);
  ReportDone();
  return outcome;
}

void DownloadSession::WriterLoop() {
  std::unique_lock lock(writer_mutex_);
  for (;;) {
    writer_changed_.wait(lock, [&] { return batch_.has_value() || writer_quit_; });
    if (!batch_) return;
    Batch batch = std::move(*batch_);
    if (!refused_.empty()) {
      // A batch refused before this one is offered again first (Resume); until then
      // nothing after it is stored, so each record keeps its place in the log (its index).
      refused_.insert(refused_.end(), batch.swipes.begin(), batch.swipes.end());
      refused_position_ = refused_position_ || batch.position;
      batch_.reset();
      writer_changed_.notify_all();
      continue;
    }
    const Origin origin = origin_;
    lock.unlock();
    std::vector<store::Delivery::Keyed> keyed;
    std::optional<Message> error;
    bool locked = false;
    try {
      if (batch.position) delivery_.Position(origin.log, origin.index);
      keyed = delivery_.Store(batch.swipes);
    } catch (const store::StoreError& e) {
      error = MessageOf(e);
      locked = e.failure() == store::StoreFailure::Locked;
    } catch (const std::exception& e) {
      error = MessageOf(e);
    }
    lock.lock();
    if (error) {
      // The delivery stands where it stood: the same swipes, and those after them, are
      // offered again (Resume).
      ++refusals_;
      writer_locked_ = locked;
      refused_.insert(refused_.end(), batch.swipes.begin(), batch.swipes.end());
      refused_position_ = refused_position_ || batch.position;
      writer_error_ = error;
    } else {
      stored_ += keyed.size();
    }
    const std::size_t stored = stored_;
    batch_.reset();
    lock.unlock();
    writer_changed_.notify_all();
    // The batch's records go to whoever wants them, then are gone: memory stays one batch.
    if (!error && on_stored) on_stored(keyed);
    if (!error && on_committed) on_committed(stored);
    lock.lock();
  }
}

void DownloadSession::HandOver(std::vector<store::Swipe> swipes, bool wait, bool position) {
  std::unique_lock lock(writer_mutex_);
  writer_changed_.wait(lock, [&] { return !batch_.has_value(); });
  batch_ = Batch{origin_pending_ || position, std::move(swipes)};  // origin_pending_ is guarded by the mutex too
  origin_pending_ = false;
  writer_changed_.notify_all();
  if (wait) writer_changed_.wait(lock, [&] { return !batch_.has_value(); });
}

void DownloadSession::OnAppend(long count) {
  count_ = count;
  if (work_pending_) return;
  work_pending_ = true;
  PostThreadWork([this] { Pumped(); });
}

void DownloadSession::Pumped() {
  work_pending_ = false;
  Clock::time_point now = Clock::now();
  try {  // nothing may escape into the driver's pump
    if (!store_failed_ &&
        (pending_.size() >= batch_records || now - last_store_ >= batch_interval)) {
      Store(false);
      last_store_ = now;
    }
    ReportProgress(false);
  } catch (const std::exception& e) {
    read_failed_ = store_failed_ = true;
    if (!store_error_) store_error_ = MessageOf(e);
  }
}

void DownloadSession::Store(bool last) {
  // After the database's refusal ended the storing, nothing more is stored: each record keeps
  // its place in the log (its index), and the next run reads them again.
  if (store_failed_) {
    pending_.clear();
    return;
  }
  // Where the run's records come from, asked once, before its first batch.
  if (!positioned_ && !pending_.empty()) {
    if (positioner_) {
      try {
        Origin origin = positioner_();
        std::lock_guard lock(writer_mutex_);
        origin_ = std::move(origin);
        origin_pending_ = true;
      } catch (const std::exception& e) {
        read_failed_ = store_failed_ = true;
        store_error_ = MessageOf(e);
        return;
      }
    }
    positioned_ = true;
  }
  // A refused batch is offered again before anything else, the terminal waiting meanwhile: at
  // most the batch with the writer and the one gathered here are ever uncommitted.
  if (!Resume()) return;
  if (!last) {
    if (pending_.empty()) return;
    HandOver(std::move(pending_), false);
    pending_.clear();
    return;
  }
  // The end: what is left, then wait until it is committed (or the pause ends).
  if (!pending_.empty()) {
    HandOver(std::move(pending_), true);
    pending_.clear();
  }
  Resume();
}

bool DownloadSession::Resume() {
  std::unique_lock lock(writer_mutex_);
  writer_changed_.wait(lock, [&] { return !batch_.has_value(); });
  // A failure other than a lock held past the wait is tried once more; a lock, until the
  // database has refused lock_attempts attempts in all.
  bool tried_again = false;
  while (!refused_.empty()) {
    if ((!writer_locked_ && tried_again) || refusals_ >= lock_attempts || cancel.Cancelled()) {
      store_failed_ = read_failed_ = true;
      store_error_ = writer_error_;
      refused_.clear();  // not stored: the next run reads them again
      refused_position_ = false;
      return false;
    }
    tried_again = true;
    const std::size_t uncommitted = read_ > stored_ ? read_ - stored_ : 0;
    lock.unlock();
    if (on_progress) {
      const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
      DownloadProgress waiting{count_, seconds > 0 ? static_cast<double>(count_) / seconds : 0.0, false};
      waiting.waiting = true;
      waiting.uncommitted = uncommitted;
      reported_ = true;
      on_progress(waiting);
    }
    lock.lock();
    batch_ = Batch{refused_position_, std::move(refused_)};
    refused_.clear();
    refused_position_ = false;
    writer_changed_.notify_all();
    writer_changed_.wait(lock, [&] { return !batch_.has_value(); });
  }
  writer_error_.reset();
  return true;
}

std::size_t DownloadSession::Uncommitted() {
  std::lock_guard lock(writer_mutex_);
  return read_ > stored_ ? read_ - stored_ : 0;
}

void DownloadSession::ReportProgress(bool force) {
  if (!on_progress) return;
  Clock::time_point now = Clock::now();
  if (!force && reported_ && now - last_draw_ < progress_interval) return;
  last_draw_ = now;
  const double seconds = std::chrono::duration<double>(now - started_).count();
  reported_ = true;
  DownloadProgress progress{count_, seconds > 0 ? static_cast<double>(count_) / seconds : 0.0, false};
  progress.uncommitted = Uncommitted();
  on_progress(progress);
}

void DownloadSession::ReportDone() {
  if (!reported_ || !on_progress) return;
  reported_ = false;
  DownloadProgress done;
  done.records = count_;
  done.done = true;
  on_progress(done);
}

}  // namespace vanto::host
