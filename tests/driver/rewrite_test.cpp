// Enrolment rewrite through IMachine against the scripted control and a recording row set.
#include <thread>

#include "codec/template_codec.h"
#include "tests/driver/driver_fixture.h"
#include "tests/support/recording_rowset.h"

namespace {
FingerTemplate SampleTemplate() {
  FingerTemplate t;
  for (std::size_t i = 0; i < kTemplateValues; ++i) t.values[i] = static_cast<LONG>(i * 104729) * (i % 3 ? 1 : -1);
  return t;
}

Variant Bytes(const std::vector<BYTE>& bytes) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(array->pvData));
  return Variant::Array(VT_UI1, array);
}

Variant StoredForm(const FingerTemplate& t) {
  TemplateBlob blob;
  EXPECT_EQ(EncodeTemplate(t, &blob), S_OK);
  return Bytes(std::vector<BYTE>(blob.begin(), blob.end()));
}

class RewriteTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    control().Answers(20, {}, ControlAnswer::Bool(true));
    rows_ = RecordingRowSet::Create();
  }
  void ReleaseTestObjects() override { rows_.Reset(); }

  void Row(Variant fingerprint, Variant enrolment, Variant password) {
    rows_->AddRow({{u"bFingerprint", std::move(fingerprint)},
                   {u"iFingerprintNO", std::move(enrolment)},
                   {u"npassword", std::move(password)},
                   {u"cPsn_Num", Variant::I4(999)},
                   {u"imachineno", Variant::I4(998)}});
  }
  ControlCall OnlyWrite() {
    auto writes = control().CallsOf(20);
    EXPECT_EQ(writes.size(), 1u);
    return writes.empty() ? ControlCall{} : writes[0];
  }

  ComPtr<RecordingRowSet> rows_;
};

TEST_F(RewriteTest, FingerprintRowIsWrittenDecoded) {
  FingerTemplate sample = SampleTemplate();
  Row(StoredForm(sample), Variant::I4(0), Variant::Null());
  PostThreadWork([this] { control().log.push_back("host work"); });
  Outcome out = Rewrite(1, 7, u"321", rows_.Get(), u"旧消息");
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_TRUE(out.result);
  EXPECT_EQ(Utf8(out.message), "");
  EXPECT_EQ(control().log, (std::vector<std::string>{"host work", "call 4", "call 20"}));

  auto prepare = control().CallsOf(4).at(0);
  EXPECT_EQ(prepare.kinds, (std::vector<VARTYPE>(4, VT_I4)));
  EXPECT_EQ(prepare.values, (std::vector<LONG>{7, 321, 1, 0}));
  ControlCall write = OnlyWrite();
  EXPECT_EQ(write.kinds, (std::vector<VARTYPE>{VT_I4, VT_I4, VT_I4, VT_I4, VT_I4, kRefLong, VT_I4}));
  EXPECT_EQ(std::vector<LONG>(write.values.begin(), write.values.begin() + 4), prepare.values);
  EXPECT_EQ(write.values[4], 1);
  EXPECT_EQ(write.values[6], 0);
  FingerTemplate expected = sample;
  expected.values[459] = 0;
  EXPECT_EQ(write.fingerprint, std::vector<LONG>(expected.values.begin(), expected.values.end()));
  EXPECT_EQ(rows_->current_, 1) << "the row set stands after its last row";
  EXPECT_EQ(rows_->log, (std::vector<std::string>{"MoveFirst", "EOF", "Value bFingerprint", "Value iFingerprintNO",
                                                  "Value npassword", "MoveNext", "EOF"}));
}

TEST_F(RewriteTest, PasswordRowWithBlanksAroundThePassword) {
  Row(Bytes({}), Variant::I4(10), Variant::Str(u"  123 "));
  Outcome out = Rewrite(1, 2, u"5", rows_.Get());
  EXPECT_TRUE(out.result);
  ControlCall write = OnlyWrite();
  EXPECT_EQ(write.values[3], 10);
  EXPECT_EQ(write.values[6], 123);
  EXPECT_EQ(write.fingerprint, std::vector<LONG>(kTemplateValues, 0));
}

TEST_F(RewriteTest, LastRowWins) {
  Row(StoredForm(SampleTemplate()), Variant::I4(0), Variant::Null());
  Row(Bytes({}), Variant::I4(10), Variant::I4(77));
  Outcome out = Rewrite(1, 2, u"5", rows_.Get());
  EXPECT_TRUE(out.result);
  ControlCall write = OnlyWrite();
  EXPECT_EQ(write.values[3], 10);
  EXPECT_EQ(write.values[6], 77);
  EXPECT_EQ(write.fingerprint, std::vector<LONG>(kTemplateValues, 0));
  EXPECT_EQ(rows_->current_, 2);
}

TEST_F(RewriteTest, NoRowsWritesAnEmptyFingerprint) {
  Outcome out = Rewrite(1, 2, u"5", rows_.Get());
  EXPECT_TRUE(out.result);
  ControlCall write = OnlyWrite();
  EXPECT_EQ(write.values, (std::vector<LONG>{2, 5, 1, 0, 1, 0, 0}));
  EXPECT_EQ(write.fingerprint, std::vector<LONG>(kTemplateValues, 0));
}

TEST_F(RewriteTest, RefusedWriteIsFalseWithEmptyMessage) {
  control().Answers(20, {}, ControlAnswer::Bool(false));
  Outcome out = Rewrite(1, 2, u"5", rows_.Get(), u"旧消息");
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "");
}

// Stored values and person numbers that cannot be written fail before any terminal call.
TEST_F(RewriteTest, BadInputMakesNoTerminalCall) {
  std::vector<BYTE> shortBlob(100, 1);
  std::vector<BYTE> wideGroup(2296, 0);
  wideGroup[1] = 0x80;
  struct Case {
    const char* what;
    std::u16string person;
    Variant fingerprint, enrolment, password;
    const char* failure;
  };
  std::vector<Case> cases;
  cases.push_back({"person 12a", u"12a", Bytes({}), Variant::I4(10), Variant::I4(1), "类型不匹配"});
  cases.push_back({"person empty", u"", Bytes({}), Variant::I4(10), Variant::I4(1), "类型不匹配"});
  cases.push_back({"person above 32767", u"32768", Bytes({}), Variant::I4(10), Variant::I4(1), "溢出"});
  cases.push_back({"no fingerprint value", u"5", Variant::Null(), Variant::I4(10), Variant::I4(1), "无效使用 Null"});
  cases.push_back({"no enrolment value", u"5", Bytes({}), Variant::Null(), Variant::I4(1), "无效使用 Null"});
  cases.push_back({"enrolment above 32767", u"5", Bytes({}), Variant::I4(40000), Variant::I4(1), "溢出"});
  cases.push_back({"password abc", u"5", Bytes({}), Variant::I4(10), Variant::Str(u"abc"), "类型不匹配"});
  cases.push_back({"password above 32767", u"5", Bytes({}), Variant::I4(10), Variant::I4(40000), "溢出"});
  cases.push_back({"short blob", u"5", Bytes(shortBlob), Variant::I4(0), Variant::Null(), "下标越界"});
  cases.push_back({"magnitude too wide", u"5", Bytes(wideGroup), Variant::I4(0), Variant::Null(), "溢出"});
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    control().calls.clear();
    rows_ = RecordingRowSet::Create();
    Row(std::move(c.fingerprint), std::move(c.enrolment), std::move(c.password));
    Outcome out = Rewrite(1, 2, c.person, rows_.Get(), u"旧消息");
    EXPECT_EQ(out.hr, S_OK);
    EXPECT_FALSE(out.result);
    EXPECT_EQ(Utf8(out.message), c.failure);
    EXPECT_TRUE(control().calls.empty());
  }
}

// Values that are no binary template are read through their text; blanks or no complete
// 16-bit unit leave the template empty.
TEST_F(RewriteTest, StoredValueForms) {
  struct Case {
    const char* what;
    Variant fingerprint, enrolment, password;
    LONG enrolmentWritten, passwordWritten;
  };
  std::vector<Case> cases;
  cases.push_back({"blank text", Variant::Str(u"    "), Variant::I4(10), Variant::Str(u"   "), 10, 0});
  cases.push_back({"one byte", Bytes({0x41}), Variant::I2(10), Variant::I2(-5), 10, -5});
  cases.push_back({"blank bytes", Bytes({0x20, 0x00, 0x20, 0x00, 0x41}), Variant::R8(10.5), Variant::Str(u"1,000"), 10, 1000});
  cases.push_back({"enrolment as text", Bytes({}), Variant::Str(u" 0 "), Variant::Str(u"&H7FFF"), 0, 32767});
  cases.push_back({"radix and sign forms", Bytes({}), Variant::Str(u"1e1"), Variant::Str(u" &HFFFF "), 10, -1});
  cases.push_back({"rounding halves to even", Bytes({}), Variant::Str(u"9.5"), Variant::Str(u"(2.5)"), 10, -2});
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    control().calls.clear();
    rows_ = RecordingRowSet::Create();
    Row(std::move(c.fingerprint), std::move(c.enrolment), std::move(c.password));
    Outcome out = Rewrite(1, 2, u"5", rows_.Get());
    ASSERT_TRUE(out.result) << Utf8(out.message);
    ControlCall write = OnlyWrite();
    EXPECT_EQ(write.values[3], c.enrolmentWritten);
    EXPECT_EQ(write.values[6], c.passwordWritten);
    EXPECT_EQ(write.fingerprint, std::vector<LONG>(kTemplateValues, 0));
  }
}

// A text value holding a template in its UTF-16LE bytes is decoded like the binary form.
TEST_F(RewriteTest, TextValueIsDecodedFromItsBytes) {
  TemplateBlob blob;
  FingerTemplate sample = SampleTemplate();
  ASSERT_EQ(EncodeTemplate(sample, &blob), S_OK);
  std::u16string text;
  for (std::size_t i = 0; i < blob.size(); i += 2) text.push_back(static_cast<char16_t>(blob[i] | (blob[i + 1] << 8)));
  Row(Variant::Str(text), Variant::I4(0), Variant::Null());
  Outcome out = Rewrite(1, 2, u"5", rows_.Get());
  ASSERT_TRUE(out.result) << Utf8(out.message);
  FingerTemplate expected = sample;
  expected.values[459] = 0;
  EXPECT_EQ(OnlyWrite().fingerprint, std::vector<LONG>(expected.values.begin(), expected.values.end()));
}

// The rewrite selects no port: it goes over the port the thread's link last selected.
TEST_F(RewriteTest, WritesOverThePortLastSelected) {
  ComPtr<_Collection> list = CreateCollection();
  ASSERT_TRUE(Download(2, 1, list.Get()).result);
  control().calls.clear();
  Outcome out = Rewrite(1, 2, u"5", rows_.Get());
  EXPECT_TRUE(out.result);
  EXPECT_TRUE(PortsPut(control()).empty());
  EXPECT_EQ(OnlyWrite().port, 2);
  EXPECT_EQ(control().CallsOf(4).at(0).port, 2);
}

TEST_F(RewriteTest, FirstOnAThreadWritesOverTheInitialPort) {
  SHORT port = -1;
  bool result = false;
  ComPtr<IMachine> machine = machine_;
  ComPtr<RecordingRowSet> rows = rows_;
  std::thread other([&] {
    Outcome out = Rewrite(9, 2, u"5", rows.Get());
    result = out.result;
    port = OnlyWrite().port;
  });
  other.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(port, ScriptedControl::kInitialPort);
}

TEST_F(RewriteTest, RowSetErrorIsTheFailureText) {
  Row(Bytes({}), Variant::I4(10), Variant::I4(1));
  rows_->failOn = "Value npassword";
  rows_->failDescription = u"找不到列 npassword";
  Outcome out = Rewrite(1, 2, u"5", rows_.Get());
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "找不到列 npassword");
  EXPECT_TRUE(control().calls.empty());
}
}  // namespace
