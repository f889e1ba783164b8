// The host record classes MachineInfo and CardRecord: property bags of variants, reachable by
// vtable and by dispatch member number or property name (as a late-binding host without the
// interface description asks), and created through their class factories.
#include "platform/corvel/corvel.h"

#include <array>

#include "platform/automation/boundary.h"
#include "platform/automation/class_factory.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/object.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"

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

// Property names to member numbers 1..N (ignoring case); parameter names are not resolved.
template <std::size_t N>
HRESULT NamesToMembers(const std::array<const char16_t*, N>& properties, LPOLESTR* names, UINT count, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    if (i == 0 && names[0])
      for (std::size_t p = 0; p < N; ++p)
        if (SameNameIgnoringCase(names[0], properties[p])) ids[0] = static_cast<DISPID>(p + 1);
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

class MachineInfo final : public DispatchObject<IMachineInfo> {
 public:
  static constexpr char16_t kSource[] = u"Corvel.MachineInfo";

  HRESULT STDMETHODCALLTYPE get_MachineNo(VARIANT* value) override {
    return GuardBoundary(kSource, [&] { return Load(fields_[0], value); });
  }
  HRESULT STDMETHODCALLTYPE put_MachineNo(VARIANT value) override {
    return GuardBoundary(kSource, [&] { return Store(fields_[0], value); });
  }
  HRESULT STDMETHODCALLTYPE get_MachineId(VARIANT* value) override {
    return GuardBoundary(kSource, [&] { return Load(fields_[1], value); });
  }
  HRESULT STDMETHODCALLTYPE put_MachineId(VARIANT value) override {
    return GuardBoundary(kSource, [&] { return Store(fields_[1], value); });
  }
  HRESULT STDMETHODCALLTYPE get_PortNo(VARIANT* value) override {
    return GuardBoundary(kSource, [&] { return Load(fields_[2], value); });
  }
  HRESULT STDMETHODCALLTYPE put_PortNo(VARIANT value) override {
    return GuardBoundary(kSource, [&] { return Store(fields_[2], value); });
  }
  HRESULT STDMETHODCALLTYPE get_IpAddress(VARIANT* value) override {
    return GuardBoundary(kSource, [&] { return Load(fields_[3], value); });
  }
  HRESULT STDMETHODCALLTYPE put_IpAddress(VARIANT value) override {
    return GuardBoundary(kSource, [&] { return Store(fields_[3], value); });
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    return GuardInvoke(exception, kSource,
                       [&] { return InvokeProperty(fields_, member, flags, params, result, exception, kSource); });
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static constexpr std::array<const char16_t*, 4> kNames = {u"MachineNo", u"MachineId", u"PortNo", u"IpAddress"};
    return GuardBoundary(kSource, [&] { return NamesToMembers(kNames, names, count, ids); });
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID_IMachineInfo; }

 private:
  std::array<Variant, 4> fields_;  // MachineNo, MachineId, PortNo, IpAddress
};

class CardRecord final : public DispatchObject<ICardRecord> {
 public:
  static constexpr char16_t kSource[] = u"Corvel.CardRecord";

  HRESULT STDMETHODCALLTYPE get_PersonNo(VARIANT* value) override {
    return GuardBoundary(kSource, [&] { return Load(fields_[0], value); });
  }
  HRESULT STDMETHODCALLTYPE put_PersonNo(VARIANT value) override {
    return GuardBoundary(kSource, [&] { return Store(fields_[0], value); });
  }
  HRESULT STDMETHODCALLTYPE get_SwipeTime(VARIANT* value) override {
    return GuardBoundary(kSource, [&] { return Load(fields_[1], value); });
  }
  HRESULT STDMETHODCALLTYPE put_SwipeTime(VARIANT value) override {
    return GuardBoundary(kSource, [&] { return Store(fields_[1], value); });
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    return GuardInvoke(exception, kSource,
                       [&] { return InvokeProperty(fields_, member, flags, params, result, exception, kSource); });
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static constexpr std::array<const char16_t*, 2> kNames = {u"PersonNo", u"SwipeTime"};
    return GuardBoundary(kSource, [&] { return NamesToMembers(kNames, names, count, ids); });
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID_ICardRecord; }

 private:
  std::array<Variant, 2> fields_;  // PersonNo, SwipeTime
};

// Server locks taken on the record classes' factories.
ServerLocks locks;

template <class Record>
HRESULT Create(REFIID iid, void** object) {
  ComPtr<Record> fresh = ComPtr<Record>::Adopt(new Record());
  return fresh->QueryInterface(iid, object);
}

ComPtr<IClassFactory> NewFactory(REFCLSID clsid) {
  if (clsid == CLSID_MachineInfo)
    return ComPtr<IClassFactory>::Adopt(new ClassFactory(&Create<MachineInfo>, locks, MachineInfo::kSource));
  if (clsid == CLSID_CardRecord)
    return ComPtr<IClassFactory>::Adopt(new ClassFactory(&Create<CardRecord>, locks, CardRecord::kSource));
  return {};
}

}  // namespace

HRESULT GetCorvelClassObject(REFCLSID clsid, REFIID iid, void** object) {
  return GuardBoundary(u"Corvel", [&] {
    if (!object) return E_POINTER;
    *object = nullptr;
    ComPtr<IClassFactory> factory = NewFactory(clsid);
    if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(iid, object);
  });
}

HRESULT RegisterCorvelClasses() {
  return GuardBoundary(u"Corvel", [] {
    HRESULT hr = RegisterInProcessClass(CLSID_MachineInfo, kProgIdMachineInfo, NewFactory(CLSID_MachineInfo).Get());
    if (FAILED(hr)) return hr;
    return RegisterInProcessClass(CLSID_CardRecord, kProgIdCardRecord, NewFactory(CLSID_CardRecord).Get());
  });
}

long CorvelActiveCount() { return ModuleObjectCount() + locks.Held(); }
