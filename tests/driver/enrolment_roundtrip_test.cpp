// Backup and rewrite against the host's in-memory enrolment row set: what one terminal gives
// is what the other receives, through the stored 2296-byte form.
#include "codec/template_codec.h"
#include "platform/ado/enrolment.h"
#include "platform/ado/memory_rowset.h"
#include "tests/driver/driver_fixture.h"

namespace {
class EnrolmentRoundTripTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    rows_ = CreateEnrolmentRowSet();
    ASSERT_TRUE(rows_);
  }
  void ReleaseTestObjects() override { rows_.Reset(); }

  void TerminalGives(LONG enrolment, const FingerTemplate& fingerprint, LONG password) {
    control().On(19, [=](CallArgs& args) {
      if (args.Value(3) != enrolment) return ControlAnswer::Bool(false);
      std::copy(fingerprint.values.begin(), fingerprint.values.end(), args.Buffer(5));
      args.Ref(6) = password;
      return ControlAnswer::Bool(true);
    });
    control().Answers(20, {}, ControlAnswer::Bool(true));
  }

  ComPtr<RowSet> rows_;
};

TEST_F(EnrolmentRoundTripTest, FingerprintTravelsFromOneTerminalToAnother) {
  FingerTemplate original;
  for (std::size_t i = 0; i < kTemplateValues; ++i) original.values[i] = static_cast<LONG>(i * i) - 100000;
  TerminalGives(0, original, 0);

  Outcome back = Backup(1, 3, u"1024", rows_.Get());
  ASSERT_TRUE(back.result) << Utf8(back.message);
  ASSERT_EQ(rows_->Update(), S_OK);  // committing is the host's business

  std::vector<EnrolmentRow> stored;
  ASSERT_EQ(ReadEnrolmentRows(rows_.Get(), &stored), S_OK);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].personNumber, 1024);
  EXPECT_EQ(stored[0].enrolmentNumber, 0);
  EXPECT_EQ(stored[0].machineNumber, 3);
  EXPECT_FALSE(stored[0].password.has_value());
  ASSERT_TRUE(stored[0].fingerprint.has_value());
  EXPECT_EQ(stored[0].fingerprint->size(), kTemplateBlobBytes);

  Outcome write = Rewrite(1, 8, u"1024", rows_.Get());
  ASSERT_TRUE(write.result) << Utf8(write.message);
  auto writes = control().CallsOf(20);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(std::vector<LONG>(writes[0].values.begin(), writes[0].values.begin() + 5),
            (std::vector<LONG>{8, 1024, 1, 0, 1}));
  FingerTemplate expected = original;
  expected.values[459] = 0;  // not carried by the stored form
  EXPECT_EQ(writes[0].fingerprint, std::vector<LONG>(expected.values.begin(), expected.values.end()));
  VARIANT_BOOL atEnd = VARIANT_FALSE;
  EXPECT_EQ(rows_->get_EOF(&atEnd), S_OK);
  EXPECT_EQ(atEnd, VARIANT_TRUE);
}

// A password backup leaves bFingerprint without a value, and the rewrite reads that column as
// a value it must have: such a row is refused before the terminal is contacted.
TEST_F(EnrolmentRoundTripTest, PasswordRowFromABackupHasNoTemplateValue) {
  TerminalGives(10, FingerTemplate{}, 40000);
  ASSERT_TRUE(Backup(1, 3, u"7", rows_.Get()).result);
  ASSERT_EQ(rows_->Update(), S_OK);
  control().calls.clear();
  Outcome write = Rewrite(1, 3, u"7", rows_.Get());
  EXPECT_FALSE(write.result);
  EXPECT_EQ(Utf8(write.message), "无效使用 Null");
  EXPECT_TRUE(control().calls.empty());
}

TEST_F(EnrolmentRoundTripTest, RefusedBackupLeavesTheRowSetEmpty) {
  for (std::u16string person : {u"12a", u"55"}) {
    Outcome back = Backup(1, 3, person, rows_.Get(), u"主机的消息");
    EXPECT_FALSE(back.result);
    LONG count = -1;
    EXPECT_EQ(rows_->get_RecordCount(&count), S_OK);
    EXPECT_EQ(count, 0);
  }
}
}  // namespace
