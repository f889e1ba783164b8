#include "cli/components.h"

#include <unistd.h>

#include <filesystem>
#include <mutex>

#include "cli/machine.h"

namespace vanto::cli {

std::string FindModule(const std::string& file_name, const std::string& built_path) {
  std::error_code ec;
  if (!built_path.empty() && std::filesystem::exists(built_path, ec)) return built_path;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    std::filesystem::path beside = self.parent_path() / file_name;
    if (std::filesystem::exists(beside, ec)) return beside.string();
  }
  return {};
}

// STUB (until the component runtime's registry lands on main): nothing is registered yet.
void PrepareComponents() {}

}  // namespace vanto::cli
