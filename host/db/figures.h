// What a monitor reads of the site's database, in a few statements over indexes, whichever engine
// holds it: each terminal's newest complete sync (the runs' records), the swipes stored per log of
// a terminal with identity (the logs' counts) and per port and address of one without, the open
// conflicts and the rejected records. The host's figures (host/metrics.h) are made from these.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "host/db/table_rows.h"

namespace vanto::store {

using Place = std::pair<int, int>;  // port, terminal

struct IdentityFigures {
  std::int64_t swipes = 0;     // of every log (generation, epoch) of the identity
  std::optional<Place> place;  // where the last record of its newest log was read
  std::string downloaded_at;   // when that record was stored (UTC "YYYY-MM-DDTHH:MM:SSZ")
};

struct StoreFigures {
  // Each terminal a sync recorded (terminal 0, a port that failed before any terminal, is left
  // out): when its newest run that synced it completely ended (UTC "YYYY-MM-DDTHH:MM:SSZ"),
  // nothing when no run ever did.
  std::map<Place, std::optional<std::string>> last_complete_sync;
  // Swipes of terminals without identity, by where they were read.
  std::map<Place, std::int64_t> unidentified_swipes;
  std::map<std::uint32_t, IdentityFigures> identities;
  std::int64_t conflicts_open = 0;
  std::int64_t rejected = 0;
};

// Throws StoreError (naming the location) when the database cannot be read.
StoreFigures ReadStoreFigures(TableConnection& c);

// Whether the database answers a read of its schema's version (throws StoreError when not).
void ReadSchemaVersion(TableConnection& c);

}  // namespace vanto::store
