// The VantoHost module (Windows): host objects a client of the driver creates by class name where
// the system has none of its own. "VantoHost.Collection" is the runtime's Collection
// (platform/automation/collection.h); "VantoHost.RowSet" is an enrolment row set in memory
// (platform/ado/memory_rowset.h) that a late-binding client also reaches by member name. Neither
// replaces a class of the system: both live under class names of ours.
#include <string>
#include <vector>

#include "component/module_support.h"
#include "platform/ado/memory_rowset.h"
#include "platform/automation/boundary.h"
#include "platform/automation/collection.h"
#include "platform/automation/conversions.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace {
constexpr char16_t kSource[] = u"VantoHost";

constexpr GUID LIBID_VantoHost{0x6E1F0A50, 0x3B7C, 0x4A21, {0x9D, 0x52, 0x81, 0x0C, 0x6F, 0x2E, 0x41, 0xB0}};
constexpr CLSID CLSID_HostCollection{0x6E1F0A51, 0x3B7C, 0x4A21, {0x9D, 0x52, 0x81, 0x0C, 0x6F, 0x2E, 0x41, 0xB0}};
constexpr CLSID CLSID_HostRowSet{0x6E1F0A52, 0x3B7C, 0x4A21, {0x9D, 0x52, 0x81, 0x0C, 0x6F, 0x2E, 0x41, 0xB0}};

// The member numbers of RowSet (as windows/common.idl describes it).
enum RowSetMember : DISPID {
  kRecordCount = 1, kAddNew, kCollect, kAppendChunk, kValue, kMoveFirst, kMoveNext, kEOF, kUpdate, kCancelUpdate
};

// The enrolment row set, reachable by vtable (as the driver calls it) and by member name.
class HostRowSet final : public DispatchObject<RowSet> {
 public:
  static constexpr char16_t kRowSetSource[] = u"VantoHost.RowSet";
  explicit HostRowSet(ComPtr<RowSet> rows) : rows_(std::move(rows)) {}

  HRESULT STDMETHODCALLTYPE get_RecordCount(LONG* count) override { return rows_->get_RecordCount(count); }
  HRESULT STDMETHODCALLTYPE AddNew() override { return rows_->AddNew(); }
  HRESULT STDMETHODCALLTYPE get_Collect(VARIANT column, VARIANT* value) override { return rows_->get_Collect(column, value); }
  HRESULT STDMETHODCALLTYPE put_Collect(VARIANT column, VARIANT value) override { return rows_->put_Collect(column, value); }
  HRESULT STDMETHODCALLTYPE AppendChunk(BSTR field, VARIANT data) override { return rows_->AppendChunk(field, data); }
  HRESULT STDMETHODCALLTYPE get_Value(BSTR field, VARIANT* value) override { return rows_->get_Value(field, value); }
  HRESULT STDMETHODCALLTYPE MoveFirst() override { return rows_->MoveFirst(); }
  HRESULT STDMETHODCALLTYPE MoveNext() override { return rows_->MoveNext(); }
  HRESULT STDMETHODCALLTYPE get_EOF(VARIANT_BOOL* atEnd) override { return rows_->get_EOF(atEnd); }
  HRESULT STDMETHODCALLTYPE Update() override { return rows_->Update(); }
  HRESULT STDMETHODCALLTYPE CancelUpdate() override { return rows_->CancelUpdate(); }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return GuardBoundary(kRowSetSource, [&]() -> HRESULT {
      if (!names || !ids) return E_POINTER;
      static constexpr struct { const char16_t* name; DISPID id; } kNames[] = {
          {u"RecordCount", kRecordCount}, {u"AddNew", kAddNew},       {u"Collect", kCollect},
          {u"AppendChunk", kAppendChunk}, {u"Value", kValue},         {u"MoveFirst", kMoveFirst},
          {u"MoveNext", kMoveNext},       {u"EOF", kEOF},             {u"Update", kUpdate},
          {u"CancelUpdate", kCancelUpdate}};
      HRESULT hr = S_OK;
      for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (i == 0 && names[0])
          for (const auto& entry : kNames)
            if (SameNameIgnoringCase(names[0], entry.name)) ids[0] = entry.id;
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
      }
      return hr;
    });
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argError) override {
    // The result is written, never read: a caller may pass it uninitialised (script hosts do).
    if (result) VariantInit(result);
    return GuardInvoke(exception, kRowSetSource, [&]() -> HRESULT {
      if (params && params->cNamedArgs > 0 &&
          !(params->cNamedArgs == 1 && params->rgdispidNamedArgs && params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT))
        return DISP_E_NONAMEDARGS;
      const UINT count = params ? params->cArgs : 0;
      // Argument `i` in the caller's order, dereferenced.
      auto argument = [&](UINT i, Variant& out) -> HRESULT {
        return VariantCopyInd(out.Put(), &params->rgvarg[count - 1 - i]);
      };
      const bool put = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
      VARIANT scratch;
      VariantInit(&scratch);
      VARIANT* answer = result ? result : &scratch;
      HRESULT hr = DISP_E_MEMBERNOTFOUND;
      auto expect = [&](UINT wanted) { return count == wanted; };
      switch (member) {
        case kRecordCount: {
          if (!expect(0)) return DISP_E_BADPARAMCOUNT;
          LONG rows = 0;
          hr = rows_->get_RecordCount(&rows);
          if (SUCCEEDED(hr)) *answer = Variant::I4(rows).Detach();
          break;
        }
        case kEOF: {
          if (!expect(0)) return DISP_E_BADPARAMCOUNT;
          VARIANT_BOOL atEnd = VARIANT_FALSE;
          hr = rows_->get_EOF(&atEnd);
          if (SUCCEEDED(hr)) *answer = Variant::Bool(atEnd != VARIANT_FALSE).Detach();
          break;
        }
        case kAddNew: hr = expect(0) ? rows_->AddNew() : DISP_E_BADPARAMCOUNT; break;
        case kMoveFirst: hr = expect(0) ? rows_->MoveFirst() : DISP_E_BADPARAMCOUNT; break;
        case kMoveNext: hr = expect(0) ? rows_->MoveNext() : DISP_E_BADPARAMCOUNT; break;
        case kUpdate: hr = expect(0) ? rows_->Update() : DISP_E_BADPARAMCOUNT; break;
        case kCancelUpdate: hr = expect(0) ? rows_->CancelUpdate() : DISP_E_BADPARAMCOUNT; break;
        case kCollect: {
          Variant column, value;
          if (put) {
            if (!expect(2)) return DISP_E_BADPARAMCOUNT;
            if (FAILED(hr = argument(0, column)) || FAILED(hr = argument(1, value))) break;
            hr = rows_->put_Collect(*column.Ptr(), *value.Ptr());
          } else {
            if (!expect(1)) return DISP_E_BADPARAMCOUNT;
            if (FAILED(hr = argument(0, column))) break;
            hr = rows_->get_Collect(*column.Ptr(), answer);
          }
          break;
        }
        case kValue:
        case kAppendChunk: {
          if (!expect(member == kValue ? 1 : 2)) return DISP_E_BADPARAMCOUNT;
          Variant field, text;
          if (FAILED(hr = argument(0, field))) break;
          if (FAILED(hr = VariantChangeType(text.Put(), field.Ptr(), 0, VT_BSTR))) {
            if (argError) *argError = count - 1;
            return DISP_E_TYPEMISMATCH;
          }
          if (member == kValue) {
            hr = rows_->get_Value(text.Ptr()->bstrVal, answer);
          } else {
            Variant data;
            if (FAILED(hr = argument(1, data))) break;
            hr = rows_->AppendChunk(text.Ptr()->bstrVal, *data.Ptr());
          }
          break;
        }
        default: return DISP_E_MEMBERNOTFOUND;
      }
      VariantClear(&scratch);
      if (FAILED(hr) && hr != DISP_E_MEMBERNOTFOUND) return FillException(exception, hr, TakeErrorDescription(hr), kRowSetSource);
      return hr;
    });
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID_RowSet; }

 private:
  ComPtr<RowSet> rows_;
};

HRESULT CreateHostCollection(REFIID iid, void** object) {
  ComPtr<_Collection> list = CreateCollection();
  if (!list) return E_OUTOFMEMORY;
  return list->QueryInterface(iid, object);
}

HRESULT CreateHostRowSet(REFIID iid, void** object) {
  ComPtr<RowSet> rows = CreateEnrolmentRowSet();
  if (!rows) return E_OUTOFMEMORY;
  ComPtr<HostRowSet> wrapper = ComPtr<HostRowSet>::Adopt(new HostRowSet(std::move(rows)));
  return wrapper->QueryInterface(iid, object);
}

std::vector<RegistryEntry> Entries() {
  const std::string path = ModuleFilePath();
  std::vector<RegistryEntry> entries =
      ClassEntries({CLSID_HostCollection, "VantoHost.Collection", "Apartment", &LIBID_VantoHost}, path);
  auto rows = ClassEntries({CLSID_HostRowSet, "VantoHost.RowSet", "Apartment", &LIBID_VantoHost}, path);
  entries.insert(entries.end(), rows.begin(), rows.end());
  auto typeLib = TypeLibEntries({LIBID_VantoHost, "1.0", "VantoHost", {}}, path);
  entries.insert(entries.end(), typeLib.begin(), typeLib.end());
  return entries;
}
}  // namespace

extern "C" {
VANTO_EXPORT HRESULT VANTO_API_CALL DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  return GuardBoundary(kSource, [&] {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid == CLSID_HostCollection) return HandOutFactory(&CreateHostCollection, u"VantoHost.Collection", iid, object);
    if (clsid == CLSID_HostRowSet) return HandOutFactory(&CreateHostRowSet, HostRowSet::kRowSetSource, iid, object);
    return CLASS_E_CLASSNOTAVAILABLE;
  });
}
VANTO_EXPORT HRESULT VANTO_API_CALL DllCanUnloadNow() {
  return GuardBoundary(kSource, [] { return ModuleCanUnloadNow(); });
}
VANTO_EXPORT HRESULT VANTO_API_CALL DllRegisterServer() {
  return GuardBoundary(kSource, [] { return RegisterModule(Entries()); });
}
VANTO_EXPORT HRESULT VANTO_API_CALL DllUnregisterServer() {
  return GuardBoundary(kSource, [] { return UnregisterModule(Entries()); });
}
}
