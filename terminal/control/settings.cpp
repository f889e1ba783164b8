#include "terminal/control/settings.h"

#include <cstdlib>
#include <string_view>

#include "terminal/serial/serial_port.h"

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

}  // namespace

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
  if (const char* pattern = std::getenv("VANTO_FK_PORT_PATTERN"); pattern && *pattern) settings.portPattern = pattern;
  number("VANTO_FK_SPEED", 1, 4'000'000, [&](long long v) {
    if (serial::IsSupportedSpeed(static_cast<unsigned>(v)))
      settings.baud = static_cast<unsigned>(v);
    else
      note("VANTO_FK_SPEED", std::getenv("VANTO_FK_SPEED"));
  });
  using std::chrono::milliseconds;
  number("VANTO_FK_PROBE_TIMEOUT_MS", 1, 60'000, [&](long long v) { settings.probeTimeout = milliseconds(v); });
  number("VANTO_FK_TIMEOUT_MS", 1, 60'000, [&](long long v) { settings.answerTimeout = milliseconds(v); });
  number("VANTO_FK_GAP_MS", 1, 60'000, [&](long long v) { settings.gapTimeout = milliseconds(v); });
  number("VANTO_FK_RETRIES", 0, 20, [&](long long v) { settings.retries = static_cast<int>(v); });
  number("VANTO_FK_BATCH", 1, 255, [&](long long v) { settings.batch = static_cast<int>(v); });
  constexpr std::string_view kPortPrefix = "VANTO_FK_PORT_";
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    if (text.substr(0, kPortPrefix.size()) != kPortPrefix) continue;
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string name(text.substr(kPortPrefix.size(), equals - kPortPrefix.size()));
    if (name == "PATTERN") continue;
    long long port = 0;
    if (ParseNumber(name.c_str(), 1, 32767, port))
      settings.portPaths[static_cast<int>(port)] = std::string(text.substr(equals + 1));
  }
  return settings;
}

}  // namespace terminal::control
