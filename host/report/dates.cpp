#include "host/report/dates.h"

#include "host/calendar.h"

#include <cstdio>

namespace vanto::report {

bool Digits(std::string_view text, std::size_t at, std::size_t count, int* value) {
  if (at + count > text.size()) return false;
  int v = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

std::int64_t DaysFromDate(const Date& date) { return calendar::DaysFromCivil(date.year, date.month, date.day); }

Date DateFromDays(std::int64_t z) {
  const calendar::CivilDate c = calendar::CivilFromDays(z);
  Date d;
  d.year = c.year, d.month = c.month, d.day = c.day;
  return d;
}

int DaysInMonth(int year, int month) { return calendar::DaysInMonth(year, month); }

bool IsValidDate(const Date& d) {
  return d.year >= 1 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
         d.day <= DaysInMonth(d.year, d.month);
}

std::string DateText(const Date& d) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.year, d.month, d.day);
  return text;
}

int Weekday(const Date& date) {
  std::int64_t days = DaysFromDate(date);  // 1970-01-01 was a Thursday (3)
  return static_cast<int>(((days % 7) + 7 + 3) % 7);
}

std::optional<std::int64_t> MinuteOfTimeText(std::string_view text) {
  Date d;
  int hour = 0, minute = 0, second = 0;
  if (text.size() != 16 && text.size() != 19) return std::nullopt;
  if (!Digits(text, 0, 4, &d.year) || text[4] != '-' || !Digits(text, 5, 2, &d.month) || text[7] != '-' ||
      !Digits(text, 8, 2, &d.day) || (text[10] != ' ' && text[10] != 'T') || !Digits(text, 11, 2, &hour) ||
      text[13] != ':' || !Digits(text, 14, 2, &minute))
    return std::nullopt;
  if (text.size() == 19 && (text[16] != ':' || !Digits(text, 17, 2, &second))) return std::nullopt;
  if (!IsValidDate(d) || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return DaysFromDate(d) * 1440 + hour * 60 + minute;
}

std::string MinuteText(std::int64_t minute) {
  std::int64_t days = minute >= 0 ? minute / 1440 : -((-minute + 1439) / 1440);
  int of_day = static_cast<int>(minute - days * 1440);
  return DateText(DateFromDays(days)) + " " + ClockText(of_day);
}

std::string ClockText(int minutes) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", minutes / 60, minutes % 60);
  return text;
}

}  // namespace vanto::report
