#include "platform/automation/module_path.h"
#include "platform/automation/win/system_win.h"

std::string ModulePathOfAddress(const void* address) { return vanto::win::ModulePathOfAddress(address); }

std::string ModuleDirectoryOf(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}
