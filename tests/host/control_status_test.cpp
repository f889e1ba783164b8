// The host's reading of the control's port status and its wording of each cause.
#include "host/control_status.h"

#include <gtest/gtest.h>

#include "host/clock.h"
#include "host/sync.h"
#include "host/sync_run_record.h"
#include "host/terminal_sync.h"
#include "present/clock_words.h"
#include "present/recorded_words.h"
#include "present/sync_words.h"

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

// A sync's warnings and conflict details are codes with values: each in both languages, from
// the one renderer; a code this version does not know is given with its values, not dropped.
store::RecordConflict Conflict() {
  store::RecordConflict c;
  c.log = {9, 7, 0};
  c.index = 41;
  c.port = 1, c.terminal = 2;
  c.person = 5, c.time = "2026-11-02 08:00:00";
  c.stored_person = 6, c.stored_time = "2026-11-01 08:00:00";
  return c;
}

TEST(SyncNoteWords, EachWarningAndDetailCodeInEnglishAndChinese) {
  struct Case {
    SyncNote note;
    std::string english, chinese;  // the whole English text; the start of the Chinese
  } cases[] = {
      {{"nearly-full", {{"port", "1"}, {"terminal", "2"}, {"held", "900"}, {"capacity", "1000"}, {"percent", "90"}}},
       "terminal 2 on port 1 holds 900 of 1000 records (90 %): clear it after a complete sync", "端口 1 上的 2 号考勤机"},
      {{"clone-elsewhere", {{"serial", "77"}, {"elsewhere", "2/1,3/4"}}},
       "serial 77 also answered as terminal 1 on port 2, terminal 4 on port 3: a cloned identity; each log is kept in "
       "its own epoch",
       "序列号 77"},
      // Recorded by an earlier version in words: given as it was.
      {{"clone-elsewhere", {{"serial", "77"}, {"elsewhere", "port 2, terminal 1"}}},
       "serial 77 also answered as port 2, terminal 1: a cloned identity; each log is kept in its own epoch", "序列号 77"},
      {{"conflict", ConflictValues(Conflict(), 3)},
       "terminal 2 on port 1: serial 9, log generation 7: record 41 is not the one stored (stored: person 6 at "
       "2026-11-01 08:00:00; delivered: person 5 at 2026-11-02 08:00:00); both are kept, the terminal's log going on "
       "as epoch 3",
       "端口 1 上的 2 号考勤机"},
      // Why a read read every record: a later version telling identity 0 is not called version 1.
      {{"no-identity", {{"version", "3"}, {"identity", "0"}}},
       "the terminal tells no identity (protocol version 3, identity 0)", "考勤机未报告身份（协议版本 3，"},
      {{"no-identity", {{"version", "1"}, {"identity", "0"}}}, "the terminal tells no identity (protocol version 1)",
       "考勤机未报告身份（协议版本 1）"},
      {{"gaps", {{"missing", "2"}, {"first", "10"}}}, "the database misses 2 of the first 10 records of this log", ""},
      {{"record-end", {{"error", "E"}}}, "the sync's end could not be recorded: E", ""},
      {{"later-code", {{"a", "1"}}}, "later-code a=1", "later-code a=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.english);
    EXPECT_EQ(NoteText(Language::kEnglish, c.note), c.english);
    const std::string chinese = NoteText(Language::kChinese, c.note);
    EXPECT_EQ(chinese.substr(0, c.chinese.size()), c.chinese);
    if (c.note.code != "later-code") {
      EXPECT_NE(chinese, c.english) << "no Chinese: is the catalogue built?";
    }
  }
  const SyncNote later{"later-code", {{"a", "1"}}};
  EXPECT_EQ(NotesText(Language::kEnglish, {later, later}), "later-code a=1; later-code a=1");
}

// An audit row's details are kept as the host wrote them (English, for a reader of the table);
// the console words them again in its reader's language from the values they hold. In English
// they are shown exactly as recorded; a part in no known form (the driver's own words, a later
// version's) stays as it stands.
TEST(AuditDetailsWords, EachRecordedFormInChineseWithItsValues) {
  struct Case {
    std::string action, details, chinese;
  } cases[] = {
      {"login.failed", "wrong password; locked for 60 s", "密码错误；锁定 60 秒"},
      {"login.failed", "no such user", "没有该用户"},
      {"login.throttled", "refused without checking; locked for 5 s", "未经核对即拒绝；锁定 5 秒"},
      {"user.add", "ada (admin)", "ada（管理员）"},
      // A name is a name, whatever it spells.
      {"user.password", "site", "site"},
      {"sync.done", "port 2: 3/4 terminals synced, 17 new records", "端口 2：3/4 台考勤机已同步，17 条新记录"},
      {"sync.refused", "site: a sync is running", "站点：已有同步正在进行"},
      {"enrolment.write.refused", "port 1 terminal 2, port 1 terminal 3: the port is busy",
       "端口 1 考勤机 2，端口 1 考勤机 3：端口忙"},
      {"terminal.clear.incomplete",
       "port 2 terminal 3; log generation 1, 1 records held; the database misses records 0-4, 9 (+2); nothing cleared",
       "端口 2 考勤机 3；日志代 1，存有 1 条记录；数据库缺少记录 0-4, 9 (+2)；未清除任何记录"},
      {"terminal.clear.no-identity", "port 2 terminal 3; protocol version 1 tells no identity; nothing cleared",
       "端口 2 考勤机 3；协议版本 1 不提供标识；未清除任何记录"},
      {"enrolment.write.done", "person 107 to port 1 terminal 2 (fingerprint); fingerprint",
       "人员 107，写入 端口 1 考勤机 2（指纹）；指纹"},
      {"enrolment.backup.refused", "person 107 from port 1 terminal 2; the backup answered False: 编号为2的考勤机无此人",
       "人员 107，来自 端口 1 考勤机 2；备份返回 False：编号为2的考勤机无此人"},
      {"clock.set.refused",
       "port 1 terminal 2: clock 2026-12-08 09:00:00, set to 2026-12-08 09:01:02 (Asia/Shanghai); refusal 3",
       "端口 1 考勤机 2：时钟为 2026-12-08 09:00:00，设为 2026-12-08 09:01:02（Asia/Shanghai）；拒绝代码 3"},
      {"clock.set", "port 1 terminal 2: clock invalid, set to 2026-12-08 09:01:02 (UTC)",
       "端口 1 考勤机 2：时钟无效，设为 2026-12-08 09:01:02（UTC）"},
      {"people.edit", "person 5: name \"Li; Na, a\", department \"\"", "人员 5：姓名“Li; Na, a”，部门“”"},
      {"conflict.acknowledge", "conflict 4: serial 77, generation 2, record 9", "冲突 4：序列号 77，代 2，记录 9"},
      // Refused requests and their count beyond the bound; an action and a scope are names.
      {"refused", "POST /sync: the role hr may not sync", "POST /sync：人事角色无权执行 sync"},
      {"refused", "GET /audit: the role viewer may not audit", "GET /audit：查看者角色无权执行 audit"},
      {"refused", "POST /login: the form's token is missing or wrong", "POST /login：表单令牌缺失或错误"},
      {"refused", "POST /api/v1/people: the token lacks the scope people:write",
       "POST /api/v1/people：令牌缺少权限范围 people:write"},
      {"refused.counted",
       "12 more refused requests in the minute from 2026-12-08T09:00:00Z (the last: POST /a (b): the role hr may not "
       "terminal.clear)",
       "自 2026-12-08T09:00:00Z 起的一分钟内另有 12 次请求被拒绝（最后一次：POST /a (b)：人事角色无权执行 terminal.clear）"},
      // A part in no known form stays as recorded, beside the parts worded.
      {"terminal.clear.failed", "port 2 terminal 3; the line broke", "端口 2 考勤机 3；the line broke"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.details);
    EXPECT_EQ(AuditDetailsText(Language::kEnglish, c.action, c.details), c.details);
    EXPECT_EQ(AuditDetailsText(Language::kChinese, c.action, c.details), c.chinese);
  }
}

// A clock row whose port could not be used carries the port's cause (or the range a scan asked
// when no terminal answered); the presentation words it in the language asked for.
TEST(ClockWords, APortThatFailedInEnglishAndChinese) {
  auto failed = [](std::optional<PortCause> cause, std::optional<std::pair<int, int>> range) {
    TerminalClock row;
    row.port = 2, row.state = ClockState::kPortFailed, row.port_cause = std::move(cause), row.none_answered = range;
    return row;
  };
  struct Case {
    TerminalClock row;
    std::string english, chinese;  // the whole English text; the start of the Chinese
  } cases[] = {
      {failed(ParsePortStatus("fault=missing\ndevice=/dev/ttyUSB3\n"), std::nullopt),
       "port 2 (/dev/ttyUSB3): the device does not exist", "端口 2（/dev/ttyUSB3）：设备不存在"},
      {failed(ParsePortStatus("fault=busy\ndevice=/dev/ttyS1\nholder_pid=77\nholder_name=minicom\n"), std::nullopt),
       "port 2 (/dev/ttyS1): busy, in use by process 77 (minicom)", "端口 2（/dev/ttyS1）"},
      {failed(std::nullopt, std::pair{1, 4}), "no terminal answered (1-4)", "没有考勤机应答（1-4）"},
      {TerminalClock{}, "", ""},  // a row of another state: nothing to say
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.english);
    const std::string english = ClockPortFailedText(Language::kEnglish, c.row);
    EXPECT_EQ(english.substr(0, c.english.size()), c.english);
    if (c.english.empty()) {
      EXPECT_EQ(english, "");
    }
    const std::string chinese = ClockPortFailedText(Language::kChinese, c.row);
    EXPECT_EQ(chinese.substr(0, c.chinese.size()), c.chinese);
    EXPECT_EQ(chinese.empty(), english.empty());
  }
}

// A run's record keeps a failed row's code and values, and English words only from the renderer
// the front end hands it; a synced row keeps none.
TEST(RunRecord, AFailedRowKeepsItsCodeValuesAndTheWordsItIsGiven) {
  TerminalSync failed;
  failed.port = 1, failed.terminal = 2, failed.ok = false;
  failed.cause_code = "no-terminal", failed.cause_values = {{"first", "1"}, {"last", "4"}};
  TerminalSync synced;
  synced.port = 1, synced.terminal = 3, synced.ok = true;
  const auto english = [](const TerminalSync& row) { return CauseText(Language::kEnglish, row); };
  struct Case {
    const TerminalSync* row;
    bool worded;
    std::string outcome, code, cause;
    std::size_t values;
  } cases[] = {
      {&failed, true, "failed", "no-terminal", "no terminal answered (1-4)", 2},
      {&failed, false, "failed", "no-terminal", "", 2},
      {&synced, true, "synced", "", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outcome + (c.worded ? " worded" : ""));
    const store::RunTerminal t = c.worded ? RunTerminalOf(*c.row, english) : RunTerminalOf(*c.row);
    EXPECT_EQ(t.outcome, c.outcome);
    EXPECT_EQ(t.cause_code, c.code);
    EXPECT_EQ(t.cause, c.cause);
    EXPECT_EQ(t.cause_values.size(), c.values);
  }
}

}  // namespace
}  // namespace vanto::host
