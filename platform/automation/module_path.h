// Where a module's code lives, and how the registry names the platform of its interface
// description.
#pragma once

#include <string>

#include "platform/automation/abi.h"

// The absolute path of the module file holding `address` ("" if it cannot be found).
VANTO_EXPORT std::string ModulePathOfAddress(const void* address);
// The folder of a module path (without the final separator).
VANTO_EXPORT std::string ModuleDirectoryOf(const std::string& path);

// The subkey of TypeLib\{libid}\<version>\0 that names the description's file.
constexpr const char* TypeLibPlatformKey() {
#if defined(_WIN64)
  return "win64";
#elif defined(_WIN32)
  return "win32";
#else
  return "linux64";
#endif
}
