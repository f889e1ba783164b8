// user: the web console's accounts from the command line: add, list, passwd, disable. Each change
// is audited under the operating-system user's name, from "command line".
#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <iomanip>
#include <iostream>

#include "accounts/accounts.h"
#include "accounts/passwords.h"
#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/output.h"
#include "host/db/sites.h"
#include "host/machine.h"
#include "host/site/site.h"
#include "host/site_view.h"
#include "host/text/messages.h"

namespace vanto::cli {
namespace {

struct UserOptions {
  std::vector<std::string> words;  // action [NAME]
  std::optional<std::string> role;
  std::optional<std::string> sites;  // --sites A,B ('' every site)
  std::optional<std::string> db;
  double lock_timeout = 5.0;
};

// The sites of --sites: names joined by ',' (none: every site), each a site the database holds.
std::vector<std::string> SitesOf(const std::string& text, db::Database& db) {
  std::vector<std::string> sites = store::SplitSites(text);
  for (const std::string& name : sites)
    if (auto problem = site::SiteNameProblem(name)) throw UsageError(Translate(*problem));
  const std::vector<std::string> missing = host::SitesNotHeld(db, sites);
  if (!missing.empty()) {
    const std::vector<std::string> held = host::SiteNames(db);
    throw UsageError(TrFill("database {0} holds no site {1} (it holds {2}); nothing was changed",
                            {db.location(), store::JoinSites(missing),
                             held.empty() ? std::string(Tr("none")) : store::JoinSites(held)}));
  }
  return sites;
}

// One line of standard input, without its line end.
std::string ReadLine() {
  std::string line;
  std::getline(std::cin, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// Asks on the terminal without echo (twice, to catch a typo), or reads one line from a pipe.
std::string ReadPassword(const std::string& name, Io& io) {
  if (!isatty(STDIN_FILENO)) return ReadLine();
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return ReadLine();
  struct Restore {
    termios saved;
    ~Restore() { tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved); }
  } restore{saved};
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  io.err << TrFill("new password for {0}: ", {name}) << std::flush;
  std::string first = ReadLine();
  io.err << "\n" << Tr("the same password again: ") << std::flush;
  std::string second = ReadLine();
  io.err << "\n";
  if (first != second) throw UsageError(Tr("the two passwords differ; nothing was changed"));
  return first;
}

void CheckPassword(const std::string& password) {
  if (auto problem = accounts::Accounts::PasswordProblem(password))
    throw UsageError(*problem == accounts::Problem::PasswordTooShort
                         ? TrFill("a password has at least {0} characters; nothing was changed",
                                  {std::to_string(accounts::kMinPassword)})
                         : std::string(Tr("that password is too long; nothing was changed")));
}

int RunUser(const UserOptions& o, Io& io) {
  const std::string action = o.words.empty() ? "" : o.words[0];
  const bool needs_name = action == "add" || action == "passwd" || action == "disable" || action == "set";
  if (action != "list" && !needs_name)
    throw UsageError(action.empty() ? std::string(Tr("'vanto user' needs its action: add, list, passwd, disable or set"))
                                    : TrFill("unknown action '{0}' (add, list, passwd, disable or set)", {action}));
  if (needs_name != (o.words.size() == 2))
    throw UsageError(needs_name ? TrFill("'vanto user {0}' needs the user's name", {action})
                                : std::string(Tr("'vanto user list' takes no name")));
  if (o.role && action != "add") throw UsageError(Tr("--role is for 'vanto user add'"));
  if (o.sites && action != "add" && action != "set") throw UsageError(Tr("--sites is for 'vanto user add' and 'vanto user set'"));
  if (action == "set" && !o.sites) throw UsageError(Tr("'vanto user set' needs --sites A,B (or --sites \"\" for every site)"));
  std::optional<accounts::Role> role;
  if (action == "add") {
    if (!o.role) throw UsageError(Tr("'vanto user add' needs --role admin, hr or viewer"));
    role = accounts::ParseRole(*o.role);
    if (!role) throw UsageError(TrFill("unknown role '{0}' (admin, hr or viewer)", {*o.role}));
  }
  const std::string name = needs_name ? o.words[1] : "";
  if (action == "add" && accounts::Accounts::NameProblem(name))
    throw UsageError(TrFill("user name '{0}' is not allowed: 1 to 64 letters, digits, '.', '_', '-' or '@'", {name}));

  // A new user's password is read before the database is opened: a refused one leaves no new
  // database behind.
  std::string password;
  if (action == "add") {
    password = ReadPassword(name, io);
    CheckPassword(password);
  }
  const std::shared_ptr<db::Database> database =
      CommandDatabase(DatabaseOptions{o.db, o.lock_timeout}, action == "add" ? DatabaseUse::kWrite : DatabaseUse::kExisting);
  const std::vector<std::string> sites = o.sites ? SitesOf(*o.sites, *database) : std::vector<std::string>{};
  accounts::Accounts accounts(database->Accounts());
  const accounts::Actor actor{OsUser(), "command line"};
  try {
    if (action == "list") {
      std::vector<std::vector<std::string>> rows;
      for (const accounts::User& u : accounts.Users())
        rows.push_back({u.name, accounts::RoleName(u.role), u.disabled ? Tr("disabled") : Tr("enabled"), u.created_at,
                        u.sites.empty() ? std::string(Tr("every site")) : store::JoinSites(u.sites)});
      WriteTable(io.out, {Tr("NAME"), Tr("ROLE"), Tr("STATE"), Tr("CREATED"), Tr("SITES")}, rows,
                 {false, false, false, false, false});
      return kExitOk;
    }
    if (action == "disable") {
      accounts.SetDisabled(actor, name, true);
      io.out << TrFill("user {0} disabled; its sessions have ended", {name}) << "\n";
      return kExitOk;
    }
    if (action == "set") {
      accounts.SetSites(actor, name, sites);
      io.out << (sites.empty() ? TrFill("user {0} sees every site", {name})
                               : TrFill("user {0} sees only the sites {1}", {name, store::JoinSites(sites)}))
             << "\n";
      return kExitOk;
    }
    if (action == "passwd" && !accounts.FindUser(name)) throw UsageError(TrFill("there is no user {0}", {name}));
    if (action == "passwd") {
      password = ReadPassword(name, io);
      CheckPassword(password);
    }
    if (action == "add") {
      accounts.AddUser(actor, name, *role, password, sites);
      io.out << TrFill("user {0} added ({1})", {name, accounts::RoleName(*role)}) << "\n";
    } else {
      accounts.ChangePassword(actor, name, password);
      io.out << TrFill("password of {0} changed; its sessions have ended", {name}) << "\n";
    }
  } catch (const accounts::AccountError& e) {
    switch (e.problem()) {
      case accounts::Problem::NoSuchUser: throw UsageError(TrFill("there is no user {0}", {name}));
      case accounts::Problem::NameTaken: throw UsageError(TrFill("user {0} exists already", {name}));
      case accounts::Problem::LastAdmin:
        throw UsageError(TrFill("user {0} is the last enabled admin: add another admin first", {name}));
      default: throw UsageError(e.what());
    }
  } catch (const accounts::HashError& e) {
    throw HostError(e.what());
  }
  return kExitOk;
}

}  // namespace

Command UserCommand() {
  return {"user", TrLater("manage the web console's users (add, list, passwd, disable, set)"),
          "vanto user add NAME --role admin|hr|viewer [--sites A,B] | list | passwd NAME | disable NAME | set NAME --sites A,B",
          TrLater("The password is asked twice without echo on a terminal, or read as one line from standard\n"
          "input. A password change or disabling ends every session of the user. Each change is written\n"
          "to the audit trail under your operating-system user's name. --sites limits the user to those sites\n"
          "of the database in the console (each must be held; --sites \"\" with set: every site again)."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<UserOptions>();
            p.Words("add|list|passwd|disable|set [NAME]", &o->words, 2);
            p.Text("role", "ROLE", TrLater("the new user's role: admin, hr or viewer"), &o->role);
            p.Text("sites", "A,B", TrLater("the sites the user may see in the console (none: every site)"), &o->sites);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunUser(*o, io); };
          }};
}

}  // namespace vanto::cli
