// The swipe-store seam: what the host needs of a database that keeps card swipes, whichever
// engine holds it. The keying of a delivery (which swipes are new) lives above this seam, in
// Delivery (record_store.h); an engine only stores keyed rows, skipping the keys it holds (a row
// of a terminal's log is compared with the one held under its key: other content is a conflict,
// listed, never dropped), and reads them back. OpenSwipeStore picks the engine from the location, so callers never name it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/db/store_failure.h"

namespace vanto::store {

// One swipe with its key, as stored. A swipe of a terminal that tells its identity (protocol
// version 2) is keyed by (identity, generation, epoch, index); one of a terminal that does not by
// (port, terminal, person, minute, occurrence).
struct StoredSwipe {
  int port = 0;
  int terminal = 0;
  std::int32_t person = 0;
  std::string minute;         // "YYYY-MM-DD HH:MM"
  int occurrence = 1;         // k, from 1: the k-th swipe of this person in this minute, in delivery order
  std::string time;           // "YYYY-MM-DD HH:MM:SS"
  std::string downloaded_at;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::optional<std::uint32_t> identity{};  // the terminal's serial number
  std::optional<std::uint32_t> generation{};  // its log generation
  std::optional<std::uint32_t> index{};       // the record's index in that log
  std::uint32_t epoch = 0;  // with an identity: the host's epoch of that log (see LogKey)
  bool withdrawn = false;   // in the feed only: this swipe was taken out of the store (a folded double)
  // The site whose terminal delivered it ('' a swipe stored before the database knew sites and
  // not yet taken by one). A swipe without identity is keyed with it.
  std::string site{};
};

// One record of a terminal's log stored twice, by versions that chose a log's epoch by the port
// it was read on: two rows of one identity and generation, in two epochs, with the same record
// index, person and swipe time (to the second). docs/host.md ("Doubles") says why two real
// swipes never match so.
struct StoredDouble {
  StoredSwipe kept;     // the one stored first (the earlier feed position): it stays
  StoredSwipe doubled;  // the same record stored again later
};

// The log a record read comes from: a version 2 terminal's identity and generation, and the
// host's epoch of that log. Epoch 0 is the log as first stored; when a terminal delivers, under a
// key the database holds, a record with other content (a terminal reset to a generation seen
// before, two terminals telling one identity), the host opens the next epoch from that record
// on, so both logs are kept.
struct LogKey {
  std::uint32_t identity = 0;
  std::uint32_t generation = 0;
  std::uint32_t epoch = 0;
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
  std::string site{};      // the site whose terminal holds it (keys a version 1 terminal's record)
};

// What the database holds of one log epoch: stored swipes plus rejected records, by index. An
// epoch opened at a conflict begins at that record's index (`first`): the records before it are
// held in the epoch before.
struct LogCoverage {
  std::int64_t count = 0;  // indexes held in this epoch
  std::int64_t next = 0;   // highest index held + 1 (none held: `first`)
  std::int64_t first = 0;  // the epoch's first index
  bool Contiguous() const { return count == next - first; }
};

// A record a terminal delivered under a key the database holds with other content. The host
// keeps it listed (both contents, where and when found) until an administrator acknowledges it.
struct RecordConflict {
  std::int64_t id = 0;          // its number in the database
  LogKey log;                   // the key it was found under
  std::uint32_t index = 0;
  int port = 0, terminal = 0;   // where the delivering read ran
  std::string found_at;         // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::int32_t person = 0;      // as delivered
  std::string time;             // as delivered, "YYYY-MM-DD HH:MM:SS"
  std::int32_t stored_person = 0;  // as held under the key
  std::string stored_time;
  int stored_port = 0, stored_terminal = 0;
  std::string stored_downloaded_at;
  bool acknowledged = false;
  std::string acknowledged_by, acknowledged_at;  // empty until acknowledged
  std::size_t row = 0;  // in an InsertResult: the row of the batch
  std::string site{};   // the site whose read found it ('' of no site)
};

// What InsertChecked did with each row of a batch.
enum class RowOutcome {
  Added,      // stored by this call
  Held,       // the database holds the key with the same content
  Conflict,   // the database holds the key with other content: listed as a conflict, not stored
  NotStored,  // after a conflict, with OnConflict::Stop: left for the caller to store elsewhere
};
enum class OnConflict { Stop, Continue };

struct InsertResult {
  std::vector<RowOutcome> rows;
  std::vector<RecordConflict> conflicts;  // in row order
  std::vector<bool> Added() const {
    std::vector<bool> added(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) added[i] = rows[i] == RowOutcome::Added;
    return added;
  }
};

// An epoch the host opened for a log (epoch 0 is opened by no one).
struct LogEpoch {
  LogKey log;
  std::uint32_t first = 0;          // its first index: the records below it are held in `parent`
  std::uint32_t parent = 0;         // the epoch it was opened from
  int port = 0, terminal = 0;       // where the read that opened it ran
  std::optional<std::int64_t> conflict;  // the conflict that opened it
  std::string opened_at;            // UTC
};

// A swipe's place in the paged listing order: time, person, port, terminal, occurrence, then its
// log key (identity, generation, index and epoch; -1 where a terminal tells none). No two stored
// swipes share one, so a page that ends at a swipe goes on exactly after it, however many swipes
// share its time.
struct SwipePosition {
  std::string time;  // "YYYY-MM-DD HH:MM:SS"
  std::int32_t person = 0;
  int port = 0, terminal = 0, occurrence = 0;
  std::int64_t identity = -1, generation = -1, index = -1, epoch = 0;
  friend bool operator==(const SwipePosition&, const SwipePosition&) = default;

  static SwipePosition Of(const StoredSwipe& swipe);
  // A text for a link ("TIME|PERSON|PORT|TERMINAL|OCCURRENCE|IDENTITY|GENERATION|INDEX|EPOCH") and
  // back; Parse answers nothing for any text Text did not make.
  std::string Text() const;
  static std::optional<SwipePosition> Parse(std::string_view text);
};

// Which stored swipes a query selects; every part that is set must hold.
struct SwipeQuery {
  std::optional<std::string> from;  // swipe time >= from ("YYYY-MM-DD HH:MM:SS", or a prefix of it)
  std::optional<std::string> to;    // swipe time <= to (inclusive; a shorter prefix covers its whole day or minute)
  std::vector<std::int32_t> persons;  // any of these (empty: everyone)
  std::optional<std::string> site;    // this site's swipes (none: every site's)
  std::optional<int> port;
  std::optional<int> terminal;
  // Paging (for Each; Count ignores `limit`): with either set, swipes come in the paged listing
  // order (SwipePosition), only those after `after`, at most `limit` of them. The order's index
  // serves every page alike: no page costs more for coming late.
  std::optional<SwipePosition> after;
  std::optional<std::size_t> limit;
};

// A swipe as the attendance rules take it: whose, when and from which terminal.
struct BriefSwipe {
  std::int32_t person = 0;
  std::string time;  // "YYYY-MM-DD HH:MM:SS"
  int port = 0, terminal = 0;
};

// One page of a listing: its swipes, and where the next page starts (nothing: this is the last).
struct SwipePage {
  std::vector<StoredSwipe> rows;
  std::optional<SwipePosition> next;
};

// A person's name and department, beside the person number swipes carry. A person is a site's:
// (site, person) is the key, so two sites' person 17 are two people.
struct PersonName {
  std::int32_t person = 0;
  std::string name;
  std::string department;  // empty: none
  std::string site{};           // '' a person of no site (a database that holds no site)
  std::string employee_code{};  // '' none; the same code at several sites names one human
  friend bool operator==(const PersonName&, const PersonName&) = default;
};

// What PutPeople did.
struct PeopleImport {
  std::size_t added = 0, updated = 0, unchanged = 0;
};

// The audit-trail row a change writes in its own transaction (the console's audit table, kept in
// the same database; accounts/ reads it): who, when, from where, what.
struct AuditNote {
  std::string at;      // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::string actor;   // a console user, or the operating-system user of a command
  std::string origin;  // a client address, or "command line"
  std::string action;  // "people.edit", "people.import"
  std::string details; // what was changed; the store adds what PutPeople did ("2 added, ...")
};

// One row of the host's enrolment table as a listing shows it: whose, which kind (0 fingerprint,
// 10 password) and the terminal it was backed up from or written for. The template and the
// password stay in the table: a listing never reads them.
struct EnrolmentEntry {
  std::optional<std::int32_t> person;
  std::optional<std::int64_t> kind;
  std::optional<std::int64_t> terminal;
  friend bool operator==(const EnrolmentEntry&, const EnrolmentEntry&) = default;
};

// The one mode of every database file, and of its -wal and -shm (SQLite gives them the
// database file's): read and written by its owner and its group, by no one else. The service's
// files belong to the user and group `vanto`, whose members run `vanto` beside it.
inline constexpr unsigned kDatabaseFileMode = 0660;

struct OpenOptions {
  // Create the database when it does not exist (an SQLite file: its folder must exist; it is
  // made aside with its whole schema and moved into place in one step, never replacing a file
  // that appeared meanwhile; kDatabaseFileMode whatever the umask; one process at a time).
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
  // is stored, so the same batch can be offered again. A row of a log whose key is held with
  // other content is listed as a conflict (Conflicts) and the rows after it are stored.
  virtual std::vector<bool> Insert(std::span<const StoredSwipe> rows);

  // Insert, comparing each row of a log with what is held under its key in the same transaction.
  // A row held with other content is never dropped: it is listed in the conflicts (once, however
  // often it is delivered) and answered as a Conflict. With OnConflict::Stop the rows after the
  // first conflict are not stored (NotStored); the rows before it are. On a StoreError nothing
  // of the batch is stored or listed.
  virtual InsertResult InsertChecked(std::span<const StoredSwipe> rows, OnConflict on_conflict);

  virtual std::int64_t Count(const SwipeQuery& query = {}) const = 0;
  // Hands each selected swipe to `row`, ordered by time, person, port, terminal and occurrence,
  // reading as it goes (memory stays flat whatever the count). `row` answers false to stop.
  virtual void Each(const SwipeQuery& query, const std::function<bool(const StoredSwipe&)>& row) const = 0;

  // The swipes `query` selects (its from, to, persons and site; port, terminal and paging are not
  // read) with only the four columns of BriefSwipe, by time, person, port and terminal: with a
  // site, read from the index by site and time alone (schema step 26), so a site's month of a
  // million swipes is one narrow scan. A value that is no whole number is a StoreError naming the
  // table, the column and the row. `row` answers false to stop.
  virtual void EachBrief(const SwipeQuery& query, const std::function<bool(const BriefSwipe&)>& row) const;
  // The people (by number, each once) with a swipe `query` selects (as EachBrief reads it).
  virtual std::vector<std::int32_t> PersonsWithSwipes(const SwipeQuery& query) const;

  // Adds or updates `people` (keyed by site and person number, each row under its `site`) in one
  // transaction: all or, on a StoreError, none. People the database holds and `people` does not
  // list stay as they are.
  virtual PeopleImport PutPeople(std::span<const PersonName> people) = 0;
  // PutPeople with `audit`'s row in the same transaction (written also when nothing changed, so
  // the attempt is on record): both or, on a StoreError, neither. An engine without the audit
  // table throws StoreError.
  virtual PeopleImport PutPeopleAudited(std::span<const PersonName> people, const AuditNote& audit);
  // Every person of `site` (every site's when none: SiteChoice::filter), by site and person number.
  virtual std::vector<PersonName> People(const std::optional<std::string>& site = {}) const = 0;
  // The people of `site` (every site's when none) among `persons` the database knows, by site and
  // person number: one look-up by the key, however many people there are.
  virtual std::vector<PersonName> PeopleAmong(std::span<const std::int32_t> persons,
                                              const std::optional<std::string>& site = {}) const;
  // The departments `site`'s people (every site's when none) are in (not the empty one), each
  // once, in byte order.
  virtual std::vector<std::string> Departments(const std::optional<std::string>& site = {}) const;

  // Logs of terminals that tell their identity. An engine that keeps no logs throws StoreError.
  // Stored swipes of `log` of that person and minute below index `before`.
  virtual int CountEarlier(const LogKey& log, std::int32_t person, const std::string& minute,
                           std::uint32_t before) const;
  virtual LogCoverage Coverage(const LogKey& log) const;
  // The person and time ("YYYY-MM-DD HH:MM:SS") of the swipe held at `index` of `log`, in that
  // very epoch (not the ones it was opened from); nothing when it holds none there.
  virtual std::optional<std::pair<std::int32_t, std::string>> SwipeAt(const LogKey& log, std::uint32_t index) const;
  // Index ranges [first, last] below `held` held neither as a swipe nor as a rejected record.
  virtual std::vector<std::pair<std::uint32_t, std::uint32_t>> Missing(const LogKey& log, std::uint32_t held,
                                                                       std::size_t limit) const;
  // Keeps a rejected record; true when it was not kept yet (the first one's reason and time stay).
  virtual bool AddRejected(const RejectedRecord& record);
  // The rejected records of `site` (every site's when none).
  virtual std::vector<RejectedRecord> Rejected(const std::optional<std::string>& site = {}) const;

  // The enrolment table's rows of `site` (every site's when none) by person, kind and terminal
  // (never their templates or passwords).
  virtual std::vector<EnrolmentEntry> Enrolments(const std::optional<std::string>& site = {}) const;

  // Epochs. The newest epoch of that identity and generation (epoch 0 when none was opened); a
  // sync chooses the epoch it reads on by the terminal's content (host::ChooseLog).
  virtual LogKey CurrentLog(std::uint32_t identity, std::uint32_t generation) const;
  // The epochs opened for that identity and generation, oldest first.
  virtual std::vector<LogEpoch> Epochs(std::uint32_t identity, std::uint32_t generation) const;
  // Opens the next epoch of `log`'s identity and generation (the newest + 1) from `log`'s epoch
  // (its parent), beginning at index `first`, and stores `rows` under it (their epoch is set to
  // it), in one transaction: on a StoreError neither the epoch nor a row is kept. `conflict`
  // names the conflict that opened it; the rows' first port and terminal are recorded as where.
  virtual std::pair<LogKey, InsertResult> OpenEpoch(const LogKey& log, std::uint32_t first,
                                                    std::optional<std::int64_t> conflict,
                                                    std::span<const StoredSwipe> rows);
  // Moves the first index of epoch `log` (not epoch 0) down to `first`: the records from
  // `first` up to its old first index are then keyed in it, not in its parent. For a read that
  // found a conflict at its very first record (index k > 0): the log below k is not the stored
  // one either, and is read again from `first` into the epoch. False when there is no such epoch.
  virtual bool LowerEpochStart(const LogKey& log, std::uint32_t first);
  // The conflicts found at `site` (every site's when none), oldest first; acknowledged ones too
  // when `acknowledged`.
  virtual std::vector<RecordConflict> Conflicts(bool acknowledged = false,
                                                const std::optional<std::string>& site = {}) const;
  // Marks conflict `id` acknowledged by `by` now; false when there is no such conflict or it was
  // acknowledged already (the first acknowledgement stays).
  virtual bool AcknowledgeConflict(std::int64_t id, const std::string& by);
  // Every double (StoredDouble), in the order of the doubled rows' feed positions. A record
  // stored three times is two doubles of the first row.
  virtual std::vector<StoredDouble> Doubles() const;
  // Folds every double in one transaction: each doubled row leaves `swipes` and enters the feed
  // once more, as withdrawn; one audit row (`audit`, the store adds how many were folded) is
  // written with it when any was folded. Answers the doubles folded (none the second time).
  virtual std::vector<StoredDouble> FoldDoubles(const AuditNote& audit);

  // The `size` swipes (at least 1) `query` selects after `query.after`, in the paged listing
  // order, reading one more to learn whether a next page exists.
  SwipePage Page(SwipeQuery query, std::size_t size) const;
  // For a copy of the database: every epoch opened, by identity, generation and epoch; an epoch
  // kept as given unless its key is held (false then); a conflict kept as given (acknowledgement
  // included) unless the same finding is held, answering its number here either way.
  virtual std::vector<LogEpoch> AllEpochs() const;
  virtual bool PutEpoch(const LogEpoch& epoch);
  virtual std::int64_t PutConflict(const RecordConflict& conflict);

  // Conveniences over Count and Each.
  std::vector<StoredSwipe> Swipes(std::optional<int> port = {}, std::optional<int> terminal = {}) const;
  std::int64_t CountSwipes(std::optional<int> port = {}, std::optional<int> terminal = {}) const;
};

// Whether `location` names a server database (a postgresql:// or postgres:// URL, or key=value
// connection text such as "host=db dbname=vanto") rather than an SQLite file. Any other "scheme://" text is refused by OpenSwipeStore as no usable location.
bool IsDatabaseUrl(const std::string& location);

// The files of the SQLite database at `location` (the database, its -wal and -shm files) that
// users other than the owner and the owner's group may read, for a warning; also for any other
// file path (a site file). Empty for a database URL and for a file that does not exist. Changes
// nothing; throws StoreError when a mode cannot be read.
std::vector<std::string> FilesReadableByOthers(const std::string& location);


}  // namespace vanto::store
