#include "host/conflicts.h"

#include <optional>

#include "host/db/civil_time.h"

namespace vanto::host {
namespace {

std::optional<store::RecordConflict> Find(const store::RecordStore& store, std::int64_t id,
                                          const std::optional<std::string>& site) {
  for (store::RecordConflict& c : store.swipes().Conflicts(true, site))
    if (c.id == id) return std::move(c);
  return std::nullopt;
}

}  // namespace

std::vector<store::RecordConflict> ListConflicts(const store::RecordStore& store, bool all,
                                                 const std::optional<std::string>& site) {
  if (store.swipes().schema_version() < kConflictsSchemaVersion) return {};
  return store.swipes().Conflicts(all, site);
}

Acknowledgement AcknowledgeConflict(store::RecordStore& store, std::int64_t id, const std::string& by,
                                    const std::optional<std::string>& site) {
  Acknowledgement result;
  if (site && !Find(store, id, site)) return result;  // another site's: not this site's to acknowledge
  const bool changed = store.swipes().AcknowledgeConflict(id, by);
  std::optional<store::RecordConflict> now = Find(store, id, site);
  if (!now) return result;
  result.conflict = std::move(*now);
  result.outcome = changed ? AcknowledgeOutcome::kAcknowledged : AcknowledgeOutcome::kAlreadyAcknowledged;
  return result;
}

std::vector<store::StoredDouble> ListDoubles(const store::RecordStore& store) {
  if (store.swipes().schema_version() < kConflictsSchemaVersion) return {};
  return store.swipes().Doubles();
}

std::vector<store::StoredDouble> FoldDoubles(store::RecordStore& store, const std::string& by, const std::string& origin) {
  return store.swipes().FoldDoubles({store::UtcNowText(), by, origin, "swipes.fold", "doubles stored under two epochs"});
}

}  // namespace vanto::host
