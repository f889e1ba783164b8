// The state of one simulated port (shared by the simulator's source files only).
#pragma once

#include <atomic>
#include <random>
#include <thread>

#include "terminal/sim/simulator.h"

namespace terminal::sim {

struct SimulatorSite::Port {
  int number = 0;
  std::map<int, SimTerminal> terminals;
  FaultPlan faults;
  std::mt19937_64 random{1};
  std::size_t answersSincePlan = 0;
  PortStats stats;
  std::uint64_t generation = 0;
  std::string linkPath;
  int master = -1;
  int holder = -1;  // our own slave descriptor: keeps the master from seeing "no slave open"
  int wakeFd = -1;
  std::atomic<bool> hangUpWanted{false};
  std::thread thread;
};

}  // namespace terminal::sim
