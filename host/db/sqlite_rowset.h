// A row set over an SQLite table: the rows a query selects are read when it opens; an added or
// changed row is written, in one transaction, only when Update commits it.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ado/columns.h"
#include "platform/ado/enrolment_schema.h"
#include "platform/ado/rowset.h"
#include "platform/automation/owners.h"

// Failures of the database behind the row set (each also raises a description naming the
// operation and the database file).
inline constexpr HRESULT ROWSET_E_LOCKED = MakeHResult(0x80040A01);     // still locked after the wait
inline constexpr HRESULT ROWSET_E_READONLY = MakeHResult(0x80040A02);   // opened read-only, or a read-only file
inline constexpr HRESULT ROWSET_E_CANTOPEN = MakeHResult(0x80040A03);   // missing file, no access, not a database
inline constexpr HRESULT ROWSET_E_ROWCHANGED = MakeHResult(0x80040A04); // the row was deleted by another connection
inline constexpr HRESULT ROWSET_E_DATABASE = MakeHResult(0x80040A05);   // any other database failure


struct sqlite3;

struct SqliteOptions {
  // How long an open or a commit waits for another connection's lock before it fails.
  std::chrono::milliseconds busyTimeout{5000};
  // Opens the file read-only: reading works, Update fails with ROWSET_E_READONLY.
  bool readOnly = false;
};

// The site a row set's rows belong to: a text column of the table that is not one of the row
// set's columns (its users never see it). The row set reads only the rows whose column holds
// `read` (every row when none) and stores every row it adds with `written` in it; a changed row
// keeps its own.
struct RowSetSite {
  std::string column = "site";
  std::optional<std::string> read;
  std::string written;
};

// What to open: a table of an existing database file, its columns (each an SQLite column of the
// same name: Long as INTEGER, binary as BLOB), and an optional filter of column = value tests.
struct SqliteRowSetQuery {
  std::string path;  // UTF-8 file name
  std::string table = kEnrolmentTable;
  std::vector<ColumnSpec> columns = EnrolmentColumns();
  std::vector<std::pair<std::u16string, LONG>> equals;  // all must hold
  std::optional<RowSetSite> site;  // none: the table's rows belong to no site
  SqliteOptions options;
};

// Opens the row set, reading the selected rows in the order they were stored. The database file
// must exist (it is never created here). A stored value that a Long column cannot hold fails the
// open, naming the row and the column.
HRESULT OpenSqliteRowSet(const SqliteRowSetQuery& query, ComPtr<RowSet>* rows);

// A connection to a database file, made for a row set by its owner (the database handle): the
// row set takes it over and closes it when the last reference to the row set is released.
struct SqliteRowSetConnection {
  struct Close {
    void operator()(sqlite3* db) const;
  };
  std::unique_ptr<sqlite3, Close> db;
  std::string path;  // the file, as failures name it
  SqliteOptions options;
};
// Opens `path` (which must exist) as OpenSqliteRowSet would: read-only when the options say so,
// waiting for another connection's lock up to their time. Failures are raised as the row set's.
HRESULT OpenSqliteRowSetConnection(const std::string& path, const SqliteOptions& options,
                                   SqliteRowSetConnection* connection);
// Opens the row set over `connection` (its path and options stand for the query's).
HRESULT OpenSqliteRowSetOver(SqliteRowSetConnection connection, const SqliteRowSetQuery& query, ComPtr<RowSet>* rows);
// The enrolment rows of one person (cPsn_Num = person), or of everyone.
HRESULT OpenEnrolmentRowSet(const std::string& path, std::optional<LONG> person, ComPtr<RowSet>* rows,
                            const SqliteOptions& options = {});
// Creates the database file when it is missing, and the enrolment table and its index when they
// are missing; an existing table is left as it is.
HRESULT CreateEnrolmentSchema(const std::string& path, const SqliteOptions& options = {});
