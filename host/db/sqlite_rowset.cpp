// The SQLite row set: reads the selected rows when it opens and writes a row back, in its own
// transaction, when Update commits it.
#include "host/db/sqlite_rowset.h"

#include <sqlite3.h>

#include <limits>
#include <memory>

#include "platform/ado/rowset_core.h"
#include "host/db/store_failure.h"
#include "host/db/sqlite_readonly.h"
#include "platform/automation/conversions.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace {
using rowset_detail::Cell;
using rowset_detail::Row;

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

std::u16string Decimal(long long value) {
  std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::string QuoteIdentifier(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// Where the failure happened: the operation and the database file, for every message.
struct Place {
  std::u16string_view operation;
  const std::string& path;
  std::chrono::milliseconds busyTimeout;

  std::u16string Prefix() const {
    return std::u16string(operation) + u"失败（数据库“" + ToUtf16(path) + u"”）：";
  }
  HRESULT Raise(HRESULT code, std::u16string_view reason) const {
    return RaiseError(code, Prefix() + std::u16string(reason));
  }
  // Raises SQLite's failure `rc`, read off `db` (which may be null) straight after the call,
  // classified as every SQLite user of this program classifies it.
  HRESULT RaiseSqlite(sqlite3* db, int rc) const {
    using vanto::store::SqliteCause;
    const vanto::store::SqliteFailure failure = vanto::store::ClassifySqlite(db, rc);
    HRESULT code = ROWSET_E_DATABASE;
    std::u16string reason = failure.reason_zh;
    switch (failure.cause) {
      case SqliteCause::Locked:
        code = ROWSET_E_LOCKED;
        reason += u"，等待 " + Decimal(busyTimeout.count()) + u" 毫秒后仍未解锁";
        break;
      case SqliteCause::ReadOnly:
      case SqliteCause::NoAccess: code = ROWSET_E_READONLY; break;
      case SqliteCause::CantOpen:
      case SqliteCause::NotADatabase: code = ROWSET_E_CANTOPEN; break;
      case SqliteCause::NoMemory: code = E_OUTOFMEMORY; break;
      default: break;
    }
    return Raise(code, reason + u"（" + ToUtf16(failure.detail) + u"）");
  }
};

HRESULT OpenDatabase(const std::string& path, const SqliteOptions& options, bool create, const Place& place,
                     Database* out) {
  if (path.empty()) return place.Raise(ROWSET_E_CANTOPEN, u"没有给出数据库文件名");
  int flags = options.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  if (create && !options.readOnly) flags |= SQLITE_OPEN_CREATE;
  sqlite3* raw = nullptr;
  int rc = options.readOnly ? vanto::sqlite::OpenForReading(path, &raw) : sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Database db(raw);
  if (rc != SQLITE_OK) return place.RaiseSqlite(db.get(), rc);
  sqlite3_extended_result_codes(db.get(), 1);
  long long ms = options.busyTimeout.count();
  sqlite3_busy_timeout(db.get(), ms < 0 ? 0 : ms > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                                                     : static_cast<int>(ms));
  *out = std::move(db);
  return S_OK;
}

HRESULT Prepare(sqlite3* db, const std::string& sql, const Place& place, Statement* out) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
  Statement statement(raw);
  if (rc != SQLITE_OK) return place.RaiseSqlite(db, rc);
  *out = std::move(statement);
  return S_OK;
}

int BindCell(sqlite3_stmt* statement, int index, const Cell& cell) {
  if (const LONG* number = std::get_if<LONG>(&cell)) return sqlite3_bind_int(statement, index, *number);
  if (const auto* bytes = std::get_if<std::vector<BYTE>>(&cell)) {
    // An empty value stays an empty blob (binding no data would store NULL).
    if (bytes->empty()) return sqlite3_bind_zeroblob(statement, index, 0);
    return sqlite3_bind_blob64(statement, index, bytes->data(), bytes->size(), SQLITE_TRANSIENT);
  }
  return sqlite3_bind_null(statement, index);
}

class SqliteRowSet final : public rowset_detail::RowSetCore {
 public:
  SqliteRowSet(std::vector<ColumnSpec> columns, Database db, const SqliteRowSetQuery& query)
      : RowSetCore(std::move(columns)), db_(std::move(db)), path_(query.path), table_(query.table),
        site_(query.site), options_(query.options) {}

  // Reads the rows the query selects.
  HRESULT Load(const SqliteRowSetQuery& query) {
    const Place place{u"打开记录集", path_, options_.busyTimeout};
    std::string sql = "SELECT rowid";
    for (const ColumnSpec& column : Columns()) sql += ", " + QuoteIdentifier(ToUtf8(column.name));
    sql += " FROM " + QuoteIdentifier(table_);
    for (std::size_t i = 0; i < query.equals.size(); ++i)
      sql += (i == 0 ? " WHERE " : " AND ") + QuoteIdentifier(ToUtf8(query.equals[i].first)) + " = ?" +
             std::to_string(i + 1);
    const bool one_site = site_ && site_->read;
    if (one_site)
      sql += (query.equals.empty() ? " WHERE " : " AND ") + QuoteIdentifier(site_->column) + " = ?" +
             std::to_string(query.equals.size() + 1);
    sql += " ORDER BY rowid";
    Statement statement;
    if (HRESULT hr = Prepare(db_.get(), sql, place, &statement); FAILED(hr)) return hr;
    for (std::size_t i = 0; i < query.equals.size(); ++i)
      sqlite3_bind_int(statement.get(), static_cast<int>(i + 1), query.equals[i].second);
    if (one_site)
      sqlite3_bind_text(statement.get(), static_cast<int>(query.equals.size() + 1), site_->read->c_str(), -1,
                        SQLITE_TRANSIENT);
    for (;;) {
      int rc = sqlite3_step(statement.get());
      if (rc == SQLITE_DONE) return S_OK;
      if (rc != SQLITE_ROW) return place.RaiseSqlite(db_.get(), rc);
      Row row;
      row.key = sqlite3_column_int64(statement.get(), 0);
      row.cells.resize(Columns().size());
      for (std::size_t c = 0; c < Columns().size(); ++c) {
        if (HRESULT hr = ReadStoredCell(statement.get(), static_cast<int>(c + 1), c, row.key, place, &row.cells[c]);
            FAILED(hr))
          return hr;
      }
      LoadRow(std::move(row));
    }
  }

 protected:
  HRESULT StoreAdded(Row& row) override {
    const Place place{u"提交新行", path_, options_.busyTimeout};
    std::string sql = "INSERT INTO " + QuoteIdentifier(table_) + " (";
    std::string values;
    for (std::size_t c = 0; c < Columns().size(); ++c) {
      sql += (c ? ", " : "") + QuoteIdentifier(ToUtf8(Columns()[c].name));
      values += (c ? ", ?" : "?") + std::to_string(c + 1);
    }
    const int site_index = static_cast<int>(Columns().size() + 1);
    if (site_) {
      sql += ", " + QuoteIdentifier(site_->column);
      values += ", ?" + std::to_string(site_index);
    }
    sql += ") VALUES (" + values + ")";
    std::int64_t key = 0;
    HRESULT hr = InTransaction(place, [&]() -> HRESULT {
      Statement statement;
      if (HRESULT prepared = Prepare(db_.get(), sql, place, &statement); FAILED(prepared)) return prepared;
      for (std::size_t c = 0; c < row.cells.size(); ++c) BindCell(statement.get(), static_cast<int>(c + 1), row.cells[c]);
      if (site_) sqlite3_bind_text(statement.get(), site_index, site_->written.c_str(), -1, SQLITE_TRANSIENT);
      int rc = sqlite3_step(statement.get());
      if (rc != SQLITE_DONE) return place.RaiseSqlite(db_.get(), rc);
      key = sqlite3_last_insert_rowid(db_.get());
      return S_OK;
    });
    if (SUCCEEDED(hr)) row.key = key;
    return hr;
  }

  HRESULT StoreChanged(const Row& row, const std::vector<bool>& changed) override {
    const Place place{u"提交修改", path_, options_.busyTimeout};
    std::string sql = "UPDATE " + QuoteIdentifier(table_) + " SET ";
    int parameters = 0;
    for (std::size_t c = 0; c < Columns().size(); ++c) {
      if (!changed[c]) continue;
      sql += (parameters ? ", " : "") + QuoteIdentifier(ToUtf8(Columns()[c].name)) + " = ?" +
             std::to_string(parameters + 1);
      ++parameters;
    }
    if (parameters == 0) return S_OK;
    sql += " WHERE rowid = ?" + std::to_string(parameters + 1);
    return InTransaction(place, [&]() -> HRESULT {
      Statement statement;
      if (HRESULT prepared = Prepare(db_.get(), sql, place, &statement); FAILED(prepared)) return prepared;
      int index = 0;
      for (std::size_t c = 0; c < row.cells.size(); ++c)
        if (changed[c]) BindCell(statement.get(), ++index, row.cells[c]);
      sqlite3_bind_int64(statement.get(), index + 1, row.key);
      int rc = sqlite3_step(statement.get());
      if (rc != SQLITE_DONE) return place.RaiseSqlite(db_.get(), rc);
      if (sqlite3_changes(db_.get()) == 0)
        return place.Raise(ROWSET_E_ROWCHANGED, u"该行（rowid " + Decimal(row.key) + u"）已被其他连接删除");
      return S_OK;
    });
  }

 private:
  // Runs `work` between BEGIN IMMEDIATE and COMMIT; on any failure rolls back, keeping the
  // failure's description.
  template <class Work>
  HRESULT InTransaction(const Place& place, Work work) {
    int rc = sqlite3_exec(db_.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return place.RaiseSqlite(db_.get(), rc);
    HRESULT hr = work();
    if (SUCCEEDED(hr)) {
      rc = sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) return S_OK;
      hr = place.RaiseSqlite(db_.get(), rc);
    }
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    return hr;
  }

  HRESULT ReadStoredCell(sqlite3_stmt* statement, int index, std::size_t column, std::int64_t key,
                         const Place& place, Cell* cell) {
    const int type = sqlite3_column_type(statement, index);
    if (type == SQLITE_NULL) {
      *cell = std::monostate{};
      return S_OK;
    }
    if (Columns()[column].type == ColumnType::Binary) {
      const void* data = sqlite3_column_blob(statement, index);
      const int size = sqlite3_column_bytes(statement, index);
      const auto* bytes = static_cast<const BYTE*>(data);
      *cell = std::vector<BYTE>(bytes, bytes + (data ? size : 0));
      return S_OK;
    }
    HRESULT hr = S_OK;
    if (type == SQLITE_INTEGER) {
      std::int64_t value = sqlite3_column_int64(statement, index);
      if (value >= std::numeric_limits<LONG>::min() && value <= std::numeric_limits<LONG>::max()) {
        *cell = static_cast<LONG>(value);
        return S_OK;
      }
      hr = DISP_E_OVERFLOW;
    } else if (type == SQLITE_FLOAT || type == SQLITE_TEXT) {
      // Stored by another program as a number or text: converted as the runtime converts.
      Variant stored = type == SQLITE_FLOAT
                           ? Variant::R8(sqlite3_column_double(statement, index))
                           : Variant::Str(ToUtf16(reinterpret_cast<const char*>(sqlite3_column_text(statement, index))));
      Variant number;
      ClearErrorInfo();
      hr = VariantChangeType(number.Put(), stored.Ptr(), 0, VT_I4);
      if (SUCCEEDED(hr)) {
        *cell = number.Raw().lVal;
        return S_OK;
      }
    } else {
      hr = DISP_E_TYPEMISMATCH;
    }
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
    return place.Raise(hr, u"表“" + ToUtf16(table_) + u"”中 rowid 为 " + Decimal(key) + u" 的行，列“" +
                               Columns()[column].name + u"”的值“" + ToUtf16(text ? text : "") +
                               u"”不能作为 Long 读取（" + DescribeError(hr) + u"）");
  }

  Database db_;
  std::string path_;
  std::string table_;
  std::optional<RowSetSite> site_;
  SqliteOptions options_;
};
}  // namespace

void SqliteRowSetConnection::Close::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

HRESULT OpenSqliteRowSetConnection(const std::string& path, const SqliteOptions& options,
                                   SqliteRowSetConnection* connection) {
  if (!connection) return RaiseError(E_POINTER, kTextObjectNotSet);
  const Place place{u"打开记录集", path, options.busyTimeout};
  Database db;
  if (HRESULT hr = OpenDatabase(path, options, false, place, &db); FAILED(hr)) return hr;
  connection->db.reset(db.release());
  connection->path = path;
  connection->options = options;
  return S_OK;
}

HRESULT OpenSqliteRowSetOver(SqliteRowSetConnection connection, const SqliteRowSetQuery& query, ComPtr<RowSet>* rows) {
  if (!rows) return RaiseError(E_POINTER, kTextObjectNotSet);
  if (HRESULT hr = rowset_detail::ValidateColumns(query.columns); FAILED(hr)) return hr;
  if (!connection.db) return RaiseError(E_POINTER, kTextObjectNotSet);
  // The row set names the file and waits as its connection was opened to.
  SqliteRowSetQuery over = query;
  over.path = connection.path;
  over.options = connection.options;
  ComPtr<SqliteRowSet> opened =
      ComPtr<SqliteRowSet>::Adopt(new SqliteRowSet(over.columns, Database(connection.db.release()), over));
  if (HRESULT hr = opened->Load(over); FAILED(hr)) return hr;
  *rows = ComPtr<RowSet>(opened.Get());
  return S_OK;
}

HRESULT OpenSqliteRowSet(const SqliteRowSetQuery& query, ComPtr<RowSet>* rows) {
  if (!rows) return RaiseError(E_POINTER, kTextObjectNotSet);
  if (HRESULT hr = rowset_detail::ValidateColumns(query.columns); FAILED(hr)) return hr;
  SqliteRowSetConnection connection;
  if (HRESULT hr = OpenSqliteRowSetConnection(query.path, query.options, &connection); FAILED(hr)) return hr;
  return OpenSqliteRowSetOver(std::move(connection), query, rows);
}

HRESULT OpenEnrolmentRowSet(const std::string& path, std::optional<LONG> person, ComPtr<RowSet>* rows,
                            const SqliteOptions& options) {
  SqliteRowSetQuery query;
  query.path = path;
  query.options = options;
  if (person) query.equals.emplace_back(kColumnPersonNumber, *person);
  return OpenSqliteRowSet(query, rows);
}

HRESULT CreateEnrolmentSchema(const std::string& path, const SqliteOptions& options) {
  const Place place{u"创建登记表", path, options.busyTimeout};
  Database db;
  if (HRESULT hr = OpenDatabase(path, options, true, place, &db); FAILED(hr)) return hr;
  int rc = sqlite3_exec(db.get(), kEnrolmentSchemaSql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return place.RaiseSqlite(db.get(), rc);
  return S_OK;
}
