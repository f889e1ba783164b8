// How the host's subcommands are declared. A command is one file: its options struct, a
// function that declares those options on a Parser (CLI11 underneath) and returns the run
// bound to the parsed struct, and one line in cli/command_list.h. The parser is built fresh for
// every command line, so each run gets its own options, parsed once before anything runs.
//
//   struct HelloOptions { int port = 0; bool json = false; };
//   Command HelloCommand() {
//     return {"hello", "greet a terminal", "vanto hello --port N", "Details...",
//             [](Parser& p) -> Run {
//               auto o = std::make_shared<HelloOptions>();
//               p.Number("port", "N", "serial port number", &o->port, 1, kMaxPort, Required::kYes);
//               p.Flag("json", "print JSON", &o->json);
//               return [o](Io& io) { return RunHello(*o, io); };
//             }};
//   }
//
// Messages of the host's own go through Tr / TrFill, counts through TrN / TrNFill, and help texts
// are marked TrLater (host/text/messages.h); each needs its translation in po/zh_CN.po (new ones
// at the end). `po/messages.sh update` rewrites the template po/vanto.pot; the test
// cli_messages_translated (`po/messages.sh check`) fails on a stale template or a missing one. Usage errors are
// UsageError (exit 2), the host's own failures HostError (exit 3); return kExitFalse (1) when a
// terminal operation failed, after writing its message to io.err.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/cli.h"
#include "host/text/messages.h"  // TrLater for help texts

namespace CLI {
class App;
}

namespace vanto::host {}
namespace vanto::cli {
using namespace vanto::host;  // the front end presents what the host library does

// The bus addresses one port: terminal numbers 1..255. Port numbers are the control's 1..32767.
using host::kMaxPort;
using host::kMaxTerminal;

enum class Required { kNo, kYes };
// How a command uses the site file: not at all, when there is one, or it needs one.
enum class SiteNeed { kNone, kOptional, kRequired };

// The options of one command: each declared with where its parsed value goes. Parse() refuses
// unknown or repeated options, stray words, missing required ones and bad values with a
// UsageError of one line, and leaves every target set when it returns.
class Parser {
 public:
  explicit Parser(const std::string& command);
  ~Parser();
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  void Flag(const std::string& name, const std::string& help, bool* target);
  void Text(const std::string& name, const std::string& value, const std::string& help, std::optional<std::string>* target,
            Required required = Required::kNo);
  void Number(const std::string& name, const std::string& value, const std::string& help, int* target, int min, int max,
              Required required = Required::kNo);
  void Whole(const std::string& name, const std::string& value, const std::string& help, std::int64_t* target,
             std::int64_t min, std::int64_t max, Required required = Required::kNo);
  void RangeOf(const std::string& name, const std::string& value, const std::string& help, Range* target, int min,
               int max);
  void Seconds(const std::string& name, const std::string& value, const std::string& help, double* target, double max);
  // A whole number that may be given more than once; each value is appended to `target`.
  void Wholes(const std::string& name, const std::string& value, const std::string& help,
              std::vector<std::int64_t>* target, std::int64_t min, std::int64_t max);
  // Words that are no option (a sub-action and its file): at most `max`, in order.
  void Words(const std::string& value, std::vector<std::string>* target, std::size_t max);
  // The database options every command with a database has: --db, --lock-timeout and
  // --site-name (the site of the database the command acts on, before the site file's).
  // `longest_wait`: the most --lock-timeout takes, in seconds (a copy between databases may wait
  // for a busy server far longer than a command that works on terminals).
  void Database(std::optional<std::string>* db, double* lock_timeout, double longest_wait = 3600);

  // --site FILE: the command uses the site file (read and applied before it runs).
  void Site(SiteNeed need);

  // Parses the words after the command name; returns false when --help / -h was given.
  bool Parse(const std::vector<std::string>& args);

  const std::vector<OptionSpec>& specs() const { return specs_; }
  bool has_database() const { return has_database_; }
  // The --db value given (nullopt when none, or no --db was declared).
  std::optional<std::string> database_option() const { return db_ ? *db_ : std::nullopt; }
  SiteNeed site_need() const { return site_need_; }
  const std::optional<std::string>& site() const { return site_; }
  // --site-name NAME (nullopt when not given).
  const std::optional<std::string>& site_name() const { return site_name_; }

 private:
  struct Declared;
  void Add(const std::string& name, const std::string& value, const std::string& help, Required required,
           std::function<void(const std::string&)> apply);

  std::string command_;
  std::unique_ptr<CLI::App> app_;
  std::vector<OptionSpec> specs_;
  std::vector<std::unique_ptr<Declared>> declared_;
  std::vector<std::string>* words_ = nullptr;
  std::size_t max_words_ = 0;
  bool help_ = false;
  bool has_database_ = false;
  std::optional<std::string>* db_ = nullptr;
  SiteNeed site_need_ = SiteNeed::kNone;
  std::optional<std::string> site_;
  std::optional<std::string> site_name_;
};

using Run = std::function<int(Io&)>;

struct Command {
  const char* name;
  const char* summary;  // one line, lower case, no full stop
  const char* usage;    // "vanto NAME [OPTIONS]"
  const char* details;  // paragraphs for `vanto help NAME`
  std::function<Run(Parser&)> declare;
};

// Every command, in the order of cli/command_list.h.
const std::vector<Command>& Commands();
const Command* FindCommand(const std::string& name);

// The closest of `candidates` to `word` when it is close enough to be a likely typo.
std::optional<std::string> Closest(const std::string& word, const std::vector<std::string>& candidates);

// The database path of --db, else $VANTO_DB, else the site file's, else the default; its folder
// created when `create`.
std::string DatabasePath(const std::optional<std::string>& db, bool create);

}  // namespace vanto::cli
