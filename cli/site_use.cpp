#include "cli/site_use.h"

#include "host/facade.h"

#include <cstdlib>
#include <filesystem>

#include "host/control_settings.h"

#include "host/text/messages.h"

namespace vanto::cli {
namespace {
thread_local std::optional<site::Site> current;
thread_local std::string origin;
}

site::Environment ProcessEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
  };
}

const site::Site* UseSite(const std::optional<std::string>& option, bool required) {
  current.reset();
  site::SiteLocation where = site::LocateSite(option, ProcessEnvironment());
  std::error_code ec;
  if (!where.given && !std::filesystem::exists(where.path, ec)) {
    UseSiteControlSettings({});  // nothing of an earlier site in this process lingers
    if (required)
      throw site::SiteError(TrFill("no site file at {0} ({1}); write one with 'vanto site init', or give --site FILE",
                                   {where.path, where.how}));
    return nullptr;
  }
  current = site::LoadSite(where.path);
  origin = where.how;
  UseSiteControlSettings(site::ControlSettingsOf(*current, ProcessEnvironment()));
  return &*current;
}

const site::Site* CurrentSite() { return current ? &*current : nullptr; }

std::string CurrentSiteOrigin() { return origin; }

void LeaveSite() { current.reset(); }

std::optional<std::string> SiteDatabase(const site::Site& site) { return SiteDatabaseLocation(site); }

}  // namespace vanto::cli
