// Output formats of the host: aligned text tables, JSON and CSV (UTF-8 throughout).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vanto::host {}
namespace vanto::cli {
using namespace vanto::host;  // the front end presents what the host library does

// A JSON string literal of UTF-8 `text` (quotes, backslashes and control characters escaped).
std::string JsonString(const std::string& text);
// A CSV field: quoted when it holds a comma, quote, CR or LF.
std::string CsvField(const std::string& text);

// Writes rows under a header, each column as wide as its widest cell; numbers right-aligned
// when `right[i]` says so.
void WriteTable(std::ostream& out, const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                const std::vector<bool>& right);

}  // namespace vanto::cli
