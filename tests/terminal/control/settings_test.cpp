#include "terminal/control/settings.h"

#include <stdlib.h>

#include <gtest/gtest.h>

namespace terminal::control {
namespace {

class EnvironmentGuard {
 public:
  ~EnvironmentGuard() {
    for (const char* name : {"VANTO_FK_PORT_PATTERN", "VANTO_FK_PORT_3", "VANTO_FK_SPEED", "VANTO_FK_TIMEOUT_MS",
                             "VANTO_FK_PROBE_TIMEOUT_MS", "VANTO_FK_GAP_MS", "VANTO_FK_RETRIES", "VANTO_FK_BATCH",
                             "VANTO_FK_PORT_2", "VANTO_FK_PROBE_TIMEOUT_MS_2", "VANTO_FK_TIMEOUT_MS_2",
                             "VANTO_FK_TIMEOUT_MS_3", "VANTO_FK_CONNECT_TIMEOUT_MS", "VANTO_FK_TIMEOUT_MS_X"})
      ::unsetenv(name);
  }
};

TEST(ControlSettings, DefaultsSuitARealLine) {
  EnvironmentGuard guard;
  const ControlSettings settings = ControlSettings::Resolve();
  EXPECT_EQ(settings.PathOfPort(1), "/dev/ttyS0");
  EXPECT_EQ(settings.PathOfPort(4), "/dev/ttyS3");
  EXPECT_EQ(settings.baud, 115200u);
  EXPECT_EQ(settings.probeTimeout, std::chrono::milliseconds(8));
  EXPECT_EQ(settings.answerTimeout, std::chrono::milliseconds(100));
  EXPECT_EQ(settings.retries, 3);
  EXPECT_TRUE(settings.invalid.empty());
}

TEST(ControlSettings, PortPathsFromPatternAndPerPort) {
  EnvironmentGuard guard;
  ::setenv("VANTO_FK_PORT_PATTERN", "/tmp/lines/com{N}-{N-1}", 1);
  ::setenv("VANTO_FK_PORT_3", "/dev/ttyUSB0", 1);
  const ControlSettings settings = ControlSettings::Resolve();
  EXPECT_EQ(settings.PathOfPort(1), "/tmp/lines/com1-0");
  EXPECT_EQ(settings.PathOfPort(3), "/dev/ttyUSB0");
  EXPECT_EQ(settings.PathOfPort(12), "/tmp/lines/com12-11");
}

TEST(ControlSettings, NumbersAreReadAndBadOnesNamed) {
  EnvironmentGuard guard;
  ::setenv("VANTO_FK_SPEED", "9600", 1);
  ::setenv("VANTO_FK_TIMEOUT_MS", "250", 1);
  ::setenv("VANTO_FK_RETRIES", "0", 1);
  ::setenv("VANTO_FK_BATCH", "255", 1);
  ControlSettings settings = ControlSettings::Resolve();
  EXPECT_EQ(settings.baud, 9600u);
  EXPECT_EQ(settings.answerTimeout, std::chrono::milliseconds(250));
  EXPECT_EQ(settings.retries, 0);
  EXPECT_EQ(settings.batch, 255);
  EXPECT_TRUE(settings.invalid.empty());
  for (auto [name, value] : {std::pair{"VANTO_FK_SPEED", "12345"}, {"VANTO_FK_BATCH", "0"}, {"VANTO_FK_BATCH", "256"},
                             {"VANTO_FK_RETRIES", "-1"}, {"VANTO_FK_TIMEOUT_MS", "10ms"}}) {
    EnvironmentGuard inner;
    ::setenv(name, value, 1);
    settings = ControlSettings::Resolve();
    EXPECT_EQ(settings.invalid, std::string(name) + "=" + value);
  }
}

TEST(ControlSettings, NamesAreTheControlsOwn) {
  EXPECT_EQ(PortVariable(7), "VANTO_FK_PORT_7");
  EXPECT_EQ(PerPortVariable(kAnswerTimeoutVariable, 2), "VANTO_FK_TIMEOUT_MS_2");
  EXPECT_EQ(PerPortVariable(kProbeTimeoutVariable, 12), "VANTO_FK_PROBE_TIMEOUT_MS_12");
  for (const char* name : kSettingVariables) EXPECT_EQ(std::string_view(name).substr(0, 9), "VANTO_FK_") << name;
}

TEST(ControlSettings, NetworkPortsGetTheirOwnTimeouts) {
  EnvironmentGuard guard;
  ::setenv("VANTO_FK_PORT_2", "tcp://10.1.2.3:4001", 1);
  ::setenv("VANTO_FK_PORT_3", "tcp://10.1.2.4:4001", 1);
  ::setenv("VANTO_FK_PROBE_TIMEOUT_MS_2", "40", 1);
  ::setenv("VANTO_FK_TIMEOUT_MS_2", "400", 1);
  ::setenv("VANTO_FK_CONNECT_TIMEOUT_MS", "750", 1);
  const ControlSettings settings = ControlSettings::Resolve();
  EXPECT_TRUE(settings.invalid.empty()) << settings.invalid;
  EXPECT_FALSE(settings.IsNetworkPort(1));
  EXPECT_TRUE(settings.IsNetworkPort(2));
  // Port 1, a serial line: the general timeouts. Port 2: its own. Port 3, on the network
  // without its own: the general ones plus the network's allowance.
  EXPECT_EQ(settings.ProbeTimeoutOf(1), std::chrono::milliseconds(8));
  EXPECT_EQ(settings.AnswerTimeoutOf(1), std::chrono::milliseconds(100));
  EXPECT_EQ(settings.ProbeTimeoutOf(2), std::chrono::milliseconds(40));
  EXPECT_EQ(settings.AnswerTimeoutOf(2), std::chrono::milliseconds(400));
  EXPECT_EQ(settings.ProbeTimeoutOf(3), std::chrono::milliseconds(8) + kNetworkAllowance);
  EXPECT_EQ(settings.AnswerTimeoutOf(3), std::chrono::milliseconds(100) + kNetworkAllowance);
  EXPECT_EQ(settings.connectTimeout, std::chrono::milliseconds(750));
}

TEST(ControlSettings, BadPerPortSettingsAreNamed) {
  for (auto [name, value] : {std::pair{"VANTO_FK_TIMEOUT_MS_3", "0"}, {"VANTO_FK_TIMEOUT_MS_3", "fast"},
                             {"VANTO_FK_TIMEOUT_MS_X", "100"}, {"VANTO_FK_CONNECT_TIMEOUT_MS", "-1"}}) {
    EnvironmentGuard guard;
    ::setenv(name, value, 1);
    EXPECT_EQ(ControlSettings::Resolve().invalid, std::string(name) + "=" + value);
  }
}

// What a host sets (the SetSetting member) wins over the control's own overrides (the
// environment), which win over the defaults; the control takes only names and values it knows.
TEST(ControlSettings, HostSetValuesWinOverTheEnvironmentAndAreChecked) {
  EnvironmentGuard guard;
  ClearHostSettings();
  ::setenv("VANTO_FK_SPEED", "9600", 1);
  ::setenv("VANTO_FK_PORT_3", "/dev/from-env", 1);
  struct Case {
    const char* name;
    const char* value;
    bool taken;
  } cases[] = {
      {"VANTO_FK_SPEED", "57600", true},          {"VANTO_FK_PORT_3", "tcp://10.0.0.9:4001", true},
      {"VANTO_FK_BATCH_2", "255", true},          {"VANTO_FK_TIMEOUT_MS_2", "250", true},
      {"VANTO_FK_SPEED", "12345", false},         {"VANTO_FK_BATCH", "0", false},
      {"VANTO_FK_GAP_MS_2", "5", false},          {"VANTO_FK_NO_SUCH", "1", false},
      {"HOME", "/tmp", false},                    {"VANTO_FK_RETRIES", "x", false},
      {"VANTO_FK_PORT_0", "/dev/x", false},       {"VANTO_FK_PORT_x", "/dev/x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(SetHostSetting(c.name, c.value).empty(), c.taken) << c.name << "=" << c.value;
  ControlSettings settings = ControlSettings::Resolve();
  EXPECT_EQ(settings.baud, 57600u);  // refused values changed nothing
  EXPECT_EQ(settings.PathOfPort(3), "tcp://10.0.0.9:4001");
  EXPECT_EQ(settings.BatchOf(2), 255);
  EXPECT_EQ(settings.AnswerTimeoutOf(2), std::chrono::milliseconds(250));
  EXPECT_EQ(settings.retries, 3);
  EXPECT_TRUE(settings.invalid.empty()) << settings.invalid;
  // An empty value takes the host's back: the environment holds again, then the default.
  EXPECT_EQ(SetHostSetting("VANTO_FK_SPEED", ""), "");
  EXPECT_EQ(SetHostSetting("VANTO_FK_PORT_3", ""), "");
  settings = ControlSettings::Resolve();
  EXPECT_EQ(settings.baud, 9600u);
  EXPECT_EQ(settings.PathOfPort(3), "/dev/from-env");
  ClearHostSettings();
  ::unsetenv("VANTO_FK_SPEED");
  EXPECT_EQ(ControlSettings::Resolve().baud, 115200u);
  EXPECT_EQ(ControlSettings::Resolve().BatchOf(2), 100);
}

}  // namespace
}  // namespace terminal::control
