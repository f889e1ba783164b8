// sync: every terminal of the site into the database. One thread per port (each with its own
// driver object, apartment and database connection), ports in parallel, the terminals of a port
// one after the other; a terminal that fails never stops the others.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/cancel.h"
#include "host/clock.h"
#include "host/db/database.h"
#include "host/db/swipe_store.h"
#include "host/site/site.h"
#include "host/db/sync_runs.h"
#include "host/sync_note.h"

namespace vanto::host {

struct TerminalSync {
  int port = 0;
  int terminal = 0;  // 0: the port itself failed before any terminal was reached
  std::size_t delivered = 0, added = 0;
  std::size_t quarantined = 0;  // records the driver could not convert, kept apart (exit 1)
  double seconds = 0;
  bool ok = false;
  bool host_failed = false;  // the host could not do its part (database, components)
  bool cancelled = false;    // the sync was cancelled before this terminal was done (or reached)
  std::string message;       // the driver's, as it gave it
  // What failed, as a word for programs: a port's fault ("missing", "permission", "busy",
  // "not-serial", "setting", "open", "line"), "no-terminal" (a scan found none), "terminal",
  // "download", "store", "host", "quarantined", "conflict" (a log kept in a new epoch), "clone"
  // (an identity answering elsewhere too), "cancelled"; empty when synced.
  std::string cause_code;
  // What the cause names (port, device, counts, epoch, the failure's text, ...): a front end
  // puts code and values into words with CauseText (present/sync_words.h), in its user's language.
  store::CauseValues cause_values;
  std::uint32_t held = 0, capacity = 0;  // records on the terminal and its capacity, as it told (0: not told)
  std::vector<SyncNote> warnings;  // the terminal is nearly full; or its identity answered elsewhere too
  // Records whose times lie outside the site's plausible window (stored all the same).
  std::size_t implausible = 0;
  // The terminal's clock, when the site lets sync set clocks (clock.set_when_drift_above).
  std::optional<TerminalClock> clock;
  // Records delivered under a key the database holds with other content (exit 1): each kept,
  // the log going on in a new epoch. `details` has a "conflict" note for each.
  std::vector<store::RecordConflict> conflicts;
  std::vector<SyncNote> details;
  std::optional<store::LogKey> log;  // the log the terminal's records went to (version 2)
  bool clone = false;  // its identity answered on another port or address too, with other records
};

// How far a port's thread is, for a progress display.
struct PortProgress {
  enum class Stage { kScanning, kStarting, kReading, kDone };
  Stage stage = Stage::kStarting;
  int first = 0, last = 0;  // kScanning: the terminals looked for
  int terminal = 0;         // kStarting, kReading: the terminal, and which of how many
  std::size_t index = 0, count = 0;
  long records = 0;  // kReading: records read so far, at `rate` a second
  double rate = 0;
};

struct SyncSettings {
  // The process's database handle (required): every port's store and the run's record come from it.
  std::shared_ptr<db::Database> db;
  // The site whose swipes these are (ChooseSite): every row the sync stores carries it, and its
  // row in `sites` records the sync. '' the database holds no site (rows of no site, as before).
  std::string site_name;
  double lock_timeout = 5;
  // Called from the ports' threads, concurrently, as each port goes on (a stage's first call
  // and then while reading); the host library shows nothing itself.
  std::function<void(int port, const PortProgress& progress)> on_progress;
  std::size_t batch_records = 500;
  bool all = false;  // read every record, not only the new ones
  // Checked between exchanges, records, terminals and (when scanning) the terminals looked for:
  // a cancelled sync stores what was delivered, releases its ports and returns promptly.
  CancelToken cancel;
  // The site's zone and the host's time for record times and clocks; its set_when_drift_above,
  // host_clock, even_if_unsynchronised and audit hook apply when the site lets sync set clocks.
  ClockOptions clock;
  // Who started the sync, for its record in the database (store/sync_runs.h), and where a
  // failure to record it is told (the sync itself goes on; may be empty).
  store::RunStarter started_by = store::RunStarter::Command;
  std::string who;
  // The failure comes as a note: "record-start" or "record-end" (error) (NoteText words it).
  std::function<void(const SyncNote& failure)> on_record_failure;
  // A failed row's cause in English words, which the run's record keeps beside its code and
  // values for a reader of the table itself and a program of an earlier version (the front ends
  // give the presentation's CauseText in English; empty: the record keeps code and values only).
  std::function<std::string(const TerminalSync& row)> recorded_cause;
  // Called once the run's record is begun, with its id (absent: the start could not be
  // recorded), before any port is reached (may be empty; a throw is ignored).
  std::function<void(std::optional<std::int64_t> run)> on_run_begun;
};

// Syncs every port of `site` and returns one row per terminal (and per port that failed before
// reaching its terminals), ordered by port, then terminal. The run is recorded in the database:
// begun before the ports are reached, finished with the rows.
std::vector<TerminalSync> SyncSite(const site::Site& site, const SyncSettings& options);

}  // namespace vanto::host
