// Command-line parsing for the host: options of a subcommand, whole numbers and ranges.
// Every refusal is a UsageError with a one-line message; nothing runs before parsing succeeds.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vanto::cli {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  std::string name;  // without the leading "--"
  std::string value;  // name of the value in the help text; empty for a flag
  std::string help;
};

// The options given to one subcommand.
class Options {
 public:
  // Parses `args` (the words after the subcommand) against `specs`. "--name value",
  // "--name=value" and flags "--name"; "-h" is "--help". Positional words are refused.
  static Options Parse(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs);

  bool Has(const std::string& name) const { return values_.count(name) > 0; }
  std::optional<std::string> Get(const std::string& name) const;
  // The option's value, or a UsageError naming the missing option.
  std::string Require(const std::string& name) const;

 private:
  std::map<std::string, std::string> values_;
};

// A whole decimal number (optional sign, digits only) within [min, max]; `what` names it in
// the message ("--port", "person number").
std::int64_t ParseWhole(const std::string& text, std::int64_t min, std::int64_t max, const std::string& what);

struct Range {
  int first = 0, last = 0;
};
// "N" or "N-M" with min <= N <= M <= max.
Range ParseRange(const std::string& text, int min, int max, const std::string& what);

// Seconds as a decimal number (e.g. "5", "0.25") within [0, max].
double ParseSeconds(const std::string& text, double max, const std::string& what);

}  // namespace vanto::cli
