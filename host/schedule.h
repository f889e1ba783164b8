// Which schedule syncs a site: the console's (`vanto serve` with [schedule] sync_every in the site
// file) or the package's timer (vanto-sync.timer). A site uses one of them: both at once sync
// every terminal twice as often as meant.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "host/site/site.h"

namespace vanto::host {

// Whether the package's timer is enabled: its link in timers.target.wants under
// `root`/etc/systemd/system (root "/" on a running system).
bool SyncTimerEnabled(const std::filesystem::path& root = "/");

// Where the site file's [schedule] is ("FILE:LINE") when the site has one and the package's timer
// is enabled too (two schedules for one site); nullopt otherwise. BothSchedulesText
// (present/sync_words.h) words it.
std::optional<std::string> BothSchedules(const site::Site& site, const std::filesystem::path& root = "/");

}  // namespace vanto::host
