#include "host/db/pg_connection.h"

#include "host/db/pg_location.h"

#include <libpq-fe.h>

#include <algorithm>
#include <thread>
#include <utility>

namespace vanto::store {
namespace {

// The first line of a libpq or server message, without "ERROR:  "/"FATAL:  " prefixes.
std::string OneLine(const char* text) {
  std::string s = text ? text : "";
  for (const char* prefix : {"ERROR:  ", "FATAL:  "})
    if (s.rfind(prefix, 0) == 0) s.erase(0, std::string(prefix).size());
  std::size_t end = s.find('\n');
  if (end != std::string::npos) {
    // libpq puts "connection to server ... failed: " before the cause on the same line, and
    // sometimes the cause on the next one.
    std::string rest = s.substr(end + 1);
    s.erase(end);
    std::size_t next = rest.find('\n');
    if (!rest.empty() && (s.empty() || s.back() == ':')) s += " " + rest.substr(0, next);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '.')) s.pop_back();
  return s;
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Classifies a failure to connect by libpq's text (no SQLSTATE reaches the caller there).
StoreFailure ConnectFailure(const std::string& text, pg_conn* conn) {
  if (Contains(text, "password authentication failed") || Contains(text, "no password supplied") ||
      Contains(text, "authentication failed") || (conn && PQconnectionNeedsPassword(conn)))
    return StoreFailure::Denied;
  if (Contains(text, "does not exist")) return StoreFailure::Missing;
  return StoreFailure::Unreachable;
}

StoreFailure StateFailure(const std::string& state) {
  if (state == "25006") return StoreFailure::ReadOnly;                              // read-only transaction
  if (state == "3D000") return StoreFailure::Missing;                               // no such database
  if (state.rfind("28", 0) == 0 || state == "42501") return StoreFailure::Denied;   // login, privilege
  if (state == "55P03" || state == "40001" || state == "40P01" || state == "57014") return StoreFailure::Locked;
  if (state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0) return StoreFailure::Unreachable;
  return StoreFailure::Other;
}

std::string Millis(std::chrono::milliseconds ms) { return std::to_string(ms.count() < 0 ? 0 : ms.count()); }

}  // namespace

std::string RedactUrl(const std::string& url) { return RedactLocation(url); }

std::string DescribePgUrl(const std::string& url) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
  if (!options) {
    // The library's message may quote the URL, password and all.
    std::string cause = ScrubPasswords(error ? OneLine(error) : "out of memory", url);
    PQfreemem(error);
    throw PgError(StoreFailure::Invalid, "database URL " + RedactUrl(url) + " is no usable URL: " + cause, "", false, cause);
  }
  std::string user, host, hostaddr, port, db;
  for (PQconninfoOption* o = options; o->keyword; ++o) {
    if (!o->val) continue;
    std::string key = o->keyword;
    if (key == "user") user = o->val;
    else if (key == "host") host = o->val;
    else if (key == "hostaddr") hostaddr = o->val;
    else if (key == "port") port = o->val;
    else if (key == "dbname") db = o->val;
  }
  PQconninfoFree(options);
  if (host.empty()) host = hostaddr;
  std::string text = "postgresql://";
  if (!user.empty()) text += user + "@";
  bool socket = !host.empty() && host[0] == '/';  // a folder holding the server's Unix socket
  if (!socket) text += host.empty() ? "localhost" : host;
  if (!port.empty()) text += ":" + port;
  text += "/" + db;
  if (socket) text += "?host=" + host;
  return text;
}

int PgResult::rows() const { return result_ ? PQntuples(result_.get()) : 0; }
bool PgResult::null(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }
const char* PgResult::text(int row, int column) const { return PQgetvalue(result_.get(), row, column); }
int PgResult::length(int row, int column) const { return PQgetlength(result_.get(), row, column); }
void PgResult::Clear::operator()(pg_result* r) const { PQclear(r); }

PgConnection::PgConnection(const std::string& url, const PgOptions& options)
    : url_(url), server_(DescribePgUrl(url)), options_(options) {
  Connect();
}

PgConnection::~PgConnection() { PQfinish(conn_); }

void PgConnection::Connect() {
  if (conn_) PQfinish(std::exchange(conn_, nullptr));
  prepared_.clear();
  cached_.clear();
  long long seconds = (options_.connect_timeout.count() + 999) / 1000;
  std::string timeout = std::to_string(seconds < 2 ? 2 : seconds);  // libpq's least useful value
  // A peer that stops answering is noticed: keep-alive probes, and unacknowledged data given up
  // after a minute. These are defaults: the URL comes last, so what it sets wins.
  const char* keys[] = {"connect_timeout",     "application_name", "keepalives",       "keepalives_idle",
                        "keepalives_interval", "keepalives_count", "tcp_user_timeout", "dbname",
                        nullptr};
  const char* values[] = {timeout.c_str(), "vanto", "1", "30", "10", "3", "60000", url_.c_str(), nullptr};
  conn_ = PQconnectdbParams(keys, values, /*expand_dbname=*/1);
  if (!conn_) throw PgError(StoreFailure::Other, "database " + server_ + ": out of memory while connecting", "", true);
  if (PQstatus(conn_) != CONNECTION_OK) {
    std::string cause = OneLine(PQerrorMessage(conn_));
    StoreFailure failure = ConnectFailure(cause, conn_);
    PQfinish(std::exchange(conn_, nullptr));  // a half-made connection must not linger at the server
    throw PgError(failure, "database " + server_ + ": cannot connect: " + cause, "", failure == StoreFailure::Unreachable,
                  cause, /*connecting=*/true);
  }
  // Every wait on another session's lock is bounded; the messages stay in one language.
  try {
    Exec("SET lock_timeout = " + Millis(options_.lock_timeout) + "; SET client_min_messages = warning",
         "setting up the session");
  } catch (...) {
    PQfinish(std::exchange(conn_, nullptr));
    throw;
  }
}

void PgConnection::EnsureConnected() {
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) Connect();
}

void PgConnection::Fail(pg_result* result, const std::string& step) {
  PgResult owned(result);
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  std::string sqlstate = state ? state : "";
  bool lost = !conn_ || PQstatus(conn_) != CONNECTION_OK || sqlstate.rfind("08", 0) == 0 || sqlstate.rfind("57P", 0) == 0;
  std::string cause = OneLine(result ? PQresultErrorMessage(result) : PQerrorMessage(conn_));
  if (cause.empty()) cause = OneLine(PQerrorMessage(conn_));
  if (cause.empty()) cause = "no answer";
  const PgStatementFailure failed{lost ? StoreFailure::Unreachable : StateFailure(sqlstate), server_, step, cause};
  throw PgError(failed.failure,
                options_.wording ? options_.wording(failed) : host::Message::Verbatim(PgStatementMessage(failed)), sqlstate,
                lost);
}

std::string PgStatementMessage(const PgStatementFailure& f) {
  const std::string what = f.failure == StoreFailure::ReadOnly ? " (the server is read-only: a standby?)" : "";
  return "database " + f.server + ": " + f.step + " failed: " + f.cause + what;
}

PgResult PgConnection::Exec(const std::string& sql, const std::string& step) {
  pg_result* result = PQexec(conn_, sql.c_str());
  ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(result, step);
  return PgResult(result);
}

PgResult PgConnection::Exec(const std::string& sql, const std::vector<const char*>& values, const std::string& step,
                            const std::vector<int>& lengths, const std::vector<int>& binary, bool binary_result) {
  pg_result* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                                   lengths.empty() ? nullptr : lengths.data(), binary.empty() ? nullptr : binary.data(),
                                   binary_result ? 1 : 0);
  ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(result, step);
  return PgResult(result);
}

PgResult PgConnection::ExecPrepared(const std::string& name, const std::string& sql,
                                    const std::vector<const char*>& values, const std::string& step) {
  if (std::find(prepared_.begin(), prepared_.end(), name) == prepared_.end()) {
    pg_result* made = PQprepare(conn_, name.c_str(), sql.c_str(), 0, nullptr);
    if (!made || PQresultStatus(made) != PGRES_COMMAND_OK) Fail(made, step);
    PQclear(made);
    prepared_.push_back(name);
  }
  pg_result* result =
      PQexecPrepared(conn_, name.c_str(), static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0);
  ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(result, step);
  return PgResult(result);
}

PgResult PgConnection::ExecCached(const std::string& sql, const std::vector<const char*>& values,
                                  const std::string& step) {
  constexpr std::size_t kBound = 64;
  auto it = cached_.find(sql);
  if (it == cached_.end()) {
    if (cached_.size() >= kBound) return Exec(sql, values, step);
    it = cached_.emplace(sql, "vanto_cached_" + std::to_string(cached_.size())).first;
  }
  return ExecPrepared(it->second, sql, values, step);
}

void PgConnection::Transaction(const std::string& step, const std::function<void()>& work) {
  Attempts(step, true, work);
}

void PgConnection::Retry(const std::string& step, const std::function<void()>& work) { Attempts(step, false, work); }

void PgConnection::Attempts(const std::string& step, bool transaction, const std::function<void()>& work) {
  int races = 0, reconnects = 0;
  auto pause = std::chrono::milliseconds(100);
  for (;;) {
    try {
      if (!conn_ || PQstatus(conn_) != CONNECTION_OK) Connect();
      if (!transaction) {
        work();
        return;
      }
      Exec("BEGIN", step);
      try {
        work();
        Exec("COMMIT", step);
      } catch (...) {
        if (PQstatus(conn_) == CONNECTION_OK) {
          PgResult ignored(PQexec(conn_, "ROLLBACK"));
        }
        throw;
      }
      return;
    } catch (const PgError& e) {
      if (e.race() && ++races < options_.race_attempts) continue;
      if (!e.connection_lost()) throw;
      if (++reconnects > options_.reconnect_attempts)
        throw PgError(StoreFailure::Unreachable,
                      std::string(e.what()) + " (gave up after " + std::to_string(options_.reconnect_attempts) +
                          " attempts to reconnect)",
                      e.sqlstate(), true);
      std::this_thread::sleep_for(pause);  // back-off before connecting again (bounded above)
      pause *= 2;
      PQfinish(std::exchange(conn_, nullptr));
    }
  }
}

}  // namespace vanto::store
