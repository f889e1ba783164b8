// How a database is named in what the host shows people: a file's path as it is, a
// PostgreSQL URL without its password (in the user part or as a "password=" parameter).
#pragma once

#include <string>

namespace vanto::host {

std::string ShownDatabaseLocation(const std::string& location);

}  // namespace vanto::host
