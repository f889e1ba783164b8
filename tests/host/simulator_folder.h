// The set-up the host's simulator tests share: a fresh folder of the test's own under /tmp for the
// component registry and the simulator's port links, and a simulator that answers at once (no
// line pacing, no turnaround), so the tests wait on events, never on the line.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "terminal/sim/simulator.h"

namespace vanto::testing {

// Makes /tmp/vanto-NAME-XXXXXX, points the component registry (VANTO_REGISTRY) and `sim`'s port
// links into it, and answers the folder (the caller removes it).
inline std::filesystem::path PrepareSimulatorFolder(terminal::sim::SimulatorSite& sim, const std::string& name) {
  std::string pattern = "/tmp/vanto-" + name + "-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern.data());
  setenv("VANTO_REGISTRY", (folder / "registry").c_str(), 1);
  sim.Options().linkDir = (folder / "ports").string();
  std::filesystem::create_directories(sim.Options().linkDir);
  sim.Options().pace = false;
  sim.Options().turnaround = std::chrono::microseconds(0);
  return folder;
}

}  // namespace vanto::testing
