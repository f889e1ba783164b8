// Output formats of the host: aligned text tables, JSON and CSV (UTF-8 throughout).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "present/report/formats.h"

namespace vanto::host {}
namespace vanto::cli {
using namespace vanto::host;  // the front end presents what the host library does

// A JSON string literal of UTF-8 `text` (quotes, backslashes and control characters escaped).
std::string JsonString(const std::string& text);
// One CSV field (RFC 4180 quoting) and one table writer that measures display width (a wide
// East Asian character takes two columns), shared with the reports and listings.
using report::CsvField;
using report::WriteTable;

}  // namespace vanto::cli
