#include "cli/sync_summary.h"

#include "cli/command_support.h"
#include "host/sync.h"
#include "present/sync_words.h"
#include "host/text/messages.h"

namespace vanto::cli {

namespace {
void PrintConflicts(const SyncResult& sync, std::ostream& err) {
  std::size_t shown = 0;
  for (const store::RecordConflict& c : sync.conflicts) {
    if (shown++ == 10) break;
    err << NoteText(Language::kProcess, {"conflict", ConflictValues(c, ConflictEpoch(sync.log, c))}) << "\n";
  }
}
}  // namespace

// The summary of one terminal's sync, and its exit status.
int ReportSync(const SyncResult& sync, const store::RecordStore& store, std::ostream& summary, Io& io,
               const char* command) {
  const std::string where = Translate(Where(sync.port, sync.terminal));
  if (sync.terminal_error) {
    io.err << Translate(*sync.terminal_error) << "\n";
    if (sync.delivered == 0) return kExitFalse;
  }
  summary << where << ": "
          << TrNFill("{0} record delivered, {1} new, {2} already stored ({3})",
                     "{0} records delivered, {1} new, {2} already stored ({3})",
                     static_cast<unsigned long>(sync.delivered),
                    {std::to_string(sync.delivered), std::to_string(sync.added),
                     std::to_string(sync.delivered - sync.added), store.path()})
          << "\n";
  // The log of the read the control began (the terminal may have changed since it was asked).
  const std::uint32_t identity = sync.read_log ? sync.read_log->identity : sync.info.identity;
  const std::uint32_t generation = sync.read_log ? sync.read_log->generation : sync.info.generation;
  // Its count too: a terminal that started a new log between the question and the read holds
  // that log's records, not the old one's.
  const std::uint32_t held = sync.read_log && sync.read_held ? *sync.read_held : sync.info.held;
  if (sync.info.Identified() && !sync.terminal_error)
    summary << "  "
            << TrNFill("serial {0}, log generation {1}, {2} record held; {3}",
                       "serial {0}, log generation {1}, {2} records held; {3}", static_cast<unsigned long>(held),
                      {std::to_string(identity), std::to_string(generation),
                       std::to_string(held),
                       sync.read_all_because.code.empty()
                           ? TrFill("read from record {0}", {std::to_string(sync.start)})
                           : TrFill("read them all: {0}", {NoteText(Language::kProcess, sync.read_all_because)})})
            << "\n";
  if (auto full = CapacityValues(sync.port, sync.terminal, sync.info))
    io.err << TrFill("warning: {0}", {NoteText(Language::kProcess, {"nearly-full", *full})}) << "\n";
  if (!sync.quarantined.empty())
    io.err << where << ": "
           << Fill(sync.quarantined.size() == 1
                       ? Tr("{0} record quarantined ({1} new): the driver could not convert it; see 'vanto rejected'")
                       : Tr("{0} records quarantined ({1} new): the driver could not convert them; see 'vanto "
                            "rejected'"),
                   {std::to_string(sync.quarantined.size()), std::to_string(sync.newly_quarantined)})
           << "\n";
  PrintConflicts(sync, io.err);
  if (sync.store_error) {
    io.err << "vanto " << command << ": "
           << TrNFill("{0}; {1} record read, {2} stored", "{0}; {1} records read, {2} stored",
                      static_cast<unsigned long>(sync.read),
                      {sync.store_said ? Translate(*sync.store_said) : *sync.store_error, std::to_string(sync.read),
                       std::to_string(sync.delivered)})
           << "\n";
    return kExitHost;
  }
  if (sync.terminal_error) return kExitFalse;
  if (!sync.outcome.ok) {
    if (sync.info_error) io.err << Translate(*sync.info_error) << "\n";
    return Refused(io, sync.outcome, where + ": " + Tr("the download failed"));
  }
  if (!sync.quarantined.empty() || !sync.conflicts.empty()) return kExitFalse;
  return kExitOk;
}

}  // namespace vanto::cli
