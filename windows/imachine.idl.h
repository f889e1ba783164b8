// IDL spellings of the IMachine operations (platform/corvel/imachine_operations.h), for the
// interface descriptions the C preprocessor makes from windows/*.idl.in.
#include "platform/corvel/imachine_operations.h"

#define VANTO_IDL_in_Boolean [in] VARIANT_BOOL
#define VANTO_IDL_in_Integer [in] short
#define VANTO_IDL_in_String [in] BSTR
#define VANTO_IDL_inout_String [in, out] BSTR*
#define VANTO_IDL_in_Collection [in] _Collection*
#define VANTO_IDL_inout_Collection [in, out] _Collection**
#define VANTO_IDL_in_Recordset [in] RowSet*
#define VANTO_IDL_inout_Recordset [in, out] RowSet**
#define VANTO_IDL_FIRST(direction, type, name) VANTO_IDL_##direction##_##type name
#define VANTO_IDL_NEXT(direction, type, name) , VANTO_IDL_##direction##_##type name
#define VANTO_IDL_PARAMETERS(name) VANTO_IMACHINE_PARAMETERS(name, VANTO_IDL_FIRST, VANTO_IDL_NEXT)

// A vtable method of IMachine, and a method of the _clsMachine dispatch interface.
#define VANTO_IDL_VTABLE_METHOD(number, name) \
  [id(number)] HRESULT name(VANTO_IDL_PARAMETERS(name), [out, retval] VARIANT_BOOL* result);
#define VANTO_IDL_DISPATCH_METHOD(number, name) [id(number)] VARIANT_BOOL IMachine_##name(VANTO_IDL_PARAMETERS(name));

#define VANTO_IDL_IMACHINE                                                        \
  [uuid(5C3E9A11-6B2D-4E71-9A41-207D3B18C201), dual, nonextensible, oleautomation] \
  interface IMachine : IDispatch {                                                 \
    VANTO_IMACHINE_OPERATIONS(VANTO_IDL_VTABLE_METHOD)                             \
  };
