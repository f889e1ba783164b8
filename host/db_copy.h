// Database copy: every table of one store copied into another (SQLite file or database server,
// either way), idempotent: rows the destination holds already are left as they are, so running it
// twice adds nothing. A count check at the end; progress through a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vanto::host {

struct DbCopySettings {
  std::string from, to;  // paths or URLs (InputError when empty or the same)
  double lock_timeout = 5.0;
};

// What a copy is doing: its stage and how far it is.
enum class CopyStage { kSwipes, kEnrolments, kPeople, kRejected };
using CopyProgress = std::function<void(CopyStage stage, std::int64_t done, std::int64_t total)>;

struct DbCopyResult {
  std::string source, target;  // as shown (a server without its password)
  std::int64_t swipes = 0, swipes_added = 0, swipes_held = 0;
  std::int64_t enrolments = 0, enrolments_added = 0, enrolments_held = 0;
  std::int64_t people = 0, people_added = 0, people_updated = 0, people_unchanged = 0, people_held = 0;
  std::int64_t rejected = 0, rejected_added = 0, rejected_held = 0;
  // The logs' epochs and the conflicts that opened them (acknowledged or not).
  std::int64_t epochs = 0, epochs_added = 0, conflicts = 0, conflicts_added = 0;
};

// Copies; throws HostError (with both stores named) when a store fails or the count check finds
// the destination short.
DbCopyResult CopyDatabase(const DbCopySettings& settings, const CopyProgress& progress = {});

}  // namespace vanto::host
