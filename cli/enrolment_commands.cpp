// backup, restore and copy: one person's enrolment between terminals and the database.
#include <limits>
#include <memory>

#include "accounts/accounts.h"
#include "cli/command.h"
#include "host/terminal_sync.h"
#include "cli/command_support.h"
#include "host/enrolment.h"
#include "host/text/messages.h"

namespace vanto::cli {
namespace {

// What went wrong in words; kExitOk when it did not. `shown` names the database as messages do.
int Answer(const EnrolmentResult& r, int port, int terminal, std::int32_t person, std::optional<LONG> wanted,
           const std::string& shown, Io& io) {
  switch (r.status) {
    case EnrolmentResult::Status::kDone:
      return kExitOk;
    case EnrolmentResult::Status::kNoneStored:
      io.err << (wanted ? TrFill("no {0} of person {1} is stored in {2} (back it up first)",
                                 {Translate(EnrolmentKindName(*wanted)), std::to_string(person), shown})
                        : TrFill("no enrolment of person {0} is stored in {1} (back it up first)",
                                 {std::to_string(person), shown}))
             << "\n";
      return kExitFalse;
    case EnrolmentResult::Status::kNotAnswering:
      io.err << TrFill("{0} does not answer", {Translate(Where(port, terminal))}) << "\n";
      return kExitFalse;
    case EnrolmentResult::Status::kNotAudited:
      io.err << TrFill("{0}: nothing done: the audit trail could not be written ({1})", {Translate(Where(port, terminal)), Translate(r.failure)})
             << "\n";
      return kExitHost;  // the database failed: the host's part
    case EnrolmentResult::Status::kRefused:
      break;
  }
  switch (r.step) {
    case EnrolmentResult::Step::kBackup:
      return Refused(io, r.outcome, TrFill("{0} holds no enrolment of person {1}", {Translate(Where(port, terminal)), std::to_string(person)}));
    case EnrolmentResult::Step::kScan:
      return Refused(io, r.outcome, Translate(Where(port, terminal)) + ": " + Tr("the scan failed"));
    case EnrolmentResult::Step::kRestore:
      break;
  }
  return Refused(io, r.outcome, TrFill("{0} refused the enrolment of person {1}", {Translate(Where(port, terminal)), std::to_string(person)}));
}

// The audit trail of the command's database, for the actions on terminals: under the
// operating-system user's name. Its hook writes each row; the trail outlives it.
struct AuditTrail {
  std::unique_ptr<accounts::Accounts> accounts;
  EnrolmentAuditHook hook;
};
AuditTrail OpenAuditTrail(db::Database& database) {
  AuditTrail trail;
  trail.accounts = std::make_unique<accounts::Accounts>(database.Accounts());
  const accounts::Actor actor{OsUser(), "command line"};
  trail.hook = [accounts = trail.accounts.get(), actor](const EnrolmentAudit& a) {
    accounts->Audit(actor, a.action, a.details);
  };
  return trail;
}

constexpr std::int64_t kMinPerson = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kMaxPerson = std::numeric_limits<std::int32_t>::max();

}  // namespace

int RunBackup(const EnrolmentOptions& o, Io& io) {
  auto person = static_cast<std::int32_t>(o.person);
  const std::shared_ptr<db::Database> database = CommandDatabase(o, DatabaseUse::kWrite);
  const std::string shown = database->location();  // a URL as shown: no password
  const SiteChoice site = CommandSite(o, DatabaseUse::kWrite);  // the person is this site's
  AuditTrail trail = OpenAuditTrail(*database);
  Machine machine = Machine::Create();
  const EnrolmentResult r = BackupEnrolment(machine, *database, site, o.port, o.terminal, person, trail.hook);
  int status = Answer(r, o.port, o.terminal, person, std::nullopt, shown, io);
  if (status == kExitOk)
    io.out << TrFill("backed up person {0} from {1}: {2}",
                     {std::to_string(person), Translate(Where(o.port, o.terminal)), Translate(EnrolmentKindName(r.kind))})
           << " (" << shown << ")\n";
  return status;
}

int RunRestore(const EnrolmentOptions& o, Io& io) {
  auto person = static_cast<std::int32_t>(o.person);
  // Restoring only reads the enrolment: a read-only database will do, a missing one is never
  // created. The audit trail is written when the database takes it; a restore from a read-only
  // copy is said to go unaudited.
  auto unaudited = [&io, warned = false](const std::string& why) mutable {
    if (warned) return;
    warned = true;
    io.err << "vanto restore: " << Tr("warning") << ": "
           << TrFill("the audit trail cannot be written ({0}); the restore goes unaudited", {why}) << "\n";
  };
  std::optional<LONG> wanted;
  if (o.password) wanted = kPasswordKind;
  std::shared_ptr<db::Database> database;
  bool writable = true;
  try {
    database = CommandDatabase(o, DatabaseUse::kExisting);
  } catch (const store::StoreError& e) {
    // A database that refuses writing is read as it is, and nothing is written to it. Anything
    // else (not there, locked past the wait, unreachable, ...) stops the command as it stops the
    // others.
    if (e.failure() != store::StoreFailure::ReadOnly && e.failure() != store::StoreFailure::Denied) throw;
    unaudited(Translate(e));
    database = CommandDatabase(o, DatabaseUse::kRead);
    writable = false;
  }
  // The site's stored row, never another site's person of the same number.
  const SiteChoice site = CommandSite(o, writable ? DatabaseUse::kExisting : DatabaseUse::kRead);
  std::optional<AuditTrail> trail;
  if (writable) try {
      trail = OpenAuditTrail(*database);
    } catch (const std::exception& e) {
      unaudited(Translate(e));
    }
  // A database that is read (a read-only file, a read-only server) refuses the rows: said once.
  EnrolmentAuditHook hook;
  if (trail)
    hook = [&trail, &unaudited](const EnrolmentAudit& a) {
      try {
        trail->hook(a);
      } catch (const std::exception& e) {
        unaudited(Translate(e));
      }
    };
  Machine machine = Machine::Create();
  const EnrolmentResult r = RestoreEnrolment(machine, *database, site, o.port, o.terminal, person, wanted, hook);
  int status = Answer(r, o.port, o.terminal, person, wanted, database->location(), io);
  if (status == kExitOk)
    io.out << TrFill("restored person {0} to {1}: {2}", {std::to_string(person), Translate(Where(o.port, o.terminal)), Translate(EnrolmentKindName(r.kind))})
           << "\n";
  return status;
}

int RunCopy(const CopyOptions& o, Io& io) {
  auto person = static_cast<std::int32_t>(o.person);
  const std::shared_ptr<db::Database> database = CommandDatabase(o, DatabaseUse::kWrite);
  const std::string shown = database->location();
  const SiteChoice site = CommandSite(o, DatabaseUse::kWrite);
  AuditTrail trail = OpenAuditTrail(*database);
  Machine machine = Machine::Create();
  const EnrolmentCopy copy = CopyEnrolment(machine, *database, site, person, TerminalAt{o.from_port, o.from_terminal},
                                           {TerminalAt{o.to_port, o.to_terminal}}, trail.hook);
  if (int status = Answer(*copy.backup, o.from_port, o.from_terminal, person, std::nullopt, shown, io); status != kExitOk)
    return status;
  io.out << TrFill("backed up person {0} from {1}: {2}",
                   {std::to_string(person), Translate(Where(o.from_port, o.from_terminal)), Translate(EnrolmentKindName(copy.backup->kind))})
         << "\n";
  const EnrolmentCopy::Write& write = copy.writes.at(0);
  if (write.failure) throw HostError(*write.failure);
  if (int status = Answer(write.result, o.to_port, o.to_terminal, person, copy.backup->kind, shown, io); status != kExitOk)
    return status;
  io.out << TrFill("restored person {0} to {1}: {2}",
                   {std::to_string(person), Translate(Where(o.to_port, o.to_terminal)), Translate(EnrolmentKindName(write.result.kind))})
         << "\n";
  return kExitOk;
}

namespace {
// --[PREFIX]port and --[PREFIX]terminal: the terminal ("" for the one), the one to copy from or to.
void PortAndTerminal(Parser& p, const std::string& prefix, int* port, int* terminal) {
  const char* port_help = TrLater("serial port of the terminal (1..32767)");
  const char* terminal_help = TrLater("terminal on that port (1..255)");
  if (prefix == "from-") {
    port_help = TrLater("serial port of the terminal to copy from (1..32767)");
    terminal_help = TrLater("terminal to copy from on that port (1..255)");
  } else if (prefix == "to-") {
    port_help = TrLater("serial port of the terminal to copy to (1..32767)");
    terminal_help = TrLater("terminal to copy to on that port (1..255)");
  }
  p.Number(prefix + "port", "N", port_help, port, 1, kMaxPort, Required::kYes);
  p.Number(prefix + "terminal", "N", terminal_help, terminal, 1, kMaxTerminal, Required::kYes);
}
}  // namespace

Command BackupCommand() {
  return {"backup", TrLater("copy one person's enrolment from a terminal into the database"),
          "vanto backup --port N --terminal N --person N [--db PATH]",
          TrLater("Stores the fingerprint template, or the password when the terminal has no fingerprint\n"
          "of that person, in the enrolment table. A person has a fingerprint row and a password row\n"
          "side by side: a backup replaces only the row of the kind the terminal gave."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<EnrolmentOptions>();
            PortAndTerminal(p, "", &o->port, &o->terminal);
            p.Whole("person", "N", TrLater("person number (a whole number)"), &o->person, kMinPerson, kMaxPerson,
                    Required::kYes);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunBackup(*o, io); };
          }};
}

Command RestoreCommand() {
  return {"restore", TrLater("write one person's stored enrolment to a terminal"),
          "vanto restore --port N --terminal N --person N [--password] [--db PATH]",
          TrLater("First checks that the terminal answers on that port (which also selects the port), then\n"
          "writes the person's stored fingerprint, or the password when no fingerprint is stored\n"
          "(--password: the password). The database is only read: a read-only one, in a read-only\n"
          "folder, will do."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<EnrolmentOptions>();
            PortAndTerminal(p, "", &o->port, &o->terminal);
            p.Whole("person", "N", TrLater("person number (-32768..32767)"), &o->person, -32768, 32767, Required::kYes);
            p.Flag("password", TrLater("write the stored password, even when a fingerprint is stored"), &o->password);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunRestore(*o, io); };
          }};
}

Command CopyCommand() {
  return {"copy", TrLater("back up a person's enrolment from one terminal and restore it to another"),
          "vanto copy --from-port N --from-terminal N --to-port N --to-terminal N --person N [--db PATH]",
          TrLater("The enrolment passes through the database's enrolment table, where it stays; the kind the\n"
          "first terminal gave (fingerprint or password) is the kind written to the second."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<CopyOptions>();
            PortAndTerminal(p, "from-", &o->from_port, &o->from_terminal);
            PortAndTerminal(p, "to-", &o->to_port, &o->to_terminal);
            p.Whole("person", "N", TrLater("person number (-32768..32767)"), &o->person, -32768, 32767, Required::kYes);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunCopy(*o, io); };
          }};
}

}  // namespace vanto::cli
