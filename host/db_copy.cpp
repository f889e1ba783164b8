#include "host/db_copy.h"

#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "host/attendance_data.h"
#include "host/errors.h"
#include "host/enrolment.h"
#include "host/machine.h"
#include "host/text/messages.h"
#include "host/store/record_store.h"
#include "platform/ado/enrolment.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace vanto::host {

namespace {

using EnrolmentKey = std::tuple<std::optional<LONG>, std::optional<LONG>, std::optional<LONG>, std::optional<LONG>,
                                std::optional<std::vector<BYTE>>>;
EnrolmentKey KeyOf(const EnrolmentRow& r) {
  return {r.personNumber, r.enrolmentNumber, r.machineNumber, r.password, r.fingerprint};
}

std::vector<EnrolmentRow> ReadAll(RowSet* rows, const std::string& where) {
  std::vector<EnrolmentRow> all;
  if (HRESULT hr = ReadEnrolmentRows(rows, &all); FAILED(hr))
    throw HostError(TrFill("cannot read the enrolments of {0}: {1}", {where, ToUtf8(TakeErrorDescription(hr))}));
  return all;
}

}  // namespace

DbCopyResult CopyDatabase(const DbCopySettings& o, const CopyProgress& on_progress) {
  const std::string& from = o.from;
  const std::string& to = o.to;
  if (from.empty() || to.empty()) throw InputError(Tr("--from and --to need a path or URL"));
  if (from == to) throw InputError(Tr("--from and --to name the same database"));
  double timeout = o.lock_timeout;
  store::OpenOptions options;
  options.lock_timeout = std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
  // The source is only read: a read-only file or a standby will do, and nothing there changes.
  store::RecordStore source(store::OpenSwipeStoreForReading(from, options.lock_timeout));
  store::RecordStore target = store::RecordStore::Open(to, options);
  auto progress = [&](CopyStage stage, std::int64_t done, std::int64_t total) {
    if (on_progress) on_progress(stage, done, total);
  };

  // Conflicts, then the epochs they opened (naming each conflict by its number here), before the
  // swipes keyed by those epochs: a terminal's log reads on in its epoch in the copy too. A
  // source from before the epochs (schema step 5) has neither.
  constexpr int kEpochsSchemaVersion = 5;
  std::map<std::int64_t, std::int64_t> conflict_here;  // the source's number -> the destination's
  std::int64_t epochs = 0, epochs_added = 0, conflicts = 0, conflicts_added = 0;
  if (source.swipes().schema_version() >= kEpochsSchemaVersion) {
    const std::size_t before = target.swipes().Conflicts(true).size();
    for (const store::RecordConflict& c : source.swipes().Conflicts(true)) {
      conflict_here[c.id] = target.swipes().PutConflict(c);
      ++conflicts;
    }
    conflicts_added = static_cast<std::int64_t>(target.swipes().Conflicts(true).size() - before);
    for (store::LogEpoch e : source.swipes().AllEpochs()) {
      if (e.conflict) {
        auto here = conflict_here.find(*e.conflict);
        e.conflict = here == conflict_here.end() ? std::nullopt : std::optional<std::int64_t>(here->second);
      }
      if (target.swipes().PutEpoch(e)) ++epochs_added;
      ++epochs;
    }
  }

  // Swipes, in batches; the source is read as it goes, so memory stays flat.
  const std::int64_t total = source.CountSwipes();
  std::int64_t seen = 0, added = 0;
  std::vector<store::StoredSwipe> batch;
  batch.reserve(2000);
  auto flush = [&] {
    for (bool stored : target.swipes().Insert(batch)) added += stored ? 1 : 0;
    seen += static_cast<std::int64_t>(batch.size());
    batch.clear();
    progress(CopyStage::kSwipes, seen, total);
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
        throw HostError(TrFill("cannot copy an enrolment of person {0} into {1}: {2}",
                               {r.personNumber ? std::to_string(*r.personNumber) : std::string(Tr("(none)")),
                                target.path(), ToUtf8(TakeErrorDescription(hr))}));
      ++enrolments_added;
    }
    progress(CopyStage::kEnrolments, ++enrolments_done, static_cast<std::int64_t>(enrolments.size()));
  }

  // People: as a re-import does, the source's names and departments update the destination's;
  // people only the destination knows stay. A source from before the people table has none.
  std::vector<store::PersonName> people;
  if (HoldsPeople(source.swipes())) people = source.swipes().People();
  store::PeopleImport people_done = target.swipes().PutPeople(people);
  progress(CopyStage::kPeople, static_cast<std::int64_t>(people.size()),
                static_cast<std::int64_t>(people.size()));

  // Rejected records: each kept once, by its log and index (a version 1 terminal's by port,
  // terminal and index); one the destination holds keeps its first reason and time. Swipes and
  // rejected records are counted per log by the destination's own triggers as they arrive.
  // A source from before the rejected records table (schema step 3) has none.
  constexpr int kRejectedSchemaVersion = 3;
  std::vector<store::RejectedRecord> rejected;
  if (source.swipes().schema_version() >= kRejectedSchemaVersion) rejected = source.Rejected();
  std::int64_t rejected_added = 0, rejected_done = 0;
  for (const store::RejectedRecord& r : rejected) {
    if (target.AddRejected(r)) ++rejected_added;
    progress(CopyStage::kRejected, ++rejected_done,
                  static_cast<std::int64_t>(rejected.size()));
  }

  // The count check: every source row was read, and the destination holds at least as many.
  const std::int64_t held_swipes = target.CountSwipes();
  ComPtr<RowSet> check = OpenEnrolmentRows(to, std::nullopt, timeout, /*for_reading=*/true);
  const long held_enrolments = RowCount(check.Get());
  const std::size_t held_people = target.swipes().People().size();
  const std::size_t held_rejected = target.Rejected().size();
  if (held_rejected < rejected.size())
    throw HostError(TrNFill("the copy from {0} to {1} is incomplete: the destination holds {2} of {3} rejected record",
                            "the copy from {0} to {1} is incomplete: the destination holds {2} of {3} rejected records",
                            rejected.size(),
                           {source.path(), target.path(), std::to_string(held_rejected),
                            std::to_string(rejected.size())}));
  if (seen != total || held_swipes < total || held_enrolments < static_cast<long>(enrolments.size()) ||
      held_people < people.size())
    throw HostError(TrFill("the copy from {0} to {1} is incomplete: {2} of {3} read, the destination holds {4}, {5} of "
                           "{6} and {7} of {8}",
                           {source.path(), target.path(), std::to_string(seen),
                            TrNFill("{0} swipe", "{0} swipes", static_cast<unsigned long>(total), {std::to_string(total)}),
                            TrNFill("{0} swipe", "{0} swipes", static_cast<unsigned long>(held_swipes),
                                    {std::to_string(held_swipes)}),
                            std::to_string(held_enrolments),
                            TrNFill("{0} enrolment", "{0} enrolments", enrolments.size(),
                                    {std::to_string(enrolments.size())}),
                            std::to_string(held_people),
                            TrNFill("{0} person", "{0} people", people.size(), {std::to_string(people.size())})}));
  DbCopyResult result;
  result.source = source.path();
  result.target = target.path();
  result.swipes = seen, result.swipes_added = added, result.swipes_held = held_swipes;
  result.enrolments = static_cast<std::int64_t>(enrolments.size()), result.enrolments_added = enrolments_added;
  result.enrolments_held = held_enrolments;
  result.people = static_cast<std::int64_t>(people.size()), result.people_added = people_done.added;
  result.people_updated = people_done.updated, result.people_unchanged = people_done.unchanged;
  result.people_held = static_cast<std::int64_t>(held_people);
  result.rejected = static_cast<std::int64_t>(rejected.size()), result.rejected_added = rejected_added;
  result.rejected_held = static_cast<std::int64_t>(held_rejected);
  result.epochs = epochs, result.epochs_added = epochs_added;
  result.conflicts = conflicts, result.conflicts_added = conflicts_added;
  return result;
}

}  // namespace vanto::host
