// scan, download, backup, restore and copy.
#include "cli/commands.h"

#include <filesystem>
#include <limits>

#include "cli/control_status.h"
#include "cli/download.h"
#include "cli/site_use.h"
#include "cli/enrolment.h"
#include "cli/machine.h"
#include "cli/output.h"
#include "cli/store/record_store.h"
#include "platform/ado/sqlite_rowset.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace vanto::cli {
namespace {

constexpr int kMaxNumber = 32767;

int Port(const Options& o, const std::string& name = "port") {
  return static_cast<int>(ParseWhole(o.Require(name), 1, kMaxNumber, "--" + name));
}
int Terminal(const Options& o, const std::string& name = "terminal") {
  return static_cast<int>(ParseWhole(o.Require(name), 1, kMaxNumber, "--" + name));
}
// Backup takes any 32-bit person number; restoring writes a 16-bit one.
std::int32_t Person(const Options& o, bool for_restore) {
  std::int64_t min = for_restore ? -32768 : std::numeric_limits<std::int32_t>::min();
  std::int64_t max = for_restore ? 32767 : std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(ParseWhole(o.Require("person"), min, max, "--person"));
}

std::string Where(int port, int terminal) {
  return "terminal " + std::to_string(terminal) + " on port " + std::to_string(port);
}

store::RecordStore OpenStore(const Options& o, bool create) {
  double timeout = LockTimeout(o);
  store::OpenOptions options;
  options.create = create;
  options.lock_timeout = std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
  return store::RecordStore::Open(DatabasePath(o, create), options);
}

// The operation answered False: its message as it stands, or ours when it gave none.
int Refused(Io& io, const Outcome& outcome, const std::string& ours) {
  io.err << (outcome.message.empty() ? ours : outcome.message) << "\n";
  return kExitFalse;
}

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

}  // namespace

double LockTimeout(const Options& o) {
  auto text = o.Get("lock-timeout");
  return text ? ParseSeconds(*text, 3600, "--lock-timeout") : 5.0;
}

std::string DatabasePath(const Options& o, bool create) {
  if (auto db = o.Get("db")) {
    if (db->empty()) throw UsageError("--db needs a file name");
    return *db;
  }
  std::string path = DefaultDatabasePath();
  if (const char* env = std::getenv("VANTO_DB"); !(env && *env) && CurrentSite())
    if (auto db = SiteDatabase(*CurrentSite())) return *db;
  if (create && !std::getenv("VANTO_DB")) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  }
  return path;
}

int RunScan(const Options& o, Io& io) {
  Range ports = ParseRange(o.Get("ports").value_or("1"), 1, kMaxNumber, "--ports");
  Range terminals = ParseRange(o.Get("terminals").value_or("1-255"), 1, kMaxNumber, "--terminals");
  Machine machine = Machine::Create();
  std::vector<FoundTerminal> found;
  Outcome outcome;
  std::vector<int> scanned;
  const site::Site* site = CurrentSite();
  if (site && !o.Has("ports")) {
    // The site's ports, each over its own terminals (or --terminals).
    outcome.ok = true;
    for (const site::SitePort& port : site->ports) {
      Range wanted = o.Has("terminals") ? terminals : Range{port.terminals.front(), port.terminals.back()};
      Outcome one = machine.Scan({port.number, port.number}, wanted, &found);
      if (!one.ok && outcome.ok) outcome = one;
      scanned.push_back(port.number);
    }
    ports = {site->ports.front().number, site->ports.back().number};
  } else {
    outcome = machine.Scan(ports, terminals, &found);
    for (int p = ports.first; p <= ports.last; ++p) scanned.push_back(p);
  }
  // Each port that could not be used at all, with its cause.
  std::vector<std::string> unusable;
  {
    ControlStatus control = ControlStatus::Create();
    for (int p : scanned) {
      PortCause cause = control.Status(p);
      if (cause.PortUnusable()) unusable.push_back(DescribeCause(p, cause));
    }
  }
  if (o.Has("json")) {
    io.out << "[";
    for (std::size_t i = 0; i < found.size(); ++i)
      io.out << (i ? ", " : "") << "{\"port\": " << found[i].port << ", \"terminal\": " << found[i].terminal << "}";
    io.out << "]\n";
  } else if (found.empty()) {
    io.out << "no terminal answered (ports " << ports.first << "-" << ports.last << ", terminals " << terminals.first
           << "-" << terminals.last << (unusable.empty() ? "" : "; see below for ports that could not be used")
           << ")\n";
  } else {
    std::vector<std::vector<std::string>> rows;
    for (const FoundTerminal& f : found) rows.push_back({std::to_string(f.port), std::to_string(f.terminal)});
    WriteTable(io.out, {"PORT", "TERMINAL"}, rows, {true, true});
  }
  for (const std::string& cause : unusable) io.err << "vanto scan: " << cause << "\n";
  if (!outcome.ok) return Refused(io, outcome, "the scan failed");
  return unusable.empty() ? kExitOk : kExitFalse;
}

int RunDownload(const Options& o, Io& io) {
  int port = Port(o), terminal = Terminal(o);
  bool csv = o.Has("csv"), json = o.Has("json");
  if (csv && json) throw UsageError("--csv and --json exclude each other");
  store::RecordStore store = OpenStore(o, true);
  Machine machine = Machine::Create();
  if (o.Has("quiet") && o.Has("progress")) throw UsageError("--quiet and --progress exclude each other");
  bool progress = o.Has("progress") || (io.progress && !o.Has("quiet"));
  DownloadSession session(store, port, terminal, progress ? &io.err : nullptr);
  Outcome outcome = session.Run(machine);

  const auto& records = session.records();
  if (csv) {
    io.out << "port,terminal,person,time,occurrence,new\n";
    for (const auto& r : records)
      io.out << port << ',' << terminal << ',' << r.swipe.person << ','
             << CsvField(store::SecondText(store::CivilFromDate(r.swipe.time))) << ',' << r.occurrence << ','
             << (r.added ? "true" : "false") << '\n';
  } else if (json) {
    io.out << "[";
    for (std::size_t i = 0; i < records.size(); ++i) {
      const auto& r = records[i];
      io.out << (i ? ",\n " : "") << "{\"port\": " << port << ", \"terminal\": " << terminal
             << ", \"person\": " << r.swipe.person << ", \"time\": "
             << JsonString(store::SecondText(store::CivilFromDate(r.swipe.time))) << ", \"occurrence\": " << r.occurrence
             << ", \"new\": " << (r.added ? "true" : "false") << "}";
    }
    io.out << "]\n";
  }
  std::ostream& summary = (csv || json) ? io.err : io.out;
  summary << Where(port, terminal) << ": " << records.size() << " records delivered, " << session.added() << " new, "
          << records.size() - session.added() << " already stored (" << store.path() << ")\n";
  if (session.store_error()) {
    io.err << "vanto download: " << *session.store_error() << "\n";
    return kExitHost;
  }
  if (!outcome.ok) {
    Refused(io, outcome, Where(port, terminal) + ": the download failed");
    std::string cause;
    try {
      PortCause status = ControlStatus::Create().Status(port);
      if (status.Failed()) cause = DescribeCause(port, status);
    } catch (const HostError&) {
    }
    io.err << "vanto download: " << (cause.empty() ? Where(port, terminal) + ": the download failed" : cause) << "; "
           << records.size() << " records delivered, " << session.added() << " new stored in " << store.path() << "\n";
    return kExitFalse;
  }
  return kExitOk;
}

int RunBackup(const Options& o, Io& io) {
  int port = Port(o), terminal = Terminal(o);
  std::int32_t person = Person(o, false);
  std::string db = OpenStore(o, true).path();
  Machine machine = Machine::Create();
  std::string kind;
  int status = BackupPerson(machine, db, LockTimeout(o), port, terminal, person, io, &kind);
  if (status == kExitOk)
    io.out << "backed up person " << person << " from " << Where(port, terminal) << ": " << kind << " (" << db << ")\n";
  return status;
}

int RunRestore(const Options& o, Io& io) {
  int port = Port(o), terminal = Terminal(o);
  std::int32_t person = Person(o, true);
  // Restoring only reads: a read-only database will do, a missing one is never created.
  std::string db = DatabasePath(o, false);
  Machine machine = Machine::Create();
  std::string kind;
  int status = RestorePerson(machine, db, LockTimeout(o), port, terminal, person, io, &kind);
  if (status == kExitOk) io.out << "restored person " << person << " to " << Where(port, terminal) << ": " << kind << "\n";
  return status;
}

int RunCopy(const Options& o, Io& io) {
  int from_port = Port(o, "from-port"), from_terminal = Terminal(o, "from-terminal");
  int to_port = Port(o, "to-port"), to_terminal = Terminal(o, "to-terminal");
  std::int32_t person = Person(o, true);
  std::string db = OpenStore(o, true).path();
  double timeout = LockTimeout(o);
  Machine machine = Machine::Create();
  std::string kind;
  if (int status = BackupPerson(machine, db, timeout, from_port, from_terminal, person, io, &kind); status != kExitOk)
    return status;
  io.out << "backed up person " << person << " from " << Where(from_port, from_terminal) << ": " << kind << "\n";
  if (int status = RestorePerson(machine, db, timeout, to_port, to_terminal, person, io, &kind); status != kExitOk)
    return status;
  io.out << "restored person " << person << " to " << Where(to_port, to_terminal) << ": " << kind << "\n";
  return kExitOk;
}

}  // namespace vanto::cli
