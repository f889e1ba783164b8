// Enrolment backup through IMachine against the scripted control and a recording row set.
#include <climits>

#include "codec/template_codec.h"
#include "tests/driver/driver_fixture.h"
#include "tests/support/recording_rowset.h"

namespace {
FingerTemplate SampleTemplate() {
  FingerTemplate t;
  for (std::size_t i = 0; i < kTemplateValues; ++i) t.values[i] = static_cast<LONG>(i * 7919) * (i % 2 ? -1 : 1);
  return t;
}

std::vector<BYTE> BytesOf(const Variant& value) {
  EXPECT_EQ(value.Type(), VT_ARRAY | VT_UI1);
  if (value.Type() != (VT_ARRAY | VT_UI1)) return {};
  SAFEARRAY* array = value.Raw().parray;
  const BYTE* data = static_cast<const BYTE*>(array->pvData);
  return std::vector<BYTE>(data, data + array->rgsabound[0].cElements);
}

class BackupTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    rows_ = RecordingRowSet::Create();
  }
  void ReleaseTestObjects() override { rows_.Reset(); }

  // The terminal answers the read for enrolment `enrolment` (0 or 10) and writes `fingerprint`
  // and `password` through the references; other reads are refused.
  void TerminalHolds(LONG enrolment, FingerTemplate fingerprint, LONG password) {
    control().On(19, [=](CallArgs& args) {
      if (args.Value(3) != enrolment) return ControlAnswer::Bool(false);
      LONG* buffer = args.Buffer(5);
      for (std::size_t i = 0; i < kTemplateValues; ++i) buffer[i] = fingerprint.values[i];
      args.Ref(6) = password;
      return ControlAnswer::Bool(true);
    });
  }

  ComPtr<RecordingRowSet> rows_;
};

TEST_F(BackupTest, FingerprintReadFillsANewRow) {
  FingerTemplate sample = SampleTemplate();
  TerminalHolds(0, sample, 555);
  Outcome out = Backup(2, 6, u"40000", rows_.Get(), u"主机的消息");
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_TRUE(out.result);
  EXPECT_EQ(Utf8(out.message), "主机的消息");

  auto reads = control().CallsOf(19);
  ASSERT_EQ(reads.size(), 1u);
  std::vector<VARTYPE> kinds(7, kRefLong);
  EXPECT_EQ(reads[0].kinds, kinds);
  EXPECT_EQ(reads[0].values, (std::vector<LONG>{6, 40000, 0, 0, 0, 0, 0}));
  EXPECT_EQ(PortsPut(control()), (std::vector<SHORT>{2}));

  EXPECT_EQ(rows_->log, (std::vector<std::string>{"RecordCount", "AddNew", "Collect cPsn_Num", "Collect iFingerprintNO",
                                                  "Collect imachineno", "AppendChunk bFingerprint"}));
  ASSERT_EQ(rows_->rows.size(), 1u);
  EXPECT_EQ(rows_->At(0, u"cPsn_Num").Raw().lVal, 40000);
  EXPECT_EQ(rows_->At(0, u"iFingerprintNO").Raw().lVal, 0);
  EXPECT_EQ(rows_->At(0, u"imachineno").Raw().lVal, 6);
  EXPECT_EQ(rows_->At(0, u"npassword").Type(), VT_EMPTY) << "a fingerprint row leaves the password alone";
  TemplateBlob expected;
  ASSERT_EQ(EncodeTemplate(sample, &expected), S_OK);
  EXPECT_EQ(BytesOf(rows_->At(0, u"bFingerprint")), std::vector<BYTE>(expected.begin(), expected.end()));
  EXPECT_FALSE(rows_->updated);
}

TEST_F(BackupTest, PasswordReadAfterTheFingerprintIsRefused) {
  control().tracePumps = true;
  TerminalHolds(10, FingerTemplate{}, 4321);
  Outcome out = Backup(1, 2, u"77", rows_.Get());
  EXPECT_TRUE(out.result);
  EXPECT_EQ(control().log, (std::vector<std::string>{"put 1 = 1", "pump", "call 19", "pump", "call 19"}));
  auto reads = control().CallsOf(19);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].values[3], 0);
  EXPECT_EQ(reads[1].values[3], 10);
  EXPECT_EQ(reads[0].targets, reads[1].targets) << "the retry passes the same variables";
  EXPECT_EQ(rows_->log, (std::vector<std::string>{"RecordCount", "AddNew", "Collect cPsn_Num", "Collect iFingerprintNO",
                                                  "Collect imachineno", "Collect npassword"}));
  EXPECT_EQ(rows_->At(0, u"iFingerprintNO").Raw().lVal, 10);
  EXPECT_EQ(rows_->At(0, u"npassword").Raw().lVal, 4321);
  EXPECT_EQ(rows_->At(0, u"bFingerprint").Type(), VT_EMPTY);
}

TEST_F(BackupTest, BothReadsRefusedLeaveTheRowSetUntouched) {
  Outcome out = Backup(1, 2, u"77", rows_.Get(), u"主机的消息");
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "主机的消息");
  EXPECT_EQ(control().CallsOf(19).size(), 2u);
  EXPECT_TRUE(rows_->log.empty());
}

TEST_F(BackupTest, ExistingRowIsOverwritten) {
  rows_->AddRow({{u"cPsn_Num", Variant::I4(1)}, {u"iFingerprintNO", Variant::I4(0)}, {u"npassword", Variant::I4(9)}});
  rows_->AddRow({{u"cPsn_Num", Variant::I4(2)}});
  rows_->current_ = 1;
  TerminalHolds(10, FingerTemplate{}, 8);
  Outcome out = Backup(1, 3, u"5", rows_.Get());
  EXPECT_TRUE(out.result);
  EXPECT_EQ(rows_->rows.size(), 2u);
  EXPECT_EQ(rows_->log.front(), "RecordCount");
  EXPECT_EQ(std::count(rows_->log.begin(), rows_->log.end(), "AddNew"), 0);
  EXPECT_EQ(rows_->At(0, u"cPsn_Num").Raw().lVal, 1);
  EXPECT_EQ(rows_->At(1, u"cPsn_Num").Raw().lVal, 5);
  EXPECT_EQ(rows_->At(1, u"npassword").Raw().lVal, 8);
}

// Each call starts from zeroed variables and a zeroed template, whatever the last call got.
TEST_F(BackupTest, FreshZeroedVariablesEveryCall) {
  control().On(19, [](CallArgs& args) {
    for (std::size_t i : {0u, 1u, 2u, 3u, 4u, 6u}) args.Ref(i) += 100;
    LONG* buffer = args.Buffer(5);
    for (std::size_t i = 0; i < kTemplateValues; ++i) buffer[i] = 3;
    return ControlAnswer::Bool(false);
  });
  for (int call = 0; call < 2; ++call) {
    Outcome out = Backup(1, 4, u"12", rows_.Get());
    EXPECT_FALSE(out.result);
  }
  auto reads = control().CallsOf(19);
  ASSERT_EQ(reads.size(), 4u);
  for (int first : {0, 2}) {
    EXPECT_EQ(reads[first].values, (std::vector<LONG>{4, 12, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reads[first].fingerprint, std::vector<LONG>(kTemplateValues, 0));
    // The retry sees what the first read wrote, with the enrolment number set to 10.
    EXPECT_EQ(reads[first + 1].values, (std::vector<LONG>{104, 112, 100, 10, 100, 3, 100}));
  }
}

// The control may overwrite the variables; later steps use what it left.
TEST_F(BackupTest, LaterStepsUseWhatTheControlWrote) {
  control().On(19, [](CallArgs& args) {
    args.Ref(0) = 21;
    args.Ref(1) = 31;
    args.Ref(3) = 10;
    args.Ref(6) = 41;
    return ControlAnswer::Bool(true);
  });
  Outcome out = Backup(1, 4, u"12", rows_.Get());
  EXPECT_TRUE(out.result);
  EXPECT_EQ(rows_->At(0, u"cPsn_Num").Raw().lVal, 31);
  EXPECT_EQ(rows_->At(0, u"imachineno").Raw().lVal, 21);
  EXPECT_EQ(rows_->At(0, u"iFingerprintNO").Raw().lVal, 10);
  EXPECT_EQ(rows_->At(0, u"npassword").Raw().lVal, 41);
}

// The person number is a Long by the runtime's text rules; a bad one fails after the port is
// selected and before any read.
TEST_F(BackupTest, PersonNumberForms) {
  struct Case {
    std::u16string text;
    bool ok;
    LONG person;
    const char* failure;
  } cases[] = {
      {u"40000", true, 40000, ""},        {u" 12 ", true, 12, ""},          {u"13.5", true, 14, ""},
      {u"12.5", true, 12, ""},            {u"-7", true, -7, ""},            {u"1,234", true, 1234, ""},
      {u"&H10", true, 16, ""},            {u"1e3", true, 1000, ""},         {u"2147483647", true, 2147483647, ""},
      {u"(5)", true, -5, ""},             {u"5-", true, -5, ""},            {u"&O17", true, 15, ""},
      {u"\t+8\r\n", true, 8, ""},          {u"&HFFFFFFFF", true, -1, ""},    {u"0x10", false, 0, "类型不匹配"},
      {u"１２", false, 0, "类型不匹配"},     {u"1 2", false, 0, "类型不匹配"},  {u"\xD800" u"1", false, 0, "类型不匹配"},
      {u"12a", false, 0, "类型不匹配"},    {u"", false, 0, "类型不匹配"},     {u"2147483648", false, 0, "溢出"},
      {std::u16string(u"1\0" u"2", 3), false, 0, "类型不匹配"},
  };
  TerminalHolds(0, FingerTemplate{}, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8(c.text));
    control().calls.clear();
    control().log.clear();
    Outcome out = Backup(3, 1, c.text, rows_.Get(), u"主机的消息");
    EXPECT_EQ(out.result, c.ok);
    if (c.ok) {
      ASSERT_EQ(control().CallsOf(19).size(), 1u);
      EXPECT_EQ(control().CallsOf(19)[0].values[1], c.person);
      EXPECT_EQ(Utf8(out.message), "主机的消息");
    } else {
      EXPECT_EQ(Utf8(out.message), c.failure);
      EXPECT_EQ(control().log, (std::vector<std::string>{"put 1 = 3"}));
    }
  }
}

TEST_F(BackupTest, RowSetErrorKeepsWhatWasWritten) {
  TerminalHolds(0, SampleTemplate(), 0);
  rows_->failOn = "Collect imachineno";
  rows_->failDescription = u"列 imachineno 不可写";
  Outcome out = Backup(1, 1, u"5", rows_.Get());
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "列 imachineno 不可写");
  ASSERT_EQ(rows_->rows.size(), 1u);
  EXPECT_EQ(rows_->At(0, u"cPsn_Num").Raw().lVal, 5);
  EXPECT_EQ(rows_->log.back(), "Collect imachineno");
}

TEST_F(BackupTest, TemplateThatCannotBeStoredFails) {
  FingerTemplate bad;
  bad.values[100] = INT_MIN;
  TerminalHolds(0, bad, 0);
  Outcome out = Backup(1, 1, u"5", rows_.Get());
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "溢出");
  EXPECT_EQ(rows_->log.back(), "Collect imachineno");
  EXPECT_EQ(rows_->At(0, u"bFingerprint").Type(), VT_EMPTY);
}
}  // namespace
