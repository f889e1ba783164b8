// The host program `vanto`: subcommands scan, download, backup, restore, copy, demo and sim.
// Exit status: 0 success; 1 the operation answered False (its strMsg on standard error);
// 2 a usage error (a one-line hint); 3 the host could not do its own part (database,
// component runtime, simulator).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vanto::host {}

namespace vanto::cli {

// The front end presents what the host library does: its names are this namespace's too.
using namespace vanto::host;

enum ExitCode { kExitOk = 0, kExitFalse = 1, kExitUsage = 2, kExitHost = 3 };

struct Io {
  std::ostream& out;
  std::ostream& err;
  // Draw the download's progress line on `err` (it is a terminal).
  bool progress = false;
  // The progress line may use cursor codes (standard error is a terminal, TERM is not "dumb").
  bool cursor = false;
};

// Runs one command line (`args` without the program name).
int RunVanto(const std::vector<std::string>& args, Io& io);

// The database the host uses when --db is not given: $VANTO_DB, else
// $XDG_DATA_HOME/vanto/vanto.db, else ~/.local/share/vanto/vanto.db.
std::string DefaultDatabasePath();
// The refusal when no rule names a database (HOME not set).
std::string NoDatabaseText();

}  // namespace vanto::cli
