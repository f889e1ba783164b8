// download: the new swipes of one terminal into the database (or all of them).
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/sync_summary.h"
#include "host/control_status.h"
#include "present/sync_words.h"
#include "host/download.h"
#include "host/terminal_control.h"
#include "host/terminal_sync.h"
#include "host/text/messages.h"
#include "cli/output.h"
#include "cli/progress_line.h"

namespace vanto::cli {
int RunDownload(const DownloadOptions& o, Io& io) {
  if (o.csv && o.json) throw UsageError(TrFill("{0} and {1} exclude each other", {"--csv", "--json"}));
  if (o.quiet && o.progress) throw UsageError(TrFill("{0} and {1} exclude each other", {"--quiet", "--progress"}));
  // A first download creates the database only when it stores something: one that fails first
  // leaves no file, and no file another process may have opened is ever removed.
  std::shared_ptr<db::Database> database = CommandDatabase(o, DatabaseUse::kFirstWrite);
  std::optional<store::RecordStore> store(
      store::RecordStore(database->Swipes(), CommandSite(o, DatabaseUse::kFirstWrite).name));
  Machine machine = Machine::Create();
  HostControl control = HostControl::Create();
  bool progress = o.progress || (io.progress && !o.quiet);
  TerminalSyncOptions options;
  options.all = o.all;
  options.on_progress = DownloadProgressDrawer(progress ? &io.err : nullptr, io.cursor);
  const int port = o.port, terminal = o.terminal;
  // The records are written as each batch is stored: nothing of the log is kept in memory.
  std::size_t written = 0;
  if (o.csv) {
    io.out << "port,terminal,person,time,occurrence,new\n";
    options.on_stored = [&](const std::vector<store::Delivery::Keyed>& records) {
      for (const auto& r : records)
        io.out << port << ',' << terminal << ',' << r.swipe.person << ','
               << CsvField(store::SecondText(store::CivilFromDate(r.swipe.time))) << ',' << r.occurrence << ','
               << (r.added ? "true" : "false") << '\n';
    };
  } else if (o.json) {
    // One record a line, each dumped on its own, so a long download is never one big value.
    io.out << "[";
    options.on_stored = [&](const std::vector<store::Delivery::Keyed>& records) {
      for (const auto& r : records) {
        nlohmann::ordered_json record = {{"port", port},
                                         {"terminal", terminal},
                                         {"person", r.swipe.person},
                                         {"time", store::SecondText(store::CivilFromDate(r.swipe.time))},
                                         {"occurrence", r.occurrence},
                                         {"new", r.added}};
        io.out << (written++ ? ",\n " : "") << record.dump();
      }
    };
  }
  SyncResult sync = SyncTerminal(*store, machine, control, o.port, o.terminal, options);
  // A download that succeeded leaves its database behind even when it had nothing new to store,
  // so the summary below names a database that is there.
  // (Every repository but the swipes' creates a file the first write has not created yet.)
  if (sync.outcome.ok && !sync.store_error) database->SyncRuns();
  if (o.json) io.out << "]\n";
  int status = ReportSync(sync, *store, (o.csv || o.json) ? io.err : io.out, io, "download");
  if (!sync.outcome.ok && !sync.store_error) {
    // Beside the driver's fixed message, the cause: port, device, what failed, what was stored.
    std::string cause;
    try {
      PortCause last = ControlStatus::Create().Status(port);
      if (last.Failed()) cause = DescribeCause(port, last);
    } catch (const HostError&) {
    }
    if (!cause.empty())
      io.err << "vanto download: "
             << TrNFill("{0}; {1} record delivered, {2} new stored in {3}",
                        "{0}; {1} records delivered, {2} new stored in {3}", static_cast<unsigned long>(sync.delivered),
                        {cause, std::to_string(sync.delivered), std::to_string(sync.added), store->path()})
             << "\n";
  }
  return status;
}

Command DownloadCommand() {
  return {"download", TrLater("pull the new card swipes of one terminal into the database"),
          "vanto download --port N --terminal N [--all] [--csv | --json] [--db PATH]",
          TrLater("Reads only the records the database does not hold yet from a terminal that tells its\n"
          "identity; everything from one that does not, or after its records were cleared, or with\n"
          "--all. Stores each swipe once, whatever port the terminal is on. A record the driver\n"
          "cannot convert (an impossible date) is quarantined ('vanto rejected') and the download\n"
          "goes on after it; it then exits 1. With --csv or --json the records go to standard output\n"
          "and the summary to standard error. On a terminal a progress line shows while it runs. A\n"
          "first download that fails leaves no empty database behind."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<DownloadOptions>();
            p.Number("port", "N", TrLater("serial port number (1..32767)"), &o->port, 1, kMaxPort, Required::kYes);
            p.Number("terminal", "N", TrLater("terminal number on that port (1..255)"), &o->terminal, 1, kMaxTerminal,
                     Required::kYes);
            p.Flag("all", TrLater("read every record the terminal holds, not only the new ones"), &o->all);
            p.Flag("csv", TrLater("also print the delivered records as CSV"), &o->csv);
            p.Flag("json", TrLater("also print the delivered records as JSON"), &o->json);
            p.Flag("quiet", TrLater("no progress line"), &o->quiet);
            p.Flag("progress", TrLater("show the progress line even when standard error is no terminal"), &o->progress);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunDownload(*o, io); };
          }};
}

}  // namespace vanto::cli
