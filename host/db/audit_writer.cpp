#include "host/db/audit_writer.h"

namespace vanto::store {

void InsertAudit(SqliteConnection& connection, const AuditEntry& entry) {
  auto q = connection.Prepare(sql::kInsertAudit.sqlite());
  int i = 0;
  for (const std::string* text : {&entry.at, &entry.actor, &entry.origin, &entry.action, &entry.details})
    SqliteConnection::Bind(q.get(), ++i, *text);
  connection.Step(q.get(), "writing the audit trail");
}

void InsertAudit(PgConnection& connection, const AuditEntry& entry) {
  connection.Exec(sql::kInsertAudit.postgres(),
                  {entry.at.c_str(), entry.actor.c_str(), entry.origin.c_str(), entry.action.c_str(),
                   entry.details.c_str()},
                  "writing the audit trail");
}

}  // namespace vanto::store
