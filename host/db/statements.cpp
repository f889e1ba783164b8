#include "host/db/statements.h"

namespace vanto::store {

std::string SqliteText(std::string_view text) {
  std::string sqlite(text);
  SqlitePlaceholdersInPlace(sqlite.data(), sqlite.size());
  return sqlite;
}

namespace sql {

std::string PeopleAmongSql(std::size_t count) {
  std::string text = "SELECT person, name, department FROM people WHERE person IN (";
  for (std::size_t i = 1; i <= count; ++i) (text += i > 1 ? ", $" : "$") += std::to_string(i);
  return text + ") ORDER BY person";
}

std::string HeldBackSql(const char* open_conflict) {
  return std::string(
             "SELECT port, terminal, SUM(rejected), SUM(conflicts) FROM ("
             "SELECT port, terminal, 1 AS rejected, 0 AS conflicts FROM rejected_records UNION ALL "
             "SELECT port, terminal, 0, 1 FROM conflicts WHERE ") +
         open_conflict + ") AS held GROUP BY port, terminal ORDER BY port, terminal";
}

}  // namespace sql

}  // namespace vanto::store
