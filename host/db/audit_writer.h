// Writing a row of the audit trail (sql::kInsertAudit, the same on both engines). The handle's
// Audit writes a row in a transaction of its own; a repository that audits a change in the
// change's transaction runs the same statement through these helpers.
#pragma once

#include <string>

#include "host/db/accounts_store.h"
#include "host/db/pg_connection.h"
#include "host/db/sqlite_connection.h"
#include "host/db/statements.h"

namespace vanto::store {

void InsertAudit(SqliteConnection& connection, const AuditEntry& entry);
void InsertAudit(PgConnection& connection, const AuditEntry& entry);

}  // namespace vanto::store
