// The console's accounts in the site's database: the rows live in the database module
// (host/db/accounts_store.h); these are their names where the account logic uses them.
#pragma once

#include "host/db/accounts_store.h"

namespace vanto::accounts {

using store::AccountsStore;
using store::AuditEntry;
using store::ParseRole;
using store::Role;
using store::RoleName;
using store::SessionRecord;
using store::User;


}  // namespace vanto::accounts
