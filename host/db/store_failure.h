// What went wrong with a database, in the classes both the host's stores and the row sets word
// their messages by: one classification of SQLite's result codes for every SQLite user.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>

#include "host/message.h"

struct sqlite3;

namespace vanto::store {

// What went wrong with the database, so the caller can word and classify it.
enum class StoreFailure {
  Missing,      // no such file or database
  ReadOnly,     // the file, folder or server refuses writing
  Locked,       // another connection held a lock past the wait
  Invalid,      // not a database this program can use (not a database, corrupt, a folder)
  Other,        // anything else (disk full, I/O error, ...)
  Unreachable,  // the server could not be reached, or the connection was lost past the retries
  Denied,       // the server refused the login
  NewerSchema,  // the database was written by a newer version of the program
};

// A database's failure: its class, and its message unworded (message(), for the front ends to
// translate); what() is the message in English.
class StoreError : public std::runtime_error, public host::CarriesMessage {
 public:
  StoreError(StoreFailure failure, host::Message message)
      : std::runtime_error(message.English()), host::CarriesMessage(std::move(message)), failure_(failure) {}
  // A text said as it is (the engine's own words, a message already in English).
  StoreError(StoreFailure failure, const std::string& text) : StoreError(failure, host::Message::Verbatim(text)) {}
  StoreFailure failure() const { return failure_; }

 private:
  StoreFailure failure_;
};

// SQLite's failure causes, each with its class and its reason in English and Chinese.
enum class SqliteCause { Locked, ReadOnly, NoAccess, CantOpen, NotADatabase, Corrupt, Full, Io, Constraint, NoMemory, Other };

struct SqliteFailure {
  SqliteCause cause = SqliteCause::Other;
  StoreFailure failure = StoreFailure::Other;
  const char* reason = "";      // English, for the host's messages
  const char16_t* reason_zh = u"";  // Simplified Chinese, for the row set's messages
  std::string detail;           // SQLite's own text for the failure
};

// Classifies result code `rc` (primary or extended), reading SQLite's text off `db` (may be
// null) straight after the failed call.
SqliteFailure ClassifySqlite(sqlite3* db, int rc);

// A one-line English message naming the database `path` and the `step` that failed; a lock is
// described with the wait that ran out.
std::string SqliteMessage(const SqliteFailure& failure, const std::string& path, const std::string& step,
                          std::chrono::milliseconds lock_wait);

// Says a failure as a message of the catalogue (the host's, translated by the front ends); a
// caller without one (null) gets SqliteMessage's English as it is.
using SqliteWording = host::Message (*)(const SqliteFailure& failure, const std::string& path, const std::string& step,
                                        std::chrono::milliseconds lock_wait);

// Throws the StoreError for `rc`, said by `wording`.
[[noreturn]] void ThrowSqlite(sqlite3* db, int rc, const std::string& path, const std::string& step,
                              std::chrono::milliseconds lock_wait, SqliteWording wording = nullptr);

}  // namespace vanto::store
