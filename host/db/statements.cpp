#include "host/db/statements.h"

namespace vanto::store {

std::string SqliteText(std::string_view text) {
  std::string sqlite(text);
  SqlitePlaceholdersInPlace(sqlite.data(), sqlite.size());
  return sqlite;
}

namespace sql {

namespace {
// The schema steps that brought each row's site and a person's employee code (schema.cpp).
constexpr int kSitesVersion = 20;
constexpr int kEmployeeCodeVersion = 21;

std::string PersonColumns(int version) {
  if (version >= kEmployeeCodeVersion) return "person, name, department, site, employee_code";
  if (version >= kSitesVersion) return "person, name, department, site, ''";
  return "person, name, department, '', ''";
}
std::string SiteColumn(int version) { return version >= kSitesVersion ? "site" : "''"; }
}  // namespace

std::string PeopleSql(int version, bool one_site) {
  return "SELECT " + PersonColumns(version) + " FROM people" + (one_site ? " WHERE " + SiteColumn(version) + " = $1" : "") +
         " ORDER BY " + (version >= kSitesVersion ? "site, " : "") + "person";
}

std::string RejectedSql(int version, bool one_site) {
  return "SELECT port, terminal, identity, generation, record_index, person, year, month, day, hour, minute, reason, "
         "first_seen, epoch, " + SiteColumn(version) + " FROM rejected_records" +
         (one_site ? " WHERE " + SiteColumn(version) + " = $1" : "") +
         " ORDER BY first_seen, identity, generation, epoch, record_index";
}

std::string ConflictColumns(int version) { return std::string(kConflictColumns) + ", " + SiteColumn(version); }

std::string PeopleAmongSql(std::size_t count, bool one_site, int version) {
  std::string text = "SELECT " + PersonColumns(version) + " FROM people WHERE person IN (";
  for (std::size_t i = 1; i <= count; ++i) (text += i > 1 ? ", $" : "$") += std::to_string(i);
  text += ")";
  if (one_site) text += " AND " + SiteColumn(version) + " = $" + std::to_string(count + 1);
  return text + " ORDER BY " + (version >= kSitesVersion ? "site, " : "") + "person";
}

}  // namespace sql

}  // namespace vanto::store
