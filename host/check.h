// check: the site looked at without changing anything: its file, the modules, the database, each
// port and terminal, and what deserves a warning (files others can read, unacknowledged record
// conflicts, clocks that drift). The findings are language-neutral: a code, a severity, the
// values, and the port, terminal or file concerned; a front end puts them into words.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/clock.h"
#include "host/db/database.h"
#include "host/site/site.h"

namespace vanto::host {

enum class Severity { kOk, kWarning, kFail };

struct CheckFinding {
  std::string code;  // see the codes in check.cpp's header comment and docs/host.md
  Severity severity = Severity::kOk;
  std::vector<std::pair<std::string, std::string>> values;  // name -> value, in a fixed order
  int port = 0, terminal = 0;  // 0: not about a port or terminal
  std::string file;            // the file concerned, if any

  const std::string& Value(const std::string& name) const;
};

// Where the package's vanto-serve.service kept the console's database (VANTO_DB) before the
// console took the site file's database like vanto-sync.service.
inline constexpr char kEarlierConsoleDatabase[] = "/var/lib/vanto/vanto.db";

struct CheckSettings {
  std::string database;  // resolved location: its files are looked at (never opened through it)
  // The process's handle on `database`, opened for reading only (nothing created, migrated or
  // written); called once, and only when there is a database to open. Throws StoreError.
  std::function<std::shared_ptr<db::Database>()> open_database;
  // Set when `database` is the default (no --db, $VANTO_DB or site file database): a database file
  // here that is not `database` is one a console used before, which it no longer uses.
  std::string earlier_console_database;
  ClockOptions clock;    // its zone and time; check never sets a clock
};

// Everything check looks at, in order. Stops after a module finding that fails (exit 3 in the
// command line): `modules_failed` says so.
struct CheckResult {
  std::vector<CheckFinding> findings;
  bool modules_failed = false;
  bool Passed() const;  // no finding failed
};
CheckResult CheckSite(const site::Site& site, const CheckSettings& settings);

// A warning when `settings.earlier_console_database` is a file and not the database in use (the
// console's users and runs of before, which it no longer sees).
std::optional<CheckFinding> CheckConsoleDatabase(const site::Site& site, const CheckSettings& settings);

// A warning when the site file has a [schedule] for the console and the package's timer is
// enabled too (each would sync the site).
std::vector<CheckFinding> CheckSchedules(const site::Site& site);

}  // namespace vanto::host
