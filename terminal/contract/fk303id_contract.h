// The contract of the terminal control FK303ID, in one place: its class name (ProgID), its class,
// interface and library identifiers, its members (number, name, kind, arguments) and the size of
// the fingerprint template it exchanges. The driver's link calls the control by these numbers, the
// control answers them, the codec and the wire format size their buffers by kTemplateValues.
//
// Adding a member: one FK303ID_MEMBERS entry here, and its implementation in the control
// (terminal/control/fk303id.cpp), which refuses to build a member it does not handle.
#pragma once

// VANTO_IDL_ONLY: read for the member list alone (the Windows type library's IDL is made from it).
#ifndef VANTO_IDL_ONLY
#include <cstddef>
#include <string_view>

#include "platform/automation/abi.h"

namespace fk303id {
#endif

// The class name hosts create the control by.
#define FK303ID_PROGID "FK303IDLib.FK303ID"
#ifndef VANTO_IDL_ONLY
inline constexpr char16_t kProgId[] = u"" FK303ID_PROGID;
inline constexpr char kProgIdText[] = FK303ID_PROGID;  // as registry entries spell it

inline constexpr CLSID kClsid{0x7A3D5E40, 0x1C2B, 0x4F60, {0x8E, 0x13, 0x5B, 0x90, 0x2C, 0x47, 0xA1, 0x30}};
inline constexpr IID kDispatchInterface{0x7A3D5E41, 0x1C2B, 0x4F60, {0x8E, 0x13, 0x5B, 0x90, 0x2C, 0x47, 0xA1, 0x30}};
inline constexpr GUID kLibrary{0x7A3D5E42, 0x1C2B, 0x4F60, {0x8E, 0x13, 0x5B, 0x90, 0x2C, 0x47, 0xA1, 0x30}};

// The fingerprint template the control reads and writes: 460 signed 32-bit values, passed as a
// reference to element 0 of the caller's buffer.
inline constexpr std::size_t kTemplateValues = 460;

enum class Kind { kProperty, kMethod };
#endif

// The members: X(Name, number, kind, argument count, arguments in the caller's order).
// Members 1..25 are the driver's. Members 40..44 and 50..53 are for hosts; in 40..44 identities and generations are
// unsigned 32-bit values carried in Longs as their bit pattern, 0 meaning "none" (a terminal of
// protocol version 1).
//  40 TerminalInfo: the terminal's record log as its begin-record-read answer gives it (version
//     1 or 2; a version 1 terminal leaves identity, capacity and generation 0).
//  41 SetCardReadStart: the next BeginCardRead of (port, terminal) in this process, on any
//     control object, starts at `index` while the terminal still answers with that identity and
//     generation and holds at least `index` records, otherwise at the first record; index -1
//     removes a start that was set.
//  42 CardReadStatus: False when no record read of (port, terminal) has begun in this process;
//     else how many have, and of the last one its records held, log, start index, the index of
//     the next record it would hand out and its state (0 running or left, 1 complete, 2 failed).
//  43 ReadCardRecordAt: the raw fields of the record at `index` (generation 0: asked without
//     one); False when the terminal holds exactly `index` records.
//  44 ClearCardRecords: True when the terminal cleared its records (it had exactly that
//     generation and count), with its new generation; False when it refused because they differ.
//     When the clear's answer is lost (a retry is then refused as "records changed", or nothing
//     answers), the control asks the terminal's identity, generation and count again and answers
//     what happened: True with the new generation when the log was cleared, False or an error
//     when it was not.
//  50 PortStatus, 51 OpenPort, 52 ReleasePort: a port's last status in this process; opening a
//     port (taking its lock) to check it; closing it and releasing its lock.
//  53 SetSetting: how a host configures the control. `name` is a setting's name as
//     terminal/control/settings.h lists them (a port's own "<NAME>_<N>", a device
//     "VANTO_FK_PORT_<N>"), `value` its value, empty to remove what a host set. It holds for every
//     control of the process created from then on (the driver's included) and wins over the
//     control's own overrides (the VANTO_FK_* variables); False when the control does not take it.
// Members 60..69 are the terminal's clock and record form (protocol version 3); clock times are
// the terminal's local wall time to the second.
//  60 ReadClock: True with the terminal's clock; False when the terminal has no clock commands
//     (version 1 or 2). A clock answer that is no valid date and time is an error naming it.
//  61 SetClock: True when the terminal set its clock; False with `refusal` its reason when it
//     refused: 1 no clock commands (version 1 or 2), 9 a time it cannot keep (also a time that is
//     no valid date and time of 2000..2127, which the control does not send), 10 its clock is
//     locked. Setting a clock changes no record.
//  62 CardReadForm: False when no record read of (port, terminal) has begun in this process; else
//     of the last one: dense 1 when it read dense batches (0: the plain form), and how many
//     batches it read again in the plain form after dense ones stayed damaged or were refused.
// In the argument lists `&` marks a Long passed by reference that the control writes, and
// `template&` the 460-Long template buffer; every method answers a Boolean but PortStatus, which
// answers a String. The members from 40 on are for hosts; the driver never calls them.
#define FK303ID_MEMBERS(X)                                                                               \
  X(SerialPort, 1, kProperty, 1, "port (Integer; get and put)")                                          \
  X(PrepareEnrollment, 4, kMethod, 4, "terminal, person, 1, enrolment")                                   \
  X(BeginCardRead, 7, kMethod, 1, "terminal&")                                                            \
  X(ProbeMachine, 10, kMethod, 2, "terminal, True")                                                       \
  X(ReadEnrollment, 19, kMethod, 7, "terminal, person&, 0, enrolment, 0, template&, password&")          \
  X(WriteEnrollment, 20, kMethod, 7, "terminal, person, 1, enrolment, 1, template&, password")           \
  X(NextCardRecord, 25, kMethod, 10,                                                                     \
    "terminal, terminal&, person&, terminal&, fifth&, year&, month&, day&, hour&, minute&")             \
  X(TerminalInfo, 40, kMethod, 6, "terminal, version&, identity&, capacity&, held&, generation&")        \
  X(SetCardReadStart, 41, kMethod, 4, "terminal, identity, generation, index")                           \
  X(CardReadStatus, 42, kMethod, 8,                                                                      \
    "terminal, reads&, held&, generation&, identity&, start&, next&, state&")                            \
  X(ReadCardRecordAt, 43, kMethod, 9, "terminal, generation, index, person&, year&, month&, day&, hour&, minute&") \
  X(ClearCardRecords, 44, kMethod, 4, "terminal, generation, count, newGeneration&") \
  X(PortStatus, 50, kMethod, 1, "port -> String: the port's last status in this process")                \
  X(OpenPort, 51, kMethod, 1, "port: selects and opens the port, taking its lock")                        \
  X(ReleasePort, 52, kMethod, 1, "port: closes the port when selected and releases its lock")             \
  X(SetSetting, 53, kMethod, 2, "name, value (Strings): a setting for every control created from then on")             \
  X(ReadClock, 60, kMethod, 7, "terminal, year&, month&, day&, hour&, minute&, second&")                \
  X(SetClock, 61, kMethod, 8, "terminal, year, month, day, hour, minute, second, refusal&")               \
  X(CardReadForm, 62, kMethod, 3, "terminal, dense&, fallbacks&")

#ifndef VANTO_IDL_ONLY

namespace member {
#define FK303ID_MEMBER_NUMBER(name, number, kind, count, arguments) inline constexpr DISPID k##name = number;
FK303ID_MEMBERS(FK303ID_MEMBER_NUMBER)
#undef FK303ID_MEMBER_NUMBER
}  // namespace member

struct Member {
  DISPID number;
  std::u16string_view name;
  Kind kind;
  UINT argumentCount;  // For a property: the value a put takes.
  std::string_view arguments;
};

inline constexpr Member kMembers[] = {
#define FK303ID_MEMBER_ENTRY(name, number, kind, count, arguments) {number, u## #name, Kind::kind, count, arguments},
    FK303ID_MEMBERS(FK303ID_MEMBER_ENTRY)
#undef FK303ID_MEMBER_ENTRY
};

// The member numbered `number`, or null.
constexpr const Member* FindMember(DISPID number) {
  for (const Member& m : kMembers)
    if (m.number == number) return &m;
  return nullptr;
}

// How many arguments the method numbered `number` takes (0 for an unknown number).
constexpr UINT ArgumentCount(DISPID number) {
  for (const Member& m : kMembers)
    if (m.number == number) return m.argumentCount;
  return 0;
}

}  // namespace fk303id
#endif  // VANTO_IDL_ONLY
