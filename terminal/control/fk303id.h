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

// Members for hosts (the driver does not use them). Identities and generations are unsigned
// 32-bit values carried in Longs as their bit pattern; 0 means "none" (a version 1 terminal).
// (terminal, version&, identity&, capacity&, held&, generation&) -> True: the terminal's record
// log as its begin-record-read answer gives it; version 1 leaves identity, capacity, generation 0.
inline constexpr DISPID kDispTerminalInfo = 40;
// (terminal, identity, generation, index) -> True: the next BeginCardRead of (port, terminal) in
// this process, on any control object, starts at `index` when the terminal still answers with
// that identity and generation and holds at least `index` records; otherwise it reads all.
// index -1 removes a start that was set.
inline constexpr DISPID kDispSetCardReadStart = 41;
// (terminal, reads&, held&, generation&, identity&, start&, next&, state&) -> True when a record
// read of (port, terminal) has begun in this process: how many have begun, the last one's records
// held and log at its begin, its start index, the index of the next record it would hand out, and
// its state (0 running, 1 complete, 2 failed). False: none has begun.
inline constexpr DISPID kDispCardReadStatus = 42;
// (terminal, generation, index, person&, year&, month&, day&, hour&, minute&) -> True with the
// raw fields of the record at `index`; False when the terminal holds exactly `index` records.
inline constexpr DISPID kDispReadCardRecordAt = 43;
// (terminal, generation, count, newGeneration&) -> True when the terminal cleared its records
// (it had exactly that generation and count); False when it refused because they differ.
inline constexpr DISPID kDispClearCardRecords = 44;

inline constexpr int kTemplateBufferValues = 460;

// The class factory of FK303ID (a new reference), for a module's DllGetClassObject.
HRESULT GetFK303IDClassObject(REFCLSID clsid, REFIID iid, void** object);
// Adds FK303ID to the process's in-process class table (idempotent).
HRESULT RegisterFK303IDInProcess();
// Live FK303ID objects plus server locks held on its factory (for DllCanUnloadNow).
long FK303IDActiveCount();
