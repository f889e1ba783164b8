// Helpers the host's commands share: where a terminal is, the operation's refusal, the store.
#pragma once

#include <string>

#include "cli/cli.h"
#include "cli/commands.h"
#include "host/db/database.h"
#include "host/clock.h"
#include "host/facade.h"
#include "host/machine.h"
#include "host/site/site.h"
#include "host/site/zone.h"
#include "host/db/record_store.h"
#include "host/site_choice.h"

namespace vanto::host {}
namespace vanto::cli {
using namespace vanto::host;  // the front end presents what the host library does


// The operation answered False: our words, then the driver's message (marked as its own) when it gave one.
int Refused(Io& io, const Outcome& outcome, const std::string& ours);
// The driver's own text (in the driver's language, as it gave it), marked as the driver's so it
// follows the host's words: "driver: ..." ("" when the driver said nothing).
std::string DriverSaid(const std::string& message);
// A terminal clock's message in the process's language: why the audit trail refused a set (the
// host's words), else the driver's words marked as the driver's.
std::string ClockSaid(const TerminalClock& clock);

// How a command uses its database.
enum class DatabaseUse {
  kWrite,       // created when missing, brought up to date
  kExisting,    // must exist; brought up to date
  kRead,        // nothing created, migrated or written (a read-only file or server will do)
  kFirstWrite,  // an SQLite file that does not exist yet is created by the first write
};
// The database of the running command: opened once, when first needed, from the resolved
// location (--db, $VANTO_DB, the site, the default) and shared by everything the command does;
// a later use that writes gets the same handle when it was opened for writing. Closed at the end
// of the command (CloseCommandDatabase). Throws StoreError naming the location.
std::shared_ptr<db::Database> CommandDatabase(const DatabaseOptions& o, DatabaseUse use);
void CloseCommandDatabase();
// --site-name of the running command (cleared by CloseCommandDatabase).
void UseSiteName(const std::optional<std::string>& name);
// The site of the command's database the command acts on (host::ChooseSite: --site-name, else
// the site file's `site`, else the database's only site), chosen once, when the database is
// opened (a handle that writes gives the first site every row of no site). Opens the database
// as `use` when it is not open. Throws site::SiteError (exit 2) as ChooseSite does.
const SiteChoice& CommandSite(const DatabaseOptions& o, DatabaseUse use);
// The site the command names: --site-name, else the site file's `site` (nullopt: none named).
std::optional<std::string> RequestedSiteName();
// How many handles the running command has opened (one per command, whatever it does).
std::size_t CommandDatabaseOpens();

store::RecordStore OpenStore(const DatabaseOptions& o, bool create);

// Opens the database of `o` only to read it: nothing is created, migrated or written, so a
// read-only file in a read-only folder or a read-only server (a standby) will do.
store::RecordStore OpenStoreForReading(const DatabaseOptions& o);
// OpenStoreForReading; with `all_sites` (a listing's --all-sites) no site is chosen, so a
// database holding several sites is read without naming one.
store::RecordStore OpenStoreForReading(const DatabaseOptions& o, bool all_sites);
// The site a listing reads: none with `all_sites` (every site's rows), else the chosen site's
// filter (CommandSite).
std::optional<std::string> ReadingSite(const DatabaseOptions& o, bool all_sites);

// A database location as messages show it: a URL with any password replaced by "***".
std::string ShownLocation(const std::string& location);

std::chrono::milliseconds LockTimeout(const DatabaseOptions& o);
// The operating-system user running this command (as the audit trail and the sync runs name it).
std::string OsUser();

// The site's time zone: its `timezone`, else $TZ when it names a zone, else the host's.
site::TimeZone SiteTimeZone(const site::Site& site);
// A feature-only part of the site file that is wrong, and what does not run because of it (the
// part as SitePartName names it, the endpoint for a push endpoint, the file's refusal).
std::string SiteProblemText(const std::string& part, const std::string& endpoint, const std::string& error);
std::string SiteProblemText(const site::SiteProblem& problem);
// Seconds as a signed drift: "+300 s", "-2 s", "0 s".
std::string DriftText(std::int64_t seconds);

}  // namespace vanto::cli
