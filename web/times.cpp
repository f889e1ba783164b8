#include "web/times.h"

#include <cctype>
#include <chrono>

namespace vanto::web {
namespace {

// "YYYY-MM-DDTHH:MM:SSZ" read as a wall time of UTC.
std::optional<site::WallTime> UtcFields(const std::string& text) {
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != 'Z')
    return std::nullopt;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  auto number = [&](std::size_t at, std::size_t digits) { return std::stoi(text.substr(at, digits)); };
  site::WallTime t{number(0, 4), number(5, 2), number(8, 2), number(11, 2), number(14, 2), number(17, 2)};
  if (!site::IsValidWallTime(t)) return std::nullopt;
  return t;
}

}  // namespace

std::string ShownTimes::zone() const { return zone_ ? zone_->name() : "UTC"; }

std::string ShownTimes::Of(const std::string& utc) const {
  const std::optional<site::WallTime> fields = UtcFields(utc);
  if (!fields) return utc;
  return Of(site::WallSeconds(*fields));
}

std::string ShownTimes::Of(std::int64_t unix_seconds) const {
  if (!zone_) return site::WallText(site::WallFromSeconds(unix_seconds));
  return site::WallText(zone_->WallAt(std::chrono::system_clock::time_point(std::chrono::seconds(unix_seconds))));
}

std::string ShownTimes::Note(Language language) const {
  return language == Language::kChinese ? "（" + zone() + "）" : " (" + zone() + ")";
}

}  // namespace vanto::web
