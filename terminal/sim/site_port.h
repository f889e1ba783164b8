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
  std::string linkPath;   // a pseudo-terminal's link, or "tcp://127.0.0.1:PORT"
  std::string slaveName;  // the pseudo-terminal the link points at now
  bool linkMade = false;  // the link at linkPath is this simulator's own
  int master = -1;        // a pseudo-terminal's master, or the connection over TCP (-1: none)
  int holder = -1;  // our own slave descriptor: keeps the master from seeing "no slave open"
  int listener = -1;  // the TCP listener
  int wakeFd = -1;
  std::atomic<bool> hangUpWanted{false};
  std::thread thread;
};

}  // namespace terminal::sim
