// The console's times: every instant the host keeps in UTC is shown as the wall time of the
// site's time zone, and the headings over them name that zone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/site/zone.h"
#include "web/words.h"

namespace vanto::web {

class ShownTimes {
 public:
  ShownTimes() = default;  // UTC
  explicit ShownTimes(site::TimeZone zone) : zone_(std::move(zone)) {}

  // The zone's name: "Asia/Shanghai", "UTC".
  std::string zone() const;
  // A stored UTC time ("2026-12-08T09:00:07Z") as the zone's wall time ("2026-12-08 17:00:07");
  // any other text as it stands.
  std::string Of(const std::string& utc) const;
  // Seconds since 1970 as the zone's wall time.
  std::string Of(std::int64_t unix_seconds) const;
  // The zone as a heading names it, after its word: " (Asia/Shanghai)", "（Asia/Shanghai）".
  std::string Note(Language language) const;

 private:
  std::optional<site::TimeZone> zone_;  // none: UTC
};

}  // namespace vanto::web
