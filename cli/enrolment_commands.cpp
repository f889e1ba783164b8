// backup, restore and copy: one person's enrolment between terminals and the database.
#include <limits>

#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/enrolment.h"
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
  if (!outcome.ok) return Refused(io, outcome, Where(port, terminal) + ": the scan failed");
  if (found.size() != 1) {
    io.err << Where(port, terminal) << " does not answer\n";
    return kExitFalse;
  }
  return kExitOk;
}

std::string EnrolmentKind(RowSet* rows) {
  long long number = ColumnNumber(rows, u"iFingerprintNO", -1);
  if (number == 0) return "fingerprint";
  if (number == 10) return "password";
  return "enrolment " + std::to_string(number);
}

// Backs up `person` from (port, terminal) and commits the row. Returns the exit status.
int BackupPerson(Machine& machine, const std::string& db, double timeout, int port, int terminal, std::int32_t person,
                 Io& io, std::string* kind) {
  ComPtr<RowSet> rows = OpenEnrolmentRows(db, person, timeout);
  Outcome outcome = machine.Backup(port, terminal, std::to_string(person), rows);
  if (!rows) throw HostError("the driver handed back no row set");
  if (!outcome.ok) {
    rows->CancelUpdate();  // whatever the failed backup wrote into the row stays uncommitted
    return Refused(io, outcome, Where(port, terminal) + " holds no enrolment of person " + std::to_string(person));
  }
  // A password backup into a new row leaves bFingerprint without a value, and a rewrite refuses
  // a row whose bFingerprint has none ("无效使用 Null"): the host stores an empty blob there, as a
  // password row has.
  if (ColumnNumber(rows.Get(), u"iFingerprintNO", -1) == 10) {
    Bstr field(u"bFingerprint");
    Variant blob;
    if (SUCCEEDED(rows->get_Value(field.Get(), blob.Put())) && (blob.Type() == VT_NULL || blob.Type() == VT_EMPTY)) {
      Variant column = Variant::Str(u"bFingerprint");
      Variant empty = Variant::Array(VT_UI1, SafeArrayCreateVector(VT_UI1, 0, 0));
      if (HRESULT hr = rows->put_Collect(column.Raw(), empty.Raw()); FAILED(hr)) {
        rows->CancelUpdate();
        throw HostError("cannot store the enrolment of person " + std::to_string(person) + " in " + db + ": " +
                        Describe(hr));
      }
    }
  }
  if (HRESULT hr = rows->Update(); FAILED(hr))
    throw HostError("cannot store the enrolment of person " + std::to_string(person) + " in " + db + ": " + Describe(hr));
  *kind = EnrolmentKind(rows.Get());
  return kExitOk;
}

int RestorePerson(Machine& machine, const std::string& db, double timeout, int port, int terminal, std::int32_t person,
                  Io& io, std::string* kind) {
  if (!store::RecordStore::HasTable(db, kEnrolmentTable, std::chrono::milliseconds(static_cast<long long>(timeout * 1000)))) {
    io.err << "no enrolment of person " << person << " is stored in " << db << " (back it up first)\n";
    return kExitFalse;
  }
  ComPtr<RowSet> rows = OpenEnrolmentRows(db, person, timeout, /*for_reading=*/true);
  if (RowCount(rows.Get()) <= 0) {
    io.err << "no enrolment of person " << person << " is stored in " << db << " (back it up first)\n";
    return kExitFalse;
  }
  rows->MoveFirst();
  *kind = EnrolmentKind(rows.Get());
  if (int status = SelectTerminal(machine, port, terminal, io); status != kExitOk) return status;
  Outcome outcome = machine.Restore(port, terminal, std::to_string(person), rows.Get());
  if (!outcome.ok) return Refused(io, outcome, Where(port, terminal) + " refused the enrolment of person " + std::to_string(person));
  return kExitOk;
}

constexpr std::int64_t kMinPerson = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kMaxPerson = std::numeric_limits<std::int32_t>::max();

double Seconds(const DatabaseOptions& o) { return o.lock_timeout; }

}  // namespace

int RunBackup(const EnrolmentOptions& o, Io& io) {
  auto person = static_cast<std::int32_t>(o.person);
  std::string db = OpenStore(o, true).path();
  Machine machine = Machine::Create();
  std::string kind;
  int status = BackupPerson(machine, db, Seconds(o), o.port, o.terminal, person, io, &kind);
  if (status == kExitOk)
    io.out << "backed up person " << person << " from " << Where(o.port, o.terminal) << ": " << kind << " (" << db
           << ")\n";
  return status;
}

int RunRestore(const EnrolmentOptions& o, Io& io) {
  auto person = static_cast<std::int32_t>(o.person);
  // Restoring only reads: a read-only database will do, a missing one is never created.
  std::string db = DatabasePath(o.db, false);
  Machine machine = Machine::Create();
  std::string kind;
  int status = RestorePerson(machine, db, Seconds(o), o.port, o.terminal, person, io, &kind);
  if (status == kExitOk)
    io.out << "restored person " << person << " to " << Where(o.port, o.terminal) << ": " << kind << "\n";
  return status;
}

int RunCopy(const CopyOptions& o, Io& io) {
  auto person = static_cast<std::int32_t>(o.person);
  std::string db = OpenStore(o, true).path();
  Machine machine = Machine::Create();
  std::string kind;
  if (int status = BackupPerson(machine, db, Seconds(o), o.from_port, o.from_terminal, person, io, &kind);
      status != kExitOk)
    return status;
  io.out << "backed up person " << person << " from " << Where(o.from_port, o.from_terminal) << ": " << kind << "\n";
  if (int status = RestorePerson(machine, db, Seconds(o), o.to_port, o.to_terminal, person, io, &kind); status != kExitOk)
    return status;
  io.out << "restored person " << person << " to " << Where(o.to_port, o.to_terminal) << ": " << kind << "\n";
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
          "of that person, as the person's row in the enrolment table (replacing an earlier one).",
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
          "vanto restore --port N --terminal N --person N [--db PATH]",
          "First checks that the terminal answers on that port (which also selects the port), then\n"
          "writes the enrolment stored by an earlier backup. The database is only read: a read-only\n"
          "one, in a read-only folder, will do.",
          [](Parser& p) -> Run {
            auto o = std::make_shared<EnrolmentOptions>();
            PortAndTerminal(p, "", "", &o->port, &o->terminal);
            p.Whole("person", "N", "person number (-32768..32767)", &o->person, -32768, 32767, Required::kYes);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunRestore(*o, io); };
          }};
}

Command CopyCommand() {
  return {"copy", "back up a person's enrolment from one terminal and restore it to another",
          "vanto copy --from-port N --from-terminal N --to-port N --to-terminal N --person N [--db PATH]",
          "The enrolment passes through the database's enrolment table, where it stays.",
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
