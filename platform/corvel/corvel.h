// The host interface library: IMachine (the terminal-driver interface a driver implements) and
// the host record classes MachineInfo and CardRecord, version 1.1.
#pragma once

#include "platform/automation/abi.h"
#include "platform/automation/collection.h"
#include "platform/automation/owners.h"
#include "platform/ado/rowset.h"
#include "platform/corvel/imachine_operations.h"

inline constexpr GUID LIBID_Corvel{0x5C3E9A10, 0x6B2D, 0x4E71, {0x9A, 0x41, 0x20, 0x7D, 0x3B, 0x18, 0xC2, 0x01}};
inline constexpr IID IID_IMachine{0x5C3E9A11, 0x6B2D, 0x4E71, {0x9A, 0x41, 0x20, 0x7D, 0x3B, 0x18, 0xC2, 0x01}};
inline constexpr IID IID_IMachineInfo{0x5C3E9A12, 0x6B2D, 0x4E71, {0x9A, 0x41, 0x20, 0x7D, 0x3B, 0x18, 0xC2, 0x01}};
inline constexpr IID IID_ICardRecord{0x5C3E9A13, 0x6B2D, 0x4E71, {0x9A, 0x41, 0x20, 0x7D, 0x3B, 0x18, 0xC2, 0x01}};
inline constexpr CLSID CLSID_MachineInfo{0x5C3E9A14, 0x6B2D, 0x4E71, {0x9A, 0x41, 0x20, 0x7D, 0x3B, 0x18, 0xC2, 0x01}};
inline constexpr CLSID CLSID_CardRecord{0x5C3E9A15, 0x6B2D, 0x4E71, {0x9A, 0x41, 0x20, 0x7D, 0x3B, 0x18, 0xC2, 0x01}};
inline constexpr char16_t kProgIdMachineInfo[] = u"Corvel.MachineInfo";
inline constexpr char16_t kProgIdCardRecord[] = u"Corvel.CardRecord";

// The terminal-driver interface. Slots follow IDispatch's, in this order. Every operation returns
// S_OK to the component model (E_POINTER for a null out-pointer); its outcome is `result`.
// Dispatch members: funcRegister 1 ... delCardData 6. The operations, their numbers and parameters
// are listed once, in platform/corvel/imachine_operations.h.
struct IMachine : IDispatch {
#define VANTO_IMACHINE_VTABLE_SLOT(number, name) \
  virtual HRESULT STDMETHODCALLTYPE name(VANTO_IMACHINE_DECLARE(name), VARIANT_BOOL* result) = 0;
  VANTO_IMACHINE_OPERATIONS(VANTO_IMACHINE_VTABLE_SLOT)
#undef VANTO_IMACHINE_VTABLE_SLOT
};

// One discovered terminal. Properties in slot order (dispatch members 1..4), each get then put;
// a put takes a variant and keeps a copy of it.
struct IMachineInfo : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_MachineNo(VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_MachineNo(VARIANT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MachineId(VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_MachineId(VARIANT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PortNo(VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_PortNo(VARIANT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IpAddress(VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IpAddress(VARIANT value) = 0;
};

// One card-swipe record. Properties in slot order (dispatch members 1..2).
struct ICardRecord : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_PersonNo(VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_PersonNo(VARIANT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SwipeTime(VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SwipeTime(VARIANT value) = 0;
};

// Adds MachineInfo and CardRecord to the process's in-process class table (idempotent).
VANTO_EXPORT HRESULT RegisterCorvelClasses();
// The class factories themselves (one new reference each), for a registry-backed host.
VANTO_EXPORT HRESULT GetCorvelClassObject(REFCLSID clsid, REFIID iid, void** object);
// Live objects of this library (records and factories) plus server locks held on its factories:
// what a module serving its classes adds to its own counts for DllCanUnloadNow.
VANTO_EXPORT long CorvelActiveCount();
