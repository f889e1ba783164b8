// A code and the values it names: how the host reports a result a person may read, so that each
// front end words it in its user's language (present/sync_words.h) and a program reads the code.
#pragma once

#include <string>

#include "host/control_status.h"
#include "host/db/sync_runs.h"

namespace vanto::host {

// A remark on a terminal's sync beside its outcome, for programs: a code and the values it
// names; a front end puts it into words (NoteText, present/sync_words.h). Warnings: "nearly-full"
// (port, terminal, held, capacity, percent: clear it after a complete sync), "clone-elsewhere"
// (serial, elsewhere: the identity answered at other places too, each log in its own epoch).
// Conflict details: "conflict" (ConflictValues, host/terminal_sync.h). Why a read read every
// record: TerminalSyncOptions' read_all_because (host/terminal_sync.h).
struct SyncNote {
  std::string code;
  store::CauseValues values;
  bool operator==(const SyncNote&) const = default;
};

// The values that name a port's fault (port, device, detail, terminal, holder_pid, holder_name).
store::CauseValues PortFaultValues(int port, const PortCause& cause);
// Whether `code` is a port's fault (the port or its line, not a terminal on it).
bool IsPortFault(const std::string& code);

}  // namespace vanto::host
