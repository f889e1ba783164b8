#include "host/schedule.h"

#include "host/text/messages.h"

namespace vanto::host {

bool SyncTimerEnabled(const std::filesystem::path& root) {
  std::error_code ec;
  // A link, dangling or not, is what `systemctl enable` leaves: its presence is the enabling.
  return std::filesystem::symlink_status(root / "etc/systemd/system/timers.target.wants/vanto-sync.timer", ec).type() !=
         std::filesystem::file_type::not_found && !ec;
}

std::optional<std::string> BothSchedulesWarning(const site::Site& site, const std::filesystem::path& root) {
  if (!site.sync_every || !SyncTimerEnabled(root)) return std::nullopt;
  return TrFill("the site file {0} has a [schedule] for 'vanto serve' and vanto-sync.timer is enabled too: use one "
                "('systemctl disable --now vanto-sync.timer', or remove [schedule] from the site file)",
                {site.Where(site.sync_every_line)});
}

}  // namespace vanto::host
