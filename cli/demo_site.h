// The demonstration site: two ports, three terminals, a few thousand swipes and a dozen
// people enrolled with fingerprints or passwords, deterministic from run to run.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "terminal/sim/simulator.h"

namespace vanto::cli {

struct DemoTerminal {
  int port, terminal;
};
// The terminals the demo seeds: port 1 terminals 1 and 2, port 2 terminal 3.
const std::vector<DemoTerminal>& DemoTerminals();
// The person whose fingerprint the demo copies from terminal 1 to terminal 3.
inline constexpr std::int32_t kDemoPerson = 101;

// Adds the demo's terminals, people and swipes to `site` (before Start).
void SeedDemoSite(terminal::sim::SimulatorSite& site);

// Tells the terminal control which device each port number opens, and (unless already set)
// timeouts that suit a simulated line (its own settings, read from this process's environment
// when a control is created).
void ConfigurePorts(const std::map<int, std::string>& paths);
// The settings as shell lines, for another process.
std::string PortSettingsText(const std::map<int, std::string>& paths);

}  // namespace vanto::cli
