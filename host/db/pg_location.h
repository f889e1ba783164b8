// Where a PostgreSQL database is, as people write it: a postgresql:// (or postgres://) URL, or
// key=value connection text ("host=db dbname=vanto"). Passwords in either form, in every
// spelling the client library reads (the user part of a URL, a "password" parameter with its
// name or value percent-encoded, a quoted or escaped key=value), are found here and nowhere else:
// what the host shows, logs or refuses goes through these functions.
#pragma once

#include <string>
#include <vector>

namespace vanto::store {

// Whether `location` is key=value connection text the client library accepts.
bool IsConnectionText(const std::string& location);

// `location` with every password in it replaced by "***"; anything else unchanged.
std::string RedactLocation(const std::string& location);

// Whether `location` holds a password (an empty one counts too).
bool HoldsPassword(const std::string& location);

// The passwords `location` holds, as written and as the client library reads them (non-empty).
std::vector<std::string> PasswordsIn(const std::string& location);

// `text` (a message that may quote `location`) with every password of `location` replaced by "***".
std::string ScrubPasswords(const std::string& text, const std::string& location);

}  // namespace vanto::store
