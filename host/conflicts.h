// Conflicts: records a terminal delivered under a key the database holds with other content (a
// terminal reset to a log generation seen before, two terminals telling one identity). A sync
// keeps both records and lists the conflict; it stays listed until an administrator
// acknowledges it. The front ends list them and put the outcome into words (and audit it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/db/record_store.h"

namespace vanto::host {

// The schema step that added the conflicts: a database from before holds none.
inline constexpr int kConflictsSchemaVersion = 5;

// The conflicts of `store` found at `site` (every site's when none: SiteChoice::filter), oldest
// first; acknowledged ones too with `all`.
std::vector<store::RecordConflict> ListConflicts(const store::RecordStore& store, bool all,
                                                 const std::optional<std::string>& site = std::nullopt);

enum class AcknowledgeOutcome { kAcknowledged, kNoSuchConflict, kAlreadyAcknowledged };
struct Acknowledgement {
  AcknowledgeOutcome outcome = AcknowledgeOutcome::kNoSuchConflict;
  store::RecordConflict conflict;  // as listed after the call (kAcknowledged, kAlreadyAcknowledged)
};

// Acknowledges conflict `id` under the name `by`. A conflict acknowledged already keeps its
// first acknowledgement; one not found at `site` (when given) is no such conflict, and stays.
Acknowledgement AcknowledgeConflict(store::RecordStore& store, std::int64_t id, const std::string& by,
                                    const std::optional<std::string>& site = std::nullopt);

// Swipes stored twice by versions that chose a log's epoch by the port (store::StoredDouble):
// listed with the conflicts, folded by an administrator. None in a database from before epochs.
std::vector<store::StoredDouble> ListDoubles(const store::RecordStore& store);
// Folds every double under the name `by` from `origin` (audited as "swipes.fold" in the fold's
// transaction); answers the doubles folded, none when there are none left.
std::vector<store::StoredDouble> FoldDoubles(store::RecordStore& store, const std::string& by, const std::string& origin);

}  // namespace vanto::host
