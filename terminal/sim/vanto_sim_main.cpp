// vanto-sim: runs a simulated site of terminals on pseudo-terminals until interrupted.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "terminal/sim/simulator.h"

namespace {

void Usage() {
  std::cerr << "usage: vanto-sim [--seed FILE] [--demo] [--save FILE] [--link-dir DIR]\n"
               "                 [--speed BAUD] [--turnaround-us N] [--no-pace]\n"
               "Prints one line per port, \"port N: PATH\", then \"ready\", and runs until\n"
               "SIGINT or SIGTERM. --save writes the site (with what terminals were given)\n"
               "to FILE on the way out.\n";
}

}  // namespace

int main(int argc, char** argv) {
  terminal::sim::SimulatorSite site;
  std::string save;
  bool haveTerminals = false;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
        return argv[++i];
      };
      if (arg == "--seed") {
        site.LoadSeedFile(value());
        haveTerminals = true;
      } else if (arg == "--demo") {
        site.AddDemoTerminals();
        haveTerminals = true;
      } else if (arg == "--save") {
        save = value();
      } else if (arg == "--link-dir") {
        site.Options().linkDir = value();
      } else if (arg == "--speed") {
        site.Options().baud = static_cast<unsigned>(std::stoul(value()));
      } else if (arg == "--turnaround-us") {
        site.Options().turnaround = std::chrono::microseconds(std::stoll(value()));
      } else if (arg == "--no-pace") {
        site.Options().pace = false;
      } else if (arg == "--help" || arg == "-h") {
        Usage();
        return 0;
      } else {
        throw std::runtime_error("unknown argument " + arg);
      }
    }
    if (!haveTerminals) site.AddDemoTerminals();

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // the port threads inherit the mask

    for (const auto& [port, path] : site.Start()) std::cout << "port " << port << ": " << path << "\n";
    std::cout << "ready" << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    site.Stop();
    if (!save.empty()) site.SaveSeedFile(save);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "vanto-sim: " << error.what() << "\n";
    site.Stop();
    return 1;
  }
}
