// Database copy: every table of one store copied into another (SQLite file or database server,
// either way), as the schema's list of tables says (store/schema.h: SchemaTables), read from one
// consistent snapshot of the source. Idempotent: rows the destination holds already are left as
// they are, so running it twice adds nothing and a copy broken off is completed by running it
// again. Swipes keep their feed order; push endpoints go on after the same swipe. Afterwards each
// table's content is compared, row for row; progress through a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/db/database.h"
#include "host/db/schema.h"

namespace vanto::host {

// Refuses (InputError) a copy whose source or destination is not named, or names the same
// database: checked before either is opened.
void CheckCopyLocations(const std::string& from, const std::string& to);

struct DbCopySettings {
  // The source, opened for reading only (nothing created, migrated or written: a read-only file
  // or a standby will do), and the destination, created or brought up to date when opened with
  // DatabaseOptions::note_schema_found (the result says from which schema version). One handle
  // for each database; InputError when either is missing or both are the same.
  std::shared_ptr<db::Database> from, to;
  // For tests: called after each batch of swipes is stored and before its feed order and
  // positions are committed; a throw there breaks the copy off at that point.
  std::function<void()> after_batch_stored = nullptr;
  // Copies one site only (`--site NAME`) into a destination that may hold other sites: the rows
  // of site NAME of the source (every row of a source that holds no site, as site NAME), its
  // `sites` row and push endpoints, and the logs' epochs of the terminals whose swipes it copies.
  // Users, sessions, tokens and the audit trail are not copied; the destination's other sites'
  // rows are not touched, and only the site's rows are compared. A site the destination does not
  // hold is added and audited (site.add) as `actor` from `origin` did it. InputError when the
  // source holds sites and not NAME (naming those it holds), or when another site of the
  // destination keys its push keys with the site's key name.
  std::optional<std::string> site = std::nullopt;
  std::string actor = "", origin = "";
};

// What a copy is doing: its stage and how far it is.
enum class CopyStage { kSwipes, kEnrolments, kPeople, kRejected };
using CopyProgress = std::function<void(CopyStage stage, std::int64_t done, std::int64_t total)>;

// One table compared after the copy: its rows in the source (as copied) and in the destination,
// each side's checksum of the content no engine makes (generated numbers and feed positions are
// compared through what they name), and the source's rows the destination lacks.
struct TableCheck {
  std::string table;
  store::TableCopy copy = store::TableCopy::kCopied;
  bool not_with_site = false;  // left out because the copy is of one site (users, tokens, audit)
  std::int64_t source_rows = 0, target_rows = 0, missing = 0;
  std::uint64_t source_sum = 0, target_sum = 0;
};

struct DbCopyResult {
  std::string source, target;  // as shown (a server without its password)
  std::int64_t swipes = 0, swipes_added = 0, swipes_held = 0;
  std::int64_t enrolments = 0, enrolments_added = 0, enrolments_held = 0;
  std::int64_t people = 0, people_added = 0, people_updated = 0, people_unchanged = 0, people_held = 0;
  std::int64_t rejected = 0, rejected_added = 0, rejected_held = 0;
  // The logs' epochs and the conflicts that opened them (acknowledged or not).
  std::int64_t epochs = 0, epochs_added = 0, conflicts = 0, conflicts_added = 0;
  // The destination's schema version before the copy brought it up to date (0: it was created)
  // and after.
  int target_schema_before = 0, target_schema_after = 0;
  // The source's feed position of the last swipe copied ("" none; the copy reads one snapshot:
  // swipes stored later, or by a transaction still open then, are for the next run).
  std::string copied_up_to;
  // With DbCopySettings::site: whether this run added the site to the destination.
  bool site_added = false;
  // Push endpoints whose delivered position lies beyond what this run copied: left for the next.
  std::vector<std::string> endpoints_held_back;
  // One per table of the schema, in its order (tables left out with nothing counted).
  std::vector<TableCheck> checks;
  // Whether the destination holds every row the source held.
  bool Complete() const;
};

// Copies and compares; throws HostError (with both stores named) when a store fails. A
// destination short of rows is no exception: Complete() says so, and `checks` where.
DbCopyResult CopyDatabase(const DbCopySettings& settings, const CopyProgress& progress = {});

}  // namespace vanto::host
