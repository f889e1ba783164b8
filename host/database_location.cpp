#include "host/database_location.h"

#include "host/db/pg_location.h"

namespace vanto::host {

std::string ShownDatabaseLocation(const std::string& location) { return store::RedactLocation(location); }

bool LocationHoldsPassword(const std::string& location) { return store::HoldsPassword(location); }

std::string ShownMessage(const std::string& message, const std::string& location) {
  return store::ScrubPasswords(message, location);
}

}  // namespace vanto::host
