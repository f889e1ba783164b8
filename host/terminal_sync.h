// One terminal's sync: what `vanto download` does and what a site-wide sync does per terminal.
// It asks the terminal (through the host's own control object) for its identity, log generation
// and count, reads only the records the database does not hold yet (or all of them), stores them
// through the driver's DownloadCarddata, and keeps a record the driver cannot convert apart as
// rejected, then goes on after it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/cancel.h"
#include "host/download.h"
#include "host/machine.h"
#include "host/message.h"
#include "host/db/record_store.h"
#include "host/db/sync_runs.h"
#include "host/sync_note.h"
#include "host/terminal_control.h"

namespace vanto::host {

struct TerminalSyncOptions {
  bool all = false;                    // read every record, not only the new ones
  std::size_t batch_records = 500;     // storing batches (tests use small ones)
  std::chrono::milliseconds batch_interval{200};
  // The refused attempts a download outlasts in all (DownloadSession::lock_attempts).
  std::size_t lock_attempts = kLockAttempts;
  // The download's progress as it goes on, and its end (DownloadSession::on_progress).
  std::function<void(const DownloadProgress&)> on_progress;
  // Each stored batch (on the download's writer thread); the result keeps none of them.
  std::function<void(const std::vector<store::Delivery::Keyed>&)> on_stored;
  // Checked before each exchange with the terminal and each record: a cancelled sync stores
  // what was delivered and ends (SyncResult::cancelled); the next sync reads on after it.
  CancelToken cancel;
};

struct SyncResult {
  int port = 0, terminal = 0;
  TerminalInfo info;             // as the terminal told it before the read
  std::uint32_t start = 0;       // index the read the control began started at
  // The log that read came from, and the log the records went to at the end (another epoch
  // when the read found a conflict); absent for a version 1 terminal.
  std::optional<store::LogKey> read_log, log;
  std::optional<std::uint32_t> read_held;  // records held when that read began (its log's count)
  // Why every record was read, for a front end to word (NoteText): "no-identity" (version,
  // identity), "asked-all", "none-stored", "gaps" (missing, first), "fewer-held" (held, stored),
  // "log-not-told"; an empty code: only new records were read.
  SyncNote read_all_because;
  std::size_t read = 0;          // records the driver delivered (also those the store refused)
  std::size_t delivered = 0;     // records delivered and stored (new or already there)
  // Records delivered under a key the database holds with other content: each is listed in the
  // database, and it and the rest of its read are stored in a new epoch of the log (exit 1).
  std::vector<store::RecordConflict> conflicts;
  std::size_t added = 0;
  std::vector<store::RejectedRecord> quarantined;  // met by this sync (new or kept before)
  std::size_t newly_quarantined = 0;
  Outcome outcome;  // the last DownloadCarddata's answer (ok when the read completed)
  bool cancelled = false;  // stopped by the options' token before the read completed
  std::optional<Message> info_error;      // the terminal did not tell its log (read in full)
  std::optional<Message> terminal_error;  // a rejected record could not be read (exit 1)
  std::optional<std::string> store_error;     // the database failed (exit 3), in English
  std::optional<Message> store_said;          // the same unworded, for a front end to translate
};


// The newest epoch of that identity and generation opened by a read of terminal `terminal` on
// `port`, else epoch 0: the one ChooseLog tries first, and keeps when the terminal's content
// matches no epoch.
store::LogKey CurrentLogAt(const store::SwipeStore& store, std::uint32_t identity, std::uint32_t generation, int port,
                           int terminal);

// The log a terminal's records go on in, chosen by content, wherever it is cabled: among the
// epochs of its identity and generation (this place's own first), the first whose records the
// terminal holds at the same indexes (TerminalInfo::held at least as many; its first record,
// its last stored one and the one midway the same person and minute); none such: this place's
// own (CurrentLogAt), whose first record the read then compares in full.
store::LogKey ChooseLog(const store::SwipeStore& store, HostControl& control, const TerminalInfo& info, int port,
                        int terminal);

// Index ranges below `held` of the terminal's current log that the database holds neither as a
// swipe nor as a rejected record: those of `log`'s epoch from its first index, and below that
// those of the epochs it was opened from. At most `limit` ranges.
std::vector<std::pair<std::uint32_t, std::uint32_t>> MissingOfLog(const store::SwipeStore& store,
                                                                  const store::LogKey& log, std::uint32_t held,
                                                                  std::size_t limit = 10);

// Syncs one terminal. Throws HostError or StoreError only for faults of the host itself.
SyncResult SyncTerminal(store::RecordStore& store, Machine& machine, HostControl& control, int port, int terminal,
                        const TerminalSyncOptions& options);


// What a conflict a sync found names, for a front end to put into words (ConflictText in
// present/sync_words.h): port, terminal, serial, generation, index, stored_person, stored_time,
// person, time, and epoch, the epoch the log goes on in.
store::CauseValues ConflictValues(const store::RecordConflict& conflict, std::uint32_t epoch);
// The epoch a sync's log goes on in after `conflict`: the log's now, or the next one.
std::uint32_t ConflictEpoch(const std::optional<store::LogKey>& log, const store::RecordConflict& conflict);

// When a terminal holds more than 80 % of its capacity: what the warning "nearly-full" names
// (port, terminal, held, capacity, percent).
std::optional<store::CauseValues> CapacityValues(int port, int terminal, const TerminalInfo& info);

// Why the driver cannot have converted these fields ("month 13", "day 30 in month 2", ...).
// "terminal T on port P", as every message of the host names a terminal (unworded: a front end
// translates it).
Message Where(int port, int terminal);

std::string RejectionReason(const RawRecord& record);

}  // namespace vanto::host
