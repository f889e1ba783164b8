#include "host/clear.h"

#include "host/terminal_sync.h"

namespace vanto::host {

ClearResult ClearIfComplete(const store::RecordStore& store, HostControl& control, int port, int terminal) {
  ClearResult result;
  control.SelectPort(port);
  try {
    result.info = control.Info(terminal);
  } catch (const TerminalError& e) {
    result.status = ClearResult::Status::kTerminalFailed;
    result.terminal_error = e.what();
    return result;
  }
  if (!result.info.Identified()) {
    result.status = ClearResult::Status::kNoIdentity;
    return result;
  }
  // The terminal's current log: a log reset to a generation seen before, or told by two
  // terminals, is held in the epoch its conflict opened (and below it in the one before).
  result.missing = MissingOfLog(
      store.swipes(), CurrentLogAt(store.swipes(), result.info.identity, result.info.generation, port, terminal),
      result.info.held);
  if (!result.missing.empty()) {
    result.status = ClearResult::Status::kIncomplete;
    return result;
  }
  try {
    result.generation_now = control.Clear(terminal, result.info.generation, result.info.held);
  } catch (const TerminalError& e) {
    result.status = ClearResult::Status::kTerminalFailed;
    result.terminal_error = e.what();
    return result;
  }
  result.status = result.generation_now ? ClearResult::Status::kCleared : ClearResult::Status::kRefused;
  return result;
}

}  // namespace vanto::host
