// The site file: one TOML file naming the database, the line defaults and every port of a site
// (its device, its own line settings and its terminals). Read and checked in full before any
// terminal traffic; every refusal names the file, the line and the key.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/message.h"

namespace vanto::site {

// The variables a front end reads for the site (the host library reads no environment itself).
inline constexpr char kSiteVariable[] = "VANTO_SITE";
inline constexpr char kDatabaseVariable[] = "VANTO_DB";

// Where a PostgreSQL password belongs instead of a database location, unworded (a front end
// translates it; the site file refuses a location holding one; --db and $VANTO_DB warn about one).
host::Message PasswordAdvice();

// A name's value in the process environment as the front end gives it; nullopt when not set.
// An empty value counts as not set.
using Environment = std::function<std::optional<std::string>(const std::string& name)>;

// A site file or a site option that cannot be used: its message unworded (message(), for the
// front ends to translate); what() is the message in English.
class SiteError : public std::runtime_error, public host::CarriesMessage {
 public:
  explicit SiteError(host::Message message)
      : std::runtime_error(message.English()), host::CarriesMessage(std::move(message)) {}
  // A text said as it is.
  explicit SiteError(const std::string& text) : SiteError(host::Message::Verbatim(text)) {}
};

// A number setting of the line as the file gives it.
struct LineValue {
  long long value = 0;
  int line = 0;  // where in the file
};

struct SitePort {
  int number = 0;
  int line = 0;  // of the port's table
  std::string device;
  int device_line = 0;
  // The terminals: listed, or a range to scan (first..last) when `scan` is set.
  std::vector<int> terminals;
  bool scan = false;
  int terminals_line = 0;
  // The port's own line settings: control variable -> value.
  std::map<std::string, LineValue> overrides;
  // Attendance: the terminals whose swipes are check-ins (`in`) and check-outs (`out`), and
  // those never waited for before a day is judged (`not_collected`); by number, each once.
  std::vector<int> in_terminals, out_terminals, not_collected;
  int in_line = 0, out_line = 0, not_collected_line = 0;
};

// The site's rules for terminal clocks and record times, in seconds.
struct ClockRules {
  // `sync` sets a clock whose drift (either way) exceeds this; nullopt: sync sets no clock.
  std::optional<long long> set_when_drift_above;
  int set_when_drift_above_line = 0;
  long long warn_drift_above = 60;  // `check` warns about a clock off by more than this
  int warn_drift_above_line = 0;
  // A record is implausible (flagged, still stored) when it lies more than `ahead` after the
  // host's time, or more than `back` before the terminal's previous record.
  long long records_ahead = 86400;
  int records_ahead_line = 0;
  long long records_back = 86400;
  int records_back_line = 0;
};

// A [[push]] table: an HR system the site's swipes are pushed to (host/push).
struct SitePush {
  std::string name;
  std::string url;                  // http:// or https://
  std::string format = "json";      // "json" (ours) or "hr-checkin"
  std::string secret_file;          // absolute, or made so from the site file's folder
  std::optional<std::string> ca_file;
  std::vector<int> ports;           // only these ports' swipes (empty: every port)
  std::vector<std::int32_t> people; // only these people's swipes (empty: everyone)
  std::optional<std::string> from;  // "YYYY-MM-DD": a new endpoint starts at the swipes stored from then on
  bool all_sites = false;           // sent every site's swipes of the database (else this site's only)
  // hr-checkin: requests a minute at most, and a log type per terminal ("PORT:TERMINAL" -> "IN"/"OUT").
  int requests_per_minute = 60;
  std::map<std::string, std::string> log_types;
  int line = 0;
  // Why the endpoint cannot be used ("FILE:LINE: key 'K': ..."), "" when it can: it is kept (its
  // backlog with it) and reported as misconfigured, and nothing is sent to it.
  std::string problem;
  // Whether the table tells where a new endpoint starts (its `from`, or none: the swipes stored
  // from now on). Only a `from` that cannot be read leaves it unknown: a misconfigured endpoint is
  // otherwise recorded at once, so the swipes stored while it is mended wait for it.
  bool start_known = true;
};

// The parts of a site file only one feature uses. A part that is wrong stops that feature alone
// (it reports why); every other command runs. A part every feature needs (the database, the
// ports, the line and clock settings, the working day) stops every command.
enum class SitePart { kPush, kConsole, kSchedule, kApi };
// "push", "console", "schedule", "api_requests_per_minute": as the file names the part.
const char* SitePartName(SitePart part);

// A feature-only part the file gets wrong: which, and why ("FILE:LINE: key 'K': what is wrong").
struct SiteProblem {
  SitePart part = SitePart::kPush;
  std::string message;   // in English (as the records and a push endpoint's status keep it)
  std::string endpoint;  // kPush: the endpoint's name when the file gives it one
  host::Message said;    // the message unworded, for a front end to translate
};

struct Site {
  std::string path;
  // The site's name (`site = "NAME"`): which rows of a database shared by several sites are this
  // site's. nullopt: the file names none (usable on a database holding at most one site).
  std::optional<std::string> name;
  int name_line = 0;
  std::optional<std::string> database;
  int database_line = 0;
  std::string day_starts = "00:00";
  int day_starts_line = 0;
  // The site's time zone (an IANA name the system's zone database knows); nullopt: the host's.
  std::optional<std::string> timezone;
  int timezone_line = 0;
  ClockRules clock;
  // A first swipe of a working day after this time of day ("HH:MM") is late; none: no one is.
  std::optional<std::string> late_after;
  int late_after_line = 0;
  // A terminal not synced completely within this many seconds is shown as stale (`vanto site
  // list`, the console's Sites page); 24 hours unless the file says.
  long long stale_after = 86400;
  int stale_after_line = 0;
  // Attendance: a day still waiting for a terminal's complete sync is judged anyway this many
  // days after its window closed (1..366; 7 unless the file says).
  int pending_limit = 7;
  int pending_limit_line = 0;
  // [console] trusted_proxies: the reverse proxies whose X-Forwarded-For and X-Forwarded-Proto
  // `vanto serve` believes, each a numeric address in its canonical form (ProxyAddress).
  std::vector<std::string> trusted_proxies;
  int trusted_proxies_line = 0;  // 0: the file gives none
  // Requests each API token may make per minute (`vanto serve`); more are answered 429. Wrong:
  // the default, and the API's problem (`vanto serve` does not start).
  std::int64_t api_requests_per_minute = 600;
  int api_requests_per_minute_line = 0;
  // Line defaults: control variable -> value.
  std::map<std::string, LineValue> line;
  std::vector<SitePort> ports;  // in the order of the file
  // [schedule] sync_every: how often `vanto serve` syncs the site (absent: it does not).
  std::optional<std::chrono::seconds> sync_every;
  int sync_every_line = 0;
  // [[push]]: the endpoints swipes are pushed to, in the order of the file (a misconfigured one
  // with its problem).
  std::vector<SitePush> pushes;
  // The feature-only parts that are wrong, in the order of the file. The settings of such a part
  // are left at their defaults ([console]: no proxies; [schedule]: no schedule;
  // api_requests_per_minute: 600).
  std::vector<SiteProblem> problems;

  // The problem of `part` (the first), null when that part is fine.
  const SiteProblem* ProblemOf(SitePart part) const;
  // Whether a [[push]] table is so wrong that the endpoint it meant has no name: then no endpoint
  // may be taken for one the file no longer names.
  bool HasUnnamedPushProblem() const;

  const SitePort* Port(int number) const;
  // "FILE:LINE" for messages.
  std::string Where(int line) const { return path + ":" + std::to_string(line); }
};

// The site file's keys of the line settings and the control variables they set.
struct LineKey {
  const char* key;
  const char* variable;
  const char* help;
};
const std::vector<LineKey>& LineKeys();

// Reads and checks a site file. Throws SiteError ("FILE:LINE: key 'K': what is wrong").
Site LoadSite(const std::string& path);
Site ParseSite(const std::string& text, const std::string& path);

// Where the site file is: --site FILE, else $VANTO_SITE, else $XDG_CONFIG_HOME/vanto/site.toml,
// else ~/.config/vanto/site.toml. `given` says the user named it (so it must exist); `how` names
// the rule that chose it. Throws SiteError when no rule gives a path (HOME not set).
struct SiteLocation {
  std::string path;
  bool given = false;
  std::string how;
};
SiteLocation LocateSite(const std::optional<std::string>& option, const Environment& env);

// One effective setting: its name as shown, its value and where that value comes from.
struct Effective {
  std::string name;
  std::string value;
  std::string origin;
};
// The effective settings of `site`, each with its source, in the one order every command uses:
// the command line (`db_option`, --db), then the environment `env`, then the site file, then the
// default.
std::vector<Effective> EffectiveSettings(const Site& site, const Environment& env,
                                         const std::optional<std::string>& db_option = std::nullopt);

// The terminal control's settings the site gives (setting name -> value): its line settings, each
// port's device and own settings. A setting the user gave in `env` is left out (the control's
// own override holds), and so is a port's own setting where the user gave the line's.
std::map<std::string, std::string> ControlSettingsOf(const Site& site, const Environment& env);

// A proxy's address as a client's address is compared with it: an IPv4 or IPv6 address in its
// canonical text ("10.0.0.2", "::1"); nullopt when `text` is no numeric address.
std::optional<std::string> ProxyAddress(const std::string& text);

// The proxies `vanto serve` trusts and where the list comes from, in the order every setting
// uses: the command line (`option`, --trusted-proxies ADDR,...), then the site file (`site`, may
// be null), then the default (none). Throws SiteError naming the option and the address that
// is no numeric address, or given twice.
struct TrustedProxies {
  std::vector<std::string> addresses;
  std::string origin;  // "--trusted-proxies", "FILE:LINE" or "default"
};
TrustedProxies ResolveTrustedProxies(const Site* site, const std::optional<std::string>& option);

// A duration: "90s", "2m", "1h", "1d" or a whole number of seconds -> seconds; nullopt when
// it is none of these.
std::optional<long long> ParseDuration(const std::string& text);
// The shortest and longest [schedule] sync_every.
inline constexpr std::chrono::seconds kShortestSchedule{30}, kLongestSchedule{24 * 3600};

// Whether `name` can name a site: 1 to kLongestSiteName letters, digits, '-' and '_'.
inline constexpr std::size_t kLongestSiteName = 32;
bool ValidSiteName(const std::string& name);
// Why `name` cannot name a site, unworded (nullopt when it can).
std::optional<host::Message> SiteNameProblem(const std::string& name);

// "HH:MM" -> minutes after midnight; nullopt when not a time of day.
std::optional<int> ParseTimeOfDay(const std::string& text);

}  // namespace vanto::site
