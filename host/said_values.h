// An error kept among a result's values (a sync's cause values, a check's findings), which are
// name -> text pairs: the error's English text under its name, as programs have always read it,
// and beside it, when the error has words the catalogue translates, its message unworded under
// the name with "_said" appended (one line of JSON), so that a front end can put it into its
// reader's language even after the values went through the database. The "_said" values are for
// the front ends' words only: the JSON a program reads leaves them out (IsSaidValue).
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/message.h"

namespace vanto::host {

using NamedValues = std::vector<std::pair<std::string, std::string>>;

// `message` as one line of text, and back (nullopt for a text that is no message written so).
std::string MessageCode(const Message& message);
std::optional<Message> MessageFromCode(std::string_view code);

// Appends the error `e` (MessageOf: the message it carries, else its what()) under `name`: its
// English text, then its message when any part of it is translated.
void AddErrorValue(NamedValues& values, const std::string& name, const std::exception& e);
void AddErrorValue(NamedValues& values, const std::string& name, const Message& message);
// `values` with the error `e` under "error" appended.
NamedValues WithError(NamedValues values, const std::exception& e);

// The message kept under `name`: the unworded one when there is one, else the text as it is
// (rows recorded before messages were kept, an error that had no words of the catalogue).
Message ErrorValue(const NamedValues& values, const std::string& name);

// Whether `name` is the unworded message beside another value (left out of a program's JSON).
bool IsSaidValue(std::string_view name);

}  // namespace vanto::host
