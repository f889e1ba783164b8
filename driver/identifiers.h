// Identifiers of the VANTO library, its class clsMachine and its default interface _clsMachine.
#pragma once

#include "platform/automation/abi.h"

inline constexpr GUID LIBID_VANTO{0x3F6B1C20, 0x8A4E, 0x4D19, {0xA2, 0x5C, 0x71, 0x0E, 0x94, 0x3B, 0x6D, 0x10}};
inline constexpr CLSID CLSID_clsMachine{0x3F6B1C21, 0x8A4E, 0x4D19, {0xA2, 0x5C, 0x71, 0x0E, 0x94, 0x3B, 0x6D, 0x10}};
inline constexpr IID IID__clsMachine{0x3F6B1C22, 0x8A4E, 0x4D19, {0xA2, 0x5C, 0x71, 0x0E, 0x94, 0x3B, 0x6D, 0x10}};
inline constexpr char16_t kProgIdClsMachine[] = u"VANTO.clsMachine";

#include "terminal/contract/fk303id_contract.h"

// The terminal control the driver creates by class name (the control's contract).
inline constexpr const char16_t* kProgIdTerminalControl = fk303id::kProgId;
