// How a database is named in what the host shows people: a file's path as it is, a PostgreSQL
// location (URL or key=value text) with every password in it replaced by "***".
#pragma once

#include <string>

namespace vanto::host {

std::string ShownDatabaseLocation(const std::string& location);

// Whether `location` holds a password (which belongs in ~/.pgpass, not in a location).
bool LocationHoldsPassword(const std::string& location);

// `message` (an error or log line that may quote `location`) without the location's passwords.
std::string ShownMessage(const std::string& message, const std::string& location);

}  // namespace vanto::host
