// clear: a terminal's records deleted after a download, only when every one is stored.
#include "accounts/accounts.h"
#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/progress_line.h"
#include "cli/sync_summary.h"
#include "host/clear.h"
#include "host/text/messages.h"
#include "host/terminal_control.h"
#include "host/terminal_sync.h"

namespace vanto::cli {

int RunClear(const ClearOptions& o, Io& io) {
  int port = o.port, terminal = o.terminal;
  if (!o.yes) throw UsageError(TrFill("clear deletes the terminal's records: confirm with {0}", {"--yes"}));
  store::RecordStore store = OpenStore(o, true);
  Machine machine = Machine::Create();
  HostControl control = HostControl::Create();
  TerminalSyncOptions options;
  options.on_progress = DownloadProgressDrawer(io.progress ? &io.err : nullptr, io.cursor);
  SyncResult sync = SyncTerminal(store, machine, control, port, terminal, options);
  if (int status = ReportSync(sync, store, io.out, io, "clear"); status == kExitHost || sync.terminal_error ||
                                                                  !sync.outcome.ok)
    return status == kExitOk ? kExitFalse : status;
  // The audit trail lives in the database: an intent before the terminal is asked, an outcome after.
  accounts::Accounts accounts(CommandDatabase(o, DatabaseUse::kWrite)->Accounts());
  const accounts::Actor actor{OsUser(), "command line"};
  const ClearResult clear = ClearIfComplete(store, control, port, terminal, [&accounts, &actor](const ClearAudit& a) {
    accounts.Audit(actor, a.action, a.details);
  });
  const TerminalInfo& info = clear.info;
  switch (clear.status) {
    case ClearResult::Status::kNotAudited:
      io.err << TrFill("{0}: nothing done: the audit trail could not be written ({1})",
                       {Translate(Where(port, terminal)), Translate(clear.terminal_error)})
             << "\n";
      return kExitHost;  // the database failed: the host's part
    case ClearResult::Status::kTerminalFailed:
      io.err << Translate(clear.terminal_error) << "\n";
      return kExitFalse;
    case ClearResult::Status::kNoIdentity:
      // Version 1 tells none; a later version may tell identity 0 (no serial set).
      io.err << (info.version < 2
                     ? TrFill("{0} tells no identity (protocol version 1): its records are not cleared",
                              {Translate(Where(port, terminal))})
                     : TrFill("{0} tells no identity (protocol version {1}, identity 0): its records are not cleared",
                              {Translate(Where(port, terminal)), std::to_string(info.version)}))
             << "\n";
      return kExitFalse;
    case ClearResult::Status::kIncomplete: {
      const std::string ranges = MissingText(clear);
      io.err << TrFill("{0} is not cleared: the database misses records {1} of its {2} (log generation {3})",
                       {Translate(Where(port, terminal)), ranges, std::to_string(info.held), std::to_string(info.generation)})
             << "\n";
      return kExitFalse;
    }
    case ClearResult::Status::kRefused:
      io.err << TrFill("{0} refused to clear: its records changed since they were read (nothing cleared)",
                       {Translate(Where(port, terminal))})
             << "\n";
      return kExitFalse;
    case ClearResult::Status::kCleared:
      break;
  }
  io.out << TrNFill("{0}: cleared {1} record, all stored (log generation now {2})",
                    "{0}: cleared {1} records, all stored (log generation now {2})", info.held,
                    {Translate(Where(port, terminal)), std::to_string(info.held), std::to_string(*clear.generation_now)})
         << "\n";
  // Every record is stored and the terminal is empty; a conflict its download found still says so.
  return sync.conflicts.empty() ? kExitOk : kExitFalse;
}

Command ClearCommand() {
  return {"clear", TrLater("download a terminal's records, then clear them when every one is stored"),
          "vanto clear --port N --terminal N --yes [--db PATH] [--site FILE]",
          TrLater("Downloads first, then clears the terminal only when the database holds every record of\n"
          "its current log (rejected ones count as held); otherwise it says which are missing and\n"
          "clears nothing. The terminal itself refuses a clear when its records changed meanwhile."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<ClearOptions>();
            p.Number("port", "N", TrLater("serial port number (1..32767)"), &o->port, 1, kMaxPort, Required::kYes);
            p.Number("terminal", "N", TrLater("terminal number on that port (1..255)"), &o->terminal, 1, kMaxTerminal,
                     Required::kYes);
            p.Flag("yes", TrLater("confirm: the terminal's records are deleted"), &o->yes);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunClear(*o, io); };
          }};
}

}  // namespace vanto::cli
