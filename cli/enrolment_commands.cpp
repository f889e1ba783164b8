// backup, restore and copy: one person's enrolment between terminals and the database.
#include <limits>

#include "cli/command.h"
#include "host/terminal_sync.h"
#include "cli/command_support.h"
#include "host/enrolment.h"
#include "platform/ado/memory_rowset.h"
#include "host/text/messages.h"
#include "platform/ado/sqlite_rowset.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace vanto::cli {
namespace {

std::string Describe(HRESULT hr) { return ToUtf8(TakeErrorDescription(hr)); }

// Selects `port` for the thread's terminal link by a one-terminal scan, which also checks that
// the terminal answers there. Returns kExitOk or the status to exit with.
int SelectTerminal(Machine& machine, int port, int terminal, Io& io) {
  std::vector<FoundTerminal> found;
  Outcome outcome = machine.Scan({port, port}, {terminal, terminal}, &found);
  if (!outcome.ok) return Refused(io, outcome, Where(port, terminal) + ": " + Tr("the scan failed"));
  if (found.size() != 1) {
    io.err << TrFill("{0} does not answer", {Where(port, terminal)}) << "\n";
    return kExitFalse;
  }
  return kExitOk;
}

// Backs up `person` from (port, terminal) and stores it as the person's row of the kind the
// terminal gave (fingerprint or password), leaving the row of the other kind as it is.
// Returns the exit status; `kind` gets the kind stored.
int BackupPerson(Machine& machine, const std::string& db, double timeout, int port, int terminal, std::int32_t person,
                 Io& io, LONG* kind) {
  ComPtr<RowSet> rows = CreateEnrolmentRowSet();  // the driver fills its current row
  Outcome outcome = machine.Backup(port, terminal, std::to_string(person), rows);
  if (!rows) throw HostError("the driver handed back no row set");
  if (!outcome.ok)
    return Refused(io, outcome, TrFill("{0} holds no enrolment of person {1}", {Where(port, terminal), std::to_string(person)}));
  EnrolmentRow row;
  if (HRESULT hr = ReadCurrentEnrolmentRow(rows.Get(), &row); FAILED(hr))
    throw HostError(TrFill("the backup of person {0} gave a row the host cannot read: {1}", {std::to_string(person), Describe(hr)}));
  StoreEnrolment(db, row, timeout);
  *kind = row.enrolmentNumber.value_or(-1);
  return kExitOk;
}

// Writes the person's stored row of `kind` (when given), else the fingerprint when one is
// stored, else the password. `kind` gets the kind written.
int RestorePerson(Machine& machine, const std::string& db, double timeout, int port, int terminal, std::int32_t person,
                  std::optional<LONG> wanted, Io& io, LONG* kind) {
  const std::string none =
      wanted ? TrFill("no {0} of person {1} is stored in {2} (back it up first)",
                      {EnrolmentKindName(*wanted), std::to_string(person), ShownLocation(db)})
             : TrFill("no enrolment of person {0} is stored in {1} (back it up first)",
                      {std::to_string(person), ShownLocation(db)});
  if (!store::RecordStore::HasTable(db, kEnrolmentTable, std::chrono::milliseconds(static_cast<long long>(timeout * 1000)))) {
    io.err << none << "\n";
    return kExitFalse;
  }
  ComPtr<RowSet> rows;
  for (LONG candidate : {kFingerprintKind, kPasswordKind}) {
    if (wanted && *wanted != candidate) continue;
    rows = OpenEnrolmentRows(db, person, timeout, /*for_reading=*/true, candidate);
    if (RowCount(rows.Get()) > 0) {
      *kind = candidate;
      break;
    }
    rows = ComPtr<RowSet>();
  }
  if (!rows) {
    io.err << none << "\n";
    return kExitFalse;
  }
  if (int status = SelectTerminal(machine, port, terminal, io); status != kExitOk) return status;
  Outcome outcome = machine.Restore(port, terminal, std::to_string(person), rows.Get());
  if (!outcome.ok) return Refused(io, outcome, TrFill("{0} refused the enrolment of person {1}", {Where(port, terminal), std::to_string(person)}));
  return kExitOk;
}

constexpr std::int64_t kMinPerson = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kMaxPerson = std::numeric_limits<std::int32_t>::max();

double Seconds(const DatabaseOptions& o) { return o.lock_timeout; }

}  // namespace

int RunBackup(const EnrolmentOptions& o, Io& io) {
  auto person = static_cast<std::int32_t>(o.person);
  const std::string shown = OpenStore(o, true).path();  // a URL as shown: no password
  const std::string db = DatabasePath(o.db, true);
  Machine machine = Machine::Create();
  LONG kind = -1;
  int status = BackupPerson(machine, db, Seconds(o), o.port, o.terminal, person, io, &kind);
  if (status == kExitOk)
    io.out << TrFill("backed up person {0} from {1}: {2}",
                     {std::to_string(person), Where(o.port, o.terminal), EnrolmentKindName(kind)})
           << " (" << shown << ")\n";
  return status;
}

int RunRestore(const EnrolmentOptions& o, Io& io) {
  auto person = static_cast<std::int32_t>(o.person);
  // Restoring only reads: a read-only database will do, a missing one is never created.
  std::string db = DatabasePath(o.db, false);
  Machine machine = Machine::Create();
  LONG kind = -1;
  std::optional<LONG> wanted;
  if (o.password) wanted = kPasswordKind;
  int status = RestorePerson(machine, db, Seconds(o), o.port, o.terminal, person, wanted, io, &kind);
  if (status == kExitOk)
    io.out << TrFill("restored person {0} to {1}: {2}", {std::to_string(person), Where(o.port, o.terminal), EnrolmentKindName(kind)})
           << "\n";
  return status;
}

int RunCopy(const CopyOptions& o, Io& io) {
  auto person = static_cast<std::int32_t>(o.person);
  OpenStore(o, true);
  const std::string db = DatabasePath(o.db, true);
  Machine machine = Machine::Create();
  LONG kind = -1;
  if (int status = BackupPerson(machine, db, Seconds(o), o.from_port, o.from_terminal, person, io, &kind);
      status != kExitOk)
    return status;
  io.out << TrFill("backed up person {0} from {1}: {2}",
                   {std::to_string(person), Where(o.from_port, o.from_terminal), EnrolmentKindName(kind)})
         << "\n";
  // What was copied is the kind the first terminal gave, not another kind stored from elsewhere.
  const LONG copied = kind;
  if (int status = RestorePerson(machine, db, Seconds(o), o.to_port, o.to_terminal, person, copied, io, &kind);
      status != kExitOk)
    return status;
  io.out << TrFill("restored person {0} to {1}: {2}", {std::to_string(person), Where(o.to_port, o.to_terminal), EnrolmentKindName(kind)})
         << "\n";
  return kExitOk;
}

namespace {
void PortAndTerminal(Parser& p, const std::string& prefix, const std::string& what, int* port, int* terminal) {
  p.Number(prefix + "port", "N", "serial port of the terminal" + what + " (1..32767)", port, 1, kMaxPort,
           Required::kYes);
  p.Number(prefix + "terminal", "N", "terminal" + what + " on that port (1..255)", terminal, 1, kMaxTerminal,
           Required::kYes);
}
}  // namespace

Command BackupCommand() {
  return {"backup", "copy one person's enrolment from a terminal into the database",
          "vanto backup --port N --terminal N --person N [--db PATH]",
          "Stores the fingerprint template, or the password when the terminal has no fingerprint\n"
          "of that person, in the enrolment table. A person has a fingerprint row and a password row\n"
          "side by side: a backup replaces only the row of the kind the terminal gave.",
          [](Parser& p) -> Run {
            auto o = std::make_shared<EnrolmentOptions>();
            PortAndTerminal(p, "", "", &o->port, &o->terminal);
            p.Whole("person", "N", "person number (a whole number)", &o->person, kMinPerson, kMaxPerson,
                    Required::kYes);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunBackup(*o, io); };
          }};
}

Command RestoreCommand() {
  return {"restore", "write one person's stored enrolment to a terminal",
          "vanto restore --port N --terminal N --person N [--password] [--db PATH]",
          "First checks that the terminal answers on that port (which also selects the port), then\n"
          "writes the person's stored fingerprint, or the password when no fingerprint is stored\n"
          "(--password: the password). The database is only read: a read-only one, in a read-only\n"
          "folder, will do.",
          [](Parser& p) -> Run {
            auto o = std::make_shared<EnrolmentOptions>();
            PortAndTerminal(p, "", "", &o->port, &o->terminal);
            p.Whole("person", "N", "person number (-32768..32767)", &o->person, -32768, 32767, Required::kYes);
            p.Flag("password", "write the stored password, even when a fingerprint is stored", &o->password);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunRestore(*o, io); };
          }};
}

Command CopyCommand() {
  return {"copy", "back up a person's enrolment from one terminal and restore it to another",
          "vanto copy --from-port N --from-terminal N --to-port N --to-terminal N --person N [--db PATH]",
          "The enrolment passes through the database's enrolment table, where it stays; the kind the\n"
          "first terminal gave (fingerprint or password) is the kind written to the second.",
          [](Parser& p) -> Run {
            auto o = std::make_shared<CopyOptions>();
            PortAndTerminal(p, "from-", " to copy from", &o->from_port, &o->from_terminal);
            PortAndTerminal(p, "to-", " to copy to", &o->to_port, &o->to_terminal);
            p.Whole("person", "N", "person number (-32768..32767)", &o->person, -32768, 32767, Required::kYes);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunCopy(*o, io); };
          }};
}

}  // namespace vanto::cli
