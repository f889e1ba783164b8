// Helpers the host's commands share: where a terminal is, the operation's refusal, the store.
#pragma once

#include <string>

#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/machine.h"
#include "cli/store/record_store.h"

namespace vanto::cli {

std::string Where(int port, int terminal);

// The operation answered False: its message as it stands, or ours when it gave none.
int Refused(Io& io, const Outcome& outcome, const std::string& ours);

store::RecordStore OpenStore(const DatabaseOptions& o, bool create);

std::chrono::milliseconds LockTimeout(const DatabaseOptions& o);

}  // namespace vanto::cli
