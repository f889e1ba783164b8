// Late binding of clsMachine (its dispatch interface _clsMachine): names to member numbers, and
// Invoke with variant arguments coerced to the declared parameter types, reaching the same
// IMachine operations as early-bound calls. In-out parameters are taken by reference (the
// operation's changes reach the caller's variable); a value given for one is accepted, and what
// the operation leaves in it is dropped, as for an expression passed to a by-reference parameter.
#include "driver/dispatch.h"

#include <array>
#include <string_view>
#include <tuple>

#include "platform/automation/conversions.h"
#include "platform/automation/owners.h"
#include "platform/automation/text.h"

namespace {
enum class Type { Boolean, Integer, String, Collection, Recordset };

struct Parameter {
  Type type;
  bool inOut;
};

struct Method {
  DISPID member;
  std::u16string_view name;
  std::array<Parameter, 9> parameters;
  UINT count;
};

// The methods of _clsMachine, in order: "IMachine_" and the name of the IMachine operation, with
// its parameters (the final Boolean result is the call's result).
#define VANTO_IS_INOUT_in false
#define VANTO_IS_INOUT_inout true
#define VANTO_PARAMETER_FIRST(direction, type, name) Parameter{Type::type, VANTO_IS_INOUT_##direction}
#define VANTO_PARAMETER_NEXT(direction, type, name) , VANTO_PARAMETER_FIRST(direction, type, name)
#define VANTO_COUNT_FIRST(direction, type, name) 1
#define VANTO_COUNT_NEXT(direction, type, name) +1
#define VANTO_METHOD_ENTRY(number, name)                                                                   \
  {number, u"IMachine_" #name, {VANTO_IMACHINE_PARAMETERS(name, VANTO_PARAMETER_FIRST, VANTO_PARAMETER_NEXT)}, \
   VANTO_IMACHINE_PARAMETERS(name, VANTO_COUNT_FIRST, VANTO_COUNT_NEXT)},
constexpr Method kMethods[] = {VANTO_IMACHINE_OPERATIONS(VANTO_METHOD_ENTRY)};
#undef VANTO_METHOD_ENTRY
#undef VANTO_COUNT_NEXT
#undef VANTO_COUNT_FIRST
#undef VANTO_PARAMETER_NEXT
#undef VANTO_PARAMETER_FIRST

const Method* FindMethod(DISPID member) {
  for (const auto& method : kMethods)
    if (method.member == member) return &method;
  return nullptr;
}

// One argument, converted for the call, and how to hand an in-out value back to the caller.
class Argument {
 public:
  HRESULT Take(VARIANTARG& given, const Parameter& parameter) {
    parameter_ = parameter;
    switch (parameter.type) {
      case Type::Boolean: return Coerce(given, VT_BOOL);
      case Type::Integer: return Coerce(given, VT_I2);
      case Type::String:
        if (parameter.inOut) return TakeStringReference(given);
        return Coerce(given, VT_BSTR);
      case Type::Collection: return TakeObject(given, IID__Collection, &collection_);
      case Type::Recordset: return TakeObject(given, IID_RowSet, &rowSet_);
    }
    return DISP_E_TYPEMISMATCH;
  }

  VARIANT_BOOL Boolean() const { return value_.Raw().boolVal; }
  SHORT Integer() const { return value_.Raw().iVal; }
  BSTR String() const { return value_.Raw().bstrVal; }
  BSTR* StringReference() { return stringTarget_ ? stringTarget_ : &value_.Raw().bstrVal; }
  _Collection* Collection() const { return collection_.Get(); }
  RowSet* Rows() const { return rowSet_.Get(); }

  // The in-out object slots: the operation may replace what they hold. Lend() gives the raw
  // slot (holding the argument's reference); Return() takes back what the operation left there.
  _Collection** LendCollection() {
    lentCollection_ = collection_.Detach();
    return &lentCollection_;
  }
  RowSet** LendRows() {
    lentRows_ = rowSet_.Detach();
    return &lentRows_;
  }
  void Return() {
    if (parameter_.type == Type::Collection && parameter_.inOut) {
      collection_ = ComPtr<_Collection>::Adopt(lentCollection_);
      lentCollection_ = nullptr;
      WriteBack(collection_.Get());
    } else if (parameter_.type == Type::Recordset && parameter_.inOut) {
      rowSet_ = ComPtr<RowSet>::Adopt(lentRows_);
      lentRows_ = nullptr;
      WriteBack(rowSet_.Get());
    }
  }

 private:
  HRESULT Coerce(VARIANTARG& given, VARTYPE type) {
    HRESULT hr = VariantChangeType(value_.Put(), &given, 0, type);
    if (FAILED(hr)) return hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
    return S_OK;
  }

  HRESULT TakeStringReference(VARIANTARG& given) {
    if (given.vt == (VT_BYREF | VT_BSTR)) {
      if (!given.pbstrVal) return DISP_E_TYPEMISMATCH;
      stringTarget_ = given.pbstrVal;
      return S_OK;
    }
    if (given.vt == (VT_BYREF | VT_VARIANT)) {
      VARIANT* inner = given.pvarVal;
      if (!inner) return DISP_E_TYPEMISMATCH;
      if (inner->vt != VT_BSTR) {
        // The caller's variant becomes a String, as a by-reference String parameter makes it.
        Variant converted;
        HRESULT hr = VariantChangeType(converted.Put(), inner, 0, VT_BSTR);
        if (FAILED(hr)) return hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
        VariantClear(inner);
        *inner = converted.Detach();
      }
      stringTarget_ = &inner->bstrVal;
      return S_OK;
    }
    if (given.vt & VT_BYREF) return DISP_E_TYPEMISMATCH;  // A reference to another type.
    return Coerce(given, VT_BSTR);  // A value: the operation works on a copy.
  }

  template <class T>
  HRESULT TakeObject(VARIANTARG& given, REFIID iid, ComPtr<T>* out) {
    IUnknown* object = nullptr;
    VARTYPE vt = given.vt;
    if (vt == (VT_BYREF | VT_VARIANT)) {
      if (!given.pvarVal) return DISP_E_TYPEMISMATCH;
      reference_ = given.pvarVal;
      vt = reference_->vt;
      if (vt == VT_DISPATCH || vt == VT_UNKNOWN) object = reference_->punkVal;
      else if (vt == VT_EMPTY && parameter_.inOut) object = nullptr;
      else return DISP_E_TYPEMISMATCH;
    } else if (vt == (VT_BYREF | VT_DISPATCH)) {
      if (!given.ppdispVal) return DISP_E_TYPEMISMATCH;
      if (parameter_.inOut) dispatchTarget_ = given.ppdispVal;
      object = *given.ppdispVal;
    } else if (vt == (VT_BYREF | VT_UNKNOWN)) {
      if (!given.ppunkVal) return DISP_E_TYPEMISMATCH;
      if (parameter_.inOut) unknownTarget_ = given.ppunkVal;
      object = *given.ppunkVal;
    } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
      object = given.punkVal;
    } else {
      return DISP_E_TYPEMISMATCH;
    }
    if (!object) return S_OK;  // Nothing: the operation gets no object.
    if (FAILED(object->QueryInterface(iid, reinterpret_cast<void**>(out->Put())))) return DISP_E_TYPEMISMATCH;
    return S_OK;
  }

  // Hands the object the operation left in an in-out slot back to the caller's variable.
  void WriteBack(IDispatch* object) {
    ComPtr<IDispatch> fresh(object);
    if (dispatchTarget_) {
      ComPtr<IDispatch> old = ComPtr<IDispatch>::Adopt(*dispatchTarget_);
      *dispatchTarget_ = fresh.Detach();
    } else if (unknownTarget_) {
      ComPtr<IUnknown> old = ComPtr<IUnknown>::Adopt(*unknownTarget_);
      *unknownTarget_ = fresh.Detach();
    } else if (reference_) {
      Variant value = Variant::Dispatch(fresh.Get());
      VariantClear(reference_);
      *reference_ = value.Detach();
    }
  }

  Parameter parameter_{Type::Boolean, false};
  Variant value_;
  BSTR* stringTarget_ = nullptr;
  ComPtr<_Collection> collection_;
  ComPtr<RowSet> rowSet_;
  _Collection* lentCollection_ = nullptr;
  RowSet* lentRows_ = nullptr;
  IDispatch** dispatchTarget_ = nullptr;
  IUnknown** unknownTarget_ = nullptr;
  VARIANT* reference_ = nullptr;
};

// What each parameter hands the operation: a value, a reference to the caller's String, or a slot
// of an in-out object.
#define VANTO_TAKE_in_Boolean Boolean
#define VANTO_TAKE_in_Integer Integer
#define VANTO_TAKE_in_String String
#define VANTO_TAKE_inout_String StringReference
#define VANTO_TAKE_in_Collection Collection
#define VANTO_TAKE_inout_Collection LendCollection
#define VANTO_TAKE_in_Recordset Rows
#define VANTO_TAKE_inout_Recordset LendRows
// Arguments are taken in order: a braced list is evaluated left to right.
#define VANTO_TAKE_FIRST(direction, type, name) (next++)->VANTO_TAKE_##direction##_##type()
#define VANTO_TAKE_NEXT(direction, type, name) , VANTO_TAKE_FIRST(direction, type, name)
#define VANTO_CALL_CASE(number, name)                                                                          \
  case number: {                                                                                               \
    Argument* next = a;                                                                                        \
    return std::apply([&](auto... values) { return machine.name(values..., result); },                         \
                      std::tuple{VANTO_IMACHINE_PARAMETERS(name, VANTO_TAKE_FIRST, VANTO_TAKE_NEXT)});         \
  }

// The elements of a braced list are evaluated in order, each with its side effects before the
// next ([dcl.init.list]); GCC's -Wsequence-point warns about `next++` in one all the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsequence-point"
HRESULT Call(IMachine& machine, DISPID member, Argument* a, VARIANT_BOOL* result) {
  switch (member) { VANTO_IMACHINE_OPERATIONS(VANTO_CALL_CASE) }
  return DISP_E_MEMBERNOTFOUND;
}
#pragma GCC diagnostic pop
#undef VANTO_CALL_CASE
#undef VANTO_TAKE_NEXT
#undef VANTO_TAKE_FIRST
}  // namespace

HRESULT GetClsMachineIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  if (count == 0) return S_OK;
  HRESULT hr = S_OK;
  ids[0] = DISPID_UNKNOWN;
  if (names[0]) {
    for (const auto& method : kMethods)
      if (SameNameIgnoringCase(method.name, names[0])) ids[0] = method.member;
  }
  if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  // Arguments are positional only: parameter names are not resolved.
  for (UINT i = 1; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT InvokeClsMachine(IMachine& machine, DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO*, UINT* argError) {
  // The caller's result variant is written, never read (it may hold anything on entry): it is
  // emptied first, so that a caller that clears it after a failure finds nothing to free.
  if (result) VariantInit(result);
  if (iid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
  const Method* method = FindMethod(member);
  if (!method || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (!params) params = &none;
  if (params->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != method->count) return DISP_E_BADPARAMCOUNT;
  if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;

  std::array<Argument, 9> arguments;
  for (UINT i = 0; i < method->count; ++i) {
    UINT position = params->cArgs - 1 - i;  // Arguments arrive in reverse order.
    HRESULT hr = arguments[i].Take(params->rgvarg[position], method->parameters[i]);
    if (FAILED(hr)) {
      if (argError) *argError = position;
      return hr;
    }
  }
  VARIANT_BOOL answer = VARIANT_FALSE;
  HRESULT hr = Call(machine, member, arguments.data(), &answer);
  for (UINT i = 0; i < method->count; ++i) arguments[i].Return();
  if (FAILED(hr)) return hr;
  if (result) {
    *result = Variant::Bool(answer != VARIANT_FALSE).Detach();
  }
  return S_OK;
}
