#include "host/control_settings.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "host/errors.h"
#include "host/terminal_control.h"
#include "host/message.h"

namespace vanto::host {
namespace {

struct Layers {
  std::mutex mutex;
  ControlSettingValues preferred, site, pinned;
  ControlSettingValues pushed;  // what the control holds from this host
  bool changed = false;
};

Layers& State() {
  static Layers layers;
  return layers;
}

}  // namespace

void PreferControlSettings(ControlSettingValues settings) {
  std::lock_guard lock(State().mutex);
  State().preferred = std::move(settings);
  State().changed = true;
}

void UseSiteControlSettings(ControlSettingValues settings) {
  std::lock_guard lock(State().mutex);
  State().site = std::move(settings);
  State().changed = true;
}

void PinControlSettings(ControlSettingValues settings) {
  std::lock_guard lock(State().mutex);
  State().pinned = std::move(settings);
  State().changed = true;
}

void UnpinControlSettings() { PinControlSettings({}); }

void PushControlSettings() {
  Layers& state = State();
  std::lock_guard lock(state.mutex);
  if (!state.changed) return;
  ControlSettingValues wanted = state.preferred;
  for (const auto& [name, value] : state.site) wanted[name] = value;
  for (const auto& [name, value] : state.pinned) wanted[name] = value;
  std::vector<std::pair<std::string, std::string>> calls;
  for (const auto& [name, value] : state.pushed)
    if (!wanted.count(name)) calls.emplace_back(name, "");
  for (const auto& [name, value] : wanted)
    if (auto held = state.pushed.find(name); held == state.pushed.end() || held->second != value)
      calls.emplace_back(name, value);
  if (!calls.empty()) {
    HostControl control = HostControl::CreateUnconfigured();
    for (const auto& [name, value] : calls) {
      if (!control.SetSetting(name, value))
        throw HostError(Message("the terminal control refused the setting {0}={1}", {name, value}));
      if (value.empty())
        state.pushed.erase(name);
      else
        state.pushed[name] = value;
    }
  }
  state.changed = false;
}

}  // namespace vanto::host
