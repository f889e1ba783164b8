// vanto-sim: serves a simulated site of terminals (pseudo-terminals or loopback TCP) until
// interrupted. Everything but the argument list is the shared front end (front_end.h).
#include <iostream>
#include <string>
#include <vector>

#include "terminal/sim/front_end.h"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& arg : args)
      if (arg == "--help" || arg == "-h") {
        std::cout << terminal::sim::FrontEndUsage();
        return 0;
      }
    const terminal::sim::FrontEndOptions options = terminal::sim::ParseFrontEndArguments(args);
    terminal::sim::SimulatorSite site;
    terminal::sim::PrepareSite(site, options);
    terminal::sim::Serve(site, options, std::cout);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "vanto-sim: " << error.what() << "\n";
    return 1;
  } catch (...) {
    std::cerr << "vanto-sim: unexpected failure\n";
    return 1;
  }
}
