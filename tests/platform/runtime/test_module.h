// What the runtime tests and their test module share.
#pragma once

#include "platform/automation/abi.h"

inline constexpr CLSID CLSID_RuntimeTestCounter{0x6A0F3E51, 0x2C7B, 0x4D8E, {0x91, 0x0A, 0x3B, 0x5C, 0x7D, 0x2E, 0x4F, 0x60}};

// The module calls the hook (when set) from its per-thread state's destructor at thread exit;
// the test program sets it through this extra export of the test module.
using TestModuleThreadExitHook = void (*)(long calls);
using TestModuleSetThreadExitHookFunction = void (*)(TestModuleThreadExitHook hook);
