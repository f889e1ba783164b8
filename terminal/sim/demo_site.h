// The demonstration site, the one `vanto demo`, `vanto sim` and `vanto-sim` serve when given no
// seed: two ports, three terminals, a few thousand swipes and a dozen people enrolled with
// fingerprints or passwords, deterministic from run to run.
#pragma once

#include <cstdint>
#include <vector>

#include "terminal/sim/simulator.h"

namespace terminal::sim {

struct DemoTerminal {
  int port, terminal;
};
// The terminals the demo seeds: port 1 terminals 1 and 2, port 2 terminal 3 (protocol version 3,
// its clock 150 s fast; the others version 2, without a clock).
const std::vector<DemoTerminal>& DemoTerminals();
// The person whose fingerprint the demo copies from terminal 1 to terminal 3.
inline constexpr std::int32_t kDemoPerson = 101;

// Adds the demo's terminals, people and swipes to `site` (before Start).
void SeedDemoSite(SimulatorSite& site);

}  // namespace terminal::sim
