// Calendar fields of the automation runtime's date values (days since 1899-12-30, the time of
// day as the fraction, whose sign follows the date's before 1899-12-30), and UTC wall time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/abi.h"

namespace vanto::store {

struct CivilTime {
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
};

// The calendar date and time of day a DATE denotes, to the nearest second.
CivilTime CivilFromDate(DATE date);
// "YYYY-MM-DD HH:MM" (the minute a swipe belongs to) and "YYYY-MM-DD HH:MM:SS".
std::string MinuteText(const CivilTime& t);
std::string SecondText(const CivilTime& t);
// The current UTC time as "YYYY-MM-DDTHH:MM:SSZ"; the same of seconds since 1970.
std::string UtcNowText();
std::string UtcText(std::int64_t unix_seconds);

}  // namespace vanto::store
