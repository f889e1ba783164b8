// Clearing a terminal's records, only when the database holds every one of them: what `vanto
// clear` does after its download, and what any front end does to empty a terminal safely. The
// result is a code and values; the front end puts it into words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/store/record_store.h"
#include "host/terminal_control.h"

namespace vanto::host {

struct ClearResult {
  enum class Status {
    kCleared,         // every record was stored; the terminal cleared its log (generation_now)
    kTerminalFailed,  // the terminal could not be asked or did not answer (terminal_error)
    kNoIdentity,      // a version 1 terminal: its log cannot be matched with the database's
    kIncomplete,      // the database misses the records in `missing`: nothing cleared
    kRefused,         // the terminal's log changed since it was read: nothing cleared
  };
  Status status = Status::kTerminalFailed;
  TerminalInfo info;  // as the terminal told it before clearing
  std::vector<std::pair<std::uint32_t, std::uint32_t>> missing;  // first..last index ranges
  std::optional<std::uint32_t> generation_now;
  std::string terminal_error;  // the control's description
};

// Asks `terminal` on `port` for its log and clears it when `store` holds every record of it
// (the terminal clears only when its log's generation and count are still those asked about).
// Throws StoreError when the database fails.
ClearResult ClearIfComplete(const store::RecordStore& store, HostControl& control, int port, int terminal);

}  // namespace vanto::host
