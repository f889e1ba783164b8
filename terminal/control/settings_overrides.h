// Where the control's overrides come from when no host set its settings: the process environment
// on Linux (settings_environment.cpp), the registry on Windows (settings_registry_win.cpp). Both
// answer the same name -> value pairs (the names of settings.h), in the order they were found.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace terminal::control {

using SettingPairs = std::vector<std::pair<std::string, std::string>>;

SettingPairs ReadSettingOverrides();
// The device of port N unless a setting names one ("/dev/ttyS{N-1}" on Linux, "COM{N}" on Windows).
const char* DefaultPortPattern();

}  // namespace terminal::control
