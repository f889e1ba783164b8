// The one statement that writes a row of the audit trail, the same on both engines. The handle's
// Audit writes a row in a transaction of its own; a repository that audits a change in the
// change's transaction runs the same statement through these helpers.
#pragma once

#include <string>

#include "host/db/accounts_store.h"
#include "platform/ado/pg_connection.h"
#include "platform/ado/sqlite_connection.h"

namespace vanto::store {

// $1 at, $2 actor, $3 origin, $4 action, $5 details (SQLite numbers them in that order too).
inline constexpr const char* kInsertAuditSql =
    "INSERT INTO audit (at, actor, origin, action, details) VALUES ($1, $2, $3, $4, $5)";

void InsertAudit(SqliteConnection& connection, const AuditEntry& entry);
void InsertAudit(PgConnection& connection, const AuditEntry& entry);

}  // namespace vanto::store
