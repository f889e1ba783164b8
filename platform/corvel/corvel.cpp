// The host record classes MachineInfo and CardRecord: property bags of variants, reachable by
// vtable and by dispatch member number, and created through their class factories.
#include "platform/corvel/corvel.h"

#include <array>
#include <new>

#include "platform/automation/errorinfo.h"
#include "platform/automation/object.h"
#include "platform/automation/runtime.h"

namespace {

// Keeps a copy of a put value; a by-reference variant is stored as the value it points to.
HRESULT Store(Variant& field, const VARIANT& value) {
  Variant copy;
  HRESULT hr = VariantCopyInd(copy.Put(), &value);
  if (FAILED(hr)) return hr;
  field = std::move(copy);
  return S_OK;
}

HRESULT Load(const Variant& field, VARIANT* out) {
  if (!out) return E_POINTER;
  VariantInit(out);
  return VariantCopy(out, field.Ptr());
}

// Dispatch access to properties 1..N of a record: get answers the value, put takes the
// DISPID_PROPERTYPUT argument.
template <std::size_t N>
HRESULT InvokeProperty(std::array<Variant, N>& fields, DISPID member, WORD flags, DISPPARAMS* params,
                       VARIANT* result, EXCEPINFO* exception, std::u16string_view source) {
  if (member < 1 || static_cast<std::size_t>(member) > N) return DISP_E_MEMBERNOTFOUND;
  Variant& field = fields[static_cast<std::size_t>(member - 1)];
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    if (!params || params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    HRESULT hr = Store(field, params->rgvarg[0]);
    if (FAILED(hr)) return FillException(exception, hr, DescribeError(hr), source);
    return S_OK;
  }
  if (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) {
    if (params && params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    if (!result) return S_OK;
    return Load(field, result);
  }
  return DISP_E_MEMBERNOTFOUND;
}

class MachineInfo final : public DispatchObject<IMachineInfo> {
 public:
  HRESULT STDMETHODCALLTYPE get_MachineNo(VARIANT* value) override { return Load(fields_[0], value); }
  HRESULT STDMETHODCALLTYPE put_MachineNo(VARIANT value) override { return Store(fields_[0], value); }
  HRESULT STDMETHODCALLTYPE get_MachineId(VARIANT* value) override { return Load(fields_[1], value); }
  HRESULT STDMETHODCALLTYPE put_MachineId(VARIANT value) override { return Store(fields_[1], value); }
  HRESULT STDMETHODCALLTYPE get_PortNo(VARIANT* value) override { return Load(fields_[2], value); }
  HRESULT STDMETHODCALLTYPE put_PortNo(VARIANT value) override { return Store(fields_[2], value); }
  HRESULT STDMETHODCALLTYPE get_IpAddress(VARIANT* value) override { return Load(fields_[3], value); }
  HRESULT STDMETHODCALLTYPE put_IpAddress(VARIANT value) override { return Store(fields_[3], value); }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    return InvokeProperty(fields_, member, flags, params, result, exception, u"Corvel.MachineInfo");
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID_IMachineInfo; }

 private:
  std::array<Variant, 4> fields_;  // MachineNo, MachineId, PortNo, IpAddress
};

class CardRecord final : public DispatchObject<ICardRecord> {
 public:
  HRESULT STDMETHODCALLTYPE get_PersonNo(VARIANT* value) override { return Load(fields_[0], value); }
  HRESULT STDMETHODCALLTYPE put_PersonNo(VARIANT value) override { return Store(fields_[0], value); }
  HRESULT STDMETHODCALLTYPE get_SwipeTime(VARIANT* value) override { return Load(fields_[1], value); }
  HRESULT STDMETHODCALLTYPE put_SwipeTime(VARIANT value) override { return Store(fields_[1], value); }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    return InvokeProperty(fields_, member, flags, params, result, exception, u"Corvel.CardRecord");
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID_ICardRecord; }

 private:
  std::array<Variant, 2> fields_;  // PersonNo, SwipeTime
};

template <class Record>
class RecordFactory final : public ComObject<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Record* fresh = new (std::nothrow) Record();
    if (!fresh) return E_OUTOFMEMORY;
    HRESULT hr = fresh->QueryInterface(iid, object);
    fresh->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IClassFactory; }
};

ComPtr<IClassFactory> NewFactory(REFCLSID clsid) {
  if (clsid == CLSID_MachineInfo) return ComPtr<IClassFactory>::Adopt(new RecordFactory<MachineInfo>());
  if (clsid == CLSID_CardRecord) return ComPtr<IClassFactory>::Adopt(new RecordFactory<CardRecord>());
  return {};
}

}  // namespace

HRESULT GetCorvelClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory = NewFactory(clsid);
  if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
  return factory->QueryInterface(iid, object);
}

HRESULT RegisterCorvelClasses() {
  HRESULT hr = RegisterInProcessClass(CLSID_MachineInfo, kProgIdMachineInfo, NewFactory(CLSID_MachineInfo).Get());
  if (FAILED(hr)) return hr;
  return RegisterInProcessClass(CLSID_CardRecord, kProgIdCardRecord, NewFactory(CLSID_CardRecord).Get());
}
