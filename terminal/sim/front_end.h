// The simulator's front end, shared by `vanto-sim` and `vanto sim`/`vanto demo`: options, the site
// they describe (a seed file or the demo site), serving until SIGINT/SIGTERM/SIGHUP, and the
// control settings a host needs to reach the served ports.
#pragma once

#include <chrono>
#include <iosfwd>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "terminal/sim/simulator.h"

namespace terminal::sim {

// A refused option or seed; the message names the option or the seed's file:line.
class FrontEndError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct FrontEndOptions {
  std::optional<std::string> seed;  // --seed FILE (default: the demo site)
  std::optional<std::string> save;  // --save FILE: the site, with what hosts wrote, on exit
  std::string linkDir;              // --link-dir DIR
  std::optional<std::string> speed;       // --speed BAUD
  std::optional<std::string> turnaround;  // --turnaround-us N
  bool noPace = false;                    // --no-pace
  bool tcp = false;                       // --tcp: serve each port on 127.0.0.1
};

// The options as vanto-sim spells them. Throws FrontEndError naming a bad one.
FrontEndOptions ParseFrontEndArguments(const std::vector<std::string>& args);
// vanto-sim's usage text.
std::string FrontEndUsage();

// Checks the options and sets `site` up from them: the seed (or the demo site), the line speed,
// turnaround, pacing and transport; that --save can be written is checked here, before anything
// runs. Throws FrontEndError.
void PrepareSite(SimulatorSite& site, const FrontEndOptions& options);

// Starts `site`, prints "port N: ADDRESS" per port and "ready", then the settings a host needs,
// serves until SIGINT, SIGTERM or SIGHUP, stops and saves the site when asked to. Throws
// FrontEndError (the site is stopped).
void Serve(SimulatorSite& site, const FrontEndOptions& options, std::ostream& out);

// Settings for the terminal control (name, value): which device (or tcp:// address) each port
// opens, and timeouts that suit a simulated line. A host hands them to the control.
std::vector<std::pair<std::string, std::string>> PortSettings(const std::map<int, std::string>& paths);
// The same settings as shell lines ("export NAME=VALUE"), for another process.
std::string PortSettingsText(const std::map<int, std::string>& paths);

}  // namespace terminal::sim
