// The host's record store: the card swipes downloaded from terminals, in one SQLite database
// (WAL journal, every change in a transaction). A swipe of a terminal that tells its identity
// (protocol version 2) is keyed by (identity, log generation, record index): the same record
// read again, read from another port, or read by another download is the same row. A swipe of a
// version 1 terminal is keyed by (port, terminal, person, minute, k): the k-th occurrence of that
// person and minute in the terminal's delivery order. Either way a repeated or resumed download
// stores nothing twice, and two genuine swipes of one person in the same minute stay two records.
// Records the driver could not convert are kept apart, with their raw fields, as rejected.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cli/store/civil_time.h"

struct sqlite3;

namespace vanto::store {

// What went wrong with the database, so the caller can word and classify it.
enum class StoreFailure { Missing, ReadOnly, Locked, Invalid, Other };

class StoreError : public std::runtime_error {
 public:
  StoreError(StoreFailure failure, const std::string& message) : std::runtime_error(message), failure_(failure) {}
  StoreFailure failure() const { return failure_; }

 private:
  StoreFailure failure_;
};

// One swipe as a terminal delivers it.
struct Swipe {
  std::int32_t person = 0;
  DATE time = 0;
};

// One swipe with its key, as stored.
struct StoredSwipe {
  int port = 0;
  int terminal = 0;
  std::int32_t person = 0;
  std::string minute;  // "YYYY-MM-DD HH:MM"
  int occurrence = 1;  // k, from 1
  std::string time;    // "YYYY-MM-DD HH:MM:SS"
  std::string downloaded_at;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::optional<std::uint32_t> identity;    // the terminal's serial number (version 2)
  std::optional<std::uint32_t> generation;  // its log generation
  std::optional<std::uint32_t> index;       // the record's index in that log
};

// The log a record read comes from: a version 2 terminal's identity and generation.
struct LogKey {
  std::uint32_t identity = 0;
  std::uint32_t generation = 0;
  bool operator==(const LogKey&) const = default;
};

// A record the driver could not convert, with the fields the terminal holds.
struct RejectedRecord {
  int port = 0;
  int terminal = 0;
  std::optional<LogKey> log;  // absent: a version 1 terminal
  std::uint32_t index = 0;
  std::int32_t person = 0, year = 0, month = 0, day = 0, hour = 0, minute = 0;
  std::string reason;
  std::string first_seen;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
};

// What the database holds of one log: stored swipes plus rejected records, by index.
struct LogCoverage {
  std::int64_t count = 0;        // distinct indexes held
  std::int64_t next = 0;         // highest index held + 1 (0: none)
  bool Contiguous() const { return count == next; }
};

struct OpenOptions {
  // Create the database file when it does not exist (its folder must exist).
  bool create = true;
  // How long to wait for another process's write lock before giving up.
  std::chrono::milliseconds lock_timeout{5000};
};

class RecordStore {
 public:
  // Opens (or creates) the database at `path` for reading and writing and makes sure its
  // tables exist. Throws StoreError with a one-line message naming the path.
  static RecordStore Open(const std::string& path, const OpenOptions& options = {});

  // Whether `path` holds a table of that name; throws StoreError when `path` is no database
  // this process can read (missing, a folder, unreadable, not a database, locked too long).
  static bool HasTable(const std::string& path, const std::string& table,
                       std::chrono::milliseconds lock_timeout = std::chrono::milliseconds(5000));

  RecordStore(RecordStore&& other) noexcept;
  RecordStore& operator=(RecordStore&& other) noexcept;
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;
  ~RecordStore();

  const std::string& path() const { return path_; }
  sqlite3* handle() const { return db_; }

  // Stored swipes, optionally of one port and terminal, ordered by port, terminal, time,
  // person and occurrence.
  std::vector<StoredSwipe> Swipes(std::optional<int> port = {}, std::optional<int> terminal = {}) const;
  std::int64_t CountSwipes(std::optional<int> port = {}, std::optional<int> terminal = {}) const;

  // Runs `sql` (statements without results) in one write transaction.
  void Execute(const std::string& sql);

  // Indexes of `log` held (stored or rejected).
  LogCoverage Coverage(const LogKey& log) const;
  // The index ranges [first, last] below `held` that the database holds neither as a swipe nor
  // as a rejected record of `log`, at most `limit` of them.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> Missing(const LogKey& log, std::uint32_t held,
                                                               std::size_t limit = 10) const;
  // Keeps a rejected record; true when it was not kept yet (first_seen stays the first one's).
  bool AddRejected(const RejectedRecord& record);
  std::vector<RejectedRecord> Rejected() const;

 private:
  RecordStore(std::string path, sqlite3* db) : path_(std::move(path)), db_(db) {}
  void Migrate();
  friend class Delivery;
  std::string path_;
  sqlite3* db_ = nullptr;
};

// One download run from one terminal: keys each swipe by its occurrence in delivery order and
// stores the ones the database does not hold yet. Feed it the swipes in the order the terminal
// delivered them, in as many batches as convenient; each batch is one transaction.
class Delivery {
 public:
  struct Keyed {
    Swipe swipe;
    std::string minute;
    int occurrence = 1;
    bool added = false;  // stored by this batch (false: the database had it already)
  };

  Delivery(RecordStore& store, int port, int terminal, std::string downloaded_at = UtcNowText());

  // Where the next swipes come from: `index` of `log` (absent: a version 1 terminal, keyed by
  // port, terminal and occurrence as before; the index is kept beside). Call before a record
  // read's first swipes, and again when a read starts somewhere else.
  void Position(std::optional<LogKey> log, std::uint32_t index);
  std::uint32_t next_index() const { return next_index_; }

  // Stores the next swipes of the delivery. On a StoreError nothing of the batch is stored and
  // the delivery stands where it stood, so the same batch can be offered again.
  std::vector<Keyed> Store(std::span<const Swipe> next);

  std::size_t delivered() const { return delivered_; }
  std::size_t added() const { return added_; }

 private:
  RecordStore& store_;
  int port_, terminal_;
  std::string downloaded_at_;
  std::map<std::pair<std::int32_t, std::string>, int> seen_;
  std::size_t delivered_ = 0, added_ = 0;
  std::optional<LogKey> log_;
  std::uint32_t first_index_ = 0, next_index_ = 0;
  // Occurrences of (person, minute) in `log_` before `first_index_`, as stored.
  std::map<std::pair<std::int32_t, std::string>, int> before_;
  std::optional<bool> unidentified_rows_;  // rows of this port and terminal from before identities
};

}  // namespace vanto::store
