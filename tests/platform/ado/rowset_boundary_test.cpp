// A row set is a binary boundary: whatever its backing store's hooks throw comes back to the
// caller as a code with a description, the pending change stays pending, and the row set stays
// usable.
#include <new>
#include <stdexcept>
#include <string>

#include "platform/ado/rowset_core.h"
#include "tests/platform/ado/rowset_test_support.h"

namespace {

using rowset_detail::Row;
using rowset_detail::RowSetCore;

// A row set whose store throws what `thrower` throws, until told to store normally.
class ThrowingStore final : public RowSetCore {
 public:
  explicit ThrowingStore(void (*thrower)()) : RowSetCore({{u"n", ColumnType::Long}}), thrower_(thrower) {
    Row stored;
    stored.cells = {LONG{7}};
    stored.key = 1;
    LoadRow(std::move(stored));
  }
  void StoreNormally() { thrower_ = nullptr; }

 protected:
  HRESULT StoreAdded(Row&) override { return Store(); }
  HRESULT StoreChanged(const Row&, const std::vector<bool>&) override { return Store(); }

 private:
  HRESULT Store() {
    if (thrower_) thrower_();
    return S_OK;
  }
  void (*thrower_)();
};

struct ThrowCase {
  const char* name;
  void (*thrower)();
  HRESULT code;
  std::u16string description;
};

const ThrowCase kThrowCases[] = {
    {"bad_alloc", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY, u"内存不足"},
    {"runtime_error", [] { throw std::runtime_error("store gone"); }, E_UNEXPECTED, u"RowSet：内部错误（store gone）"},
    {"not an exception class", [] { throw 42; }, E_UNEXPECTED, u"RowSet：内部错误（未知异常）"},
};

LONG ReadN(RowSet* rows) {
  Variant value;
  EXPECT_EQ(rows->get_Value(Bstr(u"n").Get(), value.Put()), S_OK);
  return value.Raw().vt == VT_I4 ? value.Raw().lVal : -1;
}

TEST(RowSetBoundary, AThrowingStoreOnAddIsACodeWithADescriptionAndTheRowStaysPending) {
  for (const ThrowCase& c : kThrowCases) {
    SCOPED_TRACE(c.name);
    ClearErrorInfo();
    auto* store = new ThrowingStore(c.thrower);
    ComPtr<RowSet> rows = ComPtr<RowSet>::Adopt(store);
    ASSERT_EQ(rows->AddNew(), S_OK);
    ASSERT_EQ(Put(rows.Get(), u"n", Variant::I4(8)), S_OK);
    HRESULT hr = rows->Update();
    EXPECT_EQ(hr, c.code);
    EXPECT_EQ(ToUtf8(TakeErrorDescription(hr)), ToUtf8(c.description));

    // Nothing was stored; the added row is still pending and commits once the store works.
    LONG count = 0;
    EXPECT_EQ(rows->get_RecordCount(&count), S_OK);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(ReadN(rows.Get()), 8);
    store->StoreNormally();
    EXPECT_EQ(rows->Update(), S_OK);
    EXPECT_EQ(rows->get_RecordCount(&count), S_OK);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(ReadN(rows.Get()), 8);
  }
}

TEST(RowSetBoundary, AThrowingStoreOnEditIsACodeWithADescriptionAndCancelRestoresTheRow) {
  for (const ThrowCase& c : kThrowCases) {
    SCOPED_TRACE(c.name);
    ClearErrorInfo();
    ComPtr<RowSet> rows = ComPtr<RowSet>::Adopt(new ThrowingStore(c.thrower));
    ASSERT_EQ(Put(rows.Get(), u"n", Variant::I4(9)), S_OK);
    HRESULT hr = rows->Update();
    EXPECT_EQ(hr, c.code);
    EXPECT_EQ(ToUtf8(TakeErrorDescription(hr)), ToUtf8(c.description));
    EXPECT_EQ(rows->MoveNext(), ROWSET_E_PENDINGCHANGES);  // the edit is still pending
    ClearErrorInfo();
    EXPECT_EQ(rows->CancelUpdate(), S_OK);
    EXPECT_EQ(ReadN(rows.Get()), 7);
  }
}

}  // namespace
