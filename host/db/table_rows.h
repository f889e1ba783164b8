// Rows of the site's tables as plain values, for a copy between databases and its comparison:
// one connection to either engine, statements written once with $1, $2, ... placeholders
// (identifiers double-quoted where their case matters), values as text with NULL apart.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/db/schema.h"

namespace vanto::store {

using TableValue = std::optional<std::string>;  // nothing: NULL
using TableRow = std::vector<TableValue>;

class TableConnection {
 public:
  virtual ~TableConnection() = default;
  virtual Engine engine() const = 0;
  // The path or URL, as messages name it (never a password).
  virtual const std::string& location() const = 0;
  // Begins one read-only snapshot that every later statement of this connection sees, until
  // the connection is closed (SQLite: a read transaction; PostgreSQL: repeatable read).
  virtual void BeginSnapshot() = 0;
  // Hands each row of `sql` to `row`, reading as it goes. `blobs` names the parameters (from 1)
  // given as hexadecimal text that the statement takes as bytes (SQLite binds their bytes;
  // PostgreSQL statements decode them: BlobParameter).
  virtual void Query(const std::string& sql, const TableRow& params, const std::function<void(const TableRow&)>& row,
                     const std::string& step) = 0;
  // Runs one statement; answers the rows it changed.
  virtual std::int64_t Exec(const std::string& sql, const TableRow& params, const std::string& step,
                            const std::set<int>& blobs = {}) = 0;
  // Runs `work` (statements of this connection) in one transaction: all or nothing.
  virtual void Transaction(const std::string& step, const std::function<void()>& work) = 0;
  // Runs `work` (reads of this connection whose results are small: each is read whole, not a
  // page at a time) as one read: on PostgreSQL in one transaction, without a transaction or a
  // cursor of its own per statement; on SQLite as it is. `work` may run again from its start (a
  // connection lost midway), so it starts from nothing.
  virtual void Reading(const std::string& step, const std::function<void()>& work) { (void)step, work(); }

  // Whether the database holds the table, and its schema version (0: none recorded).
  bool HasTable(const std::string& table);
  int SchemaVersion();
};


// A column of bytes read as lowercase hexadecimal text (NULL stays NULL), and parameter `n` given
// so and stored as bytes, in `engine`'s SQL.
std::string HexColumn(Engine engine, const std::string& column);
std::string BlobParameter(Engine engine, int n);

}  // namespace vanto::store
