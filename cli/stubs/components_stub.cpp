// STUB, built only while the component registry is not part of the tree: the host can then
// reach only classes registered in-process.
#include <filesystem>

#include "cli/components.h"

namespace vanto::cli {
std::string FindModule(const std::string&, const std::string& built_path) { return built_path; }
void PrepareComponents() {}
}  // namespace vanto::cli
