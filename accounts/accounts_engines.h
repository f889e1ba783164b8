// The engines behind AccountsStore; OpenAccountsStore picks one by the location.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "accounts/accounts_store.h"

namespace vanto::accounts {

// Both expect the schema to be up to date (OpenAccountsStore sees to it).
std::unique_ptr<AccountsStore> OpenSqliteAccounts(const std::string& path, std::chrono::milliseconds lock_timeout);
std::unique_ptr<AccountsStore> OpenPostgresAccounts(const std::string& url, std::chrono::milliseconds lock_timeout);

}  // namespace vanto::accounts
