// The engines behind AccountsStore and TokenStore, each over a connection of its own.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "host/db/accounts_store.h"

namespace vanto::store {

// All expect the schema to be up to date (Database::Open sees to it). `read_only`: an SQLite file
// opened read-only, every write refused with StoreFailure::ReadOnly.
std::unique_ptr<AccountsStore> OpenSqliteAccounts(const std::string& path, std::chrono::milliseconds lock_timeout,
                                                  bool read_only = false);
std::unique_ptr<AccountsStore> OpenPostgresAccounts(const std::string& url, std::chrono::milliseconds lock_timeout);
std::unique_ptr<TokenStore> OpenSqliteTokens(const std::string& path, std::chrono::milliseconds lock_timeout,
                                             bool read_only = false);
std::unique_ptr<TokenStore> OpenPostgresTokens(const std::string& url, std::chrono::milliseconds lock_timeout);

}  // namespace vanto::store
