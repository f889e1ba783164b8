#include "host/schedule.h"

namespace vanto::host {

bool SyncTimerEnabled(const std::filesystem::path& root) {
  std::error_code ec;
  // A link, dangling or not, is what `systemctl enable` leaves: its presence is the enabling.
  return std::filesystem::symlink_status(root / "etc/systemd/system/timers.target.wants/vanto-sync.timer", ec).type() !=
         std::filesystem::file_type::not_found && !ec;
}

std::optional<std::string> BothSchedules(const site::Site& site, const std::filesystem::path& root) {
  if (!site.sync_every || !SyncTimerEnabled(root)) return std::nullopt;
  return site.Where(site.sync_every_line);
}

}  // namespace vanto::host
