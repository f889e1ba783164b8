// The PostgreSQL row set beyond the shared contract: a read-only opening, a server that cannot
// be reached, and a row deleted by another session before the commit.
#include "tests/platform/ado/rowset_test_support.h"

#include "platform/ado/enrolment.h"

namespace {

class PostgresRowSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearErrorInfo();
    kind_.Prepare();
  }
  PostgresRowSetKind kind_;
};

TEST_F(PostgresRowSetTest, ReadOnlyOpeningReadsAndRefusesTheCommit) {
  {
    ComPtr<RowSet> rows = kind_.Open();
    ASSERT_EQ(AddEnrolmentRow(rows.Get(), {7, 0, 1, std::nullopt, Pattern(100, 3)}), S_OK);
  }
  ComPtr<RowSet> rows;
  ASSERT_EQ(OpenPostgresEnrolmentRowSet(kind_.url, 7, &rows, {.lockTimeout = std::chrono::milliseconds(500), .readOnly = true}),
            S_OK);
  EXPECT_EQ(Count(rows.Get()), 1);
  ASSERT_EQ(Put(rows.Get(), u"imachineno", Variant::I4(9)), S_OK);
  HRESULT hr = rows->Update();
  EXPECT_EQ(hr, ROWSET_E_READONLY);
  EXPECT_TEXT_HAS(Text(hr), u"read-only");
  EXPECT_EQ(rows->CancelUpdate(), S_OK);
}

TEST_F(PostgresRowSetTest, AnUnreachableServerIsNamed) {
  ComPtr<RowSet> rows;
  HRESULT hr = OpenPostgresEnrolmentRowSet("postgresql://vanto@127.0.0.1:1/none", std::nullopt, &rows);
  EXPECT_EQ(hr, ROWSET_E_CANTOPEN);
  std::u16string text = Text(hr);
  EXPECT_TEXT_HAS(text, u"打开记录集失败");
  EXPECT_TEXT_HAS(text, u"127.0.0.1:1");
  EXPECT_FALSE(rows);
}

TEST_F(PostgresRowSetTest, ARowDeletedByAnotherSessionIsReported) {
  {
    ComPtr<RowSet> rows = kind_.Open();
    ASSERT_EQ(AddEnrolmentRow(rows.Get(), {8, 0, 1, std::nullopt, Pattern(10, 1)}), S_OK);
  }
  ComPtr<RowSet> rows = kind_.Open();
  std::string database = kind_.url.substr(kind_.url.find('/', kind_.url.find("://") + 3) + 1);
  database = database.substr(0, database.find('?'));
  vanto::testing::PgAdmin("DELETE FROM enrolment", database);
  ASSERT_EQ(Put(rows.Get(), u"imachineno", Variant::I4(2)), S_OK);
  HRESULT hr = rows->Update();
  EXPECT_EQ(hr, ROWSET_E_ROWCHANGED);
  EXPECT_TEXT_HAS(Text(hr), u"已被其他连接删除");
  rows->CancelUpdate();
}

}  // namespace
