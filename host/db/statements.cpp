#include "host/db/statements.h"

namespace vanto::store {

std::string SqliteText(std::string_view text) {
  std::string sqlite(text);
  SqlitePlaceholdersInPlace(sqlite.data(), sqlite.size());
  return sqlite;
}

}  // namespace vanto::store
