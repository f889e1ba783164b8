// What the host library throws. A front end maps them to its own answers: InputError is the
// caller's mistake (the command line's exit 2), HostError is the host's own part failing (a
// database, the components: exit 3). Each carries its message unworded (message(): the front
// ends translate it); what() is the message in English.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "host/message.h"

namespace vanto::host {

class InputError : public std::runtime_error, public CarriesMessage {
 public:
  explicit InputError(Message message) : std::runtime_error(message.English()), CarriesMessage(std::move(message)) {}
  // A text said as it is (another part's own words).
  explicit InputError(const std::string& text) : InputError(Message::Verbatim(text)) {}
};

class HostError : public std::runtime_error, public CarriesMessage {
 public:
  explicit HostError(Message message) : std::runtime_error(message.English()), CarriesMessage(std::move(message)) {}
  // A text said as it is (another part's own words).
  explicit HostError(const std::string& text) : HostError(Message::Verbatim(text)) {}
};

}  // namespace vanto::host
