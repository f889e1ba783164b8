#include "terminal/control/settings.h"

#include <cstdlib>
#include <string_view>

#include "terminal/serial/serial_port.h"

extern char** environ;

namespace terminal::control {
namespace {

bool ParseNumber(std::string_view text, long long low, long long high, long long& out) {
  if (text.empty() || text.size() > 18) return false;
  const std::string copy(text);
  char* end = nullptr;
  const long long value = std::strtoll(copy.c_str(), &end, 10);
  if (*end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

void ReplaceAll(std::string& text, std::string_view from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

const NumberSetting* FindSetting(std::string_view variable) {
  for (const NumberSetting& s : NumberSettings())
    if (variable == s.variable) return &s;
  return nullptr;
}

// Applies a checked value of `variable` to `line`.
void Apply(LineSettings& line, std::string_view variable, long long v) {
  using std::chrono::milliseconds;
  if (variable == kSpeedVariable) line.baud = static_cast<unsigned>(v);
  else if (variable == kProbeTimeoutVariable) line.probeTimeout = milliseconds(v);
  else if (variable == kAnswerTimeoutVariable) line.answerTimeout = milliseconds(v);
  else if (variable == kGapVariable) line.gapTimeout = milliseconds(v);
  else if (variable == kRetriesVariable) line.retries = static_cast<int>(v);
  else if (variable == kBatchVariable) line.batch = static_cast<int>(v);
  else if (variable == kLockTimeoutVariable) line.lockTimeout = milliseconds(v);
}

}  // namespace

const std::vector<NumberSetting>& NumberSettings() {
  static const std::vector<NumberSetting> settings = {
      {kSpeedVariable, 1, 4'000'000, 115200},   {kProbeTimeoutVariable, 1, 60'000, 8},
      {kAnswerTimeoutVariable, 1, 60'000, 100}, {kGapVariable, 1, 60'000, 20},
      {kRetriesVariable, 0, 20, 3},             {kBatchVariable, 1, 255, 100},
      {kLockTimeoutVariable, 0, 86'400'000, 60'000},
  };
  return settings;
}

std::string PortDeviceVariable(int port) { return "VANTO_FK_PORT_" + std::to_string(port); }

std::string PortSettingVariable(std::string_view variable, int port) {
  return std::string(variable) + "_" + std::to_string(port);
}

std::string CheckSetting(std::string_view variable, std::string_view value) {
  const NumberSetting* setting = FindSetting(variable);
  if (!setting) return "is not a setting of the terminal control";
  long long number = 0;
  if (!ParseNumber(value, setting->low, setting->high, number))
    return "must be a whole number from " + std::to_string(setting->low) + " to " + std::to_string(setting->high);
  if (variable == kSpeedVariable && !serial::IsSupportedSpeed(static_cast<unsigned>(number)))
    return "is not a line speed the serial line supports";
  return {};
}

std::string ControlSettings::PathOfPort(int port) const {
  if (const auto found = portPaths.find(port); found != portPaths.end()) return found->second;
  std::string path = portPattern;
  ReplaceAll(path, "{N-1}", std::to_string(port - 1));
  ReplaceAll(path, "{N}", std::to_string(port));
  return path;
}

LineSettings ControlSettings::Line(int port) const {
  LineSettings line;
  line.baud = baud;
  line.probeTimeout = probeTimeout;
  line.answerTimeout = answerTimeout;
  line.gapTimeout = gapTimeout;
  line.retries = retries;
  line.batch = batch;
  line.lockTimeout = lockTimeout;
  if (const auto found = portOverrides.find(port); found != portOverrides.end())
    for (const auto& [variable, value] : found->second) Apply(line, variable, value);
  return line;
}

ControlSettings ControlSettings::FromEnvironment() {
  ControlSettings settings;
  auto note = [&](std::string_view name, std::string_view value) {
    if (settings.invalid.empty()) settings.invalid = std::string(name) + "=" + std::string(value);
  };
  if (const char* pattern = std::getenv(kPortPatternVariable); pattern && *pattern) settings.portPattern = pattern;
  LineSettings defaults;
  for (const NumberSetting& s : NumberSettings()) {
    const char* text = std::getenv(s.variable);
    if (!text) continue;
    if (!CheckSetting(s.variable, text).empty()) {
      note(s.variable, text);
      continue;
    }
    long long value = 0;
    ParseNumber(text, s.low, s.high, value);
    Apply(defaults, s.variable, value);
  }
  settings.baud = defaults.baud;
  settings.probeTimeout = defaults.probeTimeout;
  settings.answerTimeout = defaults.answerTimeout;
  settings.gapTimeout = defaults.gapTimeout;
  settings.retries = defaults.retries;
  settings.batch = defaults.batch;
  settings.lockTimeout = defaults.lockTimeout;

  constexpr std::string_view kPortPrefix = "VANTO_FK_PORT_";
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = text.substr(0, equals), value = text.substr(equals + 1);
    if (name.substr(0, kPortPrefix.size()) == kPortPrefix) {
      const std::string number(name.substr(kPortPrefix.size()));
      if (number == "PATTERN") continue;
      long long port = 0;
      if (ParseNumber(number, 1, 32767, port)) settings.portPaths[static_cast<int>(port)] = std::string(value);
      continue;
    }
    // A port's own setting: "<NAME>_<N>".
    const auto underscore = name.rfind('_');
    if (underscore == std::string_view::npos) continue;
    const NumberSetting* setting = FindSetting(name.substr(0, underscore));
    long long port = 0;
    if (!setting || !ParseNumber(name.substr(underscore + 1), 1, 32767, port)) continue;
    if (!CheckSetting(setting->variable, value).empty()) {
      note(name, value);
      continue;
    }
    long long number = 0;
    ParseNumber(value, setting->low, setting->high, number);
    settings.portOverrides[static_cast<int>(port)][setting->variable] = number;
  }
  return settings;
}

}  // namespace terminal::control
