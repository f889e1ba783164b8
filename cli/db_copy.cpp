#include "cli/db_copy.h"

#include <cstdio>
#include <set>
#include <tuple>

#include "cli/commands.h"
#include "cli/enrolment.h"
#include "cli/machine.h"
#include "cli/store/record_store.h"
#include "platform/ado/enrolment.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace vanto::cli {

namespace {

using EnrolmentKey = std::tuple<std::optional<LONG>, std::optional<LONG>, std::optional<LONG>, std::optional<LONG>,
                                std::optional<std::vector<BYTE>>>;
EnrolmentKey KeyOf(const EnrolmentRow& r) {
  return {r.personNumber, r.enrolmentNumber, r.machineNumber, r.password, r.fingerprint};
}

std::vector<EnrolmentRow> ReadAll(RowSet* rows, const std::string& where) {
  std::vector<EnrolmentRow> all;
  if (HRESULT hr = ReadEnrolmentRows(rows, &all); FAILED(hr))
    throw HostError("cannot read the enrolments of " + where + ": " + ToUtf8(TakeErrorDescription(hr)));
  return all;
}

class Progress {
 public:
  explicit Progress(std::ostream* out) : out_(out) {}
  void Show(const char* what, std::int64_t done, std::int64_t total) {
    if (!out_) return;
    auto now = std::chrono::steady_clock::now();
    if (done != total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    char line[96];
    std::snprintf(line, sizeof line, "\r\033[Kcopying %s: %lld of %lld", what, static_cast<long long>(done),
                  static_cast<long long>(total));
    *out_ << line << std::flush;
    drawn_ = true;
  }
  ~Progress() {
    if (drawn_) *out_ << "\r\033[K" << std::flush;
  }

 private:
  std::ostream* out_;
  std::chrono::steady_clock::time_point last_{};
  bool drawn_ = false;
};

}  // namespace

int RunDbCopy(const DbCopyOptions& o, Io& io) {
  std::string from = o.from.value_or(""), to = o.to.value_or("");
  if (from.empty() || to.empty()) throw UsageError("--from and --to need a path or URL");
  if (from == to) throw UsageError("--from and --to name the same database");
  double timeout = o.lock_timeout;
  store::OpenOptions options;
  options.lock_timeout = std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
  // The source is only read: a read-only file or a standby will do, and nothing there changes.
  store::RecordStore source(store::OpenSwipeStoreForReading(from, options.lock_timeout));
  store::RecordStore target = store::RecordStore::Open(to, options);
  Progress progress(o.quiet || !io.progress ? nullptr : &io.err);

  // Swipes, in batches; the source is read as it goes, so memory stays flat.
  const std::int64_t total = source.CountSwipes();
  std::int64_t seen = 0, added = 0;
  std::vector<store::StoredSwipe> batch;
  batch.reserve(2000);
  auto flush = [&] {
    for (bool stored : target.swipes().Insert(batch)) added += stored ? 1 : 0;
    seen += static_cast<std::int64_t>(batch.size());
    batch.clear();
    progress.Show("swipes", seen, total);
  };
  source.Each({}, [&](const store::StoredSwipe& s) {
    batch.push_back(s);
    if (batch.size() == 2000) flush();
    return true;
  });
  if (!batch.empty()) flush();

  // Enrolments: a row the destination holds already, value for value, is not added again.
  std::vector<EnrolmentRow> enrolments;
  if (store::RecordStore::HasTable(from, "enrolment", options.lock_timeout)) {
    ComPtr<RowSet> from_rows = OpenEnrolmentRows(from, std::nullopt, timeout, /*for_reading=*/true);
    enrolments = ReadAll(from_rows.Get(), source.path());
  }
  ComPtr<RowSet> to_rows = OpenEnrolmentRows(to, std::nullopt, timeout);
  std::multiset<EnrolmentKey> held;
  for (const EnrolmentRow& r : ReadAll(to_rows.Get(), target.path())) held.insert(KeyOf(r));
  std::int64_t enrolments_added = 0, enrolments_done = 0;
  for (const EnrolmentRow& r : enrolments) {
    auto it = held.find(KeyOf(r));
    if (it != held.end()) {
      held.erase(it);
    } else {
      if (HRESULT hr = AddEnrolmentRow(to_rows.Get(), r); FAILED(hr))
        throw HostError("cannot copy an enrolment of person " +
                        (r.personNumber ? std::to_string(*r.personNumber) : std::string("(none)")) + " into " +
                        target.path() + ": " + ToUtf8(TakeErrorDescription(hr)));
      ++enrolments_added;
    }
    progress.Show("enrolments", ++enrolments_done, static_cast<std::int64_t>(enrolments.size()));
  }

  // The count check: every source row was read, and the destination holds at least as many.
  const std::int64_t held_swipes = target.CountSwipes();
  ComPtr<RowSet> check = OpenEnrolmentRows(to, std::nullopt, timeout, /*for_reading=*/true);
  const long held_enrolments = RowCount(check.Get());
  if (seen != total || held_swipes < total || held_enrolments < static_cast<long>(enrolments.size()))
    throw HostError("the copy from " + source.path() + " to " + target.path() + " is incomplete: " +
                    std::to_string(seen) + " of " + std::to_string(total) + " swipes read, the destination holds " +
                    std::to_string(held_swipes) + " swipes and " + std::to_string(held_enrolments) + " of " +
                    std::to_string(enrolments.size()) + " enrolments");
  io.out << "copied " << seen << " swipes (" << added << " new, " << seen - added << " already there) and "
         << enrolments.size() << " enrolments (" << enrolments_added << " new) from " << source.path() << " to "
         << target.path() << "; it holds " << held_swipes << " swipes and " << held_enrolments << " enrolments\n";
  return kExitOk;
}

}  // namespace vanto::cli
