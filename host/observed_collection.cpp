#include "host/observed_collection.h"

#include <utility>

#include "platform/automation/boundary.h"
#include "platform/automation/object.h"

namespace vanto::host {
namespace {

constexpr char16_t kSource[] = u"Collection";
constexpr DISPID kAddMember = 1;  // Collection's Add, late bound

class ObservedCollection final : public DispatchObject<_Collection> {
 public:
  ObservedCollection(std::function<void(long)> on_append, std::function<bool()> refuse)
      : inner_(CreateCollection()), on_append_(std::move(on_append)), refuse_(std::move(refuse)) {}

  HRESULT STDMETHODCALLTYPE Item(VARIANT* index, VARIANT* result) override { return inner_->Item(index, result); }
  HRESULT STDMETHODCALLTYPE Add(VARIANT* item, VARIANT* key, VARIANT* before, VARIANT* after) override {
    // The observer is host code: whatever it throws stops here.
    return GuardBoundary(kSource, [&]() -> HRESULT {
      if (refuse_ && refuse_()) return E_ABORT;
      HRESULT hr = inner_->Add(item, key, before, after);
      if (SUCCEEDED(hr) && on_append_) {
        LONG count = 0;
        inner_->Count(&count);
        on_append_(count);
      }
      return hr;
    });
  }
  HRESULT STDMETHODCALLTYPE Count(LONG* count) override { return inner_->Count(count); }
  HRESULT STDMETHODCALLTYPE Remove(VARIANT* index) override { return inner_->Remove(index); }
  HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** enumerator) override { return inner_->_NewEnum(enumerator); }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return inner_->GetIDsOfNames(iid, names, count, lcid, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argError) override {
    // A late-bound Add must be seen as well: count before and after.
    return GuardInvoke(exception, kSource, [&]() -> HRESULT {
      if (member == kAddMember && refuse_ && refuse_()) return E_ABORT;
      LONG before = 0, after = 0;
      inner_->Count(&before);
      HRESULT hr = inner_->Invoke(member, iid, lcid, flags, params, result, exception, argError);
      inner_->Count(&after);
      if (after > before && on_append_) on_append_(after);
      return hr;
    });
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID__Collection; }

 private:
  ComPtr<_Collection> inner_;
  std::function<void(long)> on_append_;
  std::function<bool()> refuse_;
};

class PassingCollection final : public DispatchObject<_Collection> {
 public:
  PassingCollection(std::function<void(const VARIANT&)> take, std::function<void(long)> on_append,
                    std::function<bool()> refuse)
      : take_(std::move(take)), on_append_(std::move(on_append)), refuse_(std::move(refuse)) {}

  HRESULT STDMETHODCALLTYPE Item(VARIANT*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Add(VARIANT* item, VARIANT*, VARIANT*, VARIANT*) override {
    if (!item) return E_POINTER;
    // The taker and the observer are host code: whatever they throw stops here.
    return GuardBoundary(kSource, [&]() -> HRESULT {
      if (refuse_ && refuse_()) return E_ABORT;
      const VARIANT* value = item;
      if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal) value = value->pvarVal;
      ++count_;  // taken, whatever the taker does with it
      take_(*value);
      if (on_append_) on_append_(count_);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Count(LONG* count) override {
    if (!count) return E_POINTER;
    *count = count_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Remove(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown**) override { return E_NOTIMPL; }
  // Late binding is not offered: the driver appends through the interface.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID__Collection; }

 private:
  std::function<void(const VARIANT&)> take_;
  std::function<void(long)> on_append_;
  std::function<bool()> refuse_;
  LONG count_ = 0;
};

}  // namespace

ComPtr<_Collection> CreatePassingCollection(std::function<void(const VARIANT& item)> take,
                                            std::function<void(long count)> on_append,
                                            std::function<bool()> refuse) {
  return ComPtr<_Collection>::Adopt(new PassingCollection(std::move(take), std::move(on_append), std::move(refuse)));
}

ComPtr<_Collection> CreateObservedCollection(std::function<void(long count)> on_append,
                                             std::function<bool()> refuse) {
  return ComPtr<_Collection>::Adopt(new ObservedCollection(std::move(on_append), std::move(refuse)));
}

}  // namespace vanto::host
