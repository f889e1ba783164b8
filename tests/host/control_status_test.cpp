// The host's reading of the control's port status and its wording of each cause.
#include "host/control_status.h"

#include <gtest/gtest.h>

#include "host/sync_words.h"

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

// A sync's cause is a code and values; the words come from one renderer, in the language asked
// for (the console's reader's), whatever the process's locale.
TEST(SyncCauseWords, EachCodeWithItsValuesInEnglishAndChinese) {
  struct Case {
    std::string code;
    store::CauseValues values;
    std::string english, chinese;  // the start of each
  } cases[] = {
      {"missing", PortFaultValues(1, ParsePortStatus("fault=missing\ndevice=/dev/ttyUSB3\n")),
       "port 1 (/dev/ttyUSB3): the device does not exist", "端口 1（/dev/ttyUSB3）：设备不存在"},
      {"busy", {{"port", "2"}, {"device", "/dev/ttyS1"}, {"holder_pid", "77"}, {"delivered", "3"}, {"added", "1"}},
       "port 2 (/dev/ttyS1): busy, in use by process 77; 3 records delivered, 1 new stored", "端口 2（/dev/ttyS1）"},
      {"download", {{"delivered", "1"}, {"added", "0"}}, "the download failed; 1 record delivered, 0 new stored", "下载失败"},
      {"no-terminal", {{"first", "1"}, {"last", "4"}}, "no terminal answered (1-4)", "没有考勤机应答（1-4）"},
      {"terminal", {{"reason", "silent"}}, "it answered an earlier sync but not this scan", "它在此前的同步中应答过"},
      {"terminal", {{"error", "refusal 3"}}, "refusal 3", "refusal 3"},
      {"store", {{"reason", "other-terminal"}}, "not read: the database failed on another terminal", "未读取"},
      {"store", {{"error", "E"}, {"read", "9"}, {"delivered", "8"}}, "E; 9 records read, 8 stored", "E；"},
      {"conflict", {{"epoch", "2"}}, "the log is not the one stored: all records kept, the log going on as epoch 2", "日志"},
      {"quarantined", {{"count", "2"}}, "2 records quarantined ('vanto rejected' lists them)", "2 "},
      {"host", {{"reason", "port-thread"}}, "the host failed on this port's thread", "主机程序在此端口"},
      {"clone", {{"clone_serial", "77"}, {"clone_elsewhere", "port 2, terminal 1"}},
       "serial 77 also answered as port 2, terminal 1: a cloned identity", "序列号 77"},
      {"cancelled", {}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const std::string english = CauseText(Language::kEnglish, c.code, c.values);
    const std::string chinese = CauseText(Language::kChinese, c.code, c.values);
    EXPECT_EQ(english.substr(0, c.english.size()), c.english);
    EXPECT_EQ(chinese.substr(0, c.chinese.size()), c.chinese);
    EXPECT_EQ(english.empty(), chinese.empty());
    if (english.size() > 12) {
      EXPECT_NE(chinese, english) << "no Chinese: is the catalogue built?";
    }
  }
  // A recorded row: from its values; one recorded with words only, as recorded.
  store::RunTerminal recorded;
  recorded.cause_code = "no-terminal", recorded.cause = "no terminal answered (1-4)";
  EXPECT_EQ(CauseText(Language::kChinese, recorded), "no terminal answered (1-4)");
  recorded.cause_values = {{"first", "1"}, {"last", "4"}};
  EXPECT_EQ(CauseText(Language::kChinese, recorded), "没有考勤机应答（1-4）");
}

}  // namespace
}  // namespace vanto::host
