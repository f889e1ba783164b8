#include "host/clear.h"

#include <exception>

#include "host/terminal_sync.h"

namespace vanto::host {

namespace {

std::string ClearWhere(int port, int terminal) {
  return "port " + std::to_string(port) + " terminal " + std::to_string(terminal);
}

// The outcome's action and details, language-neutral.
ClearAudit ClearOutcome(const ClearResult& r, int port, int terminal) {
  ClearAudit a{ClearAudit::Stage::kOutcome, port, terminal, "terminal.clear.failed", ClearWhere(port, terminal)};
  const std::string log = "; log generation " + std::to_string(r.info.generation) + ", " +
                          std::to_string(r.info.held) + " records held";
  switch (r.status) {
    case ClearResult::Status::kCleared:
      a.action = "terminal.clear.done";
      a.details += log + "; generation now " + std::to_string(r.generation_now.value_or(0));
      break;
    case ClearResult::Status::kIncomplete:
      a.action = "terminal.clear.incomplete";
      a.details += log + "; the database misses records " + MissingText(r, 20) + "; nothing cleared";
      break;
    case ClearResult::Status::kRefused:
      a.action = "terminal.clear.refused";
      a.details += log + "; its log changed since it was read; nothing cleared";
      break;
    case ClearResult::Status::kNoIdentity:
      a.action = "terminal.clear.no-identity";
      a.details += "; protocol version " + std::to_string(r.info.version) + " tells no identity; nothing cleared";
      break;
    case ClearResult::Status::kTerminalFailed:
    case ClearResult::Status::kNotAudited:
      a.details += "; " + r.terminal_error.English();
      break;
  }
  if (r.clear_sent) a.details = ClearWhere(port, terminal) + log + "; the clear was sent; " + r.terminal_error.English();
  return a;
}

ClearResult Clear(const store::RecordStore& store, HostControl& control, int port, int terminal) {
  ClearResult result;
  try {
    result.info = control.Info(terminal);
  } catch (const TerminalError& e) {
    result.status = ClearResult::Status::kTerminalFailed;
    result.terminal_error = MessageOf(e);
    return result;
  }
  if (!result.info.Identified()) {
    result.status = ClearResult::Status::kNoIdentity;
    return result;
  }
  // The terminal's current log, chosen by its content: a log reset to a generation seen before,
  // or told by two terminals, is held in the epoch its conflict opened (and below it in the one
  // before), wherever the terminal is cabled now.
  result.missing = MissingOfLog(
      store.swipes(), ChooseLog(store.swipes(), control, result.info, port, terminal),
      result.info.held);
  if (!result.missing.empty()) {
    result.status = ClearResult::Status::kIncomplete;
    return result;
  }
  try {
    result.generation_now = control.Clear(terminal, result.info.generation, result.info.held);
  } catch (const TerminalError& e) {
    // The control asks the terminal again when an answer is lost: a clear it carried out comes
    // back as its new generation, so this is a clear not carried out, or one it cannot tell.
    result.clear_sent = true;
    result.terminal_error = MessageOf(e);
    result.status = ClearResult::Status::kTerminalFailed;
    return result;
  }
  result.status = result.generation_now ? ClearResult::Status::kCleared : ClearResult::Status::kRefused;
  return result;
}

}  // namespace

std::string MissingText(const ClearResult& r, std::size_t limit) {
  std::string text;
  for (std::size_t i = 0; i < r.missing.size() && i < limit; ++i)
    text += (i ? ", " : "") + std::to_string(r.missing[i].first) +
            (r.missing[i].second != r.missing[i].first ? "-" + std::to_string(r.missing[i].second) : "");
  if (r.missing.size() > limit) text += " (+" + std::to_string(r.missing.size() - limit) + ")";
  return text;
}

ClearResult ClearIfComplete(const store::RecordStore& store, HostControl& control, int port, int terminal,
                            const ClearAuditHook& audit) {
  control.SelectPort(port);
  if (audit) {
    try {
      audit({ClearAudit::Stage::kIntent, port, terminal, "terminal.clear",
             ClearWhere(port, terminal) + "; cleared only when the database holds every record of its log"});
    } catch (const std::exception& e) {
      ClearResult refused;
      refused.status = ClearResult::Status::kNotAudited;
      refused.terminal_error = MessageOf(e);
      return refused;
    }
  }
  ClearResult result;
  try {
    result = Clear(store, control, port, terminal);
  } catch (const std::exception& e) {
    // The database (or the host's part) failed: said in the trail, then passed on.
    if (audit) try {
        ClearResult failed;
        failed.terminal_error = MessageOf(e);
        audit(ClearOutcome(failed, port, terminal));
      } catch (const std::exception&) {
      }
    throw;
  }
  // The outcome's row failing leaves the intent's row standing: the clear is not undone for it.
  if (audit) try {
      audit(ClearOutcome(result, port, terminal));
    } catch (const std::exception&) {
    }
  return result;
}

}  // namespace vanto::host
