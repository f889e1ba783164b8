#include "cli/cli.h"

#include <cctype>
#include <cstdlib>
#include <exception>

#include "cli/commands.h"
#include "cli/machine.h"
#include "cli/site_use.h"
#include "cli/store/record_store.h"

namespace vanto::cli {
namespace {

const OptionSpec kDb{"db", "PATH", "database file (default: see 'Data' below)"};
const OptionSpec kLockTimeout{"lock-timeout", "SECONDS",
                              "how long to wait while another process holds the database (default 5)"};
const OptionSpec kPort{"port", "N", "serial port number (1..32767)"};
const OptionSpec kTerminal{"terminal", "N", "terminal number on that port (1..32767)"};
const OptionSpec kPerson{"person", "N", "person number (a whole number)"};
const OptionSpec kSite{"site", "FILE", "the site file (default: $VANTO_SITE, else ~/.config/vanto/site.toml)"};

// How a command uses the site file.
enum class SiteUse { kNone, kOptional, kRequired };

struct Command {
  const char* name;
  const char* summary;
  const char* usage;
  std::vector<OptionSpec> options;
  int (*run)(const Options&, Io&);
  const char* details;
  SiteUse site = SiteUse::kOptional;
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"scan", "find the terminals that answer on a range of ports and terminal numbers",
       "vanto scan [--ports N[-M]] [--terminals N[-M]] [--json]",
       {{"ports", "N[-M]", "serial ports to scan (default 1)"},
        {"terminals", "N[-M]", "terminal numbers to probe on each port (default 1-255)"},
        {"json", "", "print the terminals found as JSON"}, kSite},
       RunScan,
       "Prints a table of port and terminal for every terminal that answered, ordered by port,\n"
       "then terminal number."},
      {"download", "pull every card swipe from one terminal into the database",
       "vanto download --port N --terminal N [--csv | --json] [--db PATH]",
       {kPort, kTerminal, {"csv", "", "also print the delivered records as CSV"},
        {"json", "", "also print the delivered records as JSON"}, {"quiet", "", "no progress line"},
        {"progress", "", "show the progress line even when standard error is no terminal"}, kDb, kLockTimeout, kSite},
       RunDownload,
       "Stores each swipe once: downloading again, or after an interrupted download, adds only\n"
       "what the database does not hold yet. Two swipes of one person in the same minute stay\n"
       "two records. With --csv or --json the records go to standard output and the summary to\n"
       "standard error. On a terminal a progress line shows while the download runs."},
      {"backup", "copy one person's enrolment from a terminal into the database",
       "vanto backup --port N --terminal N --person N [--db PATH]",
       {kPort, kTerminal, kPerson, kDb, kLockTimeout, kSite},
       RunBackup,
       "Stores the fingerprint template, or the password when the terminal has no fingerprint\n"
       "of that person, as the person's row in the enrolment table (replacing an earlier one)."},
      {"restore", "write one person's stored enrolment to a terminal",
       "vanto restore --port N --terminal N --person N [--db PATH]",
       {kPort, kTerminal, {"person", "N", "person number (-32768..32767)"}, kDb, kLockTimeout, kSite},
       RunRestore,
       "First checks that the terminal answers on that port (which also selects the port), then\n"
       "writes the enrolment stored by an earlier backup."},
      {"copy", "back up a person's enrolment from one terminal and restore it to another",
       "vanto copy --from-port N --from-terminal N --to-port N --to-terminal N --person N [--db PATH]",
       {{"from-port", "N", "port of the terminal to copy from"},
        {"from-terminal", "N", "terminal to copy from"},
        {"to-port", "N", "port of the terminal to copy to"},
        {"to-terminal", "N", "terminal to copy to"},
        {"person", "N", "person number (-32768..32767)"},
        kDb,
        kLockTimeout,
        kSite},
       RunCopy, "The enrolment passes through the database's enrolment table, where it stays."},
      {"demo", "run scan, download, backup and copy against a simulated site",
       "vanto demo [--db PATH] [--keep]",
       {{"db", "PATH", "database file for the demo (default: a new one in a temporary folder)"},
        {"keep", "", "keep the temporary folder with the demo's database"}},
       RunDemo,
       "Starts the terminal simulator with two ports, three terminals, a few thousand swipes and\n"
       "a dozen people, then runs the host's own subcommands against it and prints what they did.",
       SiteUse::kNone},
      {"sim", "run the terminal simulator on its own, for use with another host",
       "vanto sim [--seed FILE] [--save FILE] [--link-dir DIR]",
       {{"seed", "FILE", "load the site from a seed file (default: the demo's site)"},
        {"save", "FILE", "write the site (with what hosts wrote to it) to FILE on exit"},
        {"link-dir", "DIR", "where the ports' device links go (default: a new temporary folder)"}},
       RunSim,
       "Prints each port's pseudo-terminal and the settings a host needs, then serves until\n"
       "interrupted (Ctrl-C).",
       SiteUse::kNone},
      {"sync", "download every terminal of the site into the database",
       "vanto sync [--site FILE] [--json] [--db PATH]",
       {{"json", "", "print the summary as JSON"}, {"quiet", "", "no progress lines"},
        {"progress", "", "show the progress lines even when standard error is no terminal"}, kDb, kLockTimeout, kSite},
       RunSync,
       "Every port of the site file at once, one thread each; the terminals of a port one after\n"
       "the other. Prints a table of port, terminal, records delivered, new ones, seconds and the\n"
       "outcome with its cause. Exit 0 when every terminal synced, 1 when some failed (the others\n"
       "still synced), 3 when the host could not do its part.",
       SiteUse::kRequired},
      {"check", "check the site: its file, modules, database, ports and terminals",
       "vanto check [--site FILE] [--db PATH]",
       {kDb, kLockTimeout, kSite},
       RunCheck,
       "Exit 0 only when the site file is valid, the modules are registered and load, the\n"
       "database is writable, every port's device opens and every listed terminal answers.",
       SiteUse::kRequired},
      {"site init", "find the terminals and write a site file",
       "vanto site init --ports N[-M] [--terminals N[-M]] [--site FILE] [--db PATH] [--force]",
       {{"ports", "N[-M]", "serial ports to scan (1..255)"},
        {"terminals", "N[-M]", "terminal numbers to probe on each port (default 1-255)"},
        {"db", "PATH", "the database to name in the file"},
        {"force", "", "replace an existing site file"},
        kSite},
       RunSiteInit,
       "Scans with the current settings (VANTO_FK_*), then writes a commented site file naming each\n"
       "port's device and the terminals that answered.",
       SiteUse::kNone},
      {"site show", "print the effective settings of the site and where each comes from",
       "vanto site show [--site FILE]",
       {kSite},
       RunSiteShow,
       "",
       SiteUse::kRequired},
  };
  return commands;
}

void PrintCommandHelp(const Command& c, std::ostream& out) {
  std::string summary = c.summary;
  summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
  out << "usage: " << c.usage << "\n\n" << summary << ".\n\n";
  if (c.details && *c.details) out << c.details << "\n\n";
  out << "options:\n";
  std::vector<OptionSpec> shown = c.options;
  shown.push_back({"help", "", "show this help"});
  std::size_t width = 0;
  for (const auto& o : shown) width = std::max(width, o.name.size() + (o.value.empty() ? 0 : o.value.size() + 1));
  for (const auto& o : shown) {
    std::string left = "--" + o.name + (o.value.empty() ? "" : " " + o.value);
    out << "  " << left << std::string(width + 4 - left.size(), ' ') << o.help << "\n";
  }
  bool has_db = false;
  for (const auto& o : c.options) has_db |= o.name == "db";
  if (has_db && std::string(c.name) != "demo")
    out << "\nData: the database is --db PATH, else $VANTO_DB, else $XDG_DATA_HOME/vanto/vanto.db\n"
           "(~/.local/share/vanto/vanto.db when XDG_DATA_HOME is not set).\n";
}

void PrintHelp(std::ostream& out) {
  out << "usage: vanto COMMAND [OPTIONS]\n\n"
         "A host for card and fingerprint attendance terminals on serial ports.\n\ncommands:\n";
  for (const Command& c : Commands()) out << "  " << c.name << std::string(11 - std::string(c.name).size(), ' ') << c.summary << "\n";
  out << "\n'vanto COMMAND --help' describes a command.\n"
         "Exit status: 0 done; 1 the terminal operation answered False or some terminal or port\n"
         "failed (the message and its cause on standard error); 2 a usage error or a bad site file;\n"
         "3 the host could not do its part (database, components).\n";
}

}  // namespace

std::string DefaultDatabasePath() {
  if (const char* db = std::getenv("VANTO_DB"); db && *db) return db;
  std::string home;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
    home = data;
  else if (const char* user = std::getenv("HOME"); user && *user)
    home = std::string(user) + "/.local/share";
  else
    return "vanto.db";
  return home + "/vanto/vanto.db";
}

int RunVanto(const std::vector<std::string>& args, Io& io) {
  if (args.empty()) {
    io.err << "vanto: missing command (try 'vanto --help')\n";
    return kExitUsage;
  }
  const std::string& name = args[0];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintHelp(io.out);
    return kExitOk;
  }
  const Command* command = nullptr;
  std::size_t words = 1;
  for (const Command& c : Commands())
    if (name == c.name) command = &c;
  if (name == "site") {
    if (args.size() < 2 || args[1].rfind("-", 0) == 0) {
      io.err << "vanto site: missing 'init' or 'show' (try 'vanto --help')\n";
      return kExitUsage;
    }
    for (const Command& c : Commands())
      if ("site " + args[1] == c.name) command = &c;
    if (!command) {
      io.err << "vanto site: unknown command '" << args[1] << "' (try 'vanto site init' or 'vanto site show')\n";
      return kExitUsage;
    }
    words = 2;
  }
  if (!command) {
    io.err << "vanto: unknown command '" << name << "' (try 'vanto --help')\n";
    return kExitUsage;
  }
  std::string prefix = std::string("vanto ") + command->name + ": ";
  try {
    Options options = Options::Parse({args.begin() + static_cast<long>(words), args.end()}, command->options);
    if (options.Has("help")) {
      PrintCommandHelp(*command, io.out);
      return kExitOk;
    }
    struct Leave {
      ~Leave() { LeaveSite(); }
    } leave;
    if (command->site != SiteUse::kNone) {
      bool named = false;
      for (const OptionSpec& spec : command->options) named |= spec.name == "site";
      if (named) UseSite(options, command->site == SiteUse::kRequired);
    }
    return command->run(options, io);
  } catch (const site::SiteError& e) {
    io.err << prefix << e.what() << "\n";
    return kExitUsage;
  } catch (const UsageError& e) {
    io.err << prefix << e.what() << " (try 'vanto " << command->name << " --help')\n";
    return kExitUsage;
  } catch (const store::StoreError& e) {
    io.err << prefix << e.what() << "\n";
    return kExitHost;
  } catch (const HostError& e) {
    io.err << prefix << e.what() << "\n";
    return kExitHost;
  } catch (const std::exception& e) {
    io.err << prefix << e.what() << "\n";
    return kExitHost;
  }
}

}  // namespace vanto::cli
