// The swipe-store seam: what the host needs of a database that keeps card swipes, whichever
// engine holds it. The keying of a delivery (which swipes are new) lives above this seam, in
// Delivery (record_store.h); an engine only stores keyed rows, skipping the keys it holds, and
// reads them back. OpenSwipeStore picks the engine from the location, so callers never name it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/ado/store_failure.h"

namespace vanto::store {

// One swipe with its key, as stored. A swipe of a terminal that tells its identity (protocol
// version 2) is keyed by (identity, generation, index); one of a terminal that does not by
// (port, terminal, person, minute, occurrence).
struct StoredSwipe {
  int port = 0;
  int terminal = 0;
  std::int32_t person = 0;
  std::string minute;         // "YYYY-MM-DD HH:MM"
  int occurrence = 1;         // k, from 1: the k-th swipe of this person in this minute, in delivery order
  std::string time;           // "YYYY-MM-DD HH:MM:SS"
  std::string downloaded_at;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::optional<std::uint32_t> identity;    // the terminal's serial number
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
  std::int64_t count = 0;  // indexes held
  std::int64_t next = 0;   // highest index held + 1 (0: none)
  bool Contiguous() const { return count == next; }
};

// Which stored swipes a query selects; every part that is set must hold.
struct SwipeQuery {
  std::optional<std::string> from;  // swipe time >= from ("YYYY-MM-DD HH:MM:SS", or a prefix of it)
  std::optional<std::string> to;    // swipe time <= to (inclusive; a shorter prefix covers its whole day or minute)
  std::vector<std::int32_t> persons;  // any of these (empty: everyone)
  std::optional<int> port;
  std::optional<int> terminal;
};

// A person's name and department, beside the person number swipes carry.
struct PersonName {
  std::int32_t person = 0;
  std::string name;
  std::string department;  // empty: none
  friend bool operator==(const PersonName&, const PersonName&) = default;
};

// What PutPeople did.
struct PeopleImport {
  std::size_t added = 0, updated = 0, unchanged = 0;
};

struct OpenOptions {
  // Create the database when it does not exist (an SQLite file: its folder must exist).
  bool create = true;
  // How long to wait for another connection's lock before giving up.
  std::chrono::milliseconds lock_timeout{5000};
};

// One open store is used by one thread at a time (each thread opens its own).
class SwipeStore {
 public:
  virtual ~SwipeStore() = default;

  // The path or URL, as messages name it (a URL never shows a password).
  virtual const std::string& location() const = 0;
  // The schema version the database holds (see schema.h).
  virtual int schema_version() const = 0;

  // Stores `rows` in one transaction, leaving alone the rows whose key the database holds
  // already. Answers, per row, whether this call stored it. On a StoreError nothing of the batch
  // is stored, so the same batch can be offered again.
  virtual std::vector<bool> Insert(std::span<const StoredSwipe> rows) = 0;

  virtual std::int64_t Count(const SwipeQuery& query = {}) const = 0;
  // Hands each selected swipe to `row`, ordered by time, person, port, terminal and occurrence,
  // reading as it goes (memory stays flat whatever the count). `row` answers false to stop.
  virtual void Each(const SwipeQuery& query, const std::function<bool(const StoredSwipe&)>& row) const = 0;

  // Adds or updates `people` (keyed by person number) in one transaction: all or, on a
  // StoreError, none. People the database holds and `people` does not list stay as they are.
  virtual PeopleImport PutPeople(std::span<const PersonName> people) = 0;
  // Every person the database knows, by person number.
  virtual std::vector<PersonName> People() const = 0;

  // Logs of terminals that tell their identity. An engine that keeps no logs throws StoreError.
  // Stored swipes of `log` of that person and minute below index `before`.
  virtual int CountEarlier(const LogKey& log, std::int32_t person, const std::string& minute,
                           std::uint32_t before) const;
  virtual LogCoverage Coverage(const LogKey& log) const;
  // Index ranges [first, last] below `held` held neither as a swipe nor as a rejected record.
  virtual std::vector<std::pair<std::uint32_t, std::uint32_t>> Missing(const LogKey& log, std::uint32_t held,
                                                                       std::size_t limit) const;
  // Keeps a rejected record; true when it was not kept yet (the first one's reason and time stay).
  virtual bool AddRejected(const RejectedRecord& record);
  virtual std::vector<RejectedRecord> Rejected() const;

  // Conveniences over Count and Each.
  std::vector<StoredSwipe> Swipes(std::optional<int> port = {}, std::optional<int> terminal = {}) const;
  std::int64_t CountSwipes(std::optional<int> port = {}, std::optional<int> terminal = {}) const;
};

// Whether `location` names a server database (a postgresql:// or postgres:// URL) rather than an
// SQLite file. Any other "scheme://" text is refused by OpenSwipeStore as no usable location.
bool IsDatabaseUrl(const std::string& location);

// Opens (or creates) the store at `location`, an SQLite file path or a database URL, and brings
// its schema up to date. Throws StoreError with a one-line message naming the location.
std::unique_ptr<SwipeStore> OpenSwipeStore(const std::string& location, const OpenOptions& options = {});

// Opens the store at `location` for reading only: nothing is created, migrated or written (an
// SQLite file may be read-only; a server session is read-only), and Insert fails with
// StoreFailure::ReadOnly. A schema older than OldestReadableSchemaVersion (schema.h) or newer
// than this program knows is refused.
std::unique_ptr<SwipeStore> OpenSwipeStoreForReading(const std::string& location,
                                                     std::chrono::milliseconds lock_timeout = std::chrono::milliseconds(5000));

}  // namespace vanto::store
