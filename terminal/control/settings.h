// Settings of the terminal control, resolved when a control is created (names and defaults are
// listed in docs/protocol.md): what a host set through the control's SetSetting member, else the
// control's own overrides (the VANTO_FK_* variables), else the defaults. The names are defined
// here only.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace terminal::control {

// The names of the settings (the control's own overrides are environment variables of these names).
inline constexpr char kSettingPrefix[] = "VANTO_FK_";                    // every setting's name starts so
inline constexpr char kPortVariablePrefix[] = "VANTO_FK_PORT_";          // + N: device of port N
inline constexpr char kPortPatternVariable[] = "VANTO_FK_PORT_PATTERN";  // device of port N from N
inline constexpr char kSpeedVariable[] = "VANTO_FK_SPEED";
inline constexpr char kProbeTimeoutVariable[] = "VANTO_FK_PROBE_TIMEOUT_MS";  // + "_N": of port N only
inline constexpr char kAnswerTimeoutVariable[] = "VANTO_FK_TIMEOUT_MS";       // + "_N": of port N only
inline constexpr char kGapVariable[] = "VANTO_FK_GAP_MS";
inline constexpr char kRetriesVariable[] = "VANTO_FK_RETRIES";
inline constexpr char kBatchVariable[] = "VANTO_FK_BATCH";
inline constexpr char kConnectTimeoutVariable[] = "VANTO_FK_CONNECT_TIMEOUT_MS";
// How long opening a port waits while another process (or thread) holds it.
inline constexpr char kLockTimeoutVariable[] = "VANTO_FK_LOCK_TIMEOUT_MS";
// Every name above (per-port names without their "_N").
inline constexpr const char* kSettingVariables[] = {
    kPortPatternVariable, kSpeedVariable,   kProbeTimeoutVariable,   kAnswerTimeoutVariable, kGapVariable,
    kRetriesVariable,     kBatchVariable,   kConnectTimeoutVariable, kLockTimeoutVariable};

// One number-valued setting: its name, its range, its default (in its own unit), and whether a
// port may have its own value ("<NAME>_<N>": speed, timeouts, retries, batch).
struct NumberSetting {
  const char* variable;
  long long low, high;
  long long fallback;
  bool perPort;
};
const std::vector<NumberSetting>& NumberSettings();
// Empty when `value` is a value the control takes for `variable` (a NumberSettings() name);
// otherwise why not ("must be a whole number from 1 to 255", "is not a line speed ...").
std::string CheckSetting(std::string_view variable, std::string_view value);

// "VANTO_FK_PORT_<port>".
std::string PortVariable(int port);
// A per-port name: "<name>_<port>" (kProbeTimeoutVariable, kAnswerTimeoutVariable).
std::string PerPortVariable(const char* name, int port);

// What a network line adds to a port's waits unless the port has timeouts of its own: the
// way to the device server and back, and the server's own buffering.
inline constexpr std::chrono::microseconds kNetworkAllowance{50000};

struct ControlSettings {
  std::string portPattern = "/dev/ttyS{N-1}";
  std::map<int, std::string> portPaths;  // VANTO_FK_PORT_<N>
  unsigned baud = 115200;
  std::chrono::microseconds probeTimeout{8000};
  std::chrono::microseconds answerTimeout{100000};
  std::chrono::microseconds gapTimeout{20000};
  std::chrono::milliseconds connectTimeout{3000};  // a network line's connection, name lookup included
  std::chrono::milliseconds lockTimeout{60000};    // waiting for a port another process holds
  std::map<int, std::chrono::microseconds> portProbeTimeouts;   // VANTO_FK_PROBE_TIMEOUT_MS_<N>
  std::map<int, std::chrono::microseconds> portAnswerTimeouts;  // VANTO_FK_TIMEOUT_MS_<N>
  int retries = 3;
  int batch = 100;
  std::map<int, unsigned> portSpeeds;  // VANTO_FK_SPEED_<N>
  std::map<int, int> portRetries;      // VANTO_FK_RETRIES_<N>
  std::map<int, int> portBatches;      // VANTO_FK_BATCH_<N>
  // The first setting that could not be used, as "NAME=value"; empty when all were fine.
  std::string invalid;

  // Device of port `port`: a device path, or "tcp://HOST:PORT" for a serial device server.
  std::string PathOfPort(int port) const;
  // Whether port `port` is reached over the network.
  bool IsNetworkPort(int port) const;
  // The port's probe and answer timeouts: its own when set, else the general ones (plus
  // kNetworkAllowance for a network port).
  std::chrono::microseconds ProbeTimeoutOf(int port) const;
  std::chrono::microseconds AnswerTimeoutOf(int port) const;
  // The port's gap timeout: the general one, plus kNetworkAllowance for a network port (a
  // device server hands bytes on in pieces of its own choosing).
  std::chrono::microseconds GapTimeoutOf(int port) const;
  // The port's speed, retries and batch: its own when set, else the general ones.
  unsigned BaudOf(int port) const;
  int RetriesOf(int port) const;
  int BatchOf(int port) const;
  // The settings a control created now uses: ControlSettings::Resolve in settings.cpp, the one
  // place that orders the sources.
  static ControlSettings Resolve();
  // The settings `given` (name -> value) make, the defaults for the rest.
  static ControlSettings FromValues(const std::map<std::string, std::string>& given);
};

// Sets a setting for every control of this process created from now on (the SetSetting member):
// `name` a setting name (a port's own as "<NAME>_<N>", a device as "VANTO_FK_PORT_<N>"), `value`
// empty to remove the host's value. Empty when taken, else why not.
std::string SetHostSetting(const std::string& name, const std::string& value);
// Removes every value hosts set (tests).
void ClearHostSettings();

}  // namespace terminal::control
