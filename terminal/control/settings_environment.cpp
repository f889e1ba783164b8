#include "terminal/control/settings_overrides.h"

extern char** environ;

namespace terminal::control {

SettingPairs ReadSettingOverrides() {
  SettingPairs pairs;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string::npos) continue;
    pairs.emplace_back(text.substr(0, equals), text.substr(equals + 1));
  }
  return pairs;
}

const char* DefaultPortPattern() { return "/dev/ttyS{N-1}"; }

}  // namespace terminal::control
