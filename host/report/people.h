// People: the names and departments beside person numbers (a front end reads them from a people
// file with present/report/people_file.h).
#pragma once

#include <cstdint>
#include <string>

namespace vanto::report {

struct Person {
  std::int32_t number = 0;
  std::string name;
  std::string department;
  std::string employee_code{};  // '' none: ties the same human's numbers at several sites
  std::string site{};           // the site the person belongs to ('' none, or not read)
  friend bool operator==(const Person&, const Person&) = default;
};

}  // namespace vanto::report
