// The enrolment table of the host's database: a person's fingerprint row and password row side
// by side (iFingerprintNO 0 and 10). The driver sees one person's rows of one kind at a time, as
// row sets the database handle opens over its own connections; a backup goes through a row set
// in memory and then replaces only the row of the kind the terminal gave.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/db/database.h"
#include "host/control_status.h"
#include "host/machine.h"
#include "host/message.h"
#include "host/site_choice.h"
#include "platform/ado/enrolment.h"
#include "platform/ado/rowset.h"
#include "platform/automation/owners.h"

namespace vanto::host {

inline constexpr LONG kFingerprintKind = 0;
inline constexpr LONG kPasswordKind = 10;
// "fingerprint", "password" or "enrolment N", unworded (a front end translates it; English() for
// the audit trail).
Message EnrolmentKindName(long long kind);

// A person is a site's: every function here works on the rows of one site of `db`, the command's
// chosen (or the console's serving) site, as Database::EnrolmentRows reads and writes them.

// The rows of `person` (everyone's when none), of one `kind` when given, of `site` in the
// enrolment table of `db`, over a connection of the handle. With `for_reading` nothing is written
// through them. Throws HostError with a one-line message naming the database.
ComPtr<RowSet> EnrolmentRowsOf(db::Database& db, const SiteChoice& site, std::optional<std::int32_t> person,
                               bool for_reading = false, std::optional<LONG> kind = std::nullopt);

// Stores `row` as its person's row of its kind at `site`: every stored row of that site, person
// and kind takes its values, or a row is added (under the site) when there is none. The rows of
// other kinds and of other sites stay as they are. Throws HostError.
void StoreEnrolment(db::Database& db, const SiteChoice& site, const EnrolmentRow& row);

// The row count of a row set, or -1 when it cannot tell.
long RowCount(RowSet* rows);
// A Long column of the current row; nullopt-like `fallback` when it holds no number.
long long ColumnNumber(RowSet* rows, const char16_t* column, long long fallback);

// One person's enrolment between a terminal and the database: what `vanto backup`, `restore`
// and `copy` do. The result is a code and values; the front end puts it into words.
struct EnrolmentResult {
  enum class Status {
    kDone,          // `kind` was stored (backup) or written (restore)
    kRefused,       // the driver answered False at `step` (its answer in `outcome`)
    kNotAnswering,  // the scan that selects the port did not find the terminal
    kNoneStored,    // restore: the database holds no enrolment of the person (of the kind asked for)
    kNotAudited,    // not tried: the intent could not be written to the audit trail (`failure`)
  };
  enum class Step { kBackup, kScan, kRestore };
  Status status = Status::kDone;
  Step step = Step::kBackup;
  Outcome outcome;
  LONG kind = -1;
  Message failure;  // kNotAudited: why the audit trail refused the intent
  // kRefused because the port itself could not be used (missing, busy, ...): its cause, for a
  // front end to word; empty otherwise.
  std::optional<PortCause> port_cause;
};

// A terminal of the site: its port and its number on that port's line.
struct TerminalAt {
  int port = 0, terminal = 0;
  bool operator==(const TerminalAt&) const = default;
};

// One row of the audit trail for an enrolment action on a terminal: the intent before it, the
// outcome after it.
struct EnrolmentAudit {
  enum class Stage { kIntent, kOutcome };
  Stage stage = Stage::kIntent;
  // "enrolment.backup" or "enrolment.write" (intent); with ".done", ".refused" or ".failed" (outcome).
  std::string action;
  std::string details;  // language-neutral: the person, the terminal, the kind, the driver's answer
};
// Called before an action on a terminal (a throw stops it: nothing is done, the result says
// kNotAudited) and after it (a throw there is ignored: the action is not undone for it). Empty:
// the action is not audited.
using EnrolmentAuditHook = std::function<void(const EnrolmentAudit&)>;

// Backs up `person` from (port, terminal) and stores it as the person's row of the kind the
// terminal gave (fingerprint or password), leaving the row of the other kind as it is. Throws
// HostError when the host's part fails (the database, a row it cannot read).
EnrolmentResult BackupEnrolment(Machine& machine, db::Database& db, const SiteChoice& site, int port, int terminal,
                                std::int32_t person, const EnrolmentAuditHook& audit = {});
// Writes the person's stored row of `wanted` (when given), else the fingerprint when one is
// stored, else the password, after a one-terminal scan that checks the terminal answers (and
// selects the port). Only reads the database: a handle opened read-only will do, and one whose
// SQLite file is still to be made by its first write holds none (kNoneStored).
EnrolmentResult RestoreEnrolment(Machine& machine, db::Database& db, const SiteChoice& site, int port, int terminal,
                                 std::int32_t person, std::optional<LONG> wanted, const EnrolmentAuditHook& audit = {});

// A person's enrolment copied to terminals: backed up from `from` first when given (and then
// the kind that terminal gave is the kind written), else the stored one (the fingerprint when
// one is stored, else the password). What `vanto copy` and the console's copy do.
struct EnrolmentCopy {
  std::optional<EnrolmentResult> backup;  // the backup from `from`, when one was asked for
  struct Write {
    TerminalAt to;
    EnrolmentResult result;
    // The host's part failed (the database, a row it cannot read): its message (none: it did not).
    std::optional<Message> failure;
  };
  std::vector<Write> writes;  // one per target, in order, each once; none when the backup failed
  // True when the backup (if any) and every write were done.
  bool Done() const;
};
// Throws HostError when the backup's host part fails; a write's host failure is its `failure`.
EnrolmentCopy CopyEnrolment(Machine& machine, db::Database& db, const SiteChoice& site, std::int32_t person,
                            std::optional<TerminalAt> from, const std::vector<TerminalAt>& to,
                            const EnrolmentAuditHook& audit = {});

// The driver keeps the last port it used locked for the calling thread, past the thread's end:
// a long-running front end calls this on the thread that ran the actions, with the terminals
// they used. The host's control takes each port's lock over (one exchange with the terminal
// given for it) and releases it. Throws HostError when the control cannot be created.
void ReleaseEnrolmentPorts(const std::vector<TerminalAt>& used);

// How a long-running front end runs an action on terminals: `action` on a thread of its own,
// which then releases the ports of `used` (ReleaseEnrolmentPorts) before it ends. What `action`
// throws is thrown here once the thread has ended; a failure to release is told to
// `release_failed` (may be empty) and does not undo the action.
void RunReleasingPorts(const std::vector<TerminalAt>& used, const std::function<void()>& action,
                       const std::function<void(const std::string& problem)>& release_failed = {});

}  // namespace vanto::host
