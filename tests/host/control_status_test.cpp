// The host's reading of the control's port status and its wording of each cause.
#include "host/control_status.h"

#include <gtest/gtest.h>

namespace vanto::host {
namespace {

TEST(ControlStatus, ParsesTheControlsStatusText) {
  PortCause c = ParsePortStatus("fault=busy\ndevice=/dev/ttyUSB0\ndetail=in use\nholder_pid=4242\nholder_name=vanto\n");
  EXPECT_EQ(c.fault, "busy");
  EXPECT_EQ(c.device, "/dev/ttyUSB0");
  EXPECT_EQ(c.holder_pid, 4242);
  EXPECT_EQ(c.holder_name, "vanto");
  EXPECT_TRUE(c.PortUnusable());
  EXPECT_TRUE(c.Failed());
  PortCause line = ParsePortStatus("fault=line\ndevice=tcp://h:1\ndetail=the terminal did not answer\nterminal=7\n");
  EXPECT_EQ(line.terminal, 7);
  EXPECT_FALSE(line.PortUnusable());
  EXPECT_TRUE(line.Failed());
  EXPECT_FALSE(ParsePortStatus("fault=none\ndevice=/dev/ttyS0\n").Failed());
  EXPECT_FALSE(ParsePortStatus("fault=unused\n").Failed());
}

TEST(ControlStatus, EachCauseNamesThePortTheDeviceAndWhatToDo) {
  struct Case {
    std::string status, words;
  } cases[] = {
      {"fault=missing\ndevice=/dev/ttyUSB3\n", "port 2 (/dev/ttyUSB3): the device does not exist"},
      {"fault=permission\ndevice=/dev/ttyUSB3\n", "port 2 (/dev/ttyUSB3): no permission to open the device (join the 'dialout' group"},
      {"fault=busy\ndevice=/dev/ttyUSB3\nholder_pid=77\nholder_name=minicom\n", "port 2 (/dev/ttyUSB3): busy, in use by process 77 (minicom)"},
      {"fault=busy\ndevice=/dev/ttyUSB3\n", "port 2 (/dev/ttyUSB3): busy, in use by another process"},
      {"fault=not-serial\ndevice=/dev/null\n", "port 2 (/dev/null): not a serial device"},
      {"fault=setting\ndevice=/dev/ttyS1\ndetail=setting VANTO_FK_SPEED=7 cannot be used\n",
       "port 2 (/dev/ttyS1): setting VANTO_FK_SPEED=7 cannot be used"},
      {"fault=line\ndevice=/dev/ttyS1\ndetail=the terminal did not answer after 4 attempts\nterminal=5\n",
       "port 2 (/dev/ttyS1), terminal 5: the terminal did not answer after 4 attempts"},
  };
  for (const Case& c : cases) {
    const std::string words = DescribeCause(2, ParsePortStatus(c.status));
    EXPECT_EQ(words.substr(0, c.words.size()), c.words) << c.status;
  }
}

}  // namespace
}  // namespace vanto::host
