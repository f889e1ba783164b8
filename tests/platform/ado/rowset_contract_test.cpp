// The row-set contract, run against every row set: in memory, over SQLite and over PostgreSQL,
// each engine's opened by itself and through the database handle.
#include <limits>

#include "platform/ado/enrolment.h"
#include "tests/platform/ado/rowset_test_support.h"

namespace {

template <class Kind>
class RowSetContract : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearErrorInfo();  // an error object left by an earlier test is no leak of this one
    liveAtStart_ = LiveObjectCount().load();
    kind_.emplace();
    kind_->Prepare();
  }
  void TearDown() override {
    kind_.reset();
    ClearErrorInfo();
    EXPECT_EQ(LiveObjectCount().load(), liveAtStart_) << "objects left alive";
  }
  ComPtr<RowSet> Open() { return kind_->Open(); }

  // Commits one row per entry through AddNew/put/Update.
  void Store(const std::vector<EnrolmentRow>& rows) {
    ComPtr<RowSet> set = Open();
    for (const auto& row : rows) ASSERT_EQ(AddEnrolmentRow(set.Get(), row), S_OK) << Narrow(Text(E_FAIL));
  }
  std::vector<EnrolmentRow> Stored() {
    ComPtr<RowSet> set = Open();
    std::vector<EnrolmentRow> rows;
    EXPECT_EQ(ReadEnrolmentRows(set.Get(), &rows), S_OK);
    return rows;
  }

  std::optional<Kind> kind_;
  long liveAtStart_ = 0;
};

using Kinds = ::testing::Types<MemoryRowSetKind, SqliteRowSetKind, PostgresRowSetKind, SqliteHandleRowSetKind,
                               PostgresHandleRowSetKind>;
class KindNames {
 public:
  template <class T>
  static std::string GetName(int) {
    if (std::is_same_v<T, MemoryRowSetKind>) return "Memory";
    if (std::is_same_v<T, SqliteRowSetKind>) return "Sqlite";
    if (std::is_same_v<T, PostgresRowSetKind>) return "Postgres";
    if (std::is_same_v<T, SqliteHandleRowSetKind>) return "SqliteHandle";
    return "PostgresHandle";
  }
};
TYPED_TEST_SUITE(RowSetContract, Kinds, KindNames);

const EnrolmentRow kFingerprintRow{1001, 0, 3, std::nullopt, Pattern(2296, 1)};
const EnrolmentRow kPasswordRow{1001, 10, 3, 4321, std::nullopt};

TYPED_TEST(RowSetContract, EmptySetHasNoCurrentRow) {
  ComPtr<RowSet> rows = this->Open();
  EXPECT_EQ(Count(rows.Get()), 0);
  ASSERT_EQ(rows->MoveFirst(), S_OK);  // moving to the start of an empty set is no failure
  EXPECT_TRUE(AtEnd(rows.Get()));

  HRESULT hr = rows->MoveNext();
  EXPECT_EQ(hr, ROWSET_E_NOCURRENTROW);
  EXPECT_TEXT_HAS(Text(hr), u"MoveNext");

  Variant value;
  hr = rows->get_Value(Bstr(u"npassword").Get(), value.Put());
  EXPECT_EQ(hr, ROWSET_E_NOCURRENTROW);
  EXPECT_TEXT_HAS(Text(hr), u"“npassword”");
  hr = Put(rows.Get(), u"cPsn_Num", Variant::I4(1));
  EXPECT_EQ(hr, ROWSET_E_NOCURRENTROW);
  EXPECT_TEXT_HAS(Text(hr), u"“cPsn_Num”");
  hr = Append(rows.Get(), u"bFingerprint", {1, 2});
  EXPECT_EQ(hr, ROWSET_E_NOCURRENTROW);
  EXPECT_TEXT_HAS(Text(hr), u"没有当前行");
  EXPECT_EQ(rows->Update(), S_OK);  // nothing to commit
  EXPECT_EQ(rows->CancelUpdate(), S_OK);
}

TYPED_TEST(RowSetContract, AddedRowReadsBackTypedAndCommits) {
  {
    ComPtr<RowSet> rows = this->Open();
    ASSERT_EQ(rows->AddNew(), S_OK);
    EXPECT_EQ(Count(rows.Get()), 1);
    EXPECT_FALSE(AtEnd(rows.Get()));
    for (const char16_t* column : {u"cPsn_Num", u"iFingerprintNO", u"imachineno", u"npassword", u"bFingerprint"})
      EXPECT_EQ(Get(rows.Get(), column).Type(), VT_NULL) << Narrow(column);

    ASSERT_EQ(Put(rows.Get(), u"cPsn_Num", Variant::I4(70000)), S_OK);
    ASSERT_EQ(Put(rows.Get(), u"iFingerprintNO", Variant::I2(0)), S_OK);
    ASSERT_EQ(Put(rows.Get(), u"imachineno", Variant::I4(-1)), S_OK);
    ASSERT_EQ(Append(rows.Get(), u"bFingerprint", Pattern(2296, 9)), S_OK);

    Variant person = Get(rows.Get(), u"cPsn_Num");
    ASSERT_EQ(person.Type(), VT_I4);
    EXPECT_EQ(person.Raw().lVal, 70000);
    Variant enrolment = Get(rows.Get(), u"iFingerprintNO");
    ASSERT_EQ(enrolment.Type(), VT_I4);  // an Integer written reads back as a Long
    EXPECT_EQ(enrolment.Raw().lVal, 0);
    Variant blob = Get(rows.Get(), u"bFingerprint");
    ASSERT_EQ(blob.Type(), VT_ARRAY | VT_UI1);
    EXPECT_EQ(BytesOf(blob), Pattern(2296, 9));
    EXPECT_EQ(Get(rows.Get(), u"npassword").Type(), VT_NULL);
    ASSERT_EQ(rows->Update(), S_OK);
    EXPECT_EQ(Count(rows.Get()), 1);
    EXPECT_FALSE(AtEnd(rows.Get()));  // the committed row stays current
  }
  EXPECT_EQ(this->Stored(), (std::vector<EnrolmentRow>{{70000, 0, -1, std::nullopt, Pattern(2296, 9)}}));
}

TYPED_TEST(RowSetContract, ColumnsByNameWithoutCaseOrByPosition) {
  ComPtr<RowSet> rows = this->Open();
  ASSERT_EQ(rows->AddNew(), S_OK);
  ASSERT_EQ(Put(rows.Get(), u"CPSN_NUM", Variant::I4(5)), S_OK);
  ASSERT_EQ(Append(rows.Get(), u"BFINGERPRINT", {7}), S_OK);
  EXPECT_EQ(Get(rows.Get(), u"cpsn_num").Raw().lVal, 5);
  EXPECT_EQ(BytesOf(Get(rows.Get(), u"bfingerprint")), std::vector<BYTE>{7});

  // Collect by 0-based position, and through a by-reference name.
  ASSERT_EQ(rows->put_Collect(Variant::I4(3).Raw(), Variant::I4(99).Raw()), S_OK);
  Variant value;
  ASSERT_EQ(rows->get_Collect(Variant::I2(3).Raw(), value.Put()), S_OK);
  EXPECT_EQ(value.Raw().lVal, 99);
  Bstr name(u"NPassword");
  BSTR raw = name.Get();
  VARIANT byName;
  VariantInit(&byName);
  byName.vt = VT_BYREF | VT_BSTR;
  byName.pbstrVal = &raw;
  ASSERT_EQ(rows->get_Collect(byName, value.Put()), S_OK);
  EXPECT_EQ(value.Raw().lVal, 99);
  EXPECT_EQ(rows->CancelUpdate(), S_OK);
}

TYPED_TEST(RowSetContract, UnknownColumnIsNamed) {
  ComPtr<RowSet> rows = this->Open();
  ASSERT_EQ(rows->AddNew(), S_OK);
  Variant value;
  const HRESULT failures[] = {
      Put(rows.Get(), u"xyz", Variant::I4(1)),
      rows->get_Value(Bstr(u"xyz").Get(), value.Put()),
      rows->get_Collect(Variant::Str(u"xyz").Raw(), value.Put()),
      Append(rows.Get(), u"xyz", {1}),
  };
  for (HRESULT hr : failures) {
    EXPECT_EQ(hr, ROWSET_E_COLUMNNOTFOUND);
  }
  HRESULT hr = Put(rows.Get(), u"xyz", Variant::I4(1));
  EXPECT_EQ(Text(hr), u"列“xyz”不存在");
  hr = rows->put_Collect(Variant::I4(5).Raw(), Variant::I4(1).Raw());
  EXPECT_EQ(hr, ROWSET_E_COLUMNNOTFOUND);
  EXPECT_TEXT_HAS(Text(hr), u"5");
  hr = rows->put_Collect(Variant::R8(1.5).Raw(), Variant::I4(1).Raw());
  EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(rows->CancelUpdate(), S_OK);
}

TYPED_TEST(RowSetContract, LongColumnsConvertWrittenValues) {
  struct Case {
    Variant value;
    LONG stored;
  } cases[] = {
      {Variant::Str(u"12"), 12},
      {Variant::Str(u" -40000 "), -40000},
      {Variant::R8(2.5), 2},  // halves to even
      {Variant::R8(3.5), 4},
      {Variant::Bool(true), -1},
      {Variant::UI1(200), 200},
      {Variant::I4(std::numeric_limits<LONG>::min()), std::numeric_limits<LONG>::min()},
  };
  ComPtr<RowSet> rows = this->Open();
  ASSERT_EQ(rows->AddNew(), S_OK);
  for (const auto& c : cases) {
    ASSERT_EQ(Put(rows.Get(), u"npassword", c.value), S_OK) << Narrow(Text(E_FAIL));
    Variant read = Get(rows.Get(), u"npassword");
    ASSERT_EQ(read.Type(), VT_I4);
    EXPECT_EQ(read.Raw().lVal, c.stored);
  }
  ASSERT_EQ(Put(rows.Get(), u"npassword", Variant::Null()), S_OK);
  EXPECT_EQ(Get(rows.Get(), u"npassword").Type(), VT_NULL);

  struct Failure {
    Variant value;
    HRESULT code;
    const char16_t* text;
  } failures[] = {
      {Variant::Str(u"abc"), DISP_E_TYPEMISMATCH, u"类型不匹配"},
      {Variant::Str(u""), DISP_E_TYPEMISMATCH, u"类型不匹配"},
      {Variant::R8(3e9), DISP_E_OVERFLOW, u"溢出"},
      {Variant::Str(u"2147483648"), DISP_E_OVERFLOW, u"溢出"},
      {MakeByteArray(std::vector<BYTE>{1, 2}), DISP_E_TYPEMISMATCH, u"类型不匹配"},
  };
  ASSERT_EQ(Put(rows.Get(), u"npassword", Variant::I4(77)), S_OK);
  for (const auto& f : failures) {
    HRESULT hr = Put(rows.Get(), u"npassword", f.value);
    EXPECT_EQ(hr, f.code);
    std::u16string text = Text(hr);
    EXPECT_TEXT_HAS(text, u"“npassword”");
    EXPECT_TEXT_HAS(text, f.text);
    EXPECT_EQ(Get(rows.Get(), u"npassword").Raw().lVal, 77) << "a failed write changes nothing";
  }
  EXPECT_EQ(rows->CancelUpdate(), S_OK);
}

TYPED_TEST(RowSetContract, WrongTypeForTheColumnIsNamed) {
  ComPtr<RowSet> rows = this->Open();
  ASSERT_EQ(rows->AddNew(), S_OK);
  HRESULT hr = Append(rows.Get(), u"cPsn_Num", {1, 2});
  EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
  EXPECT_TEXT_HAS(Text(hr), u"“cPsn_Num”");
  hr = Put(rows.Get(), u"bFingerprint", Variant::Str(u"0102"));
  EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
  EXPECT_TEXT_HAS(Text(hr), u"“bFingerprint”");
  hr = rows->AppendChunk(Bstr(u"bFingerprint").Get(), Variant::I4(5).Raw());
  EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
  EXPECT_TEXT_HAS(Text(hr), u"字节数组");
  EXPECT_EQ(Get(rows.Get(), u"bFingerprint").Type(), VT_NULL);
  EXPECT_EQ(Get(rows.Get(), u"cPsn_Num").Type(), VT_NULL);

  // A whole byte array written through Collect is the column's value.
  ASSERT_EQ(Put(rows.Get(), u"bFingerprint", MakeByteArray(std::vector<BYTE>{4, 5})), S_OK);
  EXPECT_EQ(BytesOf(Get(rows.Get(), u"bFingerprint")), (std::vector<BYTE>{4, 5}));
  EXPECT_EQ(rows->CancelUpdate(), S_OK);
}

TYPED_TEST(RowSetContract, FirstChunkReplacesLaterChunksAppend) {
  this->Store({kFingerprintRow});
  {
    ComPtr<RowSet> rows = this->Open();
    ASSERT_EQ(rows->MoveFirst(), S_OK);
    // Writing a fresh template over a stored row must not leave the old bytes in front of it.
    ASSERT_EQ(Append(rows.Get(), u"bFingerprint", Pattern(2296, 50)), S_OK);
    EXPECT_EQ(BytesOf(Get(rows.Get(), u"bFingerprint")), Pattern(2296, 50));
    ASSERT_EQ(Append(rows.Get(), u"bFingerprint", {1, 2, 3}), S_OK);
    EXPECT_EQ(BytesOf(Get(rows.Get(), u"bFingerprint")).size(), 2299u);
    // Touching another column ends the run: the next chunk starts the value afresh.
    ASSERT_EQ(Put(rows.Get(), u"npassword", Variant::I4(1)), S_OK);
    ASSERT_EQ(Append(rows.Get(), u"bFingerprint", {9, 9}), S_OK);
    ASSERT_EQ(Append(rows.Get(), u"bFingerprint", {8}), S_OK);
    EXPECT_EQ(BytesOf(Get(rows.Get(), u"bFingerprint")), (std::vector<BYTE>{9, 9, 8}));
    ASSERT_EQ(rows->Update(), S_OK);
  }
  auto stored = this->Stored();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].fingerprint, (std::vector<BYTE>{9, 9, 8}));
  EXPECT_EQ(stored[0].password, 1);
}

TYPED_TEST(RowSetContract, EmptyChunkIsAnEmptyValueNotNull) {
  {
    ComPtr<RowSet> rows = this->Open();
    ASSERT_EQ(rows->AddNew(), S_OK);
    ASSERT_EQ(Append(rows.Get(), u"bFingerprint", {}), S_OK);
    Variant blob = Get(rows.Get(), u"bFingerprint");
    ASSERT_EQ(blob.Type(), VT_ARRAY | VT_UI1);
    EXPECT_TRUE(BytesOf(blob).empty());
    ASSERT_EQ(rows->Update(), S_OK);
  }
  auto stored = this->Stored();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].fingerprint, std::vector<BYTE>{});
}

TYPED_TEST(RowSetContract, CancelUpdateDropsAnAddedRow) {
  this->Store({kPasswordRow});
  {
    ComPtr<RowSet> rows = this->Open();
    ASSERT_EQ(rows->MoveFirst(), S_OK);
    ASSERT_EQ(rows->AddNew(), S_OK);
    ASSERT_EQ(Put(rows.Get(), u"cPsn_Num", Variant::I4(2)), S_OK);
    EXPECT_EQ(Count(rows.Get()), 2);
    ASSERT_EQ(rows->CancelUpdate(), S_OK);
    EXPECT_EQ(Count(rows.Get()), 1);
    // Back on the row that was current before AddNew.
    EXPECT_EQ(Get(rows.Get(), u"cPsn_Num").Raw().lVal, 1001);
    ASSERT_EQ(rows->Update(), S_OK);
  }
  EXPECT_EQ(this->Stored(), std::vector<EnrolmentRow>{kPasswordRow});
}

TYPED_TEST(RowSetContract, CancelUpdateRevertsAnEditedRow) {
  this->Store({kFingerprintRow});
  {
    ComPtr<RowSet> rows = this->Open();
    ASSERT_EQ(rows->MoveFirst(), S_OK);
    ASSERT_EQ(Put(rows.Get(), u"iFingerprintNO", Variant::I4(10)), S_OK);
    ASSERT_EQ(Append(rows.Get(), u"bFingerprint", {1}), S_OK);
    EXPECT_EQ(Get(rows.Get(), u"iFingerprintNO").Raw().lVal, 10);
    ASSERT_EQ(rows->CancelUpdate(), S_OK);
    EXPECT_EQ(Get(rows.Get(), u"iFingerprintNO").Raw().lVal, 0);
    EXPECT_EQ(BytesOf(Get(rows.Get(), u"bFingerprint")), Pattern(2296, 1));
    ASSERT_EQ(rows->Update(), S_OK);
  }
  EXPECT_EQ(this->Stored(), std::vector<EnrolmentRow>{kFingerprintRow});
}

TYPED_TEST(RowSetContract, PendingChangesBlockMovingAndAdding) {
  this->Store({kFingerprintRow, kPasswordRow});
  ComPtr<RowSet> rows = this->Open();
  ASSERT_EQ(rows->MoveFirst(), S_OK);
  ASSERT_EQ(Put(rows.Get(), u"imachineno", Variant::I4(8)), S_OK);
  for (HRESULT (STDMETHODCALLTYPE RowSet::*operation)() : {&RowSet::MoveNext, &RowSet::MoveFirst, &RowSet::AddNew}) {
    HRESULT hr = (rows.Get()->*operation)();
    EXPECT_EQ(hr, ROWSET_E_PENDINGCHANGES);
    EXPECT_TEXT_HAS(Text(hr), u"Update");
  }
  // The edit is still there and still on the first row.
  EXPECT_EQ(Get(rows.Get(), u"imachineno").Raw().lVal, 8);
  EXPECT_EQ(Get(rows.Get(), u"iFingerprintNO").Raw().lVal, 0);
  ASSERT_EQ(rows->Update(), S_OK);
  ASSERT_EQ(rows->MoveNext(), S_OK);
  EXPECT_EQ(Get(rows.Get(), u"iFingerprintNO").Raw().lVal, 10);
}

TYPED_TEST(RowSetContract, WalkVisitsRowsInOrderAndEndsAtEof) {
  const std::vector<EnrolmentRow> three{kFingerprintRow, kPasswordRow, {7, 10, 1, 0, std::vector<BYTE>{}}};
  this->Store(three);
  ComPtr<RowSet> rows = this->Open();
  EXPECT_EQ(Count(rows.Get()), 3);
  std::vector<EnrolmentRow> seen;
  ASSERT_EQ(ReadEnrolmentRows(rows.Get(), &seen), S_OK);
  EXPECT_EQ(seen, three);
  EXPECT_TRUE(AtEnd(rows.Get()));
  EXPECT_EQ(rows->MoveNext(), ROWSET_E_NOCURRENTROW);
  // MoveFirst starts the walk again.
  ASSERT_EQ(rows->MoveFirst(), S_OK);
  EXPECT_EQ(Get(rows.Get(), u"cPsn_Num").Raw().lVal, 1001);
}

TYPED_TEST(RowSetContract, BackupOverwritesTheCurrentRowOfANonEmptySet) {
  this->Store({kFingerprintRow});
  {
    // What a backup does when the set already has a row: write the current row, add none.
    ComPtr<RowSet> rows = this->Open();
    ASSERT_EQ(Count(rows.Get()), 1);
    ASSERT_EQ(Put(rows.Get(), u"cPsn_Num", Variant::I4(1001)), S_OK);
    ASSERT_EQ(Put(rows.Get(), u"iFingerprintNO", Variant::I4(0)), S_OK);
    ASSERT_EQ(Put(rows.Get(), u"imachineno", Variant::I4(4)), S_OK);
    ASSERT_EQ(Append(rows.Get(), u"bFingerprint", Pattern(2296, 77)), S_OK);
    ASSERT_EQ(rows->Update(), S_OK);
  }
  EXPECT_EQ(this->Stored(), (std::vector<EnrolmentRow>{{1001, 0, 4, std::nullopt, Pattern(2296, 77)}}));
}

TYPED_TEST(RowSetContract, NullOutputPointersAreRefused) {
  ComPtr<RowSet> rows = this->Open();
  EXPECT_EQ(rows->get_RecordCount(nullptr), E_POINTER);
  EXPECT_EQ(rows->get_EOF(nullptr), E_POINTER);
  EXPECT_EQ(rows->get_Value(Bstr(u"cPsn_Num").Get(), nullptr), E_POINTER);
  EXPECT_EQ(rows->get_Collect(Variant::Str(u"cPsn_Num").Raw(), nullptr), E_POINTER);
}

TYPED_TEST(RowSetContract, AnswersItsInterfaces) {
  ComPtr<RowSet> rows = this->Open();
  ComPtr<IDispatch> dispatch;
  EXPECT_EQ(rows.As(IID_IDispatch, &dispatch), S_OK);
  ComPtr<RowSet> again;
  EXPECT_EQ(rows.As(IID_RowSet, &again), S_OK);
  EXPECT_EQ(again.Get(), rows.Get());
  ComPtr<IUnknown> other;
  EXPECT_EQ(rows.As(IID_IErrorInfo, &other), E_NOINTERFACE);
}

}  // namespace

TEST(MemoryRowSet, DeclarationsAreChecked) {
  EXPECT_FALSE(CreateMemoryRowSet({}));
  EXPECT_FALSE(CreateMemoryRowSet({{u"", ColumnType::Long}}));
  EXPECT_FALSE(CreateMemoryRowSet({{u"a", ColumnType::Long}, {u"A", ColumnType::Binary}}));
  EXPECT_TEXT_HAS(TakeErrorDescription(E_FAIL), u"“A”");
  ComPtr<RowSet> custom = CreateMemoryRowSet({{u"列一", ColumnType::Long}});
  ASSERT_TRUE(custom);
  ASSERT_EQ(custom->AddNew(), S_OK);
  EXPECT_EQ(Put(custom.Get(), u"列一", Variant::I4(1)), S_OK);
  EXPECT_EQ(Put(custom.Get(), u"cPsn_Num", Variant::I4(1)), ROWSET_E_COLUMNNOTFOUND);
}
