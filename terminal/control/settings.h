// Settings of the terminal control, read from the environment when a control is created
// (names and defaults are listed in docs/protocol.md). The names are defined here only: a host
// that configures the control (a site file) writes these variables through the functions below.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace terminal::control {

// The line settings of one port: the defaults, or the port's own overrides.
struct LineSettings {
  unsigned baud = 115200;
  std::chrono::microseconds probeTimeout{8000};
  std::chrono::microseconds answerTimeout{100000};
  std::chrono::microseconds gapTimeout{20000};
  int retries = 3;
  int batch = 100;
  // How long opening a port waits while another process (or thread) holds it.
  std::chrono::milliseconds lockTimeout{60000};
};

// One number-valued setting: its variable name, its range, and whether a port may override it
// with "<NAME>_<N>".
struct NumberSetting {
  const char* variable;
  long long low, high;
  long long fallback;  // the default, in the setting's unit
};
// Every number-valued setting, in the order they are documented.
const std::vector<NumberSetting>& NumberSettings();
inline constexpr char kSpeedVariable[] = "VANTO_FK_SPEED";
inline constexpr char kProbeTimeoutVariable[] = "VANTO_FK_PROBE_TIMEOUT_MS";
inline constexpr char kAnswerTimeoutVariable[] = "VANTO_FK_TIMEOUT_MS";
inline constexpr char kGapVariable[] = "VANTO_FK_GAP_MS";
inline constexpr char kRetriesVariable[] = "VANTO_FK_RETRIES";
inline constexpr char kBatchVariable[] = "VANTO_FK_BATCH";
inline constexpr char kLockTimeoutVariable[] = "VANTO_FK_LOCK_TIMEOUT_MS";
inline constexpr char kPortPatternVariable[] = "VANTO_FK_PORT_PATTERN";

// "VANTO_FK_PORT_<N>": the device of port N.
std::string PortDeviceVariable(int port);
// "<variable>_<N>": a number setting of port N only.
std::string PortSettingVariable(std::string_view variable, int port);
// Empty when `value` is a value the control takes for `variable` (a NumberSettings() name);
// otherwise why not ("must be a whole number from 1 to 255", "is not a supported speed").
std::string CheckSetting(std::string_view variable, std::string_view value);

struct ControlSettings {
  std::string portPattern = "/dev/ttyS{N-1}";
  std::map<int, std::string> portPaths;  // VANTO_FK_PORT_<N>
  // The defaults of every port (VANTO_FK_SPEED, ...).
  unsigned baud = 115200;
  std::chrono::microseconds probeTimeout{8000};
  std::chrono::microseconds answerTimeout{100000};
  std::chrono::microseconds gapTimeout{20000};
  int retries = 3;
  int batch = 100;
  std::chrono::milliseconds lockTimeout{60000};
  // Per-port overrides (VANTO_FK_SPEED_<N>, ...), as "variable" -> value.
  std::map<int, std::map<std::string, long long>> portOverrides;
  // The first setting that could not be used, as "NAME=value"; empty when all were fine.
  std::string invalid;

  // Device path of serial port `port`.
  std::string PathOfPort(int port) const;
  // The line settings of `port`: its overrides, else the defaults.
  LineSettings Line(int port) const;
  static ControlSettings FromEnvironment();
};

}  // namespace terminal::control
