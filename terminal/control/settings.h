// Settings of the terminal control, read from the environment when a control is created
// (names and defaults are listed in docs/protocol.md).
#pragma once

#include <chrono>
#include <map>
#include <string>

namespace terminal::control {

struct ControlSettings {
  std::string portPattern = "/dev/ttyS{N-1}";
  std::map<int, std::string> portPaths;  // VANTO_FK_PORT_<N>
  unsigned baud = 115200;
  std::chrono::microseconds probeTimeout{8000};
  std::chrono::microseconds answerTimeout{100000};
  std::chrono::microseconds gapTimeout{20000};
  int retries = 3;
  int batch = 100;
  // The first setting that could not be used, as "NAME=value"; empty when all were fine.
  std::string invalid;

  // Device path of serial port `port`.
  std::string PathOfPort(int port) const;
  static ControlSettings FromEnvironment();
};

}  // namespace terminal::control
