#include "terminal/control/settings.h"

#include <stdlib.h>

#include <gtest/gtest.h>

namespace terminal::control {
namespace {

class EnvironmentGuard {
 public:
  ~EnvironmentGuard() {
    for (const char* name : {"VANTO_FK_PORT_PATTERN", "VANTO_FK_PORT_3", "VANTO_FK_SPEED", "VANTO_FK_TIMEOUT_MS",
                             "VANTO_FK_PROBE_TIMEOUT_MS", "VANTO_FK_GAP_MS", "VANTO_FK_RETRIES", "VANTO_FK_BATCH"})
      ::unsetenv(name);
  }
};

TEST(ControlSettings, DefaultsSuitARealLine) {
  EnvironmentGuard guard;
  const ControlSettings settings = ControlSettings::FromEnvironment();
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
  const ControlSettings settings = ControlSettings::FromEnvironment();
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
  ControlSettings settings = ControlSettings::FromEnvironment();
  EXPECT_EQ(settings.baud, 9600u);
  EXPECT_EQ(settings.answerTimeout, std::chrono::milliseconds(250));
  EXPECT_EQ(settings.retries, 0);
  EXPECT_EQ(settings.batch, 255);
  EXPECT_TRUE(settings.invalid.empty());
  for (auto [name, value] : {std::pair{"VANTO_FK_SPEED", "12345"}, {"VANTO_FK_BATCH", "0"}, {"VANTO_FK_BATCH", "256"},
                             {"VANTO_FK_RETRIES", "-1"}, {"VANTO_FK_TIMEOUT_MS", "10ms"}}) {
    EnvironmentGuard inner;
    ::setenv(name, value, 1);
    settings = ControlSettings::FromEnvironment();
    EXPECT_EQ(settings.invalid, std::string(name) + "=" + value);
  }
}

}  // namespace
}  // namespace terminal::control
