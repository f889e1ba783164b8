// Collection: ordered variants, 1-based Item, Add, Count, Remove and enumeration.
#include "platform/automation/collection.h"

#include <memory>
#include <vector>

#include "platform/automation/boundary.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/object.h"
#include "platform/automation/text.h"

namespace {
// Every vtable method runs inside the boundary guard (copies and list growth allocate).
constexpr char16_t kSource[] = u"Collection";

bool IsMissing(const VARIANT* v) {
  return !v || (v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND) || v->vt == VT_EMPTY;
}

// Reads a 1-based position from a variant (by value or by reference).
HRESULT PositionOf(const VARIANT* index, LONG* position) {
  Variant plain;
  HRESULT hr = VariantCopyInd(plain.Put(), index);
  if (FAILED(hr)) return hr;
  const VARIANT& v = plain.Raw();
  switch (v.vt) {
    case VT_I2: *position = v.iVal; return S_OK;
    case VT_I4: *position = v.lVal; return S_OK;
    case VT_UI1: *position = v.bVal; return S_OK;
    case VT_R8:
      if (!(v.dblVal >= -2147483648.0 && v.dblVal <= 2147483647.0)) return DISP_E_OVERFLOW;
      *position = static_cast<LONG>(v.dblVal);
      return S_OK;
    default: return DISP_E_TYPEMISMATCH;
  }
}

using Items = std::vector<Variant>;

class Enumerator final : public ComObject<IEnumVARIANT> {
 public:
  Enumerator(std::shared_ptr<const Items> items, std::size_t next) : items_(std::move(items)), next_(next) {}
  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* out, ULONG* fetched) override {
    return GuardBoundary(kSource, [&]() -> HRESULT {
      if (!out && count) return E_POINTER;
      ULONG done = 0;
      while (done < count && next_ < items_->size()) {
        VariantInit(&out[done]);
        HRESULT hr = VariantCopy(&out[done], (*items_)[next_].Ptr());
        if (FAILED(hr)) return hr;
        ++done;
        ++next_;
      }
      if (fetched) *fetched = done;
      return done == count ? S_OK : S_FALSE;
    });
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    return GuardBoundary(kSource, [&]() -> HRESULT {
      next_ += count;
      if (next_ > items_->size()) {
        next_ = items_->size();
        return S_FALSE;
      }
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    return GuardBoundary(kSource, [&]() -> HRESULT {
      next_ = 0;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** copy) override {
    return GuardBoundary(kSource, [&]() -> HRESULT {
      if (!copy) return E_POINTER;
      *copy = new Enumerator(items_, next_);
      return S_OK;
    });
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IEnumVARIANT; }

 private:
  std::shared_ptr<const Items> items_;  // A snapshot: the list may change while it is enumerated.
  std::size_t next_;
};

class Collection final : public DispatchObject<_Collection> {
 public:
  HRESULT STDMETHODCALLTYPE Item(VARIANT* index, VARIANT* result) override {
    return GuardBoundary(kSource, [&]() -> HRESULT {
      if (!result) return E_POINTER;
      LONG position = 0;
      HRESULT hr = PositionOf(index, &position);
      if (FAILED(hr)) return RaiseError(hr, DescribeError(hr), u"Collection");
      if (position < 1 || static_cast<std::size_t>(position) > items_->size())
        return RaiseError(DISP_E_BADINDEX, kTextSubscriptOutOfRange, u"Collection");
      VariantInit(result);
      return VariantCopy(result, (*items_)[position - 1].Ptr());
    });
  }

  HRESULT STDMETHODCALLTYPE Add(VARIANT* item, VARIANT* key, VARIANT* before, VARIANT* after) override {
    return GuardBoundary(kSource, [&]() -> HRESULT {
      if (!item) return E_POINTER;
      if (!IsMissing(key)) return RaiseError(E_NOTIMPL, u"集合不支持关键字", u"Collection");
      if (!IsMissing(before) && !IsMissing(after)) return RaiseError(E_INVALIDARG, u"参数无效", u"Collection");
      Variant value;
      HRESULT hr = VariantCopyInd(value.Put(), item);
      if (FAILED(hr)) return hr;
      std::size_t at = items_->size();
      if (!IsMissing(before) || !IsMissing(after)) {
        LONG position = 0;
        hr = PositionOf(IsMissing(before) ? after : before, &position);
        if (FAILED(hr)) return RaiseError(hr, DescribeError(hr), u"Collection");
        if (position < 1 || static_cast<std::size_t>(position) > items_->size())
          return RaiseError(DISP_E_BADINDEX, kTextSubscriptOutOfRange, u"Collection");
        at = IsMissing(before) ? position : position - 1;
      }
      Items& list = Writable();
      list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), std::move(value));
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Count(LONG* count) override {
    return GuardBoundary(kSource, [&]() -> HRESULT {
      if (!count) return E_POINTER;
      *count = static_cast<LONG>(items_->size());
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Remove(VARIANT* index) override {
    return GuardBoundary(kSource, [&]() -> HRESULT {
      LONG position = 0;
      HRESULT hr = PositionOf(index, &position);
      if (FAILED(hr)) return RaiseError(hr, DescribeError(hr), u"Collection");
      if (position < 1 || static_cast<std::size_t>(position) > items_->size())
        return RaiseError(DISP_E_BADINDEX, kTextSubscriptOutOfRange, u"Collection");
      Items& list = Writable();
      list.erase(list.begin() + (position - 1));
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** enumerator) override {
    return GuardBoundary(kSource, [&]() -> HRESULT {
      if (!enumerator) return E_POINTER;
      *enumerator = new Enumerator(items_, 0);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    // The result is written, never read: a caller may pass it uninitialised (script hosts do).
    if (result) VariantInit(result);
    return GuardInvoke(exception, kSource, [&]() -> HRESULT {
      if (!params) return E_POINTER;
      // Arguments arrive in reverse order; a missing optional one is absent or marked missing.
      auto arg = [&](UINT i) -> VARIANT* { return i < params->cArgs ? &params->rgvarg[params->cArgs - 1 - i] : nullptr; };
      Variant scratch;
      VARIANT* out = result ? result : scratch.Put();
      HRESULT hr;
      switch (member) {
        case DISPID_VALUE:
          if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
          hr = Item(arg(0), out);
          break;
        case 1:
          if (params->cArgs < 1 || params->cArgs > 4) return DISP_E_BADPARAMCOUNT;
          hr = Add(arg(0), arg(1), arg(2), arg(3));
          break;
        case 2: {
          if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
          LONG n = 0;
          hr = Count(&n);
          if (SUCCEEDED(hr)) {
            VariantClear(out);
            out->vt = VT_I4;
            out->lVal = n;
          }
          break;
        }
        case 3:
          if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
          hr = Remove(arg(0));
          break;
        case DISPID_NEWENUM: {
          IUnknown* e = nullptr;
          hr = _NewEnum(&e);
          if (SUCCEEDED(hr)) {
            VariantClear(out);
            out->vt = VT_UNKNOWN;
            out->punkVal = e;
          }
          break;
        }
        default: return DISP_E_MEMBERNOTFOUND;
      }
      (void)flags;
      if (FAILED(hr)) return FillException(exception, hr, TakeErrorDescription(hr), u"Collection");
      return hr;
    });
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return GuardBoundary(kSource, [&]() -> HRESULT {
      if (!names || !ids) return E_POINTER;
      static constexpr struct { const char16_t* name; DISPID id; } kNames[] = {
          {u"item", DISPID_VALUE}, {u"add", 1}, {u"count", 2}, {u"remove", 3}, {u"_newenum", DISPID_NEWENUM}};
      HRESULT hr = S_OK;
      for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        for (const auto& entry : kNames) {
          if (names[i] && SameNameIgnoringCase(names[i], entry.name)) ids[i] = entry.id;
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
      }
      return hr;
    });
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID__Collection; }

 private:
  // Copy on write, so that open enumerators keep the list they started on.
  Items& Writable() {
    if (items_.use_count() > 1) items_ = std::make_shared<Items>(*items_);
    return *items_;
  }
  std::shared_ptr<Items> items_ = std::make_shared<Items>();
};
}  // namespace

ComPtr<_Collection> CreateCollection() { return ComPtr<_Collection>::Adopt(new Collection()); }

HRESULT AppendToCollection(_Collection* list, IDispatch* item) {
  if (!list) return RaiseError(CTL_E_OBJECTNOTSET, kTextObjectNotSet);
  Variant value = Variant::Dispatch(item);
  Variant key = MissingArgument(), before = MissingArgument(), after = MissingArgument();
  return list->Add(value.Ptr(), key.Ptr(), before.Ptr(), after.Ptr());
}
