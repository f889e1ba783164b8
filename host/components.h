// Making the component runtime able to create VANTO.clsMachine: the host's own record classes
// in-process, and the built modules (the driver and the terminal control) in the user's
// registry, registered there when they are not registered yet.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vanto::host {

// Once per process; throws HostError saying which module or registration failed.
void PrepareComponents();

// The folder of the running program (empty when it cannot be told).
std::filesystem::path ProgramDirectory();

// Where the host looks for a module file: PREFIX/lib/vanto beside the program's PREFIX/bin,
// the program's own folder, then the path baked in at build time. The first that exists wins;
// empty when none does.
std::string FindModule(const std::string& file_name, const std::string& built_path);

// The modules the host uses, and where the host would take each from when registering it.
struct ModuleFile {
  std::string prog_id;    // the class the host creates from it
  std::string file_name;  // VANTO.so, FK303ID.so
  std::string found;      // FindModule's answer (empty when there is none)
};
std::vector<ModuleFile> HostModules();

// The FileVersion (else PRODUCTVERSION) of a module's VERSION 1 resource, or a text saying why
// there is none.
std::string ModuleVersionText(const std::string& path);

}  // namespace vanto::host
