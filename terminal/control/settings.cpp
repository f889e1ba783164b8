#include "terminal/control/settings.h"

#include <cstdlib>
#include <functional>
#include <mutex>
#include <string_view>

#include "terminal/control/settings_overrides.h"
#include "terminal/serial/serial_port.h"
#include "terminal/tcp/tcp_line.h"

namespace terminal::control {
namespace {

bool ParseNumber(const char* text, long long low, long long high, long long& out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (*end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

void ReplaceAll(std::string& text, std::string_view from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::chrono::microseconds Of(const std::map<int, std::chrono::microseconds>& own, int port,
                             std::chrono::microseconds general, bool network) {
  if (const auto found = own.find(port); found != own.end()) return found->second;
  return network ? general + kNetworkAllowance : general;
}

template <typename T>
T OwnOr(const std::map<int, T>& own, int port, T general) {
  const auto found = own.find(port);
  return found == own.end() ? general : found->second;
}

const NumberSetting* FindSetting(std::string_view variable) {
  for (const NumberSetting& s : NumberSettings())
    if (variable == s.variable) return &s;
  return nullptr;
}

}  // namespace

const std::vector<NumberSetting>& NumberSettings() {
  static const std::vector<NumberSetting> settings = {
      {kSpeedVariable, 1, 4'000'000, 115200, true},      {kProbeTimeoutVariable, 1, 60'000, 8, true},
      {kAnswerTimeoutVariable, 1, 60'000, 100, true},    {kGapVariable, 1, 60'000, 20, false},
      {kRetriesVariable, 0, 20, 3, true},                {kBatchVariable, 1, 255, 100, true},
      {kConnectTimeoutVariable, 1, 60'000, 3000, false}, {kLockTimeoutVariable, 0, 86'400'000, 60'000, false},
  };
  return settings;
}

std::string CheckSetting(std::string_view variable, std::string_view value) {
  const NumberSetting* setting = FindSetting(variable);
  if (!setting) return "is not a setting of the terminal control";
  long long number = 0;
  if (!ParseNumber(std::string(value).c_str(), setting->low, setting->high, number))
    return "must be a whole number from " + std::to_string(setting->low) + " to " + std::to_string(setting->high);
  if (variable == kSpeedVariable && !serial::IsSupportedSpeed(static_cast<unsigned>(number)))
    return "is not a line speed the serial line supports";
  return {};
}

unsigned ControlSettings::BaudOf(int port) const { return OwnOr(portSpeeds, port, baud); }
int ControlSettings::RetriesOf(int port) const { return OwnOr(portRetries, port, retries); }
int ControlSettings::BatchOf(int port) const { return OwnOr(portBatches, port, batch); }

std::string PortVariable(int port) { return kPortVariablePrefix + std::to_string(port); }

std::string PerPortVariable(const char* name, int port) { return std::string(name) + "_" + std::to_string(port); }

bool ControlSettings::IsNetworkPort(int port) const { return tcp::IsNetworkAddress(PathOfPort(port)); }

std::chrono::microseconds ControlSettings::ProbeTimeoutOf(int port) const {
  return Of(portProbeTimeouts, port, probeTimeout, IsNetworkPort(port));
}

std::chrono::microseconds ControlSettings::AnswerTimeoutOf(int port) const {
  return Of(portAnswerTimeouts, port, answerTimeout, IsNetworkPort(port));
}

std::chrono::microseconds ControlSettings::GapTimeoutOf(int port) const {
  return IsNetworkPort(port) ? gapTimeout + kNetworkAllowance : gapTimeout;
}

std::string ControlSettings::PathOfPort(int port) const {
  if (const auto found = portPaths.find(port); found != portPaths.end()) return found->second;
  std::string path = portPattern;
  ReplaceAll(path, "{N-1}", std::to_string(port - 1));
  ReplaceAll(path, "{N}", std::to_string(port));
  return path;
}

namespace {

// The values hosts set through the control (SetSetting), for every control of this process.
struct HostValues {
  std::mutex mutex;
  std::map<std::string, std::string> values;
};
HostValues& HostSet() {
  static HostValues set;
  return set;
}

bool IsSettingName(std::string_view name) { return name.rfind(kSettingPrefix, 0) == 0; }

}  // namespace

std::string SetHostSetting(const std::string& name, const std::string& value) {
  if (!IsSettingName(name)) return "is not a setting of the terminal control";
  // A number setting, of all ports or of one ("<NAME>_<N>"), is checked as the control reads it.
  std::string_view general = name;
  if (!FindSetting(general)) {
    const auto underscore = general.rfind('_');
    long long port = 0;
    if (underscore != std::string_view::npos &&
        ParseNumber(std::string(general.substr(underscore + 1)).c_str(), 1, 32767, port))
      general = general.substr(0, underscore);
  }
  const NumberSetting* number = FindSetting(general);
  if (!value.empty() && number && !(number->perPort || general == name)) return "is not a setting of one port";
  if (!value.empty() && number) {
    if (std::string why = CheckSetting(general, value); !why.empty()) return why;
  } else if (!value.empty() && name != kPortPatternVariable) {
    // A port's device: VANTO_FK_PORT_<N>, N in 1..32767.
    const std::string_view prefix = kPortVariablePrefix;
    long long port = 0;
    if (std::string_view(name).substr(0, prefix.size()) != prefix ||
        !ParseNumber(name.substr(prefix.size()).c_str(), 1, 32767, port))
      return "is not a setting of the terminal control";
  }
  std::lock_guard lock(HostSet().mutex);
  if (value.empty())
    HostSet().values.erase(name);
  else
    HostSet().values[name] = value;
  return {};
}

void ClearHostSettings() {
  std::lock_guard lock(HostSet().mutex);
  HostSet().values.clear();
}

// The one place the control's settings come from. Each source gives values by setting name; a
// later source replaces what an earlier one gave:
//   1. the defaults (ControlSettings' own initial values),
//   2. the control's own overrides: the VANTO_FK_* variables of the process environment,
//   3. what a host set through the control (SetSetting), process-wide.
ControlSettings ControlSettings::Resolve() {
  std::map<std::string, std::string> given;
  // The overrides: the environment on Linux, the registry on Windows (settings_overrides.h).
  for (const auto& [name, value] : ReadSettingOverrides())
    if (IsSettingName(name)) given[name] = value;
  {
    std::lock_guard lock(HostSet().mutex);
    for (const auto& [name, value] : HostSet().values) given[name] = value;
  }
  return FromValues(given);
}

ControlSettings ControlSettings::FromValues(const std::map<std::string, std::string>& given) {
  ControlSettings settings;
  settings.portPattern = DefaultPortPattern();  // "/dev/ttyS{N-1}" on Linux, "COM{N}" on Windows
  auto note = [&](const char* name, const char* value) {
    if (settings.invalid.empty()) settings.invalid = std::string(name) + "=" + value;
  };
  auto lookup = [&](const char* name) -> const char* {
    const auto found = given.find(name);
    return found == given.end() ? nullptr : found->second.c_str();
  };
  auto number = [&](const char* name, long long low, long long high, auto apply) {
    const char* text = lookup(name);
    if (!text) return;
    long long value = 0;
    if (ParseNumber(text, low, high, value))
      apply(value);
    else
      note(name, text);
  };
  if (const char* pattern = lookup(kPortPatternVariable); pattern && *pattern) settings.portPattern = pattern;
  number(kSpeedVariable, 1, 4'000'000, [&](long long v) {
    if (serial::IsSupportedSpeed(static_cast<unsigned>(v)))
      settings.baud = static_cast<unsigned>(v);
    else
      note(kSpeedVariable, lookup(kSpeedVariable));
  });
  using std::chrono::milliseconds;
  number(kProbeTimeoutVariable, 1, 60'000, [&](long long v) { settings.probeTimeout = milliseconds(v); });
  number(kAnswerTimeoutVariable, 1, 60'000, [&](long long v) { settings.answerTimeout = milliseconds(v); });
  number(kGapVariable, 1, 60'000, [&](long long v) { settings.gapTimeout = milliseconds(v); });
  number(kRetriesVariable, 0, 20, [&](long long v) { settings.retries = static_cast<int>(v); });
  number(kBatchVariable, 1, 255, [&](long long v) { settings.batch = static_cast<int>(v); });
  number(kConnectTimeoutVariable, 1, 60'000, [&](long long v) { settings.connectTimeout = milliseconds(v); });
  number(kLockTimeoutVariable, 0, 86'400'000, [&](long long v) { settings.lockTimeout = milliseconds(v); });
  // Per-port settings: NAME_<N> with N in 1..32767.
  const std::pair<std::string_view, std::map<int, std::chrono::microseconds>*> perPort[] = {
      {kProbeTimeoutVariable, &settings.portProbeTimeouts}, {kAnswerTimeoutVariable, &settings.portAnswerTimeouts}};
  for (const auto& [given_name, value] : given) {
    const std::string_view name = given_name;
    // Speed, retries and batch of one port.
    const std::pair<std::string_view, std::function<void(int, long long)>> perPortNumbers[] = {
        {kSpeedVariable, [&](int port, long long v) { settings.portSpeeds[port] = static_cast<unsigned>(v); }},
        {kRetriesVariable, [&](int port, long long v) { settings.portRetries[port] = static_cast<int>(v); }},
        {kBatchVariable, [&](int port, long long v) { settings.portBatches[port] = static_cast<int>(v); }}};
    for (const auto& [prefix, apply] : perPortNumbers) {
      if (name.size() <= prefix.size() + 1 || name.substr(0, prefix.size()) != prefix || name[prefix.size()] != '_')
        continue;
      long long port = 0, number = 0;
      if (ParseNumber(std::string(name.substr(prefix.size() + 1)).c_str(), 1, 32767, port) &&
          CheckSetting(prefix, value).empty() && ParseNumber(value.c_str(), 0, 4'000'000, number))
        apply(static_cast<int>(port), number);
      else
        note(std::string(name).c_str(), value.c_str());
    }
    for (const auto& [prefix, target] : perPort) {
      if (name.size() <= prefix.size() + 1 || name.substr(0, prefix.size()) != prefix || name[prefix.size()] != '_')
        continue;
      long long port = 0, millis = 0;
      if (ParseNumber(std::string(name.substr(prefix.size() + 1)).c_str(), 1, 32767, port) &&
          ParseNumber(value.c_str(), 1, 60'000, millis))
        (*target)[static_cast<int>(port)] = milliseconds(millis);
      else
        note(std::string(name).c_str(), value.c_str());
    }
    if (name.substr(0, std::string_view(kPortVariablePrefix).size()) != kPortVariablePrefix) continue;
    const std::string portName(name.substr(std::string_view(kPortVariablePrefix).size()));
    if (name == kPortPatternVariable) continue;
    long long port = 0;
    if (ParseNumber(portName.c_str(), 1, 32767, port)) settings.portPaths[static_cast<int>(port)] = value;
  }
  return settings;
}

}  // namespace terminal::control
