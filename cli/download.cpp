#include "cli/download.h"

#include <cstdio>

#include "cli/observed_collection.h"
#include "platform/automation/message_queue.h"

namespace vanto::cli {
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

store::Swipe ReadSwipe(_Collection* list, long position) {
  Variant index = Variant::I4(static_cast<LONG>(position));
  Variant item;
  if (FAILED(list->Item(index.Ptr(), item.Put())))
    throw HostError("record " + std::to_string(position) + " of the download cannot be read");
  return SwipeOf(item.Raw(), position);
}

}  // namespace

DownloadSession::DownloadSession(store::RecordStore& store, int port, int terminal, std::ostream* progress)
    : delivery_(store, port, terminal), port_(port), terminal_(terminal), progress_(progress) {}

Outcome DownloadSession::Run(Machine& machine) {
  if (keep_records) {
    list_ = CreateObservedCollection([this](long count) { OnAppend(count); });
  } else {
    // Each record is read as it is appended and not kept by the list.
    list_ = CreatePassingCollection(
        [this](const VARIANT& item) {
          if (read_failed_) return;
          try {
            passed_.push_back(SwipeOf(item, static_cast<long>(taken_ + passed_.size() + 1)));
          } catch (const HostError& e) {
            read_failed_ = true;
            store_error_ = e.what();
          }
        },
        [this](long count) { OnAppend(count); });
  }
  started_ = last_store_ = last_draw_ = Clock::now();
  Outcome outcome;
  try {
    outcome = machine.Download(port_, terminal_, list_.Get());
  } catch (...) {
    PumpMessages();  // no work of this session may outlive it
    if (drawn_ && progress_ && cursor_codes) *progress_ << "\r\033[K" << std::flush;
    throw;
  }
  PumpMessages();
  Store(true);
  if (drawn_ && progress_ && cursor_codes) *progress_ << "\r\033[K" << std::flush;
  return outcome;
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
        (static_cast<std::size_t>(count_) - taken_ >= batch_records || now - last_store_ >= batch_interval)) {
      Store(false);
      last_store_ = now;
    }
    DrawProgress(false);
  } catch (const std::exception& e) {
    read_failed_ = store_failed_ = true;
    if (!store_error_) store_error_ = e.what();
  }
}

void DownloadSession::Store(bool last) {
  // Work run from the driver's pump must not throw through the driver: a record the host cannot
  // read ends the reading, and the caller reports it after the download.
  if (!keep_records) {
    taken_ += passed_.size();
    pending_.insert(pending_.end(), passed_.begin(), passed_.end());
    passed_.clear();
  } else if (!read_failed_) {
    try {
      LONG count = 0;
      list_->Count(&count);
      while (taken_ < static_cast<std::size_t>(count))
        pending_.push_back(ReadSwipe(list_.Get(), static_cast<long>(taken_ + 1))), ++taken_;
    } catch (const HostError& e) {
      read_failed_ = true;
      store_error_ = e.what();
    }
  }
  // After a refused batch (a lock held too long), wait for the end before trying again.
  if ((store_failed_ && !last) || pending_.empty()) return;
  try {
    auto keyed = delivery_.Store(pending_);
    pending_.clear();
    if (keep_records)
      records_.insert(records_.end(), std::make_move_iterator(keyed.begin()), std::make_move_iterator(keyed.end()));
    store_failed_ = false;
  } catch (const store::StoreError& e) {
    store_failed_ = true;
    if (last) store_error_ = e.what();
  }
}

void DownloadSession::DrawProgress(bool force) {
  if (!progress_ && !on_progress) return;
  Clock::time_point now = Clock::now();
  if (!force && drawn_ && now - last_draw_ < progress_interval) return;
  last_draw_ = now;
  double seconds = std::chrono::duration<double>(now - started_).count();
  if (on_progress) {
    on_progress(count_, seconds > 0 ? static_cast<double>(count_) / seconds : 0.0);
    return;
  }
  char line[96];
  std::snprintf(line, sizeof line, "%sdownloading: %ld records, %.0f records/s%s", cursor_codes ? "\r\033[K" : "",
                count_, seconds > 0 ? static_cast<double>(count_) / seconds : 0.0, cursor_codes ? "" : "\n");
  *progress_ << line << std::flush;
  drawn_ = true;
}

}  // namespace vanto::cli
