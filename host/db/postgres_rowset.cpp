#include "host/db/postgres_rowset.h"

#include <libpq-fe.h>

#include <functional>
#include <limits>
#include <memory>

#include "host/db/pg_connection.h"
#include "platform/ado/rowset_core.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace {
using rowset_detail::Cell;
using rowset_detail::Row;
using vanto::store::PgConnection;
using vanto::store::PgOptions;
using vanto::store::PgResult;
using vanto::store::StoreError;
using vanto::store::StoreFailure;

std::string QuoteIdentifier(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// Raises a store failure as the row set's code, the operation and the server named.
HRESULT RaiseStore(std::u16string_view operation, const StoreError& e) {
  HRESULT code = ROWSET_E_DATABASE;
  switch (e.failure()) {
    case StoreFailure::Locked: code = ROWSET_E_LOCKED; break;
    case StoreFailure::ReadOnly:
    case StoreFailure::Denied: code = ROWSET_E_READONLY; break;
    case StoreFailure::Missing:
    case StoreFailure::Invalid:
    case StoreFailure::Unreachable: code = ROWSET_E_CANTOPEN; break;
    default: break;
  }
  return RaiseError(code, std::u16string(operation) + u"失败：" + ToUtf16(e.what()));
}

// Runs `work`, turning every C++ exception into a raised failure of `operation`.
template <class Work>
HRESULT Guard(std::u16string_view operation, Work work) {
  try {
    return work();
  } catch (const StoreError& e) {
    return RaiseStore(operation, e);
  } catch (const std::bad_alloc&) {
    return RaiseError(E_OUTOFMEMORY, std::u16string(operation) + u"失败：内存不足");
  } catch (const std::exception& e) {
    return RaiseError(ROWSET_E_DATABASE, std::u16string(operation) + u"失败：" + ToUtf16(e.what()));
  }
}

PgOptions OptionsOf(const PostgresOptions& options) {
  PgOptions pg;
  pg.lock_timeout = options.lockTimeout;
  return pg;
}

// A cell as a statement parameter: text for a Long, binary for bytes, NULL for no value.
struct Parameter {
  std::string text;
  std::vector<BYTE> bytes;
  bool null = true, binary = false;
};

Parameter ParameterOf(const Cell& cell) {
  Parameter p;
  if (const LONG* number = std::get_if<LONG>(&cell)) {
    p.text = std::to_string(*number);
    p.null = false;
  } else if (const auto* bytes = std::get_if<std::vector<BYTE>>(&cell)) {
    p.bytes = *bytes;
    p.null = false;
    p.binary = true;
  }
  return p;
}

class PostgresRowSet final : public rowset_detail::RowSetCore {
 public:
  PostgresRowSet(std::vector<ColumnSpec> columns, std::shared_ptr<PgConnection> connection, const PostgresRowSetQuery& query)
      : RowSetCore(std::move(columns)), connection_(std::move(connection)), table_(query.table), site_(query.site),
        read_only_(query.options.readOnly) {}

  HRESULT Load(const PostgresRowSetQuery& query) {
    std::string sql = "SELECT row_id";
    for (const ColumnSpec& column : Columns()) sql += ", " + QuoteIdentifier(ToUtf8(column.name));
    sql += " FROM " + QuoteIdentifier(table_);
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < query.equals.size(); ++i) {
      sql += (i == 0 ? " WHERE " : " AND ") + QuoteIdentifier(ToUtf8(query.equals[i].first)) + " = $" + std::to_string(i + 1);
      texts.push_back(std::to_string(query.equals[i].second));
    }
    if (site_ && site_->read) {
      sql += (texts.empty() ? " WHERE " : " AND ") + QuoteIdentifier(site_->column) + " = $" +
             std::to_string(texts.size() + 1);
      texts.push_back(*site_->read);
    }
    sql += " ORDER BY row_id";
    std::vector<const char*> values;
    for (const std::string& t : texts) values.push_back(t.c_str());
    PgResult result = connection_->Exec(sql, values, "reading table " + table_);
    for (int r = 0; r < result.rows(); ++r) {
      Row row;
      row.key = std::stoll(result.text(r, 0));
      row.cells.resize(Columns().size());
      for (std::size_t c = 0; c < Columns().size(); ++c) {
        int column = static_cast<int>(c + 1);
        if (result.null(r, column)) continue;
        if (Columns()[c].type == ColumnType::Binary) {
          std::size_t size = 0;
          unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(result.text(r, column)), &size);
          if (!bytes) throw std::bad_alloc();
          row.cells[c] = std::vector<BYTE>(bytes, bytes + size);
          PQfreemem(bytes);
        } else {
          long long value = std::stoll(result.text(r, column));
          if (value < std::numeric_limits<LONG>::min() || value > std::numeric_limits<LONG>::max())
            throw StoreError(StoreFailure::Invalid, "row " + std::to_string(row.key) + ", column " +
                                                        ToUtf8(Columns()[c].name) + ": " + result.text(r, column) +
                                                        " does not fit a Long");
          row.cells[c] = static_cast<LONG>(value);
        }
      }
      LoadRow(std::move(row));
    }
    return S_OK;
  }

 protected:
  HRESULT StoreAdded(Row& row) override {
    return Guard(u"提交新行", [&]() -> HRESULT {
      std::string sql = "INSERT INTO " + QuoteIdentifier(table_) + " (";
      std::string values;
      for (std::size_t c = 0; c < Columns().size(); ++c) {
        sql += (c ? ", " : "") + QuoteIdentifier(ToUtf8(Columns()[c].name));
        values += (c ? ", $" : "$") + std::to_string(c + 1);
      }
      std::vector<Parameter> parameters;
      for (const Cell& cell : row.cells) parameters.push_back(ParameterOf(cell));
      if (site_) {
        sql += ", " + QuoteIdentifier(site_->column);
        values += ", $" + std::to_string(parameters.size() + 1);
        Parameter site;
        site.text = site_->written;
        site.null = false;
        parameters.push_back(std::move(site));
      }
      sql += ") VALUES (" + values + ") RETURNING row_id";
      std::int64_t key = 0;
      connection_->Transaction("adding a row to " + table_, [&] {
        ReadOnlyWhenAsked("adding a row to " + table_);
        PgResult result = Run(sql, parameters, "adding a row to " + table_);
        key = std::stoll(result.text(0, 0));
      });
      row.key = key;
      return S_OK;
    });
  }

  HRESULT StoreChanged(const Row& row, const std::vector<bool>& changed) override {
    return Guard(u"提交修改", [&]() -> HRESULT {
      std::string sql = "UPDATE " + QuoteIdentifier(table_) + " SET ";
      std::vector<Parameter> parameters;
      for (std::size_t c = 0; c < Columns().size(); ++c) {
        if (!changed[c]) continue;
        parameters.push_back(ParameterOf(row.cells[c]));
        sql += (parameters.size() > 1 ? ", " : "") + QuoteIdentifier(ToUtf8(Columns()[c].name)) + " = $" +
               std::to_string(parameters.size());
      }
      if (parameters.empty()) return S_OK;
      Parameter key;
      key.text = std::to_string(row.key);
      key.null = false;
      parameters.push_back(key);
      sql += " WHERE row_id = $" + std::to_string(parameters.size()) + " RETURNING row_id";
      bool found = true;
      connection_->Transaction("changing a row of " + table_, [&] {
        ReadOnlyWhenAsked("changing a row of " + table_);
        found = Run(sql, parameters, "changing a row of " + table_).rows() > 0;
      });
      if (!found)
        return RaiseError(ROWSET_E_ROWCHANGED, u"提交修改失败（数据库“" + ToUtf16(connection_->server()) +
                                                   u"”）：该行（row_id " + ToUtf16(std::to_string(row.key)) +
                                                   u"）已被其他连接删除");
      return S_OK;
    });
  }

 private:
  // A row set opened for reading writes nothing, also over a connection the handle lent (whose
  // session may write): the server refuses the transaction's statements.
  void ReadOnlyWhenAsked(const std::string& step) {
    if (read_only_) connection_->Exec("SET TRANSACTION READ ONLY", step);
  }

  PgResult Run(const std::string& sql, const std::vector<Parameter>& parameters, const std::string& step) {
    std::vector<const char*> values;
    std::vector<int> lengths, binary;
    for (const Parameter& p : parameters) {
      // An empty value stays an empty value: libpq takes a null pointer for NULL.
      static const char kNoBytes = 0;
      const char* bytes = p.bytes.empty() ? &kNoBytes : reinterpret_cast<const char*>(p.bytes.data());
      values.push_back(p.null ? nullptr : p.binary ? bytes : p.text.c_str());
      lengths.push_back(p.binary ? static_cast<int>(p.bytes.size()) : 0);
      binary.push_back(p.binary ? 1 : 0);
    }
    return connection_->Exec(sql, values, step, lengths, binary);
  }

  // Its own connection, or one lent: the holder of a lent one gets it back when the row set goes.
  std::shared_ptr<PgConnection> connection_;
  std::string table_;
  std::optional<RowSetSite> site_;
  bool read_only_ = false;
};

std::unique_ptr<PgConnection> Connect(const std::string& url, const PostgresOptions& options) {
  auto connection = std::make_unique<PgConnection>(url, OptionsOf(options));
  if (options.readOnly) connection->Exec("SET default_transaction_read_only = on", "opening for reading");
  return connection;
}

}  // namespace

HRESULT OpenPostgresRowSetOver(const std::function<std::shared_ptr<PgConnection>()>& lend,
                               const PostgresRowSetQuery& query, ComPtr<RowSet>* rows) {
  if (!rows) return RaiseError(E_POINTER, kTextObjectNotSet);
  if (HRESULT hr = rowset_detail::ValidateColumns(query.columns); FAILED(hr)) return hr;
  return Guard(u"打开记录集", [&]() -> HRESULT {
    std::shared_ptr<PgConnection> connection = lend();
    if (!connection) return RaiseError(E_POINTER, u"打开记录集失败：没有连接");
    ComPtr<PostgresRowSet> opened =
        ComPtr<PostgresRowSet>::Adopt(new PostgresRowSet(query.columns, std::move(connection), query));
    if (HRESULT hr = opened->Load(query); FAILED(hr)) return hr;
    *rows = ComPtr<RowSet>(opened.Get());
    return S_OK;
  });
}

HRESULT OpenPostgresRowSet(const PostgresRowSetQuery& query, ComPtr<RowSet>* rows) {
  return OpenPostgresRowSetOver([&] { return std::shared_ptr<PgConnection>(Connect(query.url, query.options)); },
                                query, rows);
}

HRESULT OpenPostgresEnrolmentRowSet(const std::string& url, std::optional<LONG> person, ComPtr<RowSet>* rows,
                                    const PostgresOptions& options) {
  PostgresRowSetQuery query;
  query.url = url;
  query.options = options;
  if (person) query.equals.emplace_back(kColumnPersonNumber, *person);
  return OpenPostgresRowSet(query, rows);
}

HRESULT CreatePostgresEnrolmentSchema(const std::string& url, const PostgresOptions& options) {
  return Guard(u"创建登记表", [&]() -> HRESULT {
    PgConnection connection(url, OptionsOf(options));
    connection.Exec(kPostgresEnrolmentSchemaSql, "creating the enrolment table");
    return S_OK;
  });
}
