// A PostgreSQL connection for the stores and row sets over a database server: libpq behind RAII,
// failures classified into StoreFailure with one-line messages naming the server (never a
// password), and a bounded retry of transactions that lost their connection or a race.
// Passwords come from libpq's own sources (~/.pgpass, PGPASSFILE, PGPASSWORD), never from us.
#pragma once

#include <chrono>
#include <functional>
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/db/store_failure.h"

struct pg_conn;
struct pg_result;

namespace vanto::store {

// A failure reported by the server or by libpq: its class, SQLSTATE (may be empty) and whether
// the connection is gone (so a new one may succeed).
class PgError : public StoreError {
 public:
  PgError(StoreFailure failure, host::Message message, std::string sqlstate, bool connection_lost,
          std::string detail = {}, bool connecting = false)
      : StoreError(failure, std::move(message)), sqlstate_(std::move(sqlstate)), connection_lost_(connection_lost),
        detail_(std::move(detail)), connecting_(connecting) {}
  // A text said as it is (libpq's or the server's own words, a message already in English).
  PgError(StoreFailure failure, const std::string& text, std::string sqlstate, bool connection_lost,
          std::string detail = {}, bool connecting = false)
      : PgError(failure, host::Message::Verbatim(text), std::move(sqlstate), connection_lost, std::move(detail),
                connecting) {}
  const std::string& sqlstate() const { return sqlstate_; }
  bool connection_lost() const { return connection_lost_; }
  // A serialization failure or a deadlock: the transaction may simply be run again.
  bool race() const { return sqlstate_ == "40001" || sqlstate_ == "40P01"; }
  // The server's or libpq's own text (may be empty), for a caller that words the failure itself.
  const std::string& detail() const { return detail_; }
  // Whether no connection could be made (as opposed to a statement failing).
  bool connecting() const { return connecting_; }

 private:
  std::string sqlstate_;
  bool connection_lost_;
  std::string detail_;
  bool connecting_;
};

// `url` with any password in it replaced by "***" (RedactLocation).
std::string RedactUrl(const std::string& url);

// The URL as messages show it: postgresql://USER@HOST:PORT/NAME with any password left out.
// Throws StoreError(Invalid) when `url` is no connection URL libpq understands.
std::string DescribePgUrl(const std::string& url);

class PgResult {
 public:
  explicit PgResult(pg_result* result = nullptr) : result_(result) {}
  pg_result* get() const { return result_.get(); }
  int rows() const;
  bool null(int row, int column) const;
  const char* text(int row, int column) const;
  int length(int row, int column) const;

 private:
  struct Clear {
    void operator()(pg_result* r) const;
  };
  std::unique_ptr<pg_result, Clear> result_;
};

// A statement that failed: what the connection knows of it, for its message.
struct PgStatementFailure {
  StoreFailure failure = StoreFailure::Other;
  std::string server;  // the server and database, no password
  std::string step;    // what was being done
  std::string cause;   // the server's or the client library's own text, one line
};
// "database SERVER: STEP failed: CAUSE", with a hint for a read-only server.
std::string PgStatementMessage(const PgStatementFailure& failure);
// Says a failed statement as a message of the catalogue (the host's, translated by the front
// ends); without one (null), PgStatementMessage's English as it is.
using PgWording = host::Message (*)(const PgStatementFailure& failure);

struct PgOptions {
  // How long to wait for a connection, and for another session's lock.
  std::chrono::milliseconds connect_timeout{10000};
  std::chrono::milliseconds lock_timeout{5000};
  // A lost connection is tried again this many times, waiting 100 ms, 200 ms, ... in between.
  int reconnect_attempts = 5;
  // A transaction that lost a race (serialization failure, deadlock) runs again up to this often.
  int race_attempts = 8;
  PgWording wording = nullptr;
};

class PgConnection {
 public:
  // Connects; throws PgError naming the server and the cause.
  PgConnection(const std::string& url, const PgOptions& options = {});
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // postgresql://USER@HOST:PORT/NAME, for messages.
  const std::string& server() const { return server_; }
  pg_conn* get() const { return conn_; }

  // Connects again when the connection was lost (throws as the constructor does).
  void EnsureConnected();

  // Runs a statement without parameters; throws PgError naming the server and `step`.
  PgResult Exec(const std::string& sql, const std::string& step);
  // Runs a statement with text parameters (nullptr for NULL) or, where `binary` says, binary
  // ones; results in text form unless `binary_result`.
  PgResult Exec(const std::string& sql, const std::vector<const char*>& values, const std::string& step,
                const std::vector<int>& lengths = {}, const std::vector<int>& binary = {}, bool binary_result = false);

  // Runs `work` (which issues its statements on this connection) between BEGIN and COMMIT. A
  // transaction that lost a race runs again; a lost connection is made again with back-off and
  // the transaction rerun, up to the bounds; then the last failure is thrown, naming the
  // server. `work` must therefore be safe to run again (everything it did was rolled back).
  void Transaction(const std::string& step, const std::function<void()>& work);
  // The same retries for `work` that is one statement (a transaction of its own).
  void Retry(const std::string& step, const std::function<void()>& work);

  // Runs the statement prepared under `name` (prepared from `sql` on first use on this
  // connection, and again after a reconnection).
  PgResult ExecPrepared(const std::string& name, const std::string& sql, const std::vector<const char*>& values,
                        const std::string& step);
  // Runs `sql` prepared under a name of its own on first use on this connection (a statement
  // run often is planned once); past a bound of such statements, unprepared.
  PgResult ExecCached(const std::string& sql, const std::vector<const char*>& values, const std::string& step);

 private:
  void Connect();
  [[noreturn]] void Fail(pg_result* result, const std::string& step);
  void Attempts(const std::string& step, bool transaction, const std::function<void()>& work);

  std::string url_;
  std::string server_;
  PgOptions options_;
  pg_conn* conn_ = nullptr;
  std::vector<std::string> prepared_;  // names prepared on the present connection
  std::map<std::string, std::string> cached_;  // ExecCached's statements and their names, likewise
};

}  // namespace vanto::store
