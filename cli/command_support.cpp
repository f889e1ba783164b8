#include "cli/command_support.h"

#include <pwd.h>
#include <unistd.h>

#include "host/database_location.h"

#include "cli/command.h"
#include "cli/site_use.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "host/control_settings.h"
#include "terminal/control/settings.h"
#include "host/text/messages.h"
#include "platform/automation/errors.h"
#include "platform/automation/text.h"

namespace vanto::cli {

std::string DriverSaid(const std::string& message) {
  std::string text = message;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text.empty() ? std::string() : TrFill("driver: {0}", {text});
}

std::string ClockSaid(const TerminalClock& clock) {
  if (clock.set == ClockSet::kNotAudited) return Translate(clock.message);
  return DriverSaid(Translate(clock.message));
}

int Refused(Io& io, const Outcome& outcome, const std::string& ours) {
  // The host's words first, then the driver's text, marked as the driver's.
  if (outcome.message.empty()) {
    io.err << ours << "\n";
  } else if (outcome.message == ToUtf8(kTextOverflow)) {
    // The driver's bare overflow text, with what overflowed and where.
    io.err << TrFill("a number outside the driver's 16-bit range: {0}", {ours}) << " (" << DriverSaid(outcome.message)
           << ")\n";
  } else {
    io.err << ours << " (" << DriverSaid(outcome.message) << ")\n";
  }
  return kExitFalse;
}

std::chrono::milliseconds LockTimeout(const DatabaseOptions& o) {
  return std::chrono::milliseconds(static_cast<long long>(o.lock_timeout * 1000));
}

site::TimeZone SiteTimeZone(const site::Site& site) {
  if (site.timezone)
    if (auto zone = site::TimeZone::Find(*site.timezone)) return *zone;  // checked when the file was read
  if (const char* tz = std::getenv("TZ"); tz && *tz) {
    std::string name = tz[0] == ':' ? tz + 1 : tz;
    if (auto zone = site::TimeZone::Find(name)) return *zone;
  }
  return site::TimeZone::Host();
}

std::string DriftText(std::int64_t seconds) {
  return (seconds > 0 ? "+" : "") + std::to_string(seconds) + " s";
}

namespace {
// The running command's handle (one command runs on a thread at a time) and how it was opened.
thread_local std::shared_ptr<db::Database> command_database;
thread_local DatabaseUse command_use = DatabaseUse::kWrite;
thread_local std::size_t command_opens = 0;
thread_local std::optional<std::string> command_site_name;
thread_local std::optional<SiteChoice> command_site;
}  // namespace

void UseSiteName(const std::optional<std::string>& name) { command_site_name = name; }

const SiteChoice& CommandSite(const DatabaseOptions& o, DatabaseUse use) {
  std::shared_ptr<db::Database> db = CommandDatabase(o, use);
  if (!command_site) command_site = ChooseSite(*db, RequestedSiteName(), !db->options().read_only, OsUser());
  return *command_site;
}

std::optional<std::string> RequestedSiteName() {
  if (command_site_name) return command_site_name;
  if (const site::Site* site = CurrentSite()) return site->name;
  return std::nullopt;
}

std::shared_ptr<db::Database> CommandDatabase(const DatabaseOptions& o, DatabaseUse use) {
  const bool writes = use != DatabaseUse::kRead;
  if (command_database) {
    // A handle that writes serves every use; a reading one serves reads, and a first-write one
    // everything but a use that needs the database to be there.
    const bool serves = command_use == DatabaseUse::kRead ? !writes
                        : command_use == DatabaseUse::kFirstWrite ? use != DatabaseUse::kExisting
                                                                  : true;
    if (serves) return command_database;
  }
  db::DatabaseOptions options;
  options.lock_timeout = LockTimeout(o);
  options.create = use == DatabaseUse::kWrite || use == DatabaseUse::kFirstWrite;
  options.read_only = use == DatabaseUse::kRead;
  options.create_on_first_write = use == DatabaseUse::kFirstWrite;
  // A sync keeps a connection for each port and one for its run's record, all at once: a site's
  // ports never wait on one another for the pool.
  if (const site::Site* site = CurrentSite()) options.pool_size = std::max(options.pool_size, site->ports.size() + 1);
  command_database = db::Database::Open(DatabasePath(o.db, options.create), options);
  command_use = use;
  command_site.reset();  // chosen again over the new handle
  ++command_opens;
  return command_database;
}

void CloseCommandDatabase() {
  command_database.reset();
  command_site.reset();
  command_site_name.reset();
  command_opens = 0;
}

std::size_t CommandDatabaseOpens() { return command_opens; }

store::RecordStore OpenStore(const DatabaseOptions& o, bool create) {
  const DatabaseUse use = create ? DatabaseUse::kWrite : DatabaseUse::kExisting;
  const std::string site = CommandSite(o, use).name;
  return store::RecordStore(CommandDatabase(o, use)->Swipes(), site);
}

store::RecordStore OpenStoreForReading(const DatabaseOptions& o) {
  const std::string site = CommandSite(o, DatabaseUse::kRead).name;
  return store::RecordStore(CommandDatabase(o, DatabaseUse::kRead)->Swipes(), site);
}

store::RecordStore OpenStoreForReading(const DatabaseOptions& o, bool all_sites) {
  if (!all_sites) return OpenStoreForReading(o);
  return store::RecordStore(CommandDatabase(o, DatabaseUse::kRead)->Swipes(), std::string());
}

std::optional<std::string> ReadingSite(const DatabaseOptions& o, bool all_sites) {
  if (all_sites) return std::nullopt;
  return CommandSite(o, DatabaseUse::kRead).filter;
}

std::string ShownLocation(const std::string& location) { return ShownDatabaseLocation(location); }

// A feature-only part of the site file that is wrong, and what does not run because of it.
std::string SiteProblemText(const std::string& part, const std::string& endpoint, const std::string& error) {
  if (part == "push")
    return endpoint.empty()
               ? TrFill("a push endpoint is misconfigured: {0}; nothing is pushed to it until it is mended", {error})
               : TrFill("push endpoint {0} is misconfigured: {1}; nothing is pushed to it until it is mended (its "
                        "swipes wait)",
                        {endpoint, error});
  if (part == "console")
    return TrFill("the console's settings are wrong: {0}; 'vanto serve' does not start until they are mended", {error});
  if (part == "api_requests_per_minute")
    return TrFill("the API's rate is wrong: {0}; 'vanto serve' does not start until it is mended", {error});
  if (part == "schedule")
    return TrFill("the schedule is wrong: {0}; 'vanto serve' syncs on its own only once it is mended", {error});
  return part + ": " + error;
}

std::string SiteProblemText(const site::SiteProblem& problem) {
  return SiteProblemText(site::SitePartName(problem.part), problem.endpoint, Translate(problem.said));
}

std::string OsUser() {
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) return pw->pw_name;
  return "uid " + std::to_string(geteuid());
}

}  // namespace vanto::cli
