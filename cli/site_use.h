// The site file as the running command uses it: found, read and checked before any terminal
// traffic, and its port and line settings written where the terminal control reads them.
#pragma once

#include <optional>
#include <string>

#include "host/site/site.h"

namespace vanto::host {}
namespace vanto::cli {
using namespace vanto::host;  // the front end presents what the host library does

// Finds and reads the site of this command (--site, $VANTO_SITE, the configuration folder) and
// applies it. A site the user named must exist; the default one may be absent unless `required`.
// Throws site::SiteError. Returns the site, or null when there is none.
// This process's environment, as the host library's site functions take it.
site::Environment ProcessEnvironment();

const site::Site* UseSite(const std::optional<std::string>& option, bool required);
// The site of the command running on this thread (null when none).
const site::Site* CurrentSite();
// How the current site file was found ("--site", "$VANTO_SITE", "~/.config/vanto/site.toml").
std::string CurrentSiteOrigin();
// Forgets the current site (the end of a command).
void LeaveSite();

// The database the site names, resolved against the site file's folder; nullopt when it names none.
std::optional<std::string> SiteDatabase(const site::Site& site);

}  // namespace vanto::cli
