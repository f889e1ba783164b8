// Clearing a terminal's records, only when the database holds every one of them: what `vanto
// clear` does after its download, and what any front end does to empty a terminal safely. The
// result is a code and values; the front end puts it into words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/db/record_store.h"
#include "host/message.h"
#include "host/terminal_control.h"

namespace vanto::host {

struct ClearResult {
  enum class Status {
    kCleared,         // every record was stored; the terminal cleared its log (generation_now)
    kTerminalFailed,  // the terminal could not be asked or did not answer (terminal_error)
    kNoIdentity,      // a version 1 terminal: its log cannot be matched with the database's
    kIncomplete,      // the database misses the records in `missing`: nothing cleared
    kRefused,         // the terminal's log changed since it was read: nothing cleared
    kNotAudited,      // not tried: the intent could not be written to the audit trail (`terminal_error`)
  };
  Status status = Status::kTerminalFailed;
  TerminalInfo info;  // as the terminal told it before clearing
  std::vector<std::pair<std::uint32_t, std::uint32_t>> missing;  // first..last index ranges
  std::optional<std::uint32_t> generation_now;
  Message terminal_error;  // the control's description (kNotAudited: the audit trail's error)
  // kTerminalFailed after the clear was sent: `terminal_error` says whether the terminal was
  // found not cleared or could not be asked again (a clear whose answer was lost but which the
  // terminal carried out is kCleared: the control asks it again).
  bool clear_sent = false;
};

// One row of the audit trail for a clear: the intent before the terminal is asked, the outcome
// after. Actions: "terminal.clear" (intent); "terminal.clear.done", ".incomplete", ".refused",
// ".no-identity" or ".failed" (outcome).
struct ClearAudit {
  enum class Stage { kIntent, kOutcome };
  Stage stage = Stage::kIntent;
  int port = 0, terminal = 0;
  std::string action;
  std::string details;  // language-neutral: the terminal, its log, what it answered
};
// Called before the clear (a throw stops it: nothing is cleared, the result says kNotAudited)
// and after it (a throw there is ignored: the clear is not undone for it). Empty: unaudited.
using ClearAuditHook = std::function<void(const ClearAudit&)>;

// The missing ranges as "3, 7-9": the first `limit` of them, then "(+N)" for the ranges left out.
std::string MissingText(const ClearResult& result, std::size_t limit = SIZE_MAX);

// Asks `terminal` on `port` for its log and clears it when `store` holds every record of it
// (the terminal clears only when its log's generation and count are still those asked about).
// Throws StoreError when the database fails (after writing the outcome "terminal.clear.failed").
ClearResult ClearIfComplete(const store::RecordStore& store, HostControl& control, int port, int terminal,
                            const ClearAuditHook& audit = {});

}  // namespace vanto::host
