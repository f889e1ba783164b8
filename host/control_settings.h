// How the host configures the terminal control: through the control's SetSetting member, never
// through the process environment. Settings are process-wide in the control (as its read starts
// are), so they reach the control the driver creates inside its link as well.
//
// Three layers, each over the one before: preferred settings (what suits an operation, such as
// large record batches for a download), a site's settings (replaced whenever another site is used) and pinned settings
// (the simulator's ports under `vanto demo`), which a site does not replace. They are handed to
// the control the next time the host creates a driver or a control (PushControlSettings), so a
// command that touches no terminal needs no control module.
#pragma once

#include <map>
#include <string>

namespace vanto::host {

using ControlSettingValues = std::map<std::string, std::string>;  // setting name -> value

// Settings an operation prefers, under any site's and pinned ones.
void PreferControlSettings(ControlSettingValues settings);
// The site's control settings (site::ControlSettingsOf), replacing those of an earlier site.
void UseSiteControlSettings(ControlSettingValues settings);
// Settings that hold until UnpinControlSettings, over any site's.
void PinControlSettings(ControlSettingValues settings);
void UnpinControlSettings();

// Hands what changed since the last push to the control (created for it). Called before the
// host creates a driver or a control. Throws HostError when the control refuses a setting.
void PushControlSettings();

}  // namespace vanto::host
