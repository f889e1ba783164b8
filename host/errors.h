// What the host library throws. A front end maps them to its own answers: InputError is the
// caller's mistake (the command line's exit 2), HostError is the host's own part failing (a
// database, the components: exit 3).
#pragma once

#include <stdexcept>

namespace vanto::host {

class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vanto::host
