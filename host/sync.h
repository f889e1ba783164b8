// sync: every terminal of the site into the database. One thread per port (each with its own
// driver object, apartment and database connection), ports in parallel, the terminals of a port
// one after the other; a terminal that fails never stops the others.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/site/site.h"

namespace vanto::cli {

struct TerminalSync {
  int port = 0;
  int terminal = 0;  // 0: the port itself failed before any terminal was reached
  std::size_t delivered = 0, added = 0;
  std::size_t quarantined = 0;  // records the driver could not convert, kept apart (exit 1)
  double seconds = 0;
  bool ok = false;
  bool host_failed = false;  // the host could not do its part (database, components)
  std::string message;       // the driver's, as it gave it
  std::string cause;         // the host's words: port, device, what failed, records stored
  std::string warning;       // the terminal is nearly full
};

struct SyncSettings {
  std::string database;
  double lock_timeout = 5;
  bool progress = false;  // one line per port on `progress_out`
  bool plain_progress = false;  // without cursor codes: a line per change
  std::ostream* progress_out = nullptr;
  std::size_t batch_records = 500;
  bool all = false;  // read every record, not only the new ones
};

// Syncs every port of `site` and returns one row per terminal (and per port that failed before
// reaching its terminals), ordered by port, then terminal.
std::vector<TerminalSync> SyncSite(const site::Site& site, const SyncSettings& options);

}  // namespace vanto::cli
