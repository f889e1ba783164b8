#include "hostdata/host_objects.h"

#include "failure/failure.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/runtime.h"

namespace {
template <class Interface>
ComPtr<Interface> CreateRecord(REFCLSID clsid, REFIID iid) {
  ComPtr<Interface> object;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(object.Put()));
  if (FAILED(hr) || !object) Fail(kTextCannotCreateObject);
  return object;
}

// Property puts take the variant by value; the object keeps its own copy.
template <class Interface>
void Put(const ComPtr<Interface>& object, HRESULT (STDMETHODCALLTYPE Interface::*put)(VARIANT), const Variant& value) {
  ClearErrorInfo();
  CheckHostCall((object.Get()->*put)(value.Raw()));
}
}  // namespace

CollectionView CollectionView::Create() {
  ComPtr<_Collection> fresh = CreateCollection();
  if (!fresh) Fail(kTextOutOfMemory);
  return CollectionView(fresh.Get());
}

void CollectionView::Append(IDispatch* item) {
  if (!list_) Fail(kTextObjectNotSet);
  Variant value = Variant::Dispatch(item);
  Variant missing = MissingArgument();
  Variant before = MissingArgument();
  Variant after = MissingArgument();
  ClearErrorInfo();
  CheckHostCall(list_->Add(value.Ptr(), missing.Ptr(), before.Ptr(), after.Ptr()));
}

LONG CollectionView::Count() {
  if (!list_) Fail(kTextObjectNotSet);
  LONG count = 0;
  ClearErrorInfo();
  CheckHostCall(list_->Count(&count));
  return count;
}

MachineInfoView MachineInfoView::Create() {
  MachineInfoView view;
  view.object_ = CreateRecord<IMachineInfo>(CLSID_MachineInfo, IID_IMachineInfo);
  return view;
}
void MachineInfoView::SetMachineNo(SHORT number) { Put(object_, &IMachineInfo::put_MachineNo, Variant::I2(number)); }
void MachineInfoView::SetMachineId(SHORT number) { Put(object_, &IMachineInfo::put_MachineId, Variant::I2(number)); }
void MachineInfoView::SetPortNo(SHORT port) { Put(object_, &IMachineInfo::put_PortNo, Variant::I2(port)); }
void MachineInfoView::SetIpAddress(std::u16string_view address) {
  Put(object_, &IMachineInfo::put_IpAddress, Variant::Str(address));
}

CardRecordView CardRecordView::Create() {
  CardRecordView view;
  view.object_ = CreateRecord<ICardRecord>(CLSID_CardRecord, IID_ICardRecord);
  return view;
}
CardRecordView CardRecordMaker::Create() {
  if (!factory_) {
    HRESULT hr = CoGetClassObject(CLSID_CardRecord, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory_.Put()));
    if (FAILED(hr) || !factory_) {
      factory_.Reset();
      Fail(kTextCannotCreateObject);
    }
  }
  CardRecordView view;
  HRESULT hr = factory_->CreateInstance(nullptr, IID_ICardRecord, reinterpret_cast<void**>(view.object_.Put()));
  if (FAILED(hr) || !view.object_) Fail(kTextCannotCreateObject);
  return view;
}
void CardRecordView::SetPersonNo(LONG person) { Put(object_, &ICardRecord::put_PersonNo, Variant::I4(person)); }
void CardRecordView::SetSwipeTime(DATE when) { Put(object_, &ICardRecord::put_SwipeTime, Variant::Date(when)); }
