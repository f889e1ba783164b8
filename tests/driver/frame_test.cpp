// The frame every operation runs in: result and message rules, interface misuse, the two
// unsupported operations, and the object itself.
#include <thread>

#include "driver/identifiers.h"
#include "tests/driver/driver_fixture.h"
#include "tests/support/recording_rowset.h"

namespace {
class FrameTest : public DriverTest {};

TEST_F(FrameTest, ObjectAnswersItsInterfaces) {
  for (const IID& iid : {IID_IUnknown, IID_IDispatch, IID_IMachine, IID__clsMachine}) {
    ComPtr<IUnknown> answer;
    EXPECT_EQ(machine().QueryInterface(iid, reinterpret_cast<void**>(answer.Put())), S_OK);
    EXPECT_TRUE(answer);
  }
  ComPtr<IUnknown> none;
  EXPECT_EQ(machine().QueryInterface(IID_RowSet, reinterpret_cast<void**>(none.Put())), E_NOINTERFACE);
  EXPECT_FALSE(none);
}

TEST_F(FrameTest, WriteCardAnswersFalseAndTouchesNothing) {
  ComPtr<_Collection> cards = ListHolding(2);
  Bstr ip(u"10.0.0.1");
  Outcome out = WithMessage(u"原来的消息", [&](BSTR* msg, VARIANT_BOOL* result) {
    return machine().funcWriteCard(VARIANT_TRUE, ip.Get(), 1, 1, cards.Get(), msg, result);
  });
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "原来的消息");
  EXPECT_EQ(CountOf(cards.Get()), 2);
  EXPECT_TRUE(control().calls.empty());

  Outcome withoutList = WithMessage(u"", [&](BSTR* msg, VARIANT_BOOL* result) {
    return machine().funcWriteCard(VARIANT_FALSE, nullptr, -5, 32767, nullptr, msg, result);
  });
  EXPECT_EQ(withoutList.hr, S_OK);
  EXPECT_FALSE(withoutList.result);
}

TEST_F(FrameTest, DelCardDataAnswersFalseWithoutCreatingTheLink) {
  int createdBefore = ScriptedControl::Created().load();
  bool loaded = true;
  VARIANT_BOOL result = VARIANT_TRUE;
  HRESULT hr = E_FAIL;
  ComPtr<IMachine> machine = machine_;
  std::thread other([&] {
    Bstr ip(u"10.0.0.1");
    hr = machine->delCardData(VARIANT_TRUE, ip.Get(), 1, 1, &result);
    loaded = TerminalLink::LoadedOnThread();
  });
  other.join();
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(result, VARIANT_FALSE);
  EXPECT_FALSE(loaded);
  EXPECT_EQ(ScriptedControl::Created().load(), createdBefore);
  EXPECT_TRUE(control().calls.empty());
}

TEST_F(FrameTest, NullOutPointersAreRefusedWithoutTouchingAnything) {
  ComPtr<_Collection> list = ListHolding(1);
  _Collection* raw = list.Get();
  BSTR msg = Bstr(u"留着").Detach();
  VARIANT_BOOL result = 7;
  auto rows = RecordingRowSet::Create();
  RowSet* rawRows = rows.Get();

  EXPECT_EQ(machine().funcRegister(&raw, VARIANT_TRUE, 1, 1, nullptr, nullptr, 1, 1, nullptr, &result), E_POINTER);
  EXPECT_EQ(machine().funcRegister(&raw, VARIANT_TRUE, 1, 1, nullptr, nullptr, 1, 1, &msg, nullptr), E_POINTER);
  EXPECT_EQ(machine().funcRegister(nullptr, VARIANT_TRUE, 1, 1, nullptr, nullptr, 1, 1, &msg, &result), E_POINTER);
  EXPECT_EQ(raw, list.Get()) << "the caller's list must not be replaced";
  EXPECT_EQ(machine().funcBackFingure(VARIANT_TRUE, nullptr, 1, 1, nullptr, &rawRows, nullptr, &result), E_POINTER);
  EXPECT_EQ(machine().funcBackFingure(VARIANT_TRUE, nullptr, 1, 1, nullptr, &rawRows, &msg, nullptr), E_POINTER);
  EXPECT_EQ(machine().funcReWrite(VARIANT_TRUE, nullptr, 1, 1, nullptr, rows.Get(), nullptr, &result), E_POINTER);
  EXPECT_EQ(machine().funcReWrite(VARIANT_TRUE, nullptr, 1, 1, nullptr, rows.Get(), &msg, nullptr), E_POINTER);
  EXPECT_EQ(machine().DownloadCarddata(VARIANT_TRUE, nullptr, 1, 1, &raw, nullptr, &result), E_POINTER);
  EXPECT_EQ(machine().DownloadCarddata(VARIANT_TRUE, nullptr, 1, 1, &raw, &msg, nullptr), E_POINTER);
  EXPECT_EQ(machine().funcWriteCard(VARIANT_TRUE, nullptr, 1, 1, raw, nullptr, &result), E_POINTER);
  EXPECT_EQ(machine().funcWriteCard(VARIANT_TRUE, nullptr, 1, 1, raw, &msg, nullptr), E_POINTER);
  EXPECT_EQ(machine().delCardData(VARIANT_TRUE, nullptr, 1, 1, nullptr), E_POINTER);

  EXPECT_EQ(result, 7);
  EXPECT_EQ(Utf8(Bstr::Adopt(msg).View()), "留着");
  EXPECT_EQ(CountOf(list.Get()), 1);
  EXPECT_TRUE(control().calls.empty());
  EXPECT_TRUE(rows->log.empty());
}

// The message rule at entry and on a normal end, for the four working operations.
TEST_F(FrameTest, MessageIsClearedOnlyByDownloadAndRewrite) {
  control().Answers(19, {ControlAnswer::Bool(true)});
  control().Answers(20, {ControlAnswer::Bool(true)});
  ComPtr<_Collection> col;
  auto rows = RecordingRowSet::Create();
  ComPtr<_Collection> records = CreateCollection();

  Outcome reg = Register(col, true, 1, 1, 1, 1, u"甲");
  Outcome back = Backup(1, 1, u"5", rows.Get(), u"乙");
  Outcome write = Rewrite(1, 1, u"5", rows.Get(), u"丙");
  Outcome down = Download(1, 1, records.Get(), u"丁");

  EXPECT_TRUE(reg.result);
  EXPECT_EQ(Utf8(reg.message), "甲");
  EXPECT_TRUE(back.result);
  EXPECT_EQ(Utf8(back.message), "乙");
  EXPECT_TRUE(write.result);
  EXPECT_EQ(Utf8(write.message), "");
  EXPECT_TRUE(down.result);
  EXPECT_EQ(Utf8(down.message), "");
  for (const Outcome* out : {&reg, &back, &write, &down}) EXPECT_EQ(out->hr, S_OK);
}

// A control error ends each working operation with the control's description (the download
// with its fixed message).
TEST_F(FrameTest, ControlErrorBecomesTheFailureText) {
  const std::u16string error = u"端口 COM1 上的 5 号考勤机没有应答";
  for (DISPID member : {10, 19, 4, 7}) control().Answers(member, {}, ControlAnswer::Raise(error));
  ComPtr<_Collection> col;
  auto rows = RecordingRowSet::Create();
  ComPtr<_Collection> records = CreateCollection();

  Outcome reg = Register(col, true, 1, 1, 5, 5);
  Outcome back = Backup(1, 5, u"7", rows.Get());
  Outcome write = Rewrite(1, 5, u"7", rows.Get());
  Outcome down = Download(1, 5, records.Get());

  for (const Outcome* out : {&reg, &back, &write}) {
    EXPECT_EQ(out->hr, S_OK);
    EXPECT_FALSE(out->result);
    EXPECT_EQ(out->message, error);
  }
  EXPECT_FALSE(down.result);
  EXPECT_EQ(Utf8(down.message), "编号为5的考勤机不能下载刷卡数据！ ");
  EXPECT_TRUE(control().CallsOf(20).empty()) << "no write after a failed prepare";
}

TEST_F(FrameTest, ControlFailureWithoutDescriptionUsesTheRuntimeText) {
  control().Answers(10, {}, ControlAnswer::Failure(DISP_E_MEMBERNOTFOUND));
  ComPtr<_Collection> col;
  Outcome out = Register(col, true, 1, 1, 1, 1);
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "找不到成员");
}

// Answers are read as Booleans: a number is a Boolean by its value, text that is no number fails.
TEST_F(FrameTest, AnswersAreReadAsBooleans) {
  struct Case {
    Variant answer;
    bool ok;
    bool found;
  };
  std::vector<Case> cases;
  cases.push_back({Variant::I4(5), true, true});
  cases.push_back({Variant::I2(0), true, false});
  cases.push_back({Variant::R8(-1.0), true, true});
  cases.push_back({Variant::Str(u"True"), true, true});
  cases.push_back({Variant::Str(u"abc"), false, false});
  cases.push_back({Variant::Null(), false, false});
  for (auto& c : cases) {
    control().Answers(10, {ControlAnswer::Of(c.answer)});
    ComPtr<_Collection> col;
    Outcome out = Register(col, true, 1, 1, 1, 1);
    SCOPED_TRACE(c.answer.Type());
    EXPECT_EQ(out.result, c.ok);
    EXPECT_EQ(CountOf(col.Get()), c.found ? 1 : 0);
    if (!c.ok) {
      EXPECT_FALSE(out.message.empty());
    }
  }
}

TEST_F(FrameTest, PrepareAnswerThatIsNoBooleanFailsTheRewrite) {
  control().Answers(4, {ControlAnswer::Of(Variant::Str(u"好"))});
  control().Answers(20, {ControlAnswer::Bool(true)});
  auto rows = RecordingRowSet::Create();
  Outcome out = Rewrite(1, 1, u"5", rows.Get());
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "类型不匹配");
  EXPECT_TRUE(control().CallsOf(20).empty());
}

TEST_F(FrameTest, NullListsAndRowSetsFailWithoutContactingTheTerminal) {
  Outcome down = Download(1, 4, nullptr);
  EXPECT_FALSE(down.result);
  EXPECT_EQ(Utf8(down.message), "编号为4的考勤机不能下载刷卡数据！ ");
  VARIANT_BOOL result = VARIANT_TRUE;
  BSTR msg = nullptr;
  EXPECT_EQ(machine().DownloadCarddata(VARIANT_TRUE, nullptr, 1, 4, nullptr, &msg, &result), S_OK);
  EXPECT_EQ(result, VARIANT_FALSE);
  EXPECT_EQ(Utf8(Bstr::Adopt(msg).View()), "编号为4的考勤机不能下载刷卡数据！ ");
  msg = nullptr;

  Outcome back = Backup(1, 1, u"5", nullptr);
  EXPECT_FALSE(back.result);
  EXPECT_EQ(Utf8(back.message), "对象变量或 With 块变量未设置");
  EXPECT_EQ(machine().funcBackFingure(VARIANT_TRUE, nullptr, 1, 1, nullptr, nullptr, &msg, &result), S_OK);
  EXPECT_EQ(result, VARIANT_FALSE);
  SysFreeString(msg);

  Outcome write = Rewrite(1, 1, u"5", nullptr);
  EXPECT_FALSE(write.result);
  EXPECT_EQ(Utf8(write.message), "对象变量或 With 块变量未设置");
  EXPECT_TRUE(control().calls.empty());
}

TEST_F(FrameTest, LinkOutlivesTheObject) {
  int createdBefore = ScriptedControl::Created().load();
  ComPtr<_Collection> col;
  EXPECT_TRUE(Register(col, true, 3, 3, 1, 1).result);
  machine_ = CreateClsMachine();
  EXPECT_TRUE(Register(col, true, 4, 4, 1, 1).result);
  EXPECT_EQ(ScriptedControl::Created().load(), createdBefore);
  EXPECT_EQ(PortsPut(control()), (std::vector<SHORT>{3, 4}));
}

}  // namespace
