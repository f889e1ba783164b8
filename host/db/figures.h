// What a monitor reads of the database, in a few statements over indexes, whichever engine holds
// it, for every site at once: each terminal's newest complete sync (the runs' records), the swipes
// stored per log of a terminal with identity (the logs' counts) and per site, port and address of
// one without, and each terminal's open conflicts and rejected records. Every figure of a terminal
// is keyed with its site and place (a terminal without identity is one only at its site: two
// sites' port 1, terminal 1 are two terminals). The host's figures (host/metrics.h: the dashboard,
// /metrics, the view over the sites) are made from these alone.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "host/db/table_rows.h"

namespace vanto::store {

using Place = std::pair<int, int>;  // port, terminal

// A terminal's place at its site ('' the site of rows stored before the database knew sites).
struct SitePlace {
  std::string site;
  int port = 0;
  int terminal = 0;
  auto operator<=>(const SitePlace&) const = default;
  Place place() const { return {port, terminal}; }
};

struct IdentityFigures {
  std::int64_t swipes = 0;         // of every log (generation, epoch) of the identity
  std::optional<SitePlace> place;  // where the last record of its newest log was read
  std::string downloaded_at;   // when that record was stored (UTC "YYYY-MM-DDTHH:MM:SSZ")
};

// The records a terminal holds back: rejected ones and conflicts not acknowledged.
struct HeldFigures {
  std::int64_t rejected = 0;
  std::int64_t conflicts_open = 0;
};

struct StoreFigures {
  // Each terminal a sync of its site recorded (terminal 0, a port that failed before any
  // terminal, is left out): when its newest run that synced it completely ended (UTC
  // "YYYY-MM-DDTHH:MM:SSZ"), nothing when no run ever did.
  std::map<SitePlace, std::optional<std::string>> last_complete_sync;
  // Swipes of terminals without identity, by where they were read.
  std::map<SitePlace, std::int64_t> unidentified_swipes;
  std::map<std::uint32_t, IdentityFigures> identities;
  // Each terminal that holds back a record (the others are left out).
  std::map<SitePlace, HeldFigures> held;
};

// Throws StoreError (naming the location) when the database cannot be read.
StoreFigures ReadStoreFigures(TableConnection& c);

// Whether the database answers a read of its schema's version (throws StoreError when not).
void ReadSchemaVersion(TableConnection& c);

}  // namespace vanto::store
