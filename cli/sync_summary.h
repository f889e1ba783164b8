// The summary of one terminal's sync as the command line prints it.
#pragma once

#include <ostream>

#include "cli/cli.h"
#include "host/db/record_store.h"
#include "host/terminal_sync.h"

namespace vanto::host {}
namespace vanto::cli {
using namespace vanto::host;  // the front end presents what the host library does

// Prints the summary of a sync (`summary`: the records line; warnings and errors on io.err) and
// answers the exit status: 0 done, 1 the terminal failed or records were quarantined, 3 the
// database failed. `command` names the command in error lines.
int ReportSync(const SyncResult& sync, const store::RecordStore& store, std::ostream& summary, Io& io,
               const char* command);

}  // namespace vanto::cli
