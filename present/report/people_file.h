// A people file: the names and departments beside person numbers, read from a CSV file
// (person number, name, optional department; UTF-8; a header row; RFC 4180 quoting). Every
// refusal names the file and the line, in the process's language.
#pragma once

#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/report/people.h"

namespace vanto::report {

// A names file that cannot be imported: the message starts "FILE:LINE: ".
class PeopleFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads every row of a people file; the first bad row throws PeopleFileError naming `source`
// and the row's line number, so a caller imports all rows or none. Names and departments are
// trimmed of surrounding spaces; a name may hold commas, quotes and line breaks (quoted).
// A fourth field is the employee code ('' none; one line, trimmed).
// Refused: no header row, a row without 2 to 4 fields, a person number that is no 32-bit whole
// number, an empty name, a number listed twice, text that is not UTF-8, an unclosed quote.
std::vector<Person> ReadPeopleCsv(std::istream& in, const std::string& source);

// Whether `text` is well-formed UTF-8.
bool IsUtf8(const std::string& text);

}  // namespace vanto::report
