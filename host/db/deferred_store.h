// A store whose SQLite file is created only when something is first stored: a command that
// fails before storing anything (a first download from a terminal that does not answer) leaves
// no file behind, and never has to remove one that another process may have opened meanwhile.
#pragma once

#include <memory>
#include <string>

#include "host/db/swipe_store.h"

namespace vanto::store {

// Opens the store at `location` as OpenSwipeStore does when it exists (or is a server). When an
// SQLite file does not exist yet, reads answer what an empty database holds (or, once another
// process has created the file, what it holds), and the first write creates it (OpenSwipeStore).
std::unique_ptr<SwipeStore> OpenSwipeStoreOnFirstWrite(const std::string& location, const OpenOptions& options = {});

}  // namespace vanto::store
