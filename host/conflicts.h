// Conflicts: records a terminal delivered under a key the database holds with other content (a
// terminal reset to a log generation seen before, two terminals telling one identity). A sync
// keeps both records and lists the conflict; it stays listed until an administrator
// acknowledges it. The front ends list them and put the outcome into words (and audit it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/db/record_store.h"

namespace vanto::host {

// The schema step that added the conflicts: a database from before holds none.
inline constexpr int kConflictsSchemaVersion = 5;

// The conflicts of `store`, oldest first; acknowledged ones too with `all`.
std::vector<store::RecordConflict> ListConflicts(const store::RecordStore& store, bool all);

enum class AcknowledgeOutcome { kAcknowledged, kNoSuchConflict, kAlreadyAcknowledged };
struct Acknowledgement {
  AcknowledgeOutcome outcome = AcknowledgeOutcome::kNoSuchConflict;
  store::RecordConflict conflict;  // as listed after the call (kAcknowledged, kAlreadyAcknowledged)
};

// Acknowledges conflict `id` under the name `by`. A conflict acknowledged already keeps its
// first acknowledgement.
Acknowledgement AcknowledgeConflict(store::RecordStore& store, std::int64_t id, const std::string& by);

}  // namespace vanto::host
