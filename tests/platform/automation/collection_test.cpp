// Collection: append order, 1-based Item, bounds, enumeration, late-bound access.
#include <gtest/gtest.h>

#include "platform/automation/collection.h"
#include "platform/automation/object.h"

namespace {
Variant ItemAt(_Collection* list, LONG position) {
  Variant index = Variant::I4(position);
  Variant out;
  EXPECT_EQ(list->Item(index.Ptr(), out.Put()), S_OK);
  return out;
}
}  // namespace

TEST(Collection, AddAppendsAndItemIsOneBased) {
  ComPtr<_Collection> list = CreateCollection();
  for (int i = 1; i <= 3; ++i) {
    Variant v = Variant::I4(i * 10);
    Variant missing = MissingArgument();
    ASSERT_EQ(list->Add(v.Ptr(), missing.Ptr(), missing.Ptr(), missing.Ptr()), S_OK);
  }
  LONG count = 0;
  list->Count(&count);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(ItemAt(list.Get(), 1).Raw().lVal, 10);
  EXPECT_EQ(ItemAt(list.Get(), 3).Raw().lVal, 30);
  Variant zero = Variant::I4(0), out;
  EXPECT_EQ(list->Item(zero.Ptr(), out.Put()), DISP_E_BADINDEX);
}

TEST(Collection, EnumeratesInOrderAndThroughDispatch) {
  ComPtr<_Collection> list = CreateCollection();
  for (int i = 0; i < 2; ++i) {
    Variant v = Variant::I2(static_cast<SHORT>(i));
    DISPPARAMS params{v.Ptr(), nullptr, 1, 0};
    ASSERT_EQ(list->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
  }
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant count;
  ASSERT_EQ(list->Invoke(2, GUID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, count.Put(), nullptr, nullptr), S_OK);
  EXPECT_EQ(count.Raw().lVal, 2);

  ComPtr<IUnknown> unknown;
  ASSERT_EQ(list->_NewEnum(unknown.Put()), S_OK);
  ComPtr<IEnumVARIANT> items;
  ASSERT_EQ(unknown.As(IID_IEnumVARIANT, &items), S_OK);
  VARIANT got[3];
  ULONG fetched = 0;
  EXPECT_EQ(items->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(got[0].iVal, 0);
  EXPECT_EQ(got[1].iVal, 1);
  VariantClear(&got[0]);
  VariantClear(&got[1]);
}

TEST(Collection, ReleasesItsObjects) {
  long before = LiveObjectCount();
  {
    ComPtr<_Collection> outer = CreateCollection();
    ComPtr<_Collection> inner = CreateCollection();
    ASSERT_EQ(AppendToCollection(outer.Get(), inner.Get()), S_OK);
  }
  EXPECT_EQ(LiveObjectCount(), before);
}
