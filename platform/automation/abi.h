// Binary layout of the component model and its automation types, as on Windows (x86-64, and
// x86 when built for Windows): HRESULT codes, GUID, IUnknown/IDispatch, BSTR, VARIANT, SAFEARRAY,
// error info, class factory.
//
// On Linux the standard API below is our own (libvanto_automation). Built for Windows, the same
// declarations name the system's functions (ole32, oleaut32): the string unit is char16_t here
// and wchar_t in the system's headers, both 16-bit there, and C linkage does not encode parameter
// types, so the declarations bind to the system's exports. The system's headers are never included
// together with this one.
#pragma once

#include <cstddef>
#include <cstdint>

using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using FLOAT = float;
using DOUBLE = double;
using DATE = double;
using LCID = std::uint32_t;
using DISPID = std::int32_t;
using MEMBERID = DISPID;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
using PVOID = void*;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr HRESULT MakeHResult(std::uint32_t bits) { return static_cast<HRESULT>(bits); }
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// Standard codes.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002);
constexpr HRESULT E_POINTER = MakeHResult(0x80004003);
constexpr HRESULT E_ABORT = MakeHResult(0x80004004);
constexpr HRESULT E_FAIL = MakeHResult(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154);
constexpr HRESULT REGDB_E_WRITEREGDB = MakeHResult(0x80040151);
constexpr HRESULT REGDB_E_READREGDB = MakeHResult(0x80040150);
constexpr HRESULT CO_E_CLASSSTRING = MakeHResult(0x800401F3);
constexpr HRESULT CO_E_NOTINITIALIZED = MakeHResult(0x800401F0);
constexpr HRESULT CO_E_DLLNOTFOUND = MakeHResult(0x8004018A);
constexpr HRESULT CO_E_ERRORINDLL = MakeHResult(0x800401F9);
constexpr HRESULT SELFREG_E_CLASS = MakeHResult(0x80040201);
constexpr HRESULT SELFREG_E_TYPELIB = MakeHResult(0x80040200);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHResult(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHResult(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHResult(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHResult(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHResult(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = MakeHResult(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = MakeHResult(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = MakeHResult(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = MakeHResult(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = MakeHResult(0x8002000B);
constexpr HRESULT DISP_E_ARRAYISLOCKED = MakeHResult(0x8002000D);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHResult(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHResult(0x8002000F);

// Runtime errors of the classic BASIC-family runtime travel as FACILITY_CONTROL codes.
constexpr HRESULT MakeRuntimeError(std::uint16_t number) {
  return MakeHResult(0x800A0000u | number);
}
constexpr HRESULT CTL_E_OVERFLOW = MakeRuntimeError(6);
constexpr HRESULT CTL_E_OUTOFMEMORY = MakeRuntimeError(7);
constexpr HRESULT CTL_E_SUBSCRIPTOUTOFRANGE = MakeRuntimeError(9);
constexpr HRESULT CTL_E_TYPEMISMATCH = MakeRuntimeError(13);
constexpr HRESULT CTL_E_OBJECTNOTSET = MakeRuntimeError(91);
constexpr HRESULT CTL_E_INVALIDUSEOFNULL = MakeRuntimeError(94);
constexpr HRESULT CTL_E_CANTCREATEOBJECT = MakeRuntimeError(429);

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

constexpr bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
constexpr bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IErrorInfo{0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_IEnumVARIANT{0x00020404, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

#ifdef _WIN32
#define STDMETHODCALLTYPE __stdcall
#define VANTO_API_CALL __stdcall
#define VANTO_EXPORT
#define VANTO_SYSTEM_API __declspec(dllimport)
#else
#define STDMETHODCALLTYPE
#define VANTO_API_CALL
#define VANTO_EXPORT __attribute__((visibility("default")))
#define VANTO_SYSTEM_API VANTO_EXPORT
#endif

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct ITypeInfo;  // Not used by the driver; kept as an opaque type for the IDispatch layout.

struct tagVARIANT;
using VARIANT = tagVARIANT;
using VARIANTARG = tagVARIANT;

struct DISPPARAMS {
  VARIANTARG* rgvarg;  // Arguments in reverse order: rgvarg[cArgs - 1] is the first.
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_ZH_CN = 0x0804;

struct IDispatch : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count,
                                                  LCID lcid, DISPID* ids) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags,
                                           DISPPARAMS* params, VARIANT* result,
                                           EXCEPINFO* exception, UINT* argError) = 0;
};

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;
};

struct IErrorInfo : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSource(BSTR* source) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* helpFile) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* helpContext) = 0;
};

struct IEnumVARIANT : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* items, ULONG* fetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** copy) = 0;
};

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

struct CY {
  LONGLONG int64;
};

struct DECIMAL {
  USHORT wReserved;
  BYTE scale;
  BYTE sign;
  ULONG Hi32;
  ULONGLONG Lo64;
};

struct tagVARIANT {
  union {
    struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        DATE* pdate;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        PVOID byref;
        struct {
          PVOID pvRecord;
          PVOID pRecInfo;
        } brecVal;
      };
    };
    DECIMAL decVal;
  };
};

constexpr bool kWidePointers = sizeof(void*) == 8;
static_assert(sizeof(VARIANT) == (kWidePointers ? 24 : 16), "VARIANT must keep its layout");
static_assert(sizeof(GUID) == 16, "GUID must keep its 16-byte layout");
static_assert(sizeof(EXCEPINFO) == (kWidePointers ? 64 : 32), "EXCEPINFO must keep its layout");
static_assert(sizeof(SAFEARRAY) == (kWidePointers ? 32 : 24), "SAFEARRAY must keep its layout");

// The standard automation API, under its standard names (implemented in libvanto_automation;
// on Windows, the system's).
extern "C" {
VANTO_SYSTEM_API BSTR VANTO_API_CALL SysAllocString(const OLECHAR* text);
VANTO_SYSTEM_API BSTR VANTO_API_CALL SysAllocStringLen(const OLECHAR* text, UINT length);
VANTO_SYSTEM_API BSTR VANTO_API_CALL SysAllocStringByteLen(const char* bytes, UINT length);
VANTO_SYSTEM_API void VANTO_API_CALL SysFreeString(BSTR text);
VANTO_SYSTEM_API UINT VANTO_API_CALL SysStringLen(BSTR text);
VANTO_SYSTEM_API UINT VANTO_API_CALL SysStringByteLen(BSTR text);

VANTO_SYSTEM_API void VANTO_API_CALL VariantInit(VARIANT* value);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VariantClear(VARIANT* value);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VariantCopy(VARIANT* destination, const VARIANT* source);
// Copies the value a by-reference variant points to (a plain variant is copied as it is).
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VariantCopyInd(VARIANT* destination, const VARIANT* source);

VANTO_SYSTEM_API SAFEARRAY* VANTO_API_CALL SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL SafeArrayDestroy(SAFEARRAY* array);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL SafeArrayAccessData(SAFEARRAY* array, void** data);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL SafeArrayUnaccessData(SAFEARRAY* array);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound);
VANTO_SYSTEM_API UINT VANTO_API_CALL SafeArrayGetDim(SAFEARRAY* array);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);

// Per-thread error info: the error channel of vtable calls.
VANTO_SYSTEM_API HRESULT VANTO_API_CALL SetErrorInfo(ULONG reserved, IErrorInfo* info);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL GetErrorInfo(ULONG reserved, IErrorInfo** info);
}
