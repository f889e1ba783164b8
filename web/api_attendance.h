// The API's side of attendance: HR's entries (leave, corrections) read from a request's JSON,
// checked field by field, and written back as JSON. What an entry means and whether it may be
// made is the host's to say (host/attendance_host.h); here only the shapes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/attendance/model.h"

namespace vanto::web {

// A body's field of the wrong shape: the field ("leave[2].from") and what it must be.
struct BodyFieldError {
  std::string field;
  std::string detail;
};

// {"person", "kind": "add"|"set-aside", "time", "direction": "in"|"out", "port", "terminal",
// "reason"}: an added swipe needs its direction, a swipe set aside its port and terminal. The time
// is "YYYY-MM-DD HH:MM[:SS]" (a 'T' may stand for the space), answered with its seconds.
attendance::Correction CorrectionFromJson(const nlohmann::json& body);
// Leave one request adds at most (a larger import: `vanto leave import`, or several requests).
inline constexpr std::size_t kMaxLeavePerRequest = 1000;

// One leave object {"person", "kind", "from", "to", "part_start"?, "part_end"? (HH:MM), "note"?},
// or an array of them (the fields then named "leave[I].NAME"). Throws BodyFieldError.
std::vector<attendance::Leave> LeaveFromJson(const nlohmann::json& body);

nlohmann::json CorrectionJson(const attendance::Correction& correction);
nlohmann::json LeaveJson(const attendance::Leave& leave);

// "HH:MM" of minutes after midnight, and back (none: not a time of day).
std::string ClockOf(int minutes);
std::optional<int> MinutesOfClock(const std::string& text);

}  // namespace vanto::web
