#include "terminal/control/settings.h"

#include <cstdlib>
#include <string_view>

#include "terminal/serial/serial_port.h"
#include "terminal/tcp/tcp_line.h"

extern char** environ;

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

}  // namespace

std::string PortVariable(int port) { return kPortVariablePrefix + std::to_string(port); }

std::string PerPortVariable(const char* name, int port) { return std::string(name) + "_" + std::to_string(port); }

bool ControlSettings::IsNetworkPort(int port) const { return tcp::IsNetworkAddress(PathOfPort(port)); }

std::chrono::microseconds ControlSettings::ProbeTimeoutOf(int port) const {
  return Of(portProbeTimeouts, port, probeTimeout, IsNetworkPort(port));
}

std::chrono::microseconds ControlSettings::AnswerTimeoutOf(int port) const {
  return Of(portAnswerTimeouts, port, answerTimeout, IsNetworkPort(port));
}

std::string ControlSettings::PathOfPort(int port) const {
  if (const auto found = portPaths.find(port); found != portPaths.end()) return found->second;
  std::string path = portPattern;
  ReplaceAll(path, "{N-1}", std::to_string(port - 1));
  ReplaceAll(path, "{N}", std::to_string(port));
  return path;
}

ControlSettings ControlSettings::FromEnvironment() {
  ControlSettings settings;
  auto note = [&](const char* name, const char* value) {
    if (settings.invalid.empty()) settings.invalid = std::string(name) + "=" + value;
  };
  auto number = [&](const char* name, long long low, long long high, auto apply) {
    const char* text = std::getenv(name);
    if (!text) return;
    long long value = 0;
    if (ParseNumber(text, low, high, value))
      apply(value);
    else
      note(name, text);
  };
  if (const char* pattern = std::getenv(kPortPatternVariable); pattern && *pattern) settings.portPattern = pattern;
  number(kSpeedVariable, 1, 4'000'000, [&](long long v) {
    if (serial::IsSupportedSpeed(static_cast<unsigned>(v)))
      settings.baud = static_cast<unsigned>(v);
    else
      note(kSpeedVariable, std::getenv(kSpeedVariable));
  });
  using std::chrono::milliseconds;
  number(kProbeTimeoutVariable, 1, 60'000, [&](long long v) { settings.probeTimeout = milliseconds(v); });
  number(kAnswerTimeoutVariable, 1, 60'000, [&](long long v) { settings.answerTimeout = milliseconds(v); });
  number(kGapVariable, 1, 60'000, [&](long long v) { settings.gapTimeout = milliseconds(v); });
  number(kRetriesVariable, 0, 20, [&](long long v) { settings.retries = static_cast<int>(v); });
  number(kBatchVariable, 1, 255, [&](long long v) { settings.batch = static_cast<int>(v); });
  number(kConnectTimeoutVariable, 1, 60'000, [&](long long v) { settings.connectTimeout = milliseconds(v); });
  // Per-port settings: NAME_<N> with N in 1..32767.
  const std::pair<std::string_view, std::map<int, std::chrono::microseconds>*> perPort[] = {
      {kProbeTimeoutVariable, &settings.portProbeTimeouts}, {kAnswerTimeoutVariable, &settings.portAnswerTimeouts}};
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = text.substr(0, equals);
    const std::string value(text.substr(equals + 1));
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
