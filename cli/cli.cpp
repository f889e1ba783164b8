#include "cli/cli.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>

#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/commands.h"
#include "host/text/messages.h"
#include "cli/version.h"
#include "host/machine.h"
#include "cli/site_use.h"
#include "host/site/site.h"
#include "host/db/record_store.h"
#include "host/database_location.h"
#include "host/facade.h"

namespace vanto::cli {
namespace {

void PrintCommandHelp(const Command& c, const Parser& parser, std::ostream& out) {
  // The summary as a sentence: capitalised, with its full stop (in the language's own form).
  std::string summary = Tr(c.summary);
  summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
  out << Tr("usage: ") << c.usage << "\n\n" << TrFill("{0}.", {summary}) << "\n\n";
  if (c.details && *c.details) out << Tr(c.details) << "\n\n";
  out << Tr("options:") << "\n";
  std::vector<OptionSpec> shown = parser.specs();
  for (OptionSpec& o : shown) o.help = Tr(o.help.c_str());
  shown.push_back({"help", "", Tr("show this help")});
  std::size_t width = 0;
  for (const auto& o : shown) width = std::max(width, o.name.size() + (o.value.empty() ? 0 : o.value.size() + 1));
  for (const auto& o : shown) {
    std::string left = "--" + o.name + (o.value.empty() ? "" : " " + o.value);
    out << "  " << left << std::string(width + 4 - left.size(), ' ') << o.help << "\n";
  }
  if (parser.has_database())
    out << "\n"
        << Tr("Data: the database is --db PATH, else $VANTO_DB, else $XDG_DATA_HOME/vanto/vanto.db\n"
              "(~/.local/share/vanto/vanto.db when XDG_DATA_HOME is not set).\n");
}

// The commands whose names start with `prefix` ("" every one), a line each: the name, then the
// summary in a column the longest name leaves room for ("correction set-aside").
void PrintCommandList(std::ostream& out, const std::string& prefix) {
  std::size_t width = 0;
  for (const Command& c : Commands()) width = std::max(width, std::string(c.name).size());
  for (const Command& c : Commands()) {
    const std::string name = c.name;
    if (name.rfind(prefix, 0) != 0) continue;
    out << "  " << name << std::string(width + 2 - name.size(), ' ') << Tr(c.summary) << "\n";
  }
}

void PrintHelp(std::ostream& out) {
  out << Tr("usage: ") << "vanto COMMAND [OPTIONS]\n\n"
      << Tr("A host for card and fingerprint attendance terminals on serial ports.") << "\n\n"
      << Tr("commands:") << "\n";
  PrintCommandList(out, "");
  out << "\n"
      << Tr("'vanto help COMMAND' (or 'vanto COMMAND --help') describes a command; 'vanto --version'\n"
            "names the program's version and the modules it uses.\n"
            "Exit status: 0 done; 1 the terminal operation failed, or some port or terminal did (the\n"
            "message and its cause on standard error); 2 a usage error or a bad site file; 3 the host\n"
            "could not do its part (database, components, output).\n");
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const Command& c : Commands()) names.push_back(c.name);
  names.push_back("help");
  return names;
}

// The actions of a command written as two words ("shift add", "shift list"): their second words,
// none when `name` is no such group.
std::vector<std::string> GroupActions(const std::string& name) {
  std::vector<std::string> actions;
  const std::string prefix = name + " ";
  for (const Command& c : Commands())
    if (std::string(c.name).rfind(prefix, 0) == 0) actions.push_back(std::string(c.name).substr(prefix.size()));
  return actions;
}

std::string ActionList(const std::vector<std::string>& actions) {
  std::string text;
  for (const std::string& a : actions) text += (text.empty() ? "" : ", ") + a;
  return text;
}

int UnknownCommand(const std::string& name, Io& io) {
  std::string hint;
  std::vector<std::string> known = CommandNames();
  if (name.rfind("-", 0) == 0) known = {"--help", "--version"};
  if (auto close = Closest(name, known)) hint = TrFill("; did you mean '{0}'?", {*close});
  io.err << "vanto: " << TrFill("unknown command '{0}'", {name}) << hint << " " << Tr("(try 'vanto --help')") << "\n";
  return kExitUsage;
}

// `message` without any password the user gave this command: in an option's value, in
// $VANTO_DB or in the site file (a password may reach a message through a library's words).
std::string WithoutPasswords(std::string message, const std::vector<std::string>& args) {
  std::vector<std::string> locations = args;
  for (const std::string& a : args)
    if (std::size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) locations.push_back(a.substr(eq + 1));
  if (const char* env = std::getenv(::vanto::site::kDatabaseVariable); env && *env) locations.emplace_back(env);
  if (const site::Site* site = CurrentSite(); site && site->database) locations.push_back(*site->database);
  for (const std::string& location : locations) message = ShownMessage(message, location);
  return message;
}

// A password in --db or $VANTO_DB works (the site file refuses one), but others can see it.
void WarnOfPassword(const Parser& parser, const std::string& prefix, Io& io) {
  if (!parser.has_database()) return;
  std::string where;
  if (auto db = parser.database_option()) {
    if (LocationHoldsPassword(*db)) where = Tr("--db holds a password, which other users can see in the process list");
  } else if (const char* env = std::getenv(::vanto::site::kDatabaseVariable); env && *env && LocationHoldsPassword(env)) {
    where = TrFill("${0} holds a password, which other users can see in the process list and in a service's "
                   "environment",
                   {::vanto::site::kDatabaseVariable});
  }
  if (!where.empty()) io.err << prefix << Tr("warning: ") << where << "; " << Translate(site::PasswordAdvice()) << "\n";
}

}  // namespace

std::string NoDatabaseText() {
  return Tr("no database given and no default for it: HOME is not set (give --db PATH, or set VANTO_DB or "
            "XDG_DATA_HOME)");
}

std::string DefaultDatabasePath() {
  std::optional<ResolvedDatabase> resolved = ResolveDatabase(std::nullopt, nullptr, ProcessEnvironment());
  if (!resolved) throw UsageError(NoDatabaseText());
  return resolved->location;
}

int RunVanto(const std::vector<std::string>& args, Io& io) {
  if (args.empty()) {
    io.err << "vanto: " << Tr("missing command") << " " << Tr("(try 'vanto --help')") << "\n";
    return kExitUsage;
  }
  const std::string& name = args[0];
  if (name == "--help" || name == "-h" || (name == "help" && args.size() == 1)) {
    PrintHelp(io.out);
    return kExitOk;
  }
  if (name == "--version" || name == "-V") {
    try {
      PrintVersion(io.out);
      return kExitOk;
    } catch (const std::exception& e) {
      io.err << "vanto --version: " << Translate(e) << "\n";
      return kExitHost;
    }
  }
  if (name == "help") {
    const bool group = !GroupActions(args[1]).empty();
    if (args.size() > 2 && !(group && args.size() == 3)) {
      io.err << "vanto help: " << Tr("name one command") << " " << Tr("(try 'vanto --help')") << "\n";
      return kExitUsage;
    }
    const Command* command = FindCommand(args.size() > 2 && group ? args[1] + " " + args[2] : args[1]);
    if (!command && group && args.size() == 2) {  // "vanto help shift": the group's commands
      PrintCommandList(io.out, args[1] + " ");
      return kExitOk;
    }
    if (!command) return UnknownCommand(args[1], io);
    Parser parser(command->name);
    command->declare(parser);
    PrintCommandHelp(*command, parser, io.out);
    return kExitOk;
  }
  const Command* command = FindCommand(name);
  std::size_t words = 1;
  if (name == "site") {  // "site init", "site show"
    if (args.size() < 2 || args[1].rfind("-", 0) == 0) {
      io.err << "vanto site: " << Tr("name what to do: 'vanto site init' or 'vanto site show'") << "\n";
      return kExitUsage;
    }
    command = FindCommand("site " + args[1]);
    if (!command) {
      io.err << "vanto site: " << TrFill("unknown command '{0}' (try 'vanto site init' or 'vanto site show')", {args[1]})
             << "\n";
      return kExitUsage;
    }
    words = 2;
  } else if (!command && !GroupActions(name).empty()) {  // "shift add", "leave list", ...
    const std::vector<std::string> actions = GroupActions(name);
    if (args.size() < 2 || args[1].rfind("-", 0) == 0) {
      io.err << "vanto " << name << ": " << TrFill("name what to do: {0}", {ActionList(actions)}) << "\n";
      return kExitUsage;
    }
    command = FindCommand(name + " " + args[1]);
    if (!command) {
      io.err << "vanto " << name << ": " << TrFill("unknown action '{0}' (the actions: {1})", {args[1], ActionList(actions)})
             << "\n";
      return kExitUsage;
    }
    words = 2;
  }
  if (!command) return UnknownCommand(name, io);
  std::string prefix = std::string("vanto ") + command->name + ": ";
  struct Leave {
    ~Leave() {
      CloseCommandDatabase();
      LeaveSite();
    }
  } leave;
  try {
    Parser parser(command->name);
    Run run = command->declare(parser);
    if (!parser.Parse({args.begin() + static_cast<long>(words), args.end()})) {
      PrintCommandHelp(*command, parser, io.out);
      return kExitOk;
    }
    // The site file is read and checked in full before any terminal traffic.
    if (parser.site_need() != SiteNeed::kNone) UseSite(parser.site(), parser.site_need() == SiteNeed::kRequired);
    UseSiteName(parser.site_name());
    // Downloads and syncs read in the largest batches unless the user set the batch.
    PreferLargeRecordBatches(ProcessEnvironment());
    WarnOfPassword(parser, prefix, io);
    return run(io);
  } catch (const site::SiteError& e) {
    io.err << prefix << WithoutPasswords(Translate(e), args) << "\n";
    return kExitUsage;
  } catch (const UsageError& e) {
    io.err << prefix << WithoutPasswords(Translate(e), args) << " "
           << TrFill("(try '{0}')", {std::string("vanto ") + command->name + " --help"}) << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    // The database's failures, the host's own and any other: exit 3.
    io.err << prefix << WithoutPasswords(Translate(e), args) << "\n";
    return kExitHost;
  }
}

}  // namespace vanto::cli
