#include "cli/args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "host/text/messages.h"

namespace vanto::cli {

std::int64_t ParseWhole(const std::string& text, std::int64_t min, std::int64_t max, const std::string& what) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) throw UsageError(TrFill("{0} must be a whole number, not '{1}'", {what, text}));
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') throw UsageError(TrFill("{0} must be a whole number, not '{1}'", {what, text}));
    if (value > 1'000'000'000'000LL)
      throw UsageError(TrFill("{0} {1} is out of range ({2}..{3})", {what, text, std::to_string(min), std::to_string(max)}));
    value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value < min || value > max)
    throw UsageError(TrFill("{0} {1} is out of range ({2}..{3})", {what, text, std::to_string(min), std::to_string(max)}));
  return value;
}

Range ParseRange(const std::string& text, int min, int max, const std::string& what) {
  // The separator is the first '-' after the first character, so "-3" stays a (negative) number.
  std::size_t dash = text.find('-', 1);
  Range range;
  if (dash == std::string::npos) {
    range.first = range.last = static_cast<int>(ParseWhole(text, min, max, what));
    return range;
  }
  range.first = static_cast<int>(ParseWhole(text.substr(0, dash), min, max, what));
  range.last = static_cast<int>(ParseWhole(text.substr(dash + 1), min, max, what));
  if (range.first > range.last)
    throw UsageError(TrFill("{0} {1} is inverted (write the smaller number first)", {what, text}));
  return range;
}

double ParseSeconds(const std::string& text, double max, const std::string& what) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos)
    throw UsageError(TrFill("{0} must be a number of seconds, not '{1}'", {what, text}));
  errno = 0;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value > max)
    throw UsageError(TrFill("{0} must be between 0 and {1} seconds, not '{2}'",
                            {what, std::to_string(static_cast<int>(max)), text}));
  return value;
}

}  // namespace vanto::cli
