// The IMachine operations, defined once: number, name and parameters of each. From this list come
// the interface (platform/corvel/corvel.h), the driver's operations (driver/operations.h), the
// methods of clsMachine, its late-binding table (driver/dispatch.cpp) and the method lines of the
// interface descriptions the modules carry (component/*_resources.cpp).
//
//   VANTO_IMACHINE_OPERATIONS(X) calls X(number, name) for each operation, in vtable order.
//   VANTO_IMACHINE_PARAMETERS_<name>(FIRST, NEXT) lists its parameters as
//     FIRST(direction, type, name) NEXT(direction, type, name) ...
//   direction: in | inout; type: Boolean | Integer | String | Collection | Recordset.
//   VANTO_IMACHINE_PARAMETERS(name, FIRST, NEXT) expands the parameters of operation `name`.
//
// Every operation answers a Boolean, the final `VARIANT_BOOL* result` of its vtable method.
#pragma once

#define VANTO_IMACHINE_OPERATIONS(X) \
  X(1, funcRegister)                 \
  X(2, funcBackFingure)              \
  X(3, funcReWrite)                  \
  X(4, DownloadCarddata)             \
  X(5, funcWriteCard)                \
  X(6, delCardData)

#define VANTO_IMACHINE_PARAMETERS_funcRegister(FIRST, NEXT)                                               \
  FIRST(inout, Collection, col) NEXT(in, Boolean, blnPort) NEXT(in, Integer, iPortMin)                     \
  NEXT(in, Integer, iPortMax) NEXT(in, String, strIPMin) NEXT(in, String, strIPMax) NEXT(in, Integer, iMin) \
  NEXT(in, Integer, iMax) NEXT(inout, String, strMsg)
#define VANTO_IMACHINE_PARAMETERS_funcBackFingure(FIRST, NEXT)                                      \
  FIRST(in, Boolean, blnPort) NEXT(in, String, strIp) NEXT(in, Integer, iPort)                       \
  NEXT(in, Integer, imachineno) NEXT(in, String, sPersonNum) NEXT(inout, Recordset, rsData)          \
  NEXT(inout, String, strMsg)
#define VANTO_IMACHINE_PARAMETERS_funcReWrite(FIRST, NEXT)                                          \
  FIRST(in, Boolean, blnPort) NEXT(in, String, strIp) NEXT(in, Integer, iPort)                       \
  NEXT(in, Integer, imachineno) NEXT(in, String, sPersonNum) NEXT(in, Recordset, rsData)             \
  NEXT(inout, String, strMsg)
#define VANTO_IMACHINE_PARAMETERS_DownloadCarddata(FIRST, NEXT)                                     \
  FIRST(in, Boolean, blnPort) NEXT(in, String, strIp) NEXT(in, Integer, iPort)                       \
  NEXT(in, Integer, imachineno) NEXT(inout, Collection, cdata) NEXT(inout, String, strMsg)
#define VANTO_IMACHINE_PARAMETERS_funcWriteCard(FIRST, NEXT)                                        \
  FIRST(in, Boolean, blnPort) NEXT(in, String, strIp) NEXT(in, Integer, iPort)                       \
  NEXT(in, Integer, imachineno) NEXT(in, Collection, c) NEXT(inout, String, strMsg)
#define VANTO_IMACHINE_PARAMETERS_delCardData(FIRST, NEXT)                                          \
  FIRST(in, Boolean, blnPort) NEXT(in, String, strIp) NEXT(in, Integer, iPort)                       \
  NEXT(in, Integer, imachineno)

#define VANTO_IMACHINE_PARAMETERS(name, FIRST, NEXT) VANTO_IMACHINE_PARAMETERS_##name(FIRST, NEXT)

// The C++ type of a parameter in the vtable method.
#define VANTO_IMACHINE_CPP_in_Boolean VARIANT_BOOL
#define VANTO_IMACHINE_CPP_in_Integer SHORT
#define VANTO_IMACHINE_CPP_in_String BSTR
#define VANTO_IMACHINE_CPP_inout_String BSTR*
#define VANTO_IMACHINE_CPP_in_Collection _Collection*
#define VANTO_IMACHINE_CPP_inout_Collection _Collection**
#define VANTO_IMACHINE_CPP_in_Recordset RowSet*
#define VANTO_IMACHINE_CPP_inout_Recordset RowSet**

// Declarations (`Type name, ...`) and arguments (`name, ...`) of an operation, without the result.
#define VANTO_IMACHINE_DECLARE_FIRST(direction, type, name) VANTO_IMACHINE_CPP_##direction##_##type name
#define VANTO_IMACHINE_DECLARE_NEXT(direction, type, name) , VANTO_IMACHINE_CPP_##direction##_##type name
#define VANTO_IMACHINE_DECLARE(name) \
  VANTO_IMACHINE_PARAMETERS(name, VANTO_IMACHINE_DECLARE_FIRST, VANTO_IMACHINE_DECLARE_NEXT)
#define VANTO_IMACHINE_PASS_FIRST(direction, type, name) name
#define VANTO_IMACHINE_PASS_NEXT(direction, type, name) , name
#define VANTO_IMACHINE_PASS(name) VANTO_IMACHINE_PARAMETERS(name, VANTO_IMACHINE_PASS_FIRST, VANTO_IMACHINE_PASS_NEXT)

// One method line of an interface description:
//   "  method N <prefix><name>(in Boolean blnPort, ...) As Boolean\n"
#define VANTO_IMACHINE_TEXT_FIRST(direction, type, name) #direction " " #type " " #name
#define VANTO_IMACHINE_TEXT_NEXT(direction, type, name) ", " #direction " " #type " " #name
#define VANTO_IMACHINE_TEXT_LINE(prefix, number, name)                                                       \
  "  method " #number " " prefix #name                                                                       \
  "(" VANTO_IMACHINE_PARAMETERS(name, VANTO_IMACHINE_TEXT_FIRST, VANTO_IMACHINE_TEXT_NEXT) ") As Boolean\n"
