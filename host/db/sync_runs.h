// The record of site syncs in the site's database, whichever engine holds it: each run (when it
// started and ended, who started it: the command line under the operating-system user, the
// package's timer, a console user, the console's schedule) and, per terminal, the outcome, the
// cause, and the records delivered and stored. A run is begun before its first terminal is
// reached and finished with its rows in one transaction, so a run without an end was still
// going or its process stopped.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vanto::store {

enum class RunStarter { Command, Timer, Console, Schedule };
const char* RunStarterName(RunStarter starter);  // "command", "timer", "console", "schedule": as stored
std::optional<RunStarter> ParseRunStarter(std::string_view text);

// What a cause names (a port, a device, counts, an epoch, ...), name -> value in a fixed order:
// the values a front end puts into words with the cause's code (present/sync_words.h).
using CauseValues = std::vector<std::pair<std::string, std::string>>;
// As the database keeps them: a "name=value" line each, '%', CR and LF in a value escaped
// (%25, %0D, %0A); and back (lines without '=' are passed over).
std::string CauseValuesText(const CauseValues& values);
CauseValues ParseCauseValues(const std::string& text);

// One terminal's part of a run (terminal 0: the port failed before any terminal was reached).
struct RunTerminal {
  int port = 0;
  int terminal = 0;
  std::string outcome;     // "synced", "failed", "cancelled"
  std::string cause_code;  // empty when synced; see TerminalSync::cause_code
  std::string cause;       // the host's words in English (rows recorded before the values: as it was then)
  CauseValues cause_values;  // what the cause names (empty in rows recorded before the values)
  std::int64_t delivered = 0, added = 0, quarantined = 0;
  std::int64_t held = 0, capacity = 0;  // records on the terminal and what it holds at most (0: not told)
  // Its clock as the sync found it: "" not read, "none" (no clock commands), "read", "set" (read,
  // then set from the host's clock), "invalid" (it showed no valid time); the drift in seconds,
  // ahead of the host (negative: behind), when read.
  std::string clock;
  std::optional<std::int64_t> clock_drift;
};

struct SyncRun {
  std::int64_t id = 0;
  std::string started_at;                 // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::optional<std::string> ended_at;    // absent: still going, or its process stopped
  RunStarter started_by = RunStarter::Command;
  std::string who;                        // the operating-system or console user (empty: the timer, the schedule)
  std::string ports;                      // which ports ("" every port of the site; "3": port 3 only)
  std::string site;                       // the site it synced ('' a database of no site)
  std::vector<RunTerminal> terminals;     // by port, then terminal
};

// A terminal's last sync: the run, when it ended, and the terminal's row.
struct LastSync {
  std::int64_t run = 0;
  std::string ended_at;
  RunTerminal terminal;
};

class SyncRunStore {
 public:
  virtual ~SyncRunStore() = default;
  virtual const std::string& location() const = 0;
  // Records a run's start; answers its id.
  // `site`: the site it syncs ('' a database of no site).
  virtual std::int64_t Begin(const std::string& started_at, RunStarter by, const std::string& who,
                             const std::string& ports, const std::string& site) = 0;
  // Records its end and its terminals, in one transaction (all or, on a StoreError, nothing).
  virtual void Finish(std::int64_t run, const std::string& ended_at, const std::vector<RunTerminal>& terminals) = 0;
  // The newest `limit` runs of `site` (every site's when none) with their terminals, newest first.
  std::vector<SyncRun> Recent(std::size_t limit, const std::optional<std::string>& site = {}) {
    return Runs(limit, INT64_MAX, site);
  }
  // The newest `limit` runs (of every site) whose id is at most `newest`, with their terminals,
  // newest first.
  std::vector<SyncRun> Upto(std::size_t limit, std::int64_t newest) { return Runs(limit, newest, std::nullopt); }
  // The newest `limit` runs of `site` (every site's when none) whose id is at most `newest`, with
  // their terminals, newest first.
  virtual std::vector<SyncRun> Runs(std::size_t limit, std::int64_t newest, const std::optional<std::string>& site) = 0;
  // The run `id` with its terminals, when there is one.
  std::optional<SyncRun> Find(std::int64_t id);
  // Each terminal's row of `site`'s newest finished run that reached it, keyed by (port, terminal)
  // (another site's port and terminal numbers are other terminals).
  virtual std::map<std::pair<int, int>, LastSync> LastByTerminal(const std::string& site) = 0;
  // Every terminal a finished run of `site` reached, keyed by (port, terminal), with the end (UTC,
  // as stored) of the newest run of `site` that synced it; "" when none did. Terminal 0 (a port
  // that failed before any terminal answered) is no terminal and left out. One statement on the
  // index by terminal, however many runs there are.
  virtual std::map<std::pair<int, int>, std::string> LastCompleteSyncs(const std::string& site) = 0;
};


}  // namespace vanto::store
