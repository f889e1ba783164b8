// Stored swipes listed in a format (a table, CSV or JSON lines), names beside person numbers:
// what the command line's swipes and the console's CSV download write.
#pragma once

#include <cstddef>
#include <ostream>

#include "host/db/swipe_store.h"
#include "host/report/cells.h"

namespace vanto::host {

// Writes the swipes `query` selects, ordered by time, holding none of them (memory stays flat
// whatever the count). Answers how many were written.
std::size_t ExportSwipes(const store::SwipeStore& store, const store::SwipeQuery& query, report::Format format,
                         std::ostream& out);

}  // namespace vanto::host
