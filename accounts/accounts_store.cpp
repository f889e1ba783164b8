#include "accounts/accounts_store.h"

#include "accounts/accounts_engines.h"
#include "host/db/record_store.h"
#include "host/db/swipe_store.h"

namespace vanto::accounts {

const char* RoleName(Role role) {
  switch (role) {
    case Role::Admin: return "admin";
    case Role::Hr: return "hr";
    case Role::Viewer: return "viewer";
  }
  return "viewer";
}

std::optional<Role> ParseRole(std::string_view text) {
  if (text == "admin") return Role::Admin;
  if (text == "hr") return Role::Hr;
  if (text == "viewer") return Role::Viewer;
  return std::nullopt;
}

std::unique_ptr<AccountsStore> OpenAccountsStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                                 bool create) {
  const bool is_url = vanto::store::IsDatabaseUrl(location);
  {
    // Opening the record store takes the schema steps the database is missing (the accounts'
    // tables among them), in its own transactions; a database it creates has the one mode of
    // every database file (kDatabaseFileMode: never readable by others), password hashes or not.
    vanto::store::OpenOptions options;
    options.lock_timeout = lock_timeout;
    options.create = create;
    vanto::store::RecordStore::Open(location, options);
  }
  if (is_url) return OpenPostgresAccounts(location, lock_timeout);
  return OpenSqliteAccounts(location, lock_timeout);
}

}  // namespace vanto::accounts
