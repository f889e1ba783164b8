#include "host/database_location.h"

#include "host/store/record_store.h"
#include "platform/ado/pg_connection.h"

namespace vanto::host {

std::string ShownDatabaseLocation(const std::string& location) {
  if (!store::IsDatabaseUrl(location)) return location;
  // A password in the user part, or as a "password=" parameter of the query.
  std::string shown = store::RedactUrl(location);
  for (std::size_t at = shown.find("password="); at != std::string::npos; at = shown.find("password=", at + 1)) {
    if (at == 0 || (shown[at - 1] != '?' && shown[at - 1] != '&')) continue;
    std::size_t start = at + 9, end = shown.find('&', start);
    shown.replace(start, (end == std::string::npos ? shown.size() : end) - start, "***");
  }
  return shown;
}


}  // namespace vanto::host
