// A sync's outcome for one terminal in words: the one place its cause (a code and values, as the
// sync gives it and the database keeps it) becomes a sentence, in a language the caller names,
// so the command line speaks the process's language and the console each user's.
#pragma once

#include <string>
#include <vector>

#include "host/control_status.h"
#include "host/db/sync_runs.h"
#include "host/sync_note.h"
#include "host/text/messages.h"

namespace vanto::host {

struct TerminalSync;
struct SyncNote;

// A port's cause in `language`, naming the port and the device, with a hint where one helps.
std::string DescribePortCause(Language language, int port, const PortCause& cause);
// The same in the process's language.
std::string DescribeCause(int port, const PortCause& cause);

// The cause named by `code` with its `values`, in `language`: empty when there is nothing to
// say (synced, cancelled). A code this version does not know is given as it stands.
std::string CauseText(Language language, const std::string& code, const store::CauseValues& values);
std::string CauseText(Language language, const TerminalSync& row);
// A recorded terminal's cause: from its code and values, or a row recorded with its words only
// (by an earlier version) as it was recorded.
std::string CauseText(Language language, const store::RunTerminal& row);

// Two schedules for one site: the site file's [schedule] at `where` and the package's timer.
std::string BothSchedulesText(Language language, const std::string& where);

// A sync's warning or detail (SyncNote: "nearly-full", "clone-elsewhere", "conflict") in
// `language`; a code this version does not know is given as it stands, with its values.
std::string NoteText(Language language, const SyncNote& note);
// Every note of `notes` in `language`, joined by "; " (what the sync's `warning` field says).
std::string NotesText(Language language, const std::vector<SyncNote>& notes);

}  // namespace vanto::host
