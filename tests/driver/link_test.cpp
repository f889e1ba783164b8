// The thread's terminal link: created at the first operation that needs it, on each thread,
// kept for the thread's life, and a control that cannot be created fails the operation.
#include <thread>

#include "tests/driver/driver_fixture.h"
#include "tests/support/recording_rowset.h"

namespace {
class LinkTest : public DriverTest {};

template <class Work>
void OnFreshThread(Work work) {
  std::thread other(work);
  other.join();
}

TEST_F(LinkTest, ControlThatCannotBeCreatedFailsEveryTerminalOperation) {
  control().creation = REGDB_E_CLASSNOTREG;
  ComPtr<IMachine> machine = machine_;
  OnFreshThread([&] {
    ComPtr<_Collection> col;
    Outcome reg = Register(col, true, 1, 1, 1, 1);
    EXPECT_FALSE(reg.result);
    EXPECT_EQ(Utf8(reg.message), "ActiveX 部件不能创建对象");
    EXPECT_EQ(CountOf(col.Get()), 0);

    ComPtr<_Collection> list = CreateCollection();
    Outcome down = Download(1, 6, list.Get());
    EXPECT_FALSE(down.result);
    EXPECT_EQ(Utf8(down.message), "编号为6的考勤机不能下载刷卡数据！ ");

    auto rows = RecordingRowSet::Create();
    Outcome back = Backup(1, 1, u"1", rows.Get());
    EXPECT_EQ(Utf8(back.message), "ActiveX 部件不能创建对象");
    Outcome write = Rewrite(1, 1, u"1", rows.Get());
    EXPECT_EQ(Utf8(write.message), "ActiveX 部件不能创建对象");
    EXPECT_FALSE(TerminalLink::LoadedOnThread());

    // Once the control can be created, the next operation loads the link.
    control().creation = S_OK;
    EXPECT_TRUE(Register(col, true, 1, 1, 1, 1).result);
    EXPECT_TRUE(TerminalLink::LoadedOnThread());
  });
  EXPECT_EQ(control().calls.size(), 2u);
}

TEST_F(LinkTest, EachThreadHasItsOwnLinkReleasedWithTheThread) {
  int created = ScriptedControl::Created().load();
  long objects = LiveObjectCount().load();
  OnFreshThread([&] {
    ComPtr<_Collection> col;
    EXPECT_FALSE(TerminalLink::LoadedOnThread());
    EXPECT_TRUE(Register(col, false, 1, 1, 1, 1).result);
    EXPECT_FALSE(TerminalLink::LoadedOnThread()) << "a scan that selects no port needs no link";
    EXPECT_TRUE(Register(col, true, 5, 5, 1, 1).result);
    EXPECT_TRUE(Register(col, true, 6, 6, 1, 1).result);
    EXPECT_TRUE(TerminalLink::LoadedOnThread());
  });
  EXPECT_EQ(ScriptedControl::Created().load(), created + 1);
  EXPECT_EQ(LiveObjectCount().load(), objects) << "the thread's control goes with the thread";
  std::vector<SHORT> ports;
  for (const auto& call : control().calls)
    if (call.member == 1) ports.push_back(call.port);
  EXPECT_EQ(ports, (std::vector<SHORT>{ScriptedControl::kInitialPort, 5}));
}
}  // namespace
