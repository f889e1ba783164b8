// A row set over a table of a PostgreSQL database: the rows a query selects are read when it
// opens; an added or changed row is written, in one transaction, only when Update commits it.
// Long columns are INTEGER columns and binary ones BYTEA; the row's identity is the table's
// `row_id` column. Failures raise the SQLite row set's codes (ROWSET_E_*), with a description
// naming the operation and the server.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ado/columns.h"
#include "platform/ado/rowset.h"
#include "host/db/sqlite_rowset.h"
#include "platform/automation/owners.h"

struct PostgresOptions {
  // How long a statement waits for another session's lock before it fails.
  std::chrono::milliseconds lockTimeout{5000};
  // Reading only: Update fails with ROWSET_E_READONLY.
  bool readOnly = false;
};

struct PostgresRowSetQuery {
  std::string url;  // postgresql://... (libpq finds any password itself)
  std::string table = kEnrolmentTable;
  std::vector<ColumnSpec> columns = EnrolmentColumns();
  std::vector<std::pair<std::u16string, LONG>> equals;  // all must hold
  PostgresOptions options;
};

HRESULT OpenPostgresRowSet(const PostgresRowSetQuery& query, ComPtr<RowSet>* rows);
// The enrolment rows of one person (cPsn_Num = person), or of everyone.
HRESULT OpenPostgresEnrolmentRowSet(const std::string& url, std::optional<LONG> person, ComPtr<RowSet>* rows,
                                    const PostgresOptions& options = {});
// Creates the enrolment table and its index when they are missing.
HRESULT CreatePostgresEnrolmentSchema(const std::string& url, const PostgresOptions& options = {});

