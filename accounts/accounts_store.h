// The console's accounts in the site's database: the rows live in the database module
// (host/db/accounts_store.h); these are their names where the account logic uses them.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "host/db/accounts_store.h"

namespace vanto::accounts {

using store::AccountsStore;
using store::AuditEntry;
using store::ParseRole;
using store::Role;
using store::RoleName;
using store::SessionRecord;
using store::User;

// Deprecated: open one vanto::db::Database per process and take its Accounts(). Opens the
// accounts of the database at `location` (an SQLite path or a postgresql:// URL), bringing its
// schema up to date first (an SQLite file that does not exist is created, private to its owner,
// when `create`). Throws vanto::store::StoreError naming the location.
std::unique_ptr<AccountsStore> OpenAccountsStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                                 bool create = true);

}  // namespace vanto::accounts
