#include "host/site/site.h"

#include "host/db/pg_location.h"

#include "host/message.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "host/ports.h"
#include "host/site/zone.h"
#include "terminal/control/settings.h"

namespace vanto::site {
namespace {

namespace control = terminal::control;

using vanto::host::kMaxPort;
using vanto::host::Message;
using vanto::host::kMaxTerminal;

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }
int LineOf(const toml::key& key) { return static_cast<int>(key.source().begin.line); }

[[noreturn]] void Refuse(const Site& site, int line, const std::string& key, const Message& what) {
  throw SiteError(Message::Join({site.Where(line), ": ", Message("key '{0}': {1}", {key, what})}));
}
// `what` in another part's own words (the control's), said as it is.
[[noreturn]] void Refuse(const Site& site, int line, const std::string& key, const std::string& what) {
  Refuse(site, line, key, Message::Verbatim(what));
}

Message TypeName(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string: return Message("a string");
    case toml::node_type::integer: return Message("a whole number");
    case toml::node_type::floating_point: return Message("a decimal number");
    case toml::node_type::boolean: return Message("true or false");
    case toml::node_type::array: return Message("a list");
    case toml::node_type::table: return Message("a table");
    default: return Message("a date or time");
  }
}

std::string Text(const Site& site, const toml::node& node, const std::string& key) {
  const auto* text = node.as_string();
  if (!text) Refuse(site, LineOf(node), key, Message("must be a string, not {0}", {TypeName(node)}));
  if (text->get().empty()) Refuse(site, LineOf(node), key, Message("must not be empty"));
  return text->get();
}

long long Whole(const Site& site, const toml::node& node, const std::string& key, long long low, long long high) {
  const auto* number = node.as_integer();
  if (!number) Refuse(site, LineOf(node), key, Message("must be a whole number, not {0}", {TypeName(node)}));
  const long long value = number->get();
  if (value < low || value > high)
    Refuse(site, LineOf(node), key,
           Message("{0} is out of range ({1}..{2})", {std::to_string(value), std::to_string(low), std::to_string(high)}));
  return value;
}

const LineKey* FindLineKey(const std::string& key) {
  for (const LineKey& k : LineKeys())
    if (key == k.key) return &k;
  return nullptr;
}

LineValue LineSetting(const Site& site, const toml::node& node, const std::string& key, const LineKey& which) {
  const auto* number = node.as_integer();
  if (!number) Refuse(site, LineOf(node), key, Message("must be a whole number, not {0}", {TypeName(node)}));
  const std::string problem = control::CheckSetting(which.variable, std::to_string(number->get()));
  if (!problem.empty()) Refuse(site, LineOf(node), key, std::to_string(number->get()) + " " + problem);
  return {number->get(), LineOf(node)};
}

std::string KnownKeys(const std::vector<std::string>& keys) {
  std::string text;
  for (const std::string& k : keys) text += (text.empty() ? "" : ", ") + k;
  return text;
}

std::vector<std::string> WithLineKeys(std::vector<std::string> keys) {
  for (const LineKey& k : LineKeys()) keys.push_back(k.key);
  return keys;
}

void ReadTerminals(const Site& site, const toml::node& node, SitePort& port) {
  const std::string key = "port.terminals";
  port.terminals_line = LineOf(node);
  if (const auto* list = node.as_array()) {
    if (list->empty()) Refuse(site, LineOf(node), key, Message("lists no terminal"));
    std::set<int> seen;
    for (const toml::node& item : *list) {
      const int terminal = static_cast<int>(Whole(site, item, key, 1, kMaxTerminal));
      if (!seen.insert(terminal).second)
        Refuse(site, LineOf(item), key, Message("terminal {0} is listed twice", {std::to_string(terminal)}));
      port.terminals.push_back(terminal);
    }
    return;
  }
  if (const auto* text = node.as_string()) {
    // "N-M": the terminals to scan for.
    const std::string range = text->get();
    const auto dash = range.find('-');
    auto number = [&](const std::string& part) {
      if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos)
        Refuse(site, LineOf(node), key, Message("'{0}' is neither a list of terminals nor a range N-M to scan", {range}));
      const int value = std::atoi(part.c_str());
      if (value < 1 || value > kMaxTerminal)
        Refuse(site, LineOf(node), key, Message("terminal {0} is out of range (1..{1})", {part, std::to_string(kMaxTerminal)}));
      return value;
    };
    const int first = number(range.substr(0, dash));
    const int last = dash == std::string::npos ? first : number(range.substr(dash + 1));
    if (first > last) Refuse(site, LineOf(node), key, Message("range '{0}' is inverted (write the smaller number first)", {range}));
    for (int t = first; t <= last; ++t) port.terminals.push_back(t);
    port.scan = true;
    return;
  }
  Refuse(site, LineOf(node), key, Message("must be a list of terminal numbers or a range \"N-M\" to scan, not {0}", {TypeName(node)}));
}

// An attendance list of terminals of a port: "1-2", "3", "1,3-4" or a TOML list [1, 2].
std::vector<int> ReadTerminalSet(const Site& site, const toml::node& node, const std::string& key) {
  std::vector<int> terminals;
  auto add = [&](int terminal, int line) {
    if (std::find(terminals.begin(), terminals.end(), terminal) != terminals.end())
      Refuse(site, line, key, Message("terminal {0} is listed twice", {std::to_string(terminal)}));
    terminals.push_back(terminal);
  };
  if (const auto* list = node.as_array()) {
    if (list->empty()) Refuse(site, LineOf(node), key, Message("lists no terminal"));
    for (const toml::node& item : *list) add(static_cast<int>(Whole(site, item, key, 1, kMaxTerminal)), LineOf(item));
    return terminals;
  }
  const auto* text = node.as_string();
  if (!text)
    Refuse(site, LineOf(node), key, Message("must be terminals such as \"1-2,5\" or a list [1, 2], not {0}", {TypeName(node)}));
  const std::string all = text->get();
  auto number = [&](const std::string& part) {
    if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos)
      Refuse(site, LineOf(node), key, Message("'{0}' is not a list of terminals such as \"1-2,5\"", {all}));
    const int value = std::atoi(part.c_str());
    if (value < 1 || value > kMaxTerminal)
      Refuse(site, LineOf(node), key, Message("terminal {0} is out of range (1..{1})", {part, std::to_string(kMaxTerminal)}));
    return value;
  };
  std::size_t begin = 0;
  while (true) {
    const std::size_t comma = all.find(',', begin);
    std::string part = all.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
    while (!part.empty() && part.front() == ' ') part.erase(part.begin());
    while (!part.empty() && part.back() == ' ') part.pop_back();
    const auto dash = part.find('-');
    const int first = number(part.substr(0, dash));
    const int last = dash == std::string::npos ? first : number(part.substr(dash + 1));
    if (first > last) Refuse(site, LineOf(node), key, Message("range '{0}' is inverted (write the smaller number first)", {part}));
    for (int t = first; t <= last; ++t) add(t, LineOf(node));
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  return terminals;
}

SitePort ReadPort(const Site& site, const toml::table& table) {
  SitePort port;
  port.line = LineOf(table);
  bool has_number = false;
  for (auto&& [key, node] : table) {
    const std::string name(key.str());
    const std::string shown = "port." + name;
    if (name == "number") {
      port.number = static_cast<int>(Whole(site, node, shown, 1, kMaxPort));
      has_number = true;
    } else if (name == "device") {
      port.device = Text(site, node, shown);
      port.device_line = LineOf(node);
    } else if (name == "terminals") {
      ReadTerminals(site, node, port);
    } else if (name == "in") {
      port.in_terminals = ReadTerminalSet(site, node, shown);
      port.in_line = LineOf(node);
    } else if (name == "out") {
      port.out_terminals = ReadTerminalSet(site, node, shown);
      port.out_line = LineOf(node);
    } else if (name == "not_collected") {
      port.not_collected = ReadTerminalSet(site, node, shown);
      port.not_collected_line = LineOf(node);
    } else if (const LineKey* line = FindLineKey(name)) {
      bool per_port = false;
      for (const auto& s : control::NumberSettings())
        if (std::string(s.variable) == line->variable) per_port = s.perPort;
      if (!per_port) Refuse(site, LineOf(key), shown, Message("is the same for every port: set it in [line]"));
      port.overrides[line->variable] = LineSetting(site, node, shown, *line);
    } else {
      Refuse(site, LineOf(key), shown,
             Message("unknown key (a port has: {0})", {KnownKeys(WithLineKeys({"number", "device", "terminals", "in", "out", "not_collected"}))}));
    }
  }
  if (!has_number) Refuse(site, port.line, "port.number", Message("missing: every [[port]] needs its number"));
  if (port.device.empty()) Refuse(site, port.line, "port.device", Message("missing: port {0} needs its device", {std::to_string(port.number)}));
  if (port.terminals_line == 0)
    Refuse(site, port.line, "port.terminals",
           Message("missing: port {0} needs its terminals (a list, or a range \"N-M\" to scan)", {std::to_string(port.number)}));
  for (int terminal : port.out_terminals)
    if (std::find(port.in_terminals.begin(), port.in_terminals.end(), terminal) != port.in_terminals.end())
      Refuse(site, port.out_line, "port.out",
             Message("terminal {0} is a check-in terminal already (key 'in', line {1})",
                     {std::to_string(terminal), std::to_string(port.in_line)}));
  return port;
}

// A duration key of [clock]: a text such as "2m", or whole seconds.
long long Duration(const Site& site, const toml::node& node, const std::string& key) {
  std::optional<long long> seconds;
  if (const auto* number = node.as_integer())
    seconds = number->get();
  else if (const auto* text = node.as_string())
    seconds = ParseDuration(text->get());
  else
    Refuse(site, LineOf(node), key, Message("must be a duration such as \"90s\", \"2m\", \"1h\" or \"1d\", not {0}", {TypeName(node)}));
  constexpr long long kMost = 366LL * 86400;
  if (!seconds || *seconds < 1 || *seconds > kMost)
    Refuse(site, LineOf(node), key,
           Message("is not a duration of 1 second to 366 days (such as \"90s\", \"2m\", \"1h\" or \"1d\")"));
  return *seconds;
}

void ReadClockRules(Site& site, const toml::node& node) {
  const auto* table = node.as_table();
  if (!table) Refuse(site, LineOf(node), "clock", Message("must be a table [clock], not {0}", {TypeName(node)}));
  ClockRules& rules = site.clock;
  for (auto&& [key, value] : *table) {
    const std::string name(key.str()), shown = "clock." + name;
    const int line = LineOf(value);
    if (name == "set_when_drift_above")
      rules.set_when_drift_above = Duration(site, value, shown), rules.set_when_drift_above_line = line;
    else if (name == "warn_drift_above")
      rules.warn_drift_above = Duration(site, value, shown), rules.warn_drift_above_line = line;
    else if (name == "records_ahead")
      rules.records_ahead = Duration(site, value, shown), rules.records_ahead_line = line;
    else if (name == "records_back")
      rules.records_back = Duration(site, value, shown), rules.records_back_line = line;
    else
      Refuse(site, LineOf(key), shown,
             Message("unknown key (the clock has: set_when_drift_above, warn_drift_above, records_ahead, records_back)"));
  }
}

// [console]: the settings of `vanto serve` (trusted_proxies).
void ReadConsole(Site& site, const toml::node& node) {
  const auto* table = node.as_table();
  if (!table) Refuse(site, LineOf(node), "console", Message("must be a table [console], not {0}", {TypeName(node)}));
  for (auto&& [key, value] : *table) {
    const std::string name(key.str()), shown = "console." + name;
    if (name != "trusted_proxies") Refuse(site, LineOf(key), shown, Message("unknown key (the console has: trusted_proxies)"));
    const auto* list = value.as_array();
    if (!list)
      Refuse(site, LineOf(value), shown,
             Message("must be a list of addresses such as [\"10.0.0.2\"], not {0}", {TypeName(value)}));
    site.trusted_proxies.clear();
    site.trusted_proxies_line = LineOf(value);
    for (const toml::node& item : *list) {
      const std::string text = Text(site, item, shown);
      const std::optional<std::string> address = ProxyAddress(text);
      if (!address)
        Refuse(site, LineOf(item), shown,
               Message("'{0}' is no IP address (give the address the proxy connects from, e.g. \"10.0.0.2\" or \"::1\")", {text}));
      if (std::find(site.trusted_proxies.begin(), site.trusted_proxies.end(), *address) != site.trusted_proxies.end())
        Refuse(site, LineOf(item), shown, Message("'{0}' is listed twice", {text}));
      site.trusted_proxies.push_back(*address);
    }
  }
}

// A [[push]] table: one endpoint swipes are pushed to. Its secret file must exist and be
// readable by its owner alone (the secret itself is never read here, nor shown).
// A [[push]] table's `from`: a date "YYYY-MM-DD".
std::string PushFrom(const Site& site, const toml::node& value) {
  const std::string text = Text(site, value, "push.from");
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3 || m < 1 || m > 12 ||
      d < 1 || d > 31)
    Refuse(site, LineOf(value), "push.from", Message("'{0}' is no date YYYY-MM-DD", {text}));
  return text;
}

SitePush ReadPush(const Site& site, const toml::table& table) {
  SitePush push;
  push.line = LineOf(table);
  const std::filesystem::path folder = std::filesystem::path(site.path).parent_path();
  auto file_of = [&](const toml::node& value, const std::string& shown) {
    std::filesystem::path file(Text(site, value, shown));
    if (file.is_relative()) file = folder / file;
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0)
      Refuse(site, LineOf(value), shown, Message("cannot read {0}: {1}", {file.string(), std::strerror(errno)}));
    return std::make_pair(file.string(), info);
  };
  int log_types_line = 0;
  for (auto&& [key, value] : table) {
    const std::string name(key.str()), shown = "push." + name;
    if (name == "name") {
      push.name = Text(site, value, shown);
      const bool plain = std::all_of(push.name.begin(), push.name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
      });
      if (!plain || push.name.size() > 64)
        Refuse(site, LineOf(value), shown, Message("must be 1 to 64 letters, digits, '.', '_' or '-'"));
    } else if (name == "url") {
      push.url = Text(site, value, shown);
      if (push.url.rfind("http://", 0) != 0 && push.url.rfind("https://", 0) != 0)
        Refuse(site, LineOf(value), shown, Message("'{0}' is no http:// or https:// address", {push.url}));
    } else if (name == "format") {
      push.format = Text(site, value, shown);
      if (push.format != "json" && push.format != "hr-checkin")
        Refuse(site, LineOf(value), shown, Message("'{0}' is no format (json or hr-checkin)", {push.format}));
    } else if (name == "secret_file") {
      auto [file, info] = file_of(value, shown);
      if (info.st_mode & (S_IRWXG | S_IRWXO))
        Refuse(site, LineOf(value), shown,
               Message("{0} may be read by other users: make it private (chmod 600)", {file}));
      push.secret_file = file;
    } else if (name == "ca_file") {
      push.ca_file = file_of(value, shown).first;
    } else if (name == "ports" || name == "people") {
      const auto* list = value.as_array();
      if (!list) Refuse(site, LineOf(value), shown, Message("must be a list of numbers, not {0}", {TypeName(value)}));
      for (const toml::node& item : *list) {
        if (name == "ports")
          push.ports.push_back(static_cast<int>(Whole(site, item, shown, 1, vanto::host::kMaxPort)));
        else
          push.people.push_back(static_cast<std::int32_t>(Whole(site, item, shown, 0, INT32_MAX)));
      }
    } else if (name == "from") {
      push.from = PushFrom(site, value);
    } else if (name == "all_sites") {
      const auto* flag = value.as_boolean();
      if (!flag) Refuse(site, LineOf(value), shown, Message("must be true or false, not {0}", {TypeName(value)}));
      push.all_sites = flag->get();
    } else if (name == "requests_per_minute") {
      push.requests_per_minute = static_cast<int>(Whole(site, value, shown, 1, 6000));
    } else if (name == "log_types") {
      const auto* types = value.as_table();
      if (!types) Refuse(site, LineOf(value), shown, Message("must be a table, not {0}", {TypeName(value)}));
      log_types_line = LineOf(value);
      for (auto&& [where, type] : *types) {
        const std::string at(where.str()), inner = shown + "." + at;
        int port = 0, terminal = 0;
        char tail = 0;
        if (std::sscanf(at.c_str(), "%d:%d%c", &port, &terminal, &tail) != 2 || port < 1 || port > vanto::host::kMaxPort ||
            terminal < 1 || terminal > vanto::host::kMaxTerminal)
          Refuse(site, LineOf(where), inner, Message("must name a terminal as \"PORT:TERMINAL\""));
        const std::string text = Text(site, type, inner);
        if (text != "IN" && text != "OUT") Refuse(site, LineOf(type), inner, Message("must be \"IN\" or \"OUT\""));
        push.log_types[std::to_string(port) + ":" + std::to_string(terminal)] = text;
      }
    } else {
      Refuse(site, LineOf(key), shown,
             Message("unknown key (a push endpoint has: name, url, format, secret_file, ca_file, ports, people, from, "
                "all_sites, requests_per_minute, log_types)"));
    }
  }
  for (const auto& [key, given] : std::initializer_list<std::pair<const char*, bool>>{
           {"name", !push.name.empty()}, {"url", !push.url.empty()}, {"secret_file", !push.secret_file.empty()}})
    if (!given) Refuse(site, push.line, std::string("push.") + key, Message("is missing"));
  if (log_types_line && push.format != "hr-checkin")
    Refuse(site, log_types_line, "push.log_types", Message("is for the hr-checkin format"));
  return push;
}

// [schedule]: how often `vanto serve` syncs the site.
void ReadSchedule(Site& site, const toml::node& node) {
  const auto* table = node.as_table();
  if (!table) Refuse(site, LineOf(node), "schedule", Message("must be a table [schedule], not {0}", {TypeName(node)}));
  for (auto&& [schedule_key, value] : *table) {
    const std::string inner(schedule_key.str());
    if (inner != "sync_every")
      Refuse(site, LineOf(schedule_key), "schedule." + inner, Message("unknown key (the schedule has: sync_every)"));
    const std::string text = Text(site, value, "schedule." + inner);
    const std::optional<long long> seconds = ParseDuration(text);
    const std::optional<std::chrono::seconds> every =
        seconds ? std::optional<std::chrono::seconds>(*seconds) : std::nullopt;
    if (!every || *every < kShortestSchedule || *every > kLongestSchedule)
      Refuse(site, LineOf(value), "schedule." + inner,
             Message("'{0}' is no interval from 30s to 24h (a number and s, m or h: \"5m\")", {text}));
    site.sync_every = *every;
    site.sync_every_line = LineOf(value);
  }
}

// Reads a feature-only part: a refusal becomes the part's problem, and `reset` puts its settings
// back to their defaults, so every other command goes on with the rest of the file.
template <class Read, class Reset>
void FeatureOnly(Site& site, SitePart part, Read read, Reset reset) {
  try {
    read();
  } catch (const SiteError& e) {
    reset();
    site.problems.push_back({part, e.what(), "", e.message()});
  }
}

// The name a [[push]] table gives, when it gives a usable one (for an endpoint otherwise wrong).
std::string PushName(const toml::table& table) {
  const auto* name = table.get("name");
  const auto* text = name ? name->as_string() : nullptr;
  if (!text || text->get().empty() || text->get().size() > 64) return "";
  for (char c : text->get())
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return "";
  return text->get();
}

// [[push]]: each endpoint read on its own. A wrong one is kept under its name with its problem
// (so its backlog stays and it is reported); one without a usable name is a problem of the part.
void ReadPushes(Site& site, const toml::node& node) {
  const auto* list = node.as_array();
  if (!list || !list->is_array_of_tables()) {
    const Message problem = Message::Join(
        {site.Where(LineOf(node)), ": ",
         Message("key '{0}': {1}", {"push", Message("push endpoints are tables written [[push]], one per endpoint")})});
    site.problems.push_back({SitePart::kPush, problem.English(), "", problem});
    return;
  }
  for (const toml::node& item : *list) {
    const toml::table& table = *item.as_table();
    SitePush push;
    try {
      push = ReadPush(site, table);
      for (const SitePush& earlier : site.pushes)
        if (earlier.name == push.name)
          Refuse(site, push.line, "push.name",
                 Message("push endpoint {0} is given twice (first at line {1})", {push.name, std::to_string(earlier.line)}));
    } catch (const SiteError& e) {
      const std::string name = PushName(table);
      const bool twice = std::any_of(site.pushes.begin(), site.pushes.end(), [&](const SitePush& p) { return p.name == name; });
      // A second table of a name stands for no endpoint of its own: the first keeps the name.
      site.problems.push_back({SitePart::kPush, e.what(), twice ? "" : name, e.message()});
      if (name.empty() || twice) continue;
      push = SitePush{};
      push.name = name;
      push.line = LineOf(table);
      push.problem = e.what();
      if (const toml::node* from = table.get("from")) {
        try {
          push.from = PushFrom(site, *from);
        } catch (const SiteError&) {
          push.start_known = false;
        }
      }
    }
    site.pushes.push_back(std::move(push));
  }
}

}  // namespace

const char* SitePartName(SitePart part) {
  switch (part) {
    case SitePart::kPush: return "push";
    case SitePart::kConsole: return "console";
    case SitePart::kSchedule: return "schedule";
    case SitePart::kApi: return "api_requests_per_minute";
  }
  return "?";
}

const SiteProblem* Site::ProblemOf(SitePart part) const {
  for (const SiteProblem& p : problems)
    if (p.part == part) return &p;
  return nullptr;
}

bool Site::HasUnnamedPushProblem() const {
  return std::any_of(problems.begin(), problems.end(),
                     [](const SiteProblem& p) { return p.part == SitePart::kPush && p.endpoint.empty(); });
}

namespace {
std::optional<std::string> Given(const Environment& env, const std::string& name) {
  if (!env) return std::nullopt;
  auto value = env(name);
  if (value && value->empty()) return std::nullopt;  // set but empty counts as not set
  return value;
}
}  // namespace

const std::vector<LineKey>& LineKeys() {
  static const std::vector<LineKey> keys = {
      {"speed", control::kSpeedVariable, "line speed in baud"},
      {"probe_timeout_ms", control::kProbeTimeoutVariable, "how long a terminal has to answer a probe"},
      {"answer_timeout_ms", control::kAnswerTimeoutVariable, "how long a terminal has to answer other requests"},
      {"gap_ms", control::kGapVariable, "silence that ends an answer"},
      {"retries", control::kRetriesVariable, "attempts after the first"},
      {"batch", control::kBatchVariable, "records asked for at a time (1..255)"},
      {"connect_timeout_ms", control::kConnectTimeoutVariable, "how long connecting to a device server may take"},
      {"lock_timeout_ms", control::kLockTimeoutVariable, "how long to wait while another process uses the port"},
  };
  return keys;
}

const SitePort* Site::Port(int number) const {
  for (const SitePort& p : ports)
    if (p.number == number) return &p;
  return nullptr;
}

std::optional<long long> ParseDuration(const std::string& text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0) return std::nullopt;
  const long long number = std::stoll(text.substr(0, digits));
  const std::string unit = text.substr(digits);
  if (unit.empty() || unit == "s") return number;
  if (unit == "m") return number * 60;
  if (unit == "h") return number * 3600;
  if (unit == "d") return number * 86400;
  return std::nullopt;
}

std::optional<std::string> ProxyAddress(const std::string& text) {
  char shown[INET6_ADDRSTRLEN] = {};
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1 && inet_ntop(AF_INET, &v4, shown, sizeof shown)) return std::string(shown);
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1 && inet_ntop(AF_INET6, &v6, shown, sizeof shown)) return std::string(shown);
  return std::nullopt;
}

TrustedProxies ResolveTrustedProxies(const Site* site, const std::optional<std::string>& option) {
  TrustedProxies proxies;
  if (option) {
    proxies.origin = "--trusted-proxies";
    std::stringstream in(*option);
    std::string item;
    while (std::getline(in, item, ',')) {
      if (item.empty()) continue;
      const std::optional<std::string> address = ProxyAddress(item);
      if (!address)
        throw SiteError(Message::Join({"--trusted-proxies: ",
                        Message("'{0}' is no IP address (give the address the proxy connects from, e.g. \"10.0.0.2\" or \"::1\")", {item})}));
      if (std::find(proxies.addresses.begin(), proxies.addresses.end(), *address) != proxies.addresses.end())
        throw SiteError(Message::Join({"--trusted-proxies: ", Message("'{0}' is listed twice", {item})}));
      proxies.addresses.push_back(*address);
    }
  } else if (site && site->trusted_proxies_line) {
    proxies.addresses = site->trusted_proxies;
    proxies.origin = site->Where(site->trusted_proxies_line);
  } else {
    proxies.origin = "default";
  }
  return proxies;
}

std::optional<int> ParseTimeOfDay(const std::string& text) {
  if (text.size() != 5 || text[2] != ':') return std::nullopt;
  for (int i : {0, 1, 3, 4})
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  const int hours = (text[0] - '0') * 10 + (text[1] - '0'), minutes = (text[3] - '0') * 10 + (text[4] - '0');
  if (hours > 23 || minutes > 59) return std::nullopt;
  return hours * 60 + minutes;
}

bool ValidSiteName(const std::string& name) { return !SiteNameProblem(name); }

std::optional<Message> SiteNameProblem(const std::string& name) {
  if (name.empty() || name.size() > kLongestSiteName)
    return Message("a site name has 1 to {0} characters, not {1}", {std::to_string(kLongestSiteName), std::to_string(name.size())});
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
        return Message("'{0}' is no site name (letters, digits, '-' and '_' only)", {name});
  return std::nullopt;
}

Site ParseSite(const std::string& text, const std::string& path) {
  Site site;
  site.path = path;
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    throw SiteError(Message::Join({path + ":" + std::to_string(e.source().begin.line) + ": ", Message("not valid TOML"), ": ",
                                   std::string(e.description())}));
  }
  for (auto&& entry : root) {
    // Named references rather than a structured binding: the feature-only parts' lambdas capture
    // `node`, which clang 14 refuses for a binding.
    const toml::key& key = entry.first;
    const toml::node& node = entry.second;
    const std::string name(key.str());
    if (name == "site") {
      site.name = Text(site, node, name);
      site.name_line = LineOf(node);
      if (auto problem = SiteNameProblem(*site.name)) Refuse(site, site.name_line, name, *problem);
    } else if (name == "database") {
      site.database = Text(site, node, name);
      site.database_line = LineOf(node);
      // A file others may read is no place for a password (the value is not repeated here).
      if (store::HoldsPassword(*site.database))
        Refuse(site, site.database_line, name, Message::Join({Message("holds a password"), "; ", PasswordAdvice()}));
    } else if (name == "day_starts") {
      site.day_starts = Text(site, node, name);
      site.day_starts_line = LineOf(node);
      if (!ParseTimeOfDay(site.day_starts))
        Refuse(site, LineOf(node), name, Message("'{0}' is not a time of day HH:MM (00:00..23:59)", {site.day_starts}));
    } else if (name == "timezone") {
      site.timezone = Text(site, node, name);
      site.timezone_line = LineOf(node);
      if (!TimeZone::Find(*site.timezone))
        Refuse(site, LineOf(node), name,
               Message("'{0}' is no time zone this system knows (an IANA name such as \"Europe/Berlin\" or \"Asia/Shanghai\")",
                      {*site.timezone}));
    } else if (name == "clock") {
      ReadClockRules(site, node);
    } else if (name == "late_after") {
      site.late_after = Text(site, node, name);
      site.late_after_line = LineOf(node);
      if (!ParseTimeOfDay(*site.late_after))
        Refuse(site, LineOf(node), name, Message("'{0}' is not a time of day HH:MM (00:00..23:59)", {*site.late_after}));
    } else if (name == "stale_after") {
      site.stale_after = Duration(site, node, name);
      site.stale_after_line = LineOf(node);
    } else if (name == "pending_limit") {
      site.pending_limit = static_cast<int>(Whole(site, node, name, 1, 366));
      site.pending_limit_line = LineOf(node);
    } else if (name == "api_requests_per_minute") {
      FeatureOnly(site, SitePart::kApi, [&] {
        std::optional<std::int64_t> rate = node.value<std::int64_t>();
        if (!node.is_integer() || !rate || *rate < 1 || *rate > 1000000)
          Refuse(site, LineOf(node), name, Message("must be a whole number of requests from 1 to 1000000"));
        site.api_requests_per_minute = *rate;
        site.api_requests_per_minute_line = LineOf(node);
      }, [&] {
        site.api_requests_per_minute = Site{}.api_requests_per_minute;
        site.api_requests_per_minute_line = 0;
      });
    } else if (name == "console") {
      FeatureOnly(site, SitePart::kConsole, [&] { ReadConsole(site, node); }, [&] {
        site.trusted_proxies.clear();
        site.trusted_proxies_line = 0;
      });
    } else if (name == "line") {
      const auto* table = node.as_table();
      if (!table) Refuse(site, LineOf(node), name, Message("must be a table [line], not {0}", {TypeName(node)}));
      for (auto&& [line_key, value] : *table) {
        const std::string inner(line_key.str());
        const LineKey* which = FindLineKey(inner);
        if (!which)
          Refuse(site, LineOf(line_key), "line." + inner, Message("unknown key (the line has: {0})", {KnownKeys(WithLineKeys({}))}));
        site.line[which->variable] = LineSetting(site, value, "line." + inner, *which);
      }
    } else if (name == "schedule") {
      FeatureOnly(site, SitePart::kSchedule, [&] { ReadSchedule(site, node); }, [&] {
        site.sync_every.reset();
        site.sync_every_line = 0;
      });
    } else if (name == "push") {
      ReadPushes(site, node);
    } else if (name == "port") {
      const auto* list = node.as_array();
      if (!list || !list->is_array_of_tables())
        Refuse(site, LineOf(node), name, Message("ports are tables written [[port]], one per port"));
      for (const toml::node& item : *list) {
        SitePort port = ReadPort(site, *item.as_table());
        for (const SitePort& earlier : site.ports) {
          if (earlier.number == port.number)
            Refuse(site, port.line, "port.number",
                   Message("port {0} is given twice (first at line {1})",
                          {std::to_string(port.number), std::to_string(earlier.line)}));
          if (earlier.device == port.device)
            Refuse(site, port.device_line, "port.device",
                   Message("{0} is already the device of port {1} (line {2})",
                          {port.device, std::to_string(earlier.number), std::to_string(earlier.device_line)}));
        }
        site.ports.push_back(std::move(port));
      }
    } else {
      Refuse(site, LineOf(key), name, Message("unknown key (a site file has: site, database, day_starts, late_after, stale_after, pending_limit, timezone, api_requests_per_minute, [clock], [console], [line], [schedule], [[port]], [[push]])"));
    }
  }
  if (site.ports.empty()) throw SiteError(Message::Join({path + ":1: ", Message("the site file names no port (add a [[port]] table)")}));
  return site;
}

Message PasswordAdvice() {
  return Message("put the password in ~/.pgpass (or in the file PGPASSFILE names), mode 0600, and leave it out of the "
            "location: other users can read a site file and see a command line or a service's environment (the "
            "service's own file is /var/lib/vanto/.pgpass)");
}

Site LoadSite(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SiteError(Message::Join({Message("cannot read the site file {0}", {path}), ": ", std::strerror(errno)}));
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw SiteError(Message::Join({Message("cannot read the site file {0}", {path}), ": ", Message("it is a folder")}));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw SiteError(Message("cannot read the site file {0}", {path}));
  return ParseSite(text.str(), path);
}

SiteLocation LocateSite(const std::optional<std::string>& option, const Environment& env) {
  if (option) {
    if (option->empty()) throw SiteError(Message("--site needs a file name"));
    return {*option, true, "--site"};
  }
  if (auto given = Given(env, kSiteVariable)) return {*given, true, std::string("$") + kSiteVariable};
  if (auto config = Given(env, "XDG_CONFIG_HOME"))
    return {*config + "/vanto/site.toml", false, "$XDG_CONFIG_HOME/vanto/site.toml"};
  if (auto home = Given(env, "HOME")) return {*home + "/.config/vanto/site.toml", false, "~/.config/vanto/site.toml"};
  throw SiteError(Message("no site file: HOME is not set, so there is no default place for it (give --site FILE or set VANTO_SITE)"));
}

std::vector<Effective> EffectiveSettings(const Site& site, const Environment& env,
                                         const std::optional<std::string>& db_option) {
  std::vector<Effective> rows;
  auto file = [&](int line) { return site.Where(line); };
  auto Environment = [&](const std::string& name) { return Given(env, name); };
  if (db_option)
    rows.push_back({"database", *db_option, "--db"});
  else if (auto db = Given(env, kDatabaseVariable))
    rows.push_back({"database", *db, std::string("$") + kDatabaseVariable});
  else if (site.database)
    rows.push_back({"database", *site.database, file(site.database_line)});
  else
    rows.push_back({"database", "(the default database)", "default"});
  rows.push_back({"site", site.name ? *site.name : "(none)", site.name_line ? file(site.name_line) : "default"});
  rows.push_back({"day_starts", site.day_starts, site.day_starts_line ? file(site.day_starts_line) : "default"});
  rows.push_back({"timezone", site.timezone ? *site.timezone : "(the host's)",
                  site.timezone_line ? file(site.timezone_line) : "default"});
  const ClockRules& rules = site.clock;
  auto seconds = [&](const char* key, long long value, int line) {
    rows.push_back({std::string("clock.") + key, std::to_string(value) + " s", line ? file(line) : "default"});
  };
  if (rules.set_when_drift_above)
    seconds("set_when_drift_above", *rules.set_when_drift_above, rules.set_when_drift_above_line);
  else
    rows.push_back({"clock.set_when_drift_above", "off", "default"});
  seconds("warn_drift_above", rules.warn_drift_above, rules.warn_drift_above_line);
  seconds("records_ahead", rules.records_ahead, rules.records_ahead_line);
  seconds("records_back", rules.records_back, rules.records_back_line);
  if (site.late_after) rows.push_back({"late_after", *site.late_after, file(site.late_after_line)});
  rows.push_back({"stale_after", std::to_string(site.stale_after) + " s",
                  site.stale_after_line ? file(site.stale_after_line) : "default"});
  rows.push_back({"pending_limit", std::to_string(site.pending_limit) + " days",
                  site.pending_limit_line ? file(site.pending_limit_line) : "default"});
  {
    const TrustedProxies proxies = ResolveTrustedProxies(&site, std::nullopt);
    std::string list;
    for (const std::string& a : proxies.addresses) list += (list.empty() ? "" : ", ") + a;
    rows.push_back({"console.trusted_proxies", list.empty() ? "(none)" : list, proxies.origin});
  }
  for (const LineKey& key : LineKeys()) {
    std::string value, origin;
    if (auto given = Environment(key.variable)) {
      value = *given, origin = std::string("$") + key.variable;
    } else if (auto found = site.line.find(key.variable); found != site.line.end()) {
      value = std::to_string(found->second.value), origin = file(found->second.line);
    } else {
      for (const auto& s : control::NumberSettings())
        if (std::string(s.variable) == key.variable) value = std::to_string(s.fallback);
      origin = "default";
    }
    rows.push_back({std::string("line.") + key.key, value, origin});
  }
  for (const SitePort& port : site.ports) {
    const std::string prefix = "port " + std::to_string(port.number) + ".";
    const std::string device_variable = control::PortVariable(port.number);
    if (auto given = Environment(device_variable))
      rows.push_back({prefix + "device", *given, "$" + device_variable});
    else
      rows.push_back({prefix + "device", port.device, file(port.device_line)});
    std::string terminals;
    if (port.scan) {
      terminals = "scan " + std::to_string(port.terminals.front()) + "-" + std::to_string(port.terminals.back());
    } else {
      for (int t : port.terminals) terminals += (terminals.empty() ? "" : ", ") + std::to_string(t);
    }
    rows.push_back({prefix + "terminals", terminals, file(port.terminals_line)});
    auto listed = [&](const char* key, const std::vector<int>& list, int line) {
      if (list.empty()) return;
      std::string text;
      for (int t : list) text += (text.empty() ? "" : ", ") + std::to_string(t);
      rows.push_back({prefix + key, text, file(line)});
    };
    listed("in", port.in_terminals, port.in_line);
    listed("out", port.out_terminals, port.out_line);
    listed("not_collected", port.not_collected, port.not_collected_line);
    for (const LineKey& key : LineKeys()) {
      const std::string own = control::PerPortVariable(key.variable, port.number);
      if (auto given = Environment(own)) {
        rows.push_back({prefix + key.key, *given, "$" + own});
        continue;
      }
      const auto found = port.overrides.find(key.variable);
      if (found == port.overrides.end() || Environment(key.variable)) continue;  // the line default holds
      rows.push_back({prefix + key.key, std::to_string(found->second.value), file(found->second.line)});
    }
  }
  return rows;
}

std::map<std::string, std::string> ControlSettingsOf(const Site& site, const Environment& env) {
  std::map<std::string, std::string> settings;
  auto put = [&](const std::string& name, const std::string& value) {
    if (Given(env, name)) return;  // the user's own setting (the control's override) wins
    settings[name] = value;
  };
  for (const auto& [variable, value] : site.line) put(variable, std::to_string(value.value));
  for (const SitePort& port : site.ports) {
    put(control::PortVariable(port.number), port.device);
    for (const auto& [variable, value] : port.overrides)
      if (!Given(env, variable))  // a user's line setting beats a port's own setting from the file
        put(control::PerPortVariable(variable.c_str(), port.number), std::to_string(value.value));
  }
  return settings;
}

}  // namespace vanto::site
