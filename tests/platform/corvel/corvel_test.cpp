// Corvel's record classes: created through the component runtime, properties set by variant
// and read back by vtable and by dispatch member number.
#include <gtest/gtest.h>

#include "platform/automation/object.h"
#include "platform/automation/runtime.h"
#include "platform/corvel/corvel.h"

namespace {
class CorvelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegisterCorvelClasses(), S_OK);
    ASSERT_EQ(RegisterCorvelClasses(), S_OK);  // idempotent
    objects_ = LiveObjectCount().load();
  }
  void TearDown() override { EXPECT_EQ(LiveObjectCount().load(), objects_); }
  long objects_ = 0;
};

Variant DispatchGet(IDispatch* object, DISPID member) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant value;
  EXPECT_EQ(object->Invoke(member, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, value.Put(), nullptr, nullptr), S_OK);
  return value;
}

TEST_F(CorvelTest, MachineInfoKeepsWhatIsPut) {
  ComPtr<IMachineInfo> info;
  ASSERT_EQ(CoCreateInstance(CLSID_MachineInfo, nullptr, CLSCTX_INPROC_SERVER, IID_IMachineInfo,
                             reinterpret_cast<void**>(info.Put())),
            S_OK);
  Variant no = Variant::I2(3), port = Variant::I2(2), ip = Variant::Str(u"");
  LONG id = 77;
  Variant idRef = Variant::RefI4(&id);
  EXPECT_EQ(info->put_MachineNo(no.Raw()), S_OK);
  EXPECT_EQ(info->put_PortNo(port.Raw()), S_OK);
  EXPECT_EQ(info->put_IpAddress(ip.Raw()), S_OK);
  EXPECT_EQ(info->put_MachineId(idRef.Raw()), S_OK);
  id = 0;  // the object kept the value, not the reference

  Variant back;
  EXPECT_EQ(info->get_MachineNo(back.Put()), S_OK);
  EXPECT_EQ(back.Type(), VT_I2);
  EXPECT_EQ(back.Raw().iVal, 3);
  EXPECT_EQ(info->get_MachineId(back.Put()), S_OK);
  EXPECT_EQ(back.Type(), VT_I4);
  EXPECT_EQ(back.Raw().lVal, 77);
  EXPECT_EQ(DispatchGet(info.Get(), 3).Raw().iVal, 2);
  EXPECT_EQ(DispatchGet(info.Get(), 4).Type(), VT_BSTR);

  DISPID named = DISPID_PROPERTYPUT;
  Variant five = Variant::I2(5);
  VARIANTARG arg = five.Raw();
  DISPPARAMS put{&arg, &named, 1, 1};
  EXPECT_EQ(info->Invoke(1, GUID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(DispatchGet(info.Get(), 1).Raw().iVal, 5);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(info->Invoke(5, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, back.Put(), nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
}

TEST_F(CorvelTest, CardRecordByClassName) {
  ComPtr<ICardRecord> record;
  ASSERT_EQ(CreateObjectByProgId(kProgIdCardRecord, IID_ICardRecord, reinterpret_cast<void**>(record.Put())), S_OK);
  Variant person = Variant::I4(70000), when = Variant::Date(46332.5);
  EXPECT_EQ(record->put_PersonNo(person.Raw()), S_OK);
  EXPECT_EQ(record->put_SwipeTime(when.Raw()), S_OK);
  EXPECT_EQ(DispatchGet(record.Get(), 1).Raw().lVal, 70000);
  Variant back = DispatchGet(record.Get(), 2);
  EXPECT_EQ(back.Type(), VT_DATE);
  EXPECT_EQ(back.Raw().date, 46332.5);
  ComPtr<IMachineInfo> wrong;
  EXPECT_EQ(record.As(IID_IMachineInfo, &wrong), E_NOINTERFACE);
}

TEST_F(CorvelTest, ClassObjects) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(GetCorvelClassObject(CLSID_CardRecord, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())), S_OK);
  ComPtr<IUnknown> object;
  ComPtr<IUnknown> outer;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(object.Put())), S_OK);
  EXPECT_EQ(factory->CreateInstance(object.Get(), IID_IUnknown, reinterpret_cast<void**>(outer.Put())),
            CLASS_E_NOAGGREGATION);
  ComPtr<IClassFactory> none;
  EXPECT_EQ(GetCorvelClassObject(IID_IMachine, IID_IClassFactory, reinterpret_cast<void**>(none.Put())),
            CLASS_E_CLASSNOTAVAILABLE);
}
}  // namespace
