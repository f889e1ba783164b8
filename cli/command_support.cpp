#include "cli/command_support.h"

#include <pwd.h>
#include <unistd.h>

#include "host/database_location.h"

#include "cli/command.h"

#include <pwd.h>
#include <unistd.h>

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

store::RecordStore OpenStore(const DatabaseOptions& o, bool create) {
  store::OpenOptions options;
  options.create = create;
  options.lock_timeout = LockTimeout(o);
  return store::RecordStore::Open(DatabasePath(o.db, create), options);
}

store::RecordStore OpenStoreForReading(const DatabaseOptions& o) {
  return store::RecordStore(store::OpenSwipeStoreForReading(DatabasePath(o.db, false), LockTimeout(o)));
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
  return SiteProblemText(site::SitePartName(problem.part), problem.endpoint, problem.message);
}

std::string OsUser() {
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) return pw->pw_name;
  return "uid " + std::to_string(geteuid());
}

}  // namespace vanto::cli
