#include "cli/version.h"

#include <filesystem>
#include <sstream>

#include "host/components.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/module_resources.h"
#include "platform/automation/registry.h"
#include "platform/automation/text.h"

#ifndef VANTO_VERSION
#define VANTO_VERSION "0.0.0"
#endif

namespace vanto::cli {

const char* ProgramVersion() { return VANTO_VERSION; }

void PrintVersion(std::ostream& out) {
  out << "vanto " << ProgramVersion() << "\n";
  std::string registry = RegistryLocation();
  out << "registry: " << registry << "\n";
  for (const ModuleFile& m : HostModules()) {
    std::string clsid, path;
    bool registered = SUCCEEDED(ReadRegistryValue(m.prog_id + "\\CLSID", "", &clsid)) &&
                      SUCCEEDED(ReadRegistryValue("CLSID\\" + clsid + "\\InprocServer32", "", &path)) && !path.empty();
    std::string note;
    if (!registered) {
      path = m.found;
      note = " (not registered yet; registered on first use)";
    } else if (!m.found.empty() && std::filesystem::path(path) != std::filesystem::path(m.found)) {
      note = " (registered; this vanto would register " + m.found + ")";
    }
    out << m.prog_id << ": ";
    if (path.empty()) {
      out << "module " << m.file_name << " not found" << note << "\n";
      continue;
    }
    std::error_code ec;
    std::string version = std::filesystem::exists(path, ec) ? ModuleVersionText(path) : "file missing";
    out << path << " (" << version << ")" << note << "\n";
  }
}

}  // namespace vanto::cli
