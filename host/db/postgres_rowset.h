// A row set over a table of a PostgreSQL database: the rows a query selects are read when it
// opens; an added or changed row is written, in one transaction, only when Update commits it.
// Long columns are INTEGER columns and binary ones BYTEA; the row's identity is the table's
// `row_id` column. Failures raise the SQLite row set's codes (ROWSET_E_*), with a description
// naming the operation and the server.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ado/columns.h"
#include "platform/ado/rowset.h"
#include "host/db/sqlite_rowset.h"
#include "platform/automation/owners.h"

namespace vanto::store {
class PgConnection;
}

struct PostgresOptions {
  // How long a statement waits for another session's lock before it fails.
  std::chrono::milliseconds lockTimeout{5000};
  // Reading only: Update fails with ROWSET_E_READONLY (the server refuses the write).
  bool readOnly = false;
};

struct PostgresRowSetQuery {
  std::string url;  // postgresql://... (libpq finds any password itself)
  std::string table = kEnrolmentTable;
  std::vector<ColumnSpec> columns = EnrolmentColumns();
  std::vector<std::pair<std::u16string, LONG>> equals;  // all must hold
  std::optional<RowSetSite> site;  // none: the table's rows belong to no site (sqlite_rowset.h)
  PostgresOptions options;
};

// Opens the row set over a connection of its own to `query.url` (closed when the row set goes).
HRESULT OpenPostgresRowSet(const PostgresRowSetQuery& query, ComPtr<RowSet>* rows);
// Opens the row set over the connection `lend` gives (`query.url` is not used): the row set keeps
// it for its life and drops it when the last reference to it is released, so a connection lent
// by a pool goes back then. `lend` throwing store::StoreError (the pool's wait ran out, the server
// is gone) fails the open like any other failure of the database.
HRESULT OpenPostgresRowSetOver(const std::function<std::shared_ptr<vanto::store::PgConnection>()>& lend,
                               const PostgresRowSetQuery& query, ComPtr<RowSet>* rows);
// The enrolment rows of one person (cPsn_Num = person), or of everyone.
HRESULT OpenPostgresEnrolmentRowSet(const std::string& url, std::optional<LONG> person, ComPtr<RowSet>* rows,
                                    const PostgresOptions& options = {});
// Creates the enrolment table and its index when they are missing.
HRESULT CreatePostgresEnrolmentSchema(const std::string& url, const PostgresOptions& options = {});

