// RAII owners for interface pointers, BSTRs and VARIANTs; code above the ABI uses only these.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/automation/abi.h"

// Owns one reference on an interface pointer.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes a new reference on `raw`.
  explicit ComPtr(T* raw) : ptr_(raw) {
    if (ptr_) ptr_->AddRef();
  }
  // Takes over a reference the caller already holds.
  static ComPtr Adopt(T* raw) {
    ComPtr result;
    result.ptr_ = raw;
    return result;
  }
  ComPtr(const ComPtr& other) : ComPtr(other.ptr_) {}
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  void Reset() {
    if (T* old = std::exchange(ptr_, nullptr)) old->Release();
  }
  T* Get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  // Gives the reference to the caller.
  T* Detach() { return std::exchange(ptr_, nullptr); }
  // Address for an out-parameter; releases what was held.
  T** Put() {
    Reset();
    return &ptr_;
  }
  template <class U>
  HRESULT As(REFIID iid, ComPtr<U>* out) const {
    if (!ptr_) return E_POINTER;
    return ptr_->QueryInterface(iid, reinterpret_cast<void**>(out->Put()));
  }

 private:
  T* ptr_ = nullptr;
};

// Owns one BSTR. A null BSTR is the empty string.
class Bstr {
 public:
  Bstr() = default;
  Bstr(std::u16string_view text) : text_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  Bstr(const char16_t* text) : Bstr(std::u16string_view(text ? text : u"")) {}
  static Bstr Adopt(BSTR raw) {
    Bstr result;
    result.text_ = raw;
    return result;
  }
  static Bstr Copy(BSTR raw) {
    Bstr result;
    if (raw)
      result.text_ = SysAllocStringByteLen(reinterpret_cast<const char*>(raw), SysStringByteLen(raw));
    return result;
  }
  Bstr(const Bstr& other) : Bstr(Copy(other.text_)) {}
  Bstr(Bstr&& other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
  Bstr& operator=(Bstr other) noexcept {
    std::swap(text_, other.text_);
    return *this;
  }
  ~Bstr() { SysFreeString(text_); }

  BSTR Get() const { return text_; }
  BSTR Detach() { return std::exchange(text_, nullptr); }
  BSTR* Put() {
    SysFreeString(std::exchange(text_, nullptr));
    return &text_;
  }
  UINT Length() const { return SysStringLen(text_); }
  bool Empty() const { return Length() == 0; }
  std::u16string_view View() const { return text_ ? std::u16string_view(text_, Length()) : std::u16string_view(); }
  std::u16string Str() const { return std::u16string(View()); }

 private:
  BSTR text_ = nullptr;
};

// Replaces the text an in-out BSTR argument holds.
inline void AssignBstr(BSTR* target, std::u16string_view text) {
  if (!target) return;
  BSTR fresh = Bstr(text).Detach();
  SysFreeString(*target);
  *target = fresh;
}

// Owns one VARIANT and what it holds.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  Variant(const Variant& other) : Variant() { VariantCopy(&value_, &other.value_); }
  Variant(Variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  Variant& operator=(Variant other) noexcept {
    std::swap(value_, other.value_);
    return *this;
  }
  ~Variant() { VariantClear(&value_); }

  // Takes over the contents of a raw variant, leaving it empty.
  static Variant Adopt(VARIANT& raw) {
    Variant result;
    result.value_ = raw;
    VariantInit(&raw);
    return result;
  }
  static Variant Copy(const VARIANT& raw) {
    Variant result;
    VariantCopy(&result.value_, &raw);
    return result;
  }

  static Variant I2(SHORT v) { return Make(VT_I2, [&](VARIANT& x) { x.iVal = v; }); }
  static Variant I4(LONG v) { return Make(VT_I4, [&](VARIANT& x) { x.lVal = v; }); }
  static Variant R8(double v) { return Make(VT_R8, [&](VARIANT& x) { x.dblVal = v; }); }
  static Variant Date(DATE v) { return Make(VT_DATE, [&](VARIANT& x) { x.date = v; }); }
  static Variant Bool(bool v) {
    return Make(VT_BOOL, [&](VARIANT& x) { x.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE; });
  }
  static Variant UI1(BYTE v) { return Make(VT_UI1, [&](VARIANT& x) { x.bVal = v; }); }
  static Variant Null() { return Make(VT_NULL, [](VARIANT&) {}); }
  static Variant Error(SCODE v) { return Make(VT_ERROR, [&](VARIANT& x) { x.scode = v; }); }
  static Variant Str(std::u16string_view text) {
    return Make(VT_BSTR, [&](VARIANT& x) { x.bstrVal = Bstr(text).Detach(); });
  }
  // Holds a new reference on `object`.
  static Variant Dispatch(IDispatch* object) {
    return Make(VT_DISPATCH, [&](VARIANT& x) {
      x.pdispVal = object;
      if (object) object->AddRef();
    });
  }
  static Variant Unknown(IUnknown* object) {
    return Make(VT_UNKNOWN, [&](VARIANT& x) {
      x.punkVal = object;
      if (object) object->AddRef();
    });
  }
  // Takes over `array`.
  static Variant Array(VARTYPE elementType, SAFEARRAY* array) {
    return Make(static_cast<VARTYPE>(VT_ARRAY | elementType), [&](VARIANT& x) { x.parray = array; });
  }
  // A by-reference Long: the callee may write through it into `target`.
  static Variant RefI4(LONG* target) {
    return Make(static_cast<VARTYPE>(VT_BYREF | VT_I4), [&](VARIANT& x) { x.plVal = target; });
  }
  static Variant RefVariant(VARIANT* target) {
    return Make(static_cast<VARTYPE>(VT_BYREF | VT_VARIANT), [&](VARIANT& x) { x.pvarVal = target; });
  }

  VARIANT* operator&() = delete;
  VARIANT* Ptr() { return &value_; }
  const VARIANT* Ptr() const { return &value_; }
  VARIANT& Raw() { return value_; }
  const VARIANT& Raw() const { return value_; }
  VARTYPE Type() const { return value_.vt; }
  void Clear() { VariantClear(&value_); }
  // Gives the contents to the caller, leaving this variant empty.
  VARIANT Detach() {
    VARIANT out = value_;
    VariantInit(&value_);
    return out;
  }
  // Clears and gives the address for an out-parameter.
  VARIANT* Put() {
    VariantClear(&value_);
    return &value_;
  }

 private:
  template <class Fill>
  static Variant Make(VARTYPE vt, Fill fill) {
    Variant result;
    result.value_.vt = vt;
    fill(result.value_);
    return result;
  }
  VARIANT value_;
};
