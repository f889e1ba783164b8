#include "cli/cli.h"

#include <cctype>
#include <cstdlib>
#include <exception>

#include "cli/commands.h"
#include "cli/db_copy.h"
#include "cli/machine.h"
#include "cli/store/record_store.h"

namespace vanto::cli {
namespace {

const OptionSpec kDb{"db", "PATH-OR-URL", "database file or postgresql:// URL (default: see 'Data' below)"};
const OptionSpec kLockTimeout{"lock-timeout", "SECONDS",
                              "how long to wait while another process holds the database (default 5)"};
const OptionSpec kPort{"port", "N", "serial port number (1..32767)"};
const OptionSpec kTerminal{"terminal", "N", "terminal number on that port (1..32767)"};
const OptionSpec kPerson{"person", "N", "person number (a whole number)"};

struct Command {
  const char* name;
  const char* summary;
  const char* usage;
  std::vector<OptionSpec> options;
  int (*run)(const Options&, Io&);
  const char* details;
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"scan", "find the terminals that answer on a range of ports and terminal numbers",
       "vanto scan [--ports N[-M]] [--terminals N[-M]] [--json]",
       {{"ports", "N[-M]", "serial ports to scan (default 1)"},
        {"terminals", "N[-M]", "terminal numbers to probe on each port (default 1-255)"},
        {"json", "", "print the terminals found as JSON"}},
       RunScan,
       "Prints a table of port and terminal for every terminal that answered, ordered by port,\n"
       "then terminal number."},
      {"download", "pull every card swipe from one terminal into the database",
       "vanto download --port N --terminal N [--csv | --json] [--db PATH]",
       {kPort, kTerminal, {"csv", "", "also print the delivered records as CSV"},
        {"json", "", "also print the delivered records as JSON"}, {"quiet", "", "no progress line"},
        {"progress", "", "show the progress line even when standard error is no terminal"}, kDb, kLockTimeout},
       RunDownload,
       "Stores each swipe once: downloading again, or after an interrupted download, adds only\n"
       "what the database does not hold yet. Two swipes of one person in the same minute stay\n"
       "two records. With --csv or --json the records go to standard output and the summary to\n"
       "standard error. On a terminal a progress line shows while the download runs."},
      {"backup", "copy one person's enrolment from a terminal into the database",
       "vanto backup --port N --terminal N --person N [--db PATH]",
       {kPort, kTerminal, kPerson, kDb, kLockTimeout},
       RunBackup,
       "Stores the fingerprint template, or the password when the terminal has no fingerprint\n"
       "of that person, as the person's row in the enrolment table (replacing an earlier one)."},
      {"restore", "write one person's stored enrolment to a terminal",
       "vanto restore --port N --terminal N --person N [--db PATH]",
       {kPort, kTerminal, {"person", "N", "person number (-32768..32767)"}, kDb, kLockTimeout},
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
        kLockTimeout},
       RunCopy, "The enrolment passes through the database's enrolment table, where it stays."},
      {"demo", "run scan, download, backup and copy against a simulated site",
       "vanto demo [--db PATH] [--keep]",
       {{"db", "PATH", "database file for the demo (default: a new one in a temporary folder)"},
        {"keep", "", "keep the temporary folder with the demo's database"}},
       RunDemo,
       "Starts the terminal simulator with two ports, three terminals, a few thousand swipes and\n"
       "a dozen people, then runs the host's own subcommands against it and prints what they did."},
      {"sim", "run the terminal simulator on its own, for use with another host",
       "vanto sim [--seed FILE] [--save FILE] [--link-dir DIR]",
       {{"seed", "FILE", "load the site from a seed file (default: the demo's site)"},
        {"save", "FILE", "write the site (with what hosts wrote to it) to FILE on exit"},
        {"link-dir", "DIR", "where the ports' device links go (default: a new temporary folder)"}},
       RunSim,
       "Prints each port's pseudo-terminal and the settings a host needs, then serves until\n"
       "interrupted (Ctrl-C)."},
      {"db", "copy every table of one database into another (vanto db copy)",
       "vanto db copy --from PATH-OR-URL --to PATH-OR-URL", kDbCopyOptions, RunDbCopy, kDbCopyDetails},
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
  for (const Command& c : Commands()) out << "  " << c.name << std::string(10 - std::string(c.name).size(), ' ') << c.summary << "\n";
  out << "\n'vanto COMMAND --help' describes a command.\n"
         "Exit status: 0 done; 1 the terminal operation answered False (its message on standard\n"
         "error); 2 a usage error; 3 the host could not do its part (database, components).\n";
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
  for (const Command& c : Commands())
    if (name == c.name) command = &c;
  if (!command) {
    io.err << "vanto: unknown command '" << name << "' (try 'vanto --help')\n";
    return kExitUsage;
  }
  std::string prefix = std::string("vanto ") + command->name + ": ";
  try {
    std::vector<std::string> rest(args.begin() + 1, args.end());
    SkipDbSubcommand(name, &rest);
    Options options = Options::Parse(rest, command->options);
    if (options.Has("help")) {
      PrintCommandHelp(*command, io.out);
      return kExitOk;
    }
    return command->run(options, io);
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
