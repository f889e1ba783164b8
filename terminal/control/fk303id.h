// The terminal control FK303ID ("FK303IDLib.FK303ID"): a dispatch object that carries the
// driver's calls to attendance terminals over a serial port, by member number.
#pragma once

#include "platform/automation/abi.h"

inline constexpr CLSID CLSID_FK303ID{0x7A3D5E40, 0x1C2B, 0x4F60, {0x8E, 0x13, 0x5B, 0x90, 0x2C, 0x47, 0xA1, 0x30}};
inline constexpr IID DIID__DFK303ID{0x7A3D5E41, 0x1C2B, 0x4F60, {0x8E, 0x13, 0x5B, 0x90, 0x2C, 0x47, 0xA1, 0x30}};
inline constexpr GUID LIBID_FK303IDLib{0x7A3D5E42, 0x1C2B, 0x4F60, {0x8E, 0x13, 0x5B, 0x90, 0x2C, 0x47, 0xA1, 0x30}};
inline constexpr char16_t kProgIdFK303ID[] = u"FK303IDLib.FK303ID";

// Dispatch members.
inline constexpr DISPID kDispSerialPort = 1;          // property: port number (Integer)
inline constexpr DISPID kDispPrepareEnrollment = 4;   // (terminal, person, 1, enrolment) -> Boolean
inline constexpr DISPID kDispBeginCardRead = 7;       // (terminal by ref) -> Boolean
inline constexpr DISPID kDispProbeMachine = 10;       // (terminal, True) -> Boolean
inline constexpr DISPID kDispReadEnrollment = 19;     // (terminal, person&, 0, enrolment, 0, template&, password&)
inline constexpr DISPID kDispWriteEnrollment = 20;    // (terminal, person, 1, enrolment, 1, template&, password)
inline constexpr DISPID kDispNextCardRecord = 25;     // (terminal, t&, person&, t&, fifth&, y&, mo&, d&, h&, mi&)
// Members for hosts, beyond those the driver calls.
inline constexpr DISPID kDispPortStatus = 40;   // (port) -> String: the port's last status in this process
inline constexpr DISPID kDispOpenPort = 41;     // (port) -> Boolean: selects and opens the port (taking its lock)
inline constexpr DISPID kDispReleasePort = 42;  // () : closes the selected port and releases its lock

inline constexpr int kTemplateBufferValues = 460;

// The class factory of FK303ID (a new reference), for a module's DllGetClassObject.
HRESULT GetFK303IDClassObject(REFCLSID clsid, REFIID iid, void** object);
// Adds FK303ID to the process's in-process class table (idempotent).
HRESULT RegisterFK303IDInProcess();
// Live FK303ID objects plus server locks held on its factory (for DllCanUnloadNow).
long FK303IDActiveCount();
