#include "accounts/accounts_store.h"

#include "host/db/database.h"

namespace vanto::accounts {

std::unique_ptr<AccountsStore> OpenAccountsStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                                 bool create) {
  db::DatabaseOptions options;
  options.lock_timeout = lock_timeout;
  options.create = create;
  return db::Database::Open(location, options)->Accounts();
}

}  // namespace vanto::accounts
