// What only the SQLite row set has: a database file shared with other connections, locks,
// transactions and files that cannot be opened or written.
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/ado/enrolment.h"
#include "tests/platform/ado/rowset_test_support.h"

namespace {

// A second connection to the same file, as another program would hold it.
class OtherConnection {
 public:
  explicit OtherConnection(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
  }
  ~OtherConnection() { sqlite3_close(db_); }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
  }
  long long Scalar(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
    long long value = -1;
    if (sqlite3_step(statement) == SQLITE_ROW) value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
  }

 private:
  sqlite3* db_ = nullptr;
};

class SqliteRowSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearErrorInfo();  // an error object left by an earlier test is no leak of this one
    liveAtStart_ = LiveObjectCount().load();
    ASSERT_EQ(CreateEnrolmentSchema(path_), S_OK);
  }
  void TearDown() override {
    ClearErrorInfo();
    EXPECT_EQ(LiveObjectCount().load(), liveAtStart_) << "objects left alive";
  }
  ComPtr<RowSet> Open(std::optional<LONG> person = std::nullopt, SqliteOptions options = {}) {
    ComPtr<RowSet> rows;
    HRESULT hr = OpenEnrolmentRowSet(path_, person, &rows, options);
    EXPECT_EQ(hr, S_OK) << Narrow(Text(hr));
    return rows;
  }
  void AddPasswordRow(RowSet* rows, LONG person) {
    ASSERT_EQ(rows->AddNew(), S_OK);
    ASSERT_EQ(Put(rows, u"cPsn_Num", Variant::I4(person)), S_OK);
    ASSERT_EQ(Put(rows, u"iFingerprintNO", Variant::I4(10)), S_OK);
    ASSERT_EQ(Put(rows, u"npassword", Variant::I4(123)), S_OK);
  }

  TempDirectory directory_;
  std::string path_ = directory_.File("site.db");
  long liveAtStart_ = 0;
};

TEST_F(SqliteRowSetTest, RowIsStoredOnlyWhenUpdateCommitsIt) {
  OtherConnection other(path_);
  ComPtr<RowSet> rows = Open();
  AddPasswordRow(rows.Get(), 42);
  ASSERT_EQ(Append(rows.Get(), u"bFingerprint", Pattern(2296, 3)), S_OK);
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM enrolment"), 0);
  ASSERT_EQ(rows->Update(), S_OK);
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM enrolment"), 1);
  EXPECT_EQ(other.Scalar("SELECT npassword FROM enrolment WHERE cPsn_Num = 42"), 123);
  EXPECT_EQ(other.Scalar("SELECT length(bFingerprint) FROM enrolment"), 2296);

  // A later edit of the same row is an update of that row, not a second row.
  ASSERT_EQ(Put(rows.Get(), u"npassword", Variant::I4(5)), S_OK);
  EXPECT_EQ(other.Scalar("SELECT npassword FROM enrolment"), 123);
  ASSERT_EQ(rows->Update(), S_OK);
  EXPECT_EQ(other.Scalar("SELECT npassword FROM enrolment"), 5);
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM enrolment"), 1);
}

TEST_F(SqliteRowSetTest, UncommittedRowIsNotStored) {
  {
    ComPtr<RowSet> rows = Open();
    AddPasswordRow(rows.Get(), 42);
  }  // released with the row still pending
  {
    ComPtr<RowSet> rows = Open();
    AddPasswordRow(rows.Get(), 43);
    ASSERT_EQ(rows->CancelUpdate(), S_OK);
    ASSERT_EQ(rows->Update(), S_OK);
  }
  OtherConnection other(path_);
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM enrolment"), 0);
}

TEST_F(SqliteRowSetTest, EmptyBlobStaysEmptyAndNoValueStaysNull) {
  {
    ComPtr<RowSet> rows = Open();
    AddPasswordRow(rows.Get(), 1);
    ASSERT_EQ(Append(rows.Get(), u"bFingerprint", {}), S_OK);
    ASSERT_EQ(rows->Update(), S_OK);
    AddPasswordRow(rows.Get(), 2);
    ASSERT_EQ(rows->Update(), S_OK);
  }
  OtherConnection other(path_);
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM enrolment WHERE cPsn_Num = 1 AND typeof(bFingerprint) = 'blob'"), 1);
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM enrolment WHERE cPsn_Num = 2 AND bFingerprint IS NULL"), 1);
}

TEST_F(SqliteRowSetTest, OpensOnOnePersonsRows) {
  {
    ComPtr<RowSet> rows = Open();
    for (LONG person : {1, 2, 1, 3}) {
      AddPasswordRow(rows.Get(), person);
      ASSERT_EQ(Put(rows.Get(), u"imachineno", Variant::I4(Count(rows.Get()))), S_OK);
      ASSERT_EQ(rows->Update(), S_OK);
    }
  }
  ComPtr<RowSet> one = Open(1);
  std::vector<EnrolmentRow> seen;
  ASSERT_EQ(ReadEnrolmentRows(one.Get(), &seen), S_OK);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].machineNumber, 1);
  EXPECT_EQ(seen[1].machineNumber, 3);
  ComPtr<RowSet> nobody = Open(99);
  EXPECT_EQ(Count(nobody.Get()), 0);
  // A row added to a filtered set is stored as written, whatever the filter.
  AddPasswordRow(nobody.Get(), 5);
  ASSERT_EQ(nobody->Update(), S_OK);
  EXPECT_EQ(Count(Open(5).Get()), 1);
}

TEST_F(SqliteRowSetTest, LockedDatabaseFailsAfterTheBoundedWaitAndKeepsThePendingRow) {
  ComPtr<RowSet> rows = Open(std::nullopt, SqliteOptions{std::chrono::milliseconds(50)});
  AddPasswordRow(rows.Get(), 42);
  OtherConnection other(path_);
  other.Exec("BEGIN EXCLUSIVE");
  HRESULT hr = rows->Update();
  EXPECT_EQ(hr, ROWSET_E_LOCKED);
  std::u16string text = Text(hr);
  EXPECT_TEXT_HAS(text, u"提交新行失败");
  EXPECT_TEXT_HAS(text, u"锁定");
  EXPECT_TEXT_HAS(text, u"50 毫秒");
  EXPECT_TEXT_HAS(text, ToUtf16(path_));
  // Opening waits as long, then fails the same way.
  ComPtr<RowSet> second;
  EXPECT_EQ(OpenEnrolmentRowSet(path_, std::nullopt, &second, SqliteOptions{std::chrono::milliseconds(20)}),
            ROWSET_E_LOCKED);
  EXPECT_TEXT_HAS(Text(E_FAIL), u"打开记录集失败");
  EXPECT_FALSE(second);
  other.Exec("COMMIT");

  // Nothing was lost: the row is still pending and commits once the lock is gone.
  EXPECT_EQ(Count(rows.Get()), 1);
  EXPECT_EQ(Get(rows.Get(), u"cPsn_Num").Raw().lVal, 42);
  ASSERT_EQ(rows->Update(), S_OK);
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM enrolment"), 1);
}

TEST_F(SqliteRowSetTest, RowDeletedByAnotherConnectionIsReported) {
  {
    ComPtr<RowSet> rows = Open();
    AddPasswordRow(rows.Get(), 42);
    ASSERT_EQ(rows->Update(), S_OK);
  }
  ComPtr<RowSet> rows = Open();
  OtherConnection other(path_);
  other.Exec("DELETE FROM enrolment");
  ASSERT_EQ(Put(rows.Get(), u"npassword", Variant::I4(9)), S_OK);
  HRESULT hr = rows->Update();
  EXPECT_EQ(hr, ROWSET_E_ROWCHANGED);
  EXPECT_TEXT_HAS(Text(hr), u"已被其他连接删除");
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM enrolment"), 0);
  EXPECT_EQ(rows->CancelUpdate(), S_OK);
}

TEST_F(SqliteRowSetTest, FilesThatCannotBeOpenedAreNamed) {
  struct Case {
    std::string path;
    HRESULT code;
    const char16_t* reason;
  };
  const std::string garbage = directory_.File("garbage.db");
  std::ofstream(garbage) << "this is not a database file, just some text that is long enough to check";
  const Case cases[] = {
      {directory_.File("missing.db"), ROWSET_E_CANTOPEN, u"无法打开数据库文件"},
      {directory_.File("no/such/dir/x.db"), ROWSET_E_CANTOPEN, u"无法打开数据库文件"},
      {garbage, ROWSET_E_CANTOPEN, u"不是 SQLite 数据库"},
      {"", ROWSET_E_CANTOPEN, u"没有给出数据库文件名"},
  };
  for (const auto& c : cases) {
    ComPtr<RowSet> rows;
    HRESULT hr = OpenEnrolmentRowSet(c.path, std::nullopt, &rows);
    EXPECT_EQ(hr, c.code) << c.path;
    std::u16string text = Text(hr);
    EXPECT_TEXT_HAS(text, c.reason);
    EXPECT_TEXT_HAS(text, ToUtf16(c.path));
    EXPECT_FALSE(rows);
  }
  EXPECT_FALSE(std::filesystem::exists(directory_.File("missing.db"))) << "opening never creates the file";
}

TEST_F(SqliteRowSetTest, MissingTableIsNamed) {
  SqliteRowSetQuery query;
  query.path = path_;
  query.table = "people";
  ComPtr<RowSet> rows;
  HRESULT hr = OpenSqliteRowSet(query, &rows);
  EXPECT_EQ(hr, ROWSET_E_DATABASE);
  EXPECT_TEXT_HAS(Text(hr), u"people");
}

TEST_F(SqliteRowSetTest, ReadOnlyDatabaseReadsButDoesNotWrite) {
  {
    ComPtr<RowSet> rows = Open();
    AddPasswordRow(rows.Get(), 42);
    ASSERT_EQ(rows->Update(), S_OK);
  }
  SqliteOptions readOnly;
  readOnly.readOnly = true;
  ComPtr<RowSet> rows = Open(std::nullopt, readOnly);
  EXPECT_EQ(Get(rows.Get(), u"npassword").Raw().lVal, 123);
  ASSERT_EQ(Put(rows.Get(), u"npassword", Variant::I4(1)), S_OK);
  HRESULT hr = rows->Update();
  EXPECT_EQ(hr, ROWSET_E_READONLY);
  EXPECT_TEXT_HAS(Text(hr), u"只读");
  EXPECT_EQ(rows->CancelUpdate(), S_OK);
  EXPECT_EQ(Get(rows.Get(), u"npassword").Raw().lVal, 123);
}

TEST_F(SqliteRowSetTest, ReadOnlyFileRefusesTheCommit) {
  if (::geteuid() == 0) GTEST_SKIP() << "file permissions do not bind the superuser";
  ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
  ComPtr<RowSet> rows = Open();
  AddPasswordRow(rows.Get(), 42);
  HRESULT hr = rows->Update();
  ::chmod(path_.c_str(), 0644);
  EXPECT_EQ(hr, ROWSET_E_READONLY);
  EXPECT_TEXT_HAS(Text(hr), u"只读");
}

TEST_F(SqliteRowSetTest, StoredValuesAreReadAsTheColumnsDeclareOrTheOpenFails) {
  OtherConnection other(path_);
  other.Exec("INSERT INTO enrolment (cPsn_Num, npassword, bFingerprint) VALUES (' 7 ', 2.5, 'AB')");
  {
    ComPtr<RowSet> rows = Open();
    EXPECT_EQ(Get(rows.Get(), u"cPsn_Num").Raw().lVal, 7);
    EXPECT_EQ(Get(rows.Get(), u"npassword").Raw().lVal, 2);
    EXPECT_EQ(BytesOf(Get(rows.Get(), u"bFingerprint")), (std::vector<BYTE>{'A', 'B'}));
  }
  other.Exec("INSERT INTO enrolment (cPsn_Num, npassword) VALUES (8, 99999999999)");
  ComPtr<RowSet> rows;
  HRESULT hr = OpenEnrolmentRowSet(path_, std::nullopt, &rows);
  EXPECT_EQ(hr, DISP_E_OVERFLOW);
  std::u16string text = Text(hr);
  EXPECT_TEXT_HAS(text, u"“npassword”");
  EXPECT_TEXT_HAS(text, u"rowid 为 2");
  EXPECT_TEXT_HAS(text, u"99999999999");
  EXPECT_FALSE(rows);
}

TEST_F(SqliteRowSetTest, SchemaCreationIsRepeatableAndCreatesTheFile) {
  EXPECT_EQ(CreateEnrolmentSchema(path_), S_OK);
  const std::string fresh = directory_.File("fresh.db");
  ASSERT_EQ(CreateEnrolmentSchema(fresh), S_OK);
  ComPtr<RowSet> rows;
  ASSERT_EQ(OpenEnrolmentRowSet(fresh, std::nullopt, &rows), S_OK);
  EXPECT_EQ(Count(rows.Get()), 0);
  HRESULT hr = CreateEnrolmentSchema(directory_.File("no/such/dir/x.db"));
  EXPECT_EQ(hr, ROWSET_E_CANTOPEN);
  EXPECT_TEXT_HAS(Text(hr), u"创建登记表失败");
}

}  // namespace
