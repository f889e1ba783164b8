// The values on the host's command line: whole numbers, ranges and seconds (cli/command.h
// declares the options). Every refusal is a UsageError with a one-line message.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/errors.h"
#include "host/ports.h"

namespace vanto::cli {

using namespace vanto::host;  // the front end presents what the host library does

using UsageError = host::InputError;

struct OptionSpec {
  std::string name;  // without the leading "--"
  std::string value;  // name of the value in the help text; empty for a flag
  std::string help;
};

// A whole decimal number (optional sign, digits only) within [min, max]; `what` names it in
// the message ("--port", "person number").
std::int64_t ParseWhole(const std::string& text, std::int64_t min, std::int64_t max, const std::string& what);

using host::Range;
// "N" or "N-M" with min <= N <= M <= max.
Range ParseRange(const std::string& text, int min, int max, const std::string& what);

// Seconds as a decimal number (e.g. "5", "0.25") within [0, max].
double ParseSeconds(const std::string& text, double max, const std::string& what);

}  // namespace vanto::cli
