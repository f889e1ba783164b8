#include "host/db/postgres_store.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <unordered_map>

#include "host/db/audit_writer.h"
#include "host/db/civil_time.h"
#include "host/db/pg_engines.h"
#include "host/db/schema.h"
#include "host/db/statements.h"
#include "host/message.h"
#include "host/db/pg_connection.h"

namespace vanto::store {
namespace {

// Any fixed number: the advisory lock that lets one process at a time take schema steps.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(730531)";

std::string IntArray(std::span<const StoredSwipe> rows, int StoredSwipe::*field) {
  std::string text = "{";
  for (std::size_t i = 0; i < rows.size(); ++i) (text += i ? "," : "") += std::to_string(rows[i].*field);
  return text + "}";
}

std::string TextArray(std::span<const StoredSwipe> rows, std::string StoredSwipe::*field) {
  std::string text = "{";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    text += i ? ",\"" : "\"";
    for (char c : rows[i].*field) {
      if (c == '"' || c == '\\') text += '\\';
      text += c;
    }
    text += '"';
  }
  return text + "}";
}

struct Params {
  std::vector<std::string> texts;
  std::vector<const char*> pointers;
};

Params ParamsOf(const SqlFilter& filter) {
  Params p;
  for (const SqlValue& v : filter.values)
    p.texts.push_back(std::holds_alternative<std::int64_t>(v) ? std::to_string(std::get<std::int64_t>(v))
                                                              : std::get<std::string>(v));
  for (const std::string& t : p.texts) p.pointers.push_back(t.c_str());
  return p;
}

// A batch as the array parameters of one statement.
struct BatchArrays {
  std::string ports, terminals, persons, minutes, occurrences, times, downloaded, identities, generations, indexes,
      epochs, sites;

  explicit BatchArrays(std::span<const StoredSwipe> rows)
      : ports(IntArray(rows, &StoredSwipe::port)),
        terminals(IntArray(rows, &StoredSwipe::terminal)),
        minutes(TextArray(rows, &StoredSwipe::minute)),
        occurrences(IntArray(rows, &StoredSwipe::occurrence)),
        times(TextArray(rows, &StoredSwipe::time)),
        downloaded(TextArray(rows, &StoredSwipe::downloaded_at)),
        sites(TextArray(rows, &StoredSwipe::site)) {
    persons = epochs = "{";
    for (std::size_t i = 0; i < rows.size(); ++i) {
      (persons += i ? "," : "") += std::to_string(rows[i].person);
      (epochs += i ? "," : "") += std::to_string(rows[i].identity ? rows[i].epoch : 0);
    }
    persons += "}";
    epochs += "}";
    // The log key (NULL for a terminal without identity).
    auto optionals = [&](std::optional<std::uint32_t> StoredSwipe::*field) {
      std::string out = "{";
      for (std::size_t i = 0; i < rows.size(); ++i)
        (out += i ? "," : "") += (rows[i].*field) ? std::to_string(*(rows[i].*field)) : std::string("NULL");
      return out + "}";
    };
    identities = optionals(&StoredSwipe::identity);
    generations = optionals(&StoredSwipe::generation);
    indexes = optionals(&StoredSwipe::index);
  }
};

// Finds the batch row of a stored row: rows of a log by their log key, the others by the old key.
class RowIndex {
 public:
  explicit RowIndex(std::span<const StoredSwipe> rows) {
    index_.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const StoredSwipe& r = rows[i];
      if (r.identity)
        index_.emplace(Key(true, std::to_string(*r.identity), std::to_string(r.generation.value_or(0)),
                           std::to_string(r.epoch), std::to_string(r.index.value_or(0)), ""),
                       i);
      else
        index_.emplace(Key(false, std::to_string(r.port), std::to_string(r.terminal), std::to_string(r.person), r.minute,
                           std::to_string(r.occurrence)),
                       i);
    }
  }

  // The row of result row `i` whose columns from `at` on are port, terminal, person, minute,
  // occurrence, identity, generation, epoch and record index.
  std::optional<std::size_t> Find(const PgResult& out, int i, int at) const {
    auto it = out.null(i, at + 5) ? index_.find(Key(false, out.text(i, at), out.text(i, at + 1), out.text(i, at + 2),
                                                    out.text(i, at + 3), out.text(i, at + 4)))
                                   : index_.find(Key(true, out.text(i, at + 5), out.text(i, at + 6), out.text(i, at + 7),
                                                     out.text(i, at + 8), ""));
    if (it == index_.end()) return std::nullopt;
    return it->second;
  }

 private:
  static std::string Key(bool log, const std::string& a, const std::string& b, const std::string& c,
                         const std::string& d, const std::string& e) {
    return (log ? "L|" : "U|") + a + "|" + b + "|" + c + "|" + d + "|" + e;
  }
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace

void ThrowHostPgError(const PgError& e, const std::string& url) {
  if (e.failure() == StoreFailure::Invalid && !e.connecting() && !e.detail().empty())  // the URL itself
    throw PgError(e.failure(),
                  host::Message("database URL {0} is no usable URL (the client library said: {1})", {RedactUrl(url), e.detail()}),
                  "", false, e.detail());
  if (!e.connecting()) throw e;
  throw PgError(e.failure(),
                host::Message("database {0}: cannot connect (the server said: {1})", {DescribePgUrl(url), e.detail()}),
                e.sqlstate(), e.connection_lost(), e.detail(), true);
}

PgOptions HostPgOptions(std::chrono::milliseconds lock_timeout) {
  PgOptions o;
  o.lock_timeout = lock_timeout;
  o.wording = HostPgMessage;
  return o;
}

host::Message HostPgMessage(const PgStatementFailure& f) {
  if (f.failure == StoreFailure::ReadOnly)
    return host::Message("database {0}: {1} failed: the server is read-only (a standby?) (the server said: {2})",
                        {f.server, f.step, f.cause});
  return host::Message("database {0}: {1} failed (the server said: {2})", {f.server, f.step, f.cause});
}

namespace {

class PostgresSwipeStore final : public SwipeStore {
 public:
  PostgresSwipeStore(const std::string& url, const OpenOptions& options)
      : lease_(ConnectOwn(url, options.lock_timeout)) {}
  PostgresSwipeStore(PgLease lease, int version) : lease_(std::move(lease)), version_(version) {}

  const std::string& location() const override { return connection_.server(); }
  int schema_version() const override { return version_; }

  int ReadVersion() {
    PgResult exists = connection_.Exec("SELECT to_regclass('schema_version') IS NOT NULL", "reading the schema version");
    if (std::string(exists.text(0, 0)) != "t") return 0;
    PgResult max = connection_.Exec(sql::kSchemaVersion.postgres(), "reading the schema version");
    return std::stoi(max.text(0, 0));
  }

  void ReadOnly() {
    read_only_ = true;
    connection_.Exec("SET default_transaction_read_only = on", "opening for reading");
    version_ = ReadVersion();
    if (version_ == 0 && std::string(connection_.Exec("SELECT to_regclass('swipes') IS NOT NULL", "reading the list of tables")
                                         .text(0, 0)) != "t") {
      // A new database without any table is to a server what a file not written yet is: the
      // first command that writes creates the tables.
      if (std::string(connection_.Exec("SELECT count(*) FROM pg_catalog.pg_tables WHERE schemaname NOT IN "
                                       "('pg_catalog', 'information_schema')",
                                       "reading the list of tables")
                          .text(0, 0)) == "0")
        throw StoreError(StoreFailure::Missing,
                         host::Message("database {0} holds no tables yet; the first sync creates them", {location()}));
      throw StoreError(StoreFailure::Invalid, host::Message("database {0} holds no swipes (not a vanto database?)", {location()}));
    }
    CheckReadableSchema(location(), version_);
  }

  void Migrate() {
    version_ = ReadVersion();
    if (version_ > LatestSchemaVersion()) throw StoreError(StoreFailure::NewerSchema, NewerSchemaMessage(location(), version_));
    if (version_ == LatestSchemaVersion()) return;
    connection_.Transaction("bringing the schema up to date", [&] {
      connection_.Exec(kMigrationLock, "bringing the schema up to date");
      connection_.Exec(SchemaVersionTableSql(Engine::Postgres), "bringing the schema up to date");
      version_ = ReadVersion();  // another process may have taken the steps meanwhile
      if (version_ > LatestSchemaVersion())
        throw StoreError(StoreFailure::NewerSchema, NewerSchemaMessage(location(), version_));
      for (const SchemaStep& step : SchemaSteps()) {
        if (step.version <= version_) continue;
        std::string label = "bringing the schema to version " + std::to_string(step.version);
        connection_.Exec(SchemaStepSql(step, Engine::Postgres), label);
        std::string version = std::to_string(step.version), now = UtcNowText();
        connection_.Exec(sql::kRecordSchemaVersion.postgres(),
                         {version.c_str(), step.what, now.c_str()}, label);
      }
    });
    version_ = ReadVersion();
  }

  InsertResult InsertChecked(std::span<const StoredSwipe> rows, OnConflict on_conflict) override {
    InsertResult result;
    if (rows.empty()) return result;
    const BatchArrays arrays(rows);
    const bool identified = std::any_of(rows.begin(), rows.end(), [](const StoredSwipe& r) { return r.identity; });
    if (!identified) {
      // Nothing to compare: one statement, a transaction of its own, one round trip per batch.
      connection_.Retry("storing swipes", [&] { result = *InsertFirst(rows, arrays, false); });
      return result;
    }
    // Insert first, and compare the rows not stored, in one transaction; a batch with a key
    // holding other content is rolled back and stored again with the full comparison (which also
    // keeps the rows after the first clash out when told to stop there).
    struct CompareInFull {};
    try {
      connection_.Transaction("storing swipes", [&] {
        std::optional<InsertResult> first = InsertFirst(rows, arrays, true);
        if (!first) throw CompareInFull{};
        result = std::move(*first);
      });
      return result;
    } catch (const CompareInFull&) {
    }
    connection_.Retry("storing swipes", [&] { result = InsertRows(rows, on_conflict); });
    return result;
  }

  LogKey CurrentLog(std::uint32_t identity, std::uint32_t generation) const override {
    std::string id = std::to_string(identity), gen = std::to_string(generation);
    LogKey log{identity, generation, 0};
    connection_.Retry("finding the current epoch of a terminal's log", [&] {
      PgResult r = connection_.Exec("SELECT coalesce(max(epoch), 0) FROM log_epochs WHERE identity = $1 AND generation = $2",
                                    {id.c_str(), gen.c_str()}, "finding the current epoch of a terminal's log");
      log.epoch = static_cast<std::uint32_t>(std::atoll(r.text(0, 0)));
    });
    return log;
  }

  std::vector<LogEpoch> Epochs(std::uint32_t identity, std::uint32_t generation) const override {
    std::string id = std::to_string(identity), gen = std::to_string(generation);
    std::vector<LogEpoch> epochs;
    connection_.Retry("reading the epochs of a terminal's log", [&] {
      epochs.clear();
      PgResult r = connection_.Exec(
          "SELECT epoch, first_index, port, terminal, conflict, opened_at, parent FROM log_epochs "
          "WHERE identity = $1 AND generation = $2 ORDER BY epoch",
          {id.c_str(), gen.c_str()}, "reading the epochs of a terminal's log");
      for (int i = 0; i < r.rows(); ++i) {
        LogEpoch e;
        e.log = {identity, generation, static_cast<std::uint32_t>(std::atoll(r.text(i, 0)))};
        e.first = static_cast<std::uint32_t>(std::atoll(r.text(i, 1)));
        e.port = std::atoi(r.text(i, 2));
        e.terminal = std::atoi(r.text(i, 3));
        if (!r.null(i, 4)) e.conflict = std::atoll(r.text(i, 4));
        e.opened_at = r.text(i, 5);
        e.parent = static_cast<std::uint32_t>(std::atoll(r.text(i, 6)));
        epochs.push_back(std::move(e));
      }
    });
    return epochs;
  }

  std::pair<LogKey, InsertResult> OpenEpoch(const LogKey& log, std::uint32_t first, std::optional<std::int64_t> conflict,
                                            std::span<const StoredSwipe> rows) override {
    std::string id = std::to_string(log.identity), gen = std::to_string(log.generation), from = std::to_string(first),
                port = std::to_string(rows.empty() ? 0 : rows.front().port),
                terminal = std::to_string(rows.empty() ? 0 : rows.front().terminal),
                why = conflict ? std::to_string(*conflict) : std::string(), now = UtcNowText(),
                parent = std::to_string(log.epoch);
    LogKey opened = log;
    InsertResult result;
    connection_.Transaction("opening a new epoch of a terminal's log", [&] {
      // A writer of swipes: the feed's lock before anything is written (FeedWriterLockSql).
      connection_.Exec(FeedWriterLockSql(), "opening a new epoch of a terminal's log");
      // One process at a time numbers the epochs of one identity.
      connection_.Exec("SELECT pg_advisory_xact_lock(730532::bigint * 4294967296 + $1::bigint)", {id.c_str()},
                       "opening a new epoch of a terminal's log");
      PgResult r = connection_.Exec(
          "INSERT INTO log_epochs (identity, generation, epoch, first_index, port, terminal, conflict, opened_at, parent) "
          "SELECT $1, $2, coalesce(max(epoch), 0) + 1, $3, $4, $5, $6, $7, $8 FROM log_epochs "
          "WHERE identity = $1 AND generation = $2 RETURNING epoch",
          {id.c_str(), gen.c_str(), from.c_str(), port.c_str(), terminal.c_str(), conflict ? why.c_str() : nullptr,
           now.c_str(), parent.c_str()},
          "opening a new epoch of a terminal's log");
      opened.epoch = static_cast<std::uint32_t>(std::atoll(r.text(0, 0)));
      std::vector<StoredSwipe> moved(rows.begin(), rows.end());
      for (StoredSwipe& row : moved) row.epoch = opened.epoch;
      result = InsertRows(moved, OnConflict::Continue);
    });
    return {opened, std::move(result)};
  }

  std::vector<LogEpoch> AllEpochs() const override {
    std::vector<LogEpoch> epochs;
    connection_.Retry("reading the epochs of the logs", [&] {
      epochs.clear();
      PgResult r = connection_.Exec(
          "SELECT identity, generation, epoch, first_index, port, terminal, conflict, opened_at, parent FROM log_epochs "
          "ORDER BY identity, generation, epoch",
          "reading the epochs of the logs");
      for (int i = 0; i < r.rows(); ++i) {
        LogEpoch e;
        e.log = {static_cast<std::uint32_t>(std::atoll(r.text(i, 0))), static_cast<std::uint32_t>(std::atoll(r.text(i, 1))),
                 static_cast<std::uint32_t>(std::atoll(r.text(i, 2)))};
        e.first = static_cast<std::uint32_t>(std::atoll(r.text(i, 3)));
        e.port = std::atoi(r.text(i, 4));
        e.terminal = std::atoi(r.text(i, 5));
        if (!r.null(i, 6)) e.conflict = std::atoll(r.text(i, 6));
        e.opened_at = r.text(i, 7);
        e.parent = static_cast<std::uint32_t>(std::atoll(r.text(i, 8)));
        epochs.push_back(std::move(e));
      }
    });
    return epochs;
  }

  bool PutEpoch(const LogEpoch& e) override {
    std::string id = std::to_string(e.log.identity), gen = std::to_string(e.log.generation),
                epoch = std::to_string(e.log.epoch), first = std::to_string(e.first), port = std::to_string(e.port),
                terminal = std::to_string(e.terminal), conflict = e.conflict ? std::to_string(*e.conflict) : std::string(),
                parent = std::to_string(e.parent);
    bool added = false;
    connection_.Retry("copying an epoch of a terminal's log", [&] {
      PgResult r = connection_.Exec(
          "INSERT INTO log_epochs (identity, generation, epoch, first_index, port, terminal, conflict, opened_at, parent) "
          "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT DO NOTHING RETURNING 1",
          {id.c_str(), gen.c_str(), epoch.c_str(), first.c_str(), port.c_str(), terminal.c_str(),
           e.conflict ? conflict.c_str() : nullptr, e.opened_at.c_str(), parent.c_str()},
          "copying an epoch of a terminal's log");
      added = r.rows() > 0;
    });
    return added;
  }

  std::int64_t PutConflict(const RecordConflict& c) override {
    std::string id = std::to_string(c.log.identity), gen = std::to_string(c.log.generation),
                epoch = std::to_string(c.log.epoch), index = std::to_string(c.index), port = std::to_string(c.port),
                terminal = std::to_string(c.terminal), person = std::to_string(c.person),
                stored_person = std::to_string(c.stored_person), stored_port = std::to_string(c.stored_port),
                stored_terminal = std::to_string(c.stored_terminal), acknowledged = c.acknowledged ? "t" : "f";
    std::int64_t number = 0;
    connection_.Retry("copying a conflict", [&] {
      // The finding held already keeps its number (and its acknowledgement).
      PgResult r = connection_.Exec(
          "WITH added AS (INSERT INTO conflicts (identity, generation, epoch, record_index, port, terminal, found_at, "
          "person, swipe_time, stored_person, stored_time, stored_port, stored_terminal, stored_downloaded_at, "
          "acknowledged, acknowledged_by, acknowledged_at, site) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, "
          "$12, $13, $14, $15, $16, $17, $18) ON CONFLICT (identity, generation, epoch, record_index, person, swipe_time) "
          "DO NOTHING RETURNING id) "
          "SELECT id FROM added UNION ALL SELECT id FROM conflicts WHERE identity = $1 AND generation = $2 "
          "AND epoch = $3 AND record_index = $4 AND person = $8 AND swipe_time = $9 LIMIT 1",
          {id.c_str(), gen.c_str(), epoch.c_str(), index.c_str(), port.c_str(), terminal.c_str(), c.found_at.c_str(),
           person.c_str(), c.time.c_str(), stored_person.c_str(), c.stored_time.c_str(), stored_port.c_str(),
           stored_terminal.c_str(), c.stored_downloaded_at.c_str(), acknowledged.c_str(),
           c.acknowledged ? c.acknowledged_by.c_str() : nullptr, c.acknowledged ? c.acknowledged_at.c_str() : nullptr,
           c.site.c_str()},
          "copying a conflict");
      number = r.rows() > 0 ? std::atoll(r.text(0, 0)) : 0;
    });
    return number;
  }

  bool LowerEpochStart(const LogKey& log, std::uint32_t first) override {
    std::string id = std::to_string(log.identity), gen = std::to_string(log.generation),
                epoch = std::to_string(log.epoch), from = std::to_string(first);
    bool changed = false;
    connection_.Retry("moving the start of an epoch", [&] {
      PgResult r = connection_.Exec(
          "UPDATE log_epochs SET first_index = least(first_index, $4) WHERE identity = $1 AND generation = $2 "
          "AND epoch = $3 RETURNING 1",
          {id.c_str(), gen.c_str(), epoch.c_str(), from.c_str()}, "moving the start of an epoch");
      changed = r.rows() > 0;
    });
    return changed;
  }

  std::vector<RecordConflict> Conflicts(bool acknowledged, const std::optional<std::string>& site) const override {
    std::vector<RecordConflict> result;
    std::string where = acknowledged ? "" : " WHERE NOT acknowledged";
    if (site) where += (where.empty() ? " WHERE " : " AND ") + std::string(version_ >= 20 ? "site" : "''") + " = $1";
    std::vector<const char*> values;
    if (site) values.push_back(site->c_str());
    connection_.Retry("reading conflicts", [&] {
      result.clear();
      PgResult r = connection_.Exec("SELECT " + sql::ConflictColumns(version_) + " FROM conflicts" + where + " ORDER BY id",
                                    values, "reading conflicts");
      for (int i = 0; i < r.rows(); ++i) result.push_back(ConflictOf(r, i, 0));
    });
    return result;
  }

  std::vector<StoredDouble> Doubles() const override {
    if (version_ < 5) return {};
    std::vector<StoredDouble> result;
    connection_.Retry("looking for doubles", [&] {
      result.clear();
      for (Placed& d : FindDoubles()) result.push_back(std::move(d.pair));
    });
    return result;
  }

  std::vector<StoredDouble> FoldDoubles(const AuditNote& audit) override {
    if (read_only_)
      throw StoreError(StoreFailure::ReadOnly,
                       host::Message("database {0} is opened for reading ({1})", {connection_.server(), "folding doubles"}));
    std::vector<StoredDouble> result;
    const std::string now = UtcNowText();
    connection_.Transaction("folding doubles", [&] {
      result.clear();
      // A writer of the feed: its lock before anything is written (FeedWriterLockSql); one fold
      // at a time, while downloads and readers go on.
      connection_.Exec(FeedWriterLockSql(), "folding doubles");
      connection_.Exec("LOCK TABLE swipes_withdrawn IN SHARE ROW EXCLUSIVE MODE", "folding doubles");
      for (Placed& d : FindDoubles()) {
        // The row withdrawn only if this transaction removed it: the withdrawn row takes its
        // feed position from the column defaults, as a stored swipe does.
        PgResult r = connection_.Exec(
            std::string("WITH gone AS (DELETE FROM swipes WHERE feed_xid = $1::xid8 AND feed_seq = $2::bigint RETURNING ") +
                kSwipeColumns + ", feed_xid, feed_seq) INSERT INTO swipes_withdrawn (" + kSwipeColumns +
                ", was_xid, was_seq, kept_xid, kept_seq, withdrawn_at) SELECT " + kSwipeColumns +
                ", feed_xid, feed_seq, $3::xid8, $4::bigint, $5 FROM gone RETURNING 1",
            {d.doubled_xid.c_str(), d.doubled_seq.c_str(), d.kept_xid.c_str(), d.kept_seq.c_str(), now.c_str()},
            "folding doubles");
        if (r.rows() > 0) result.push_back(std::move(d.pair));
      }
      if (result.empty()) return;
      const std::string details = FoldDetails(audit, result.size());
      connection_.Exec(sql::kInsertAudit.postgres(),
                       {audit.at.c_str(), audit.actor.c_str(), audit.origin.c_str(), audit.action.c_str(), details.c_str()},
                       "writing the audit trail");
    });
    return result;
  }

  struct Placed {
    StoredDouble pair;
    std::string kept_xid, kept_seq, doubled_xid, doubled_seq;
    std::pair<std::uint64_t, std::uint64_t> doubled_at;
  };

  // The doubles with the feed positions of both rows, in the doubled rows' feed order.
  std::vector<Placed> FindDoubles() const {
    PgResult r = connection_.Exec(std::string("SELECT ") + kSwipeColumns + ", feed_xid::text, feed_seq FROM swipes s " +
                                      kDoubledRows +
                                      " ORDER BY identity, generation, record_index, person, swipe_time, feed_xid, feed_seq",
                                  "looking for doubles");
    std::vector<Placed> result;
    int first = -1;
    StoredSwipe kept;
    for (int i = 0; i < r.rows(); ++i) {
      StoredSwipe s = PgStoredSwipe(r, i, 0);
      if (first >= 0 && SameRecord(kept, s)) {
        Placed d{{kept, std::move(s)}, r.text(first, 12), r.text(first, 13), r.text(i, 12), r.text(i, 13),
                 {std::strtoull(r.text(i, 12), nullptr, 10), std::strtoull(r.text(i, 13), nullptr, 10)}};
        result.push_back(std::move(d));
      } else {
        first = i;
        kept = std::move(s);
      }
    }
    std::sort(result.begin(), result.end(), [](const Placed& a, const Placed& b) { return a.doubled_at < b.doubled_at; });
    return result;
  }

  bool AcknowledgeConflict(std::int64_t id, const std::string& by) override {
    std::string number = std::to_string(id), now = UtcNowText();
    bool changed = false;
    connection_.Retry("acknowledging a conflict", [&] {
      PgResult r = connection_.Exec(
          "UPDATE conflicts SET acknowledged = true, acknowledged_by = $2, acknowledged_at = $3 "
          "WHERE id = $1 AND NOT acknowledged RETURNING id",
          {number.c_str(), by.c_str(), now.c_str()}, "acknowledging a conflict");
      changed = r.rows() > 0;
    });
    return changed;
  }

  int CountEarlier(const LogKey& log, std::int32_t person, const std::string& minute,
                   std::uint32_t before) const override {
    std::string id = std::to_string(log.identity), gen = std::to_string(log.generation),
                who = std::to_string(person), upto = std::to_string(before), epoch = std::to_string(log.epoch);
    int count = 0;
    connection_.Retry("counting earlier swipes", [&] {
      PgResult r = connection_.Exec(
          "SELECT count(*) FROM swipes WHERE identity = $1 AND generation = $2 AND epoch = $6 AND person = $3 "
          "AND minute = $4 AND record_index < $5",
          {id.c_str(), gen.c_str(), who.c_str(), minute.c_str(), upto.c_str(), epoch.c_str()}, "counting earlier swipes");
      count = std::atoi(r.text(0, 0));
    });
    return count;
  }

  std::optional<std::pair<std::int32_t, std::string>> SwipeAt(const LogKey& log, std::uint32_t index) const override {
    std::string id = std::to_string(log.identity), gen = std::to_string(log.generation), epoch = std::to_string(log.epoch),
                at = std::to_string(index);
    std::optional<std::pair<std::int32_t, std::string>> held;
    connection_.Retry("reading a stored record of a terminal's log", [&] {
      held.reset();
      PgResult r = connection_.Exec(
          "SELECT person, swipe_time FROM swipes WHERE identity = $1 AND generation = $2 AND epoch = $3 "
          "AND record_index = $4",
          {id.c_str(), gen.c_str(), epoch.c_str(), at.c_str()}, "reading a stored record of a terminal's log");
      if (r.rows() > 0) held.emplace(static_cast<std::int32_t>(std::atol(r.text(0, 0))), r.text(0, 1));
    });
    return held;
  }

  LogCoverage Coverage(const LogKey& log) const override {
    std::string id = std::to_string(log.identity), gen = std::to_string(log.generation), epoch = std::to_string(log.epoch);
    LogCoverage coverage;
    connection_.Retry("counting the records of a terminal", [&] {
      PgResult r = connection_.Exec(
          "WITH e AS (SELECT coalesce((SELECT first_index FROM log_epochs WHERE identity = $1 AND generation = $2 "
          "AND epoch = $3), 0) AS first) "
          "SELECT coalesce((SELECT held FROM log_records WHERE identity = $1 AND generation = $2 AND epoch = $3), 0), "
          "greatest((SELECT first FROM e), "
          "coalesce((SELECT max(record_index) + 1 FROM swipes WHERE identity = $1 AND generation = $2 AND epoch = $3), 0), "
          "coalesce((SELECT max(record_index) + 1 FROM rejected_records WHERE identity = $1 AND generation = $2 "
          "AND epoch = $3), 0)), (SELECT first FROM e)",
          {id.c_str(), gen.c_str(), epoch.c_str()}, "counting the records of a terminal");
      coverage.count = std::atoll(r.text(0, 0));
      coverage.next = std::atoll(r.text(0, 1));
      coverage.first = std::atoll(r.text(0, 2));
    });
    return coverage;
  }

  std::vector<std::pair<std::uint32_t, std::uint32_t>> Missing(const LogKey& log, std::uint32_t held,
                                                               std::size_t limit) const override {
    std::string id = std::to_string(log.identity), gen = std::to_string(log.generation), upto = std::to_string(held),
                epoch = std::to_string(log.epoch);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> missing;
    connection_.Retry("finding the records not stored", [&] {
      missing.clear();
      PgResult r = connection_.Exec(
          "SELECT 0, coalesce((SELECT first_index FROM log_epochs WHERE identity = $1 AND generation = $2 "
          "AND epoch = $4), 0) UNION ALL SELECT 1, record_index FROM (SELECT record_index FROM swipes "
          "WHERE identity = $1 AND generation = $2 AND epoch = $4 AND record_index < $3 "
          "UNION SELECT record_index FROM rejected_records WHERE identity = $1 AND generation = $2 AND epoch = $4 "
          "AND record_index < $3) held ORDER BY 1, 2",
          {id.c_str(), gen.c_str(), upto.c_str(), epoch.c_str()}, "finding the records not stored");
      // The first row is where the epoch begins.
      std::int64_t expected = std::atoll(r.text(0, 1));
      auto gap = [&](std::int64_t to) {
        if (to > expected && missing.size() < limit)
          missing.push_back({static_cast<std::uint32_t>(expected), static_cast<std::uint32_t>(to - 1)});
      };
      for (int i = 1; i < r.rows(); ++i) {
        const std::int64_t index = std::atoll(r.text(i, 1));
        gap(index);
        expected = index + 1;
      }
      gap(held);
    });
    return missing;
  }

  bool AddRejected(const RejectedRecord& rec) override {
    std::string port = std::to_string(rec.port), terminal = std::to_string(rec.terminal),
                index = std::to_string(rec.index), person = std::to_string(rec.person), year = std::to_string(rec.year),
                month = std::to_string(rec.month), day = std::to_string(rec.day), hour = std::to_string(rec.hour),
                minute = std::to_string(rec.minute), seen = rec.first_seen.empty() ? UtcNowText() : rec.first_seen;
    std::string id = rec.log ? std::to_string(rec.log->identity) : "", gen = rec.log ? std::to_string(rec.log->generation) : "",
                epoch = std::to_string(rec.log ? rec.log->epoch : 0);
    bool added = false;
    connection_.Retry("keeping a rejected record", [&] {
      PgResult r = connection_.Exec(
          sql::kAddRejected.postgres(),
          {port.c_str(), terminal.c_str(), rec.log ? id.c_str() : nullptr, rec.log ? gen.c_str() : nullptr,
           index.c_str(), person.c_str(), year.c_str(), month.c_str(), day.c_str(), hour.c_str(), minute.c_str(),
           rec.reason.c_str(), seen.c_str(), epoch.c_str(), rec.site.c_str()},
          "keeping a rejected record");
      added = r.rows() > 0;
    });
    return added;
  }

  std::vector<EnrolmentEntry> Enrolments(const std::optional<std::string>& site) const override {
    std::vector<EnrolmentEntry> result;
    const bool one_site = site && version_ >= 20;  // before sites every row is of no site
    connection_.Retry("reading the enrolment table", [&] {
      result.clear();
      PgResult r = one_site ? connection_.Exec(sql::kSiteEnrolments.postgres(), std::vector<const char*>{site->c_str()},
                                              "reading the enrolment table")
                            : connection_.Exec(sql::kEnrolments.postgres(), "reading the enrolment table");
      for (int i = 0; i < r.rows(); ++i) {
        EnrolmentEntry e;
        if (!PQgetisnull(r.get(), i, 0)) e.person = static_cast<std::int32_t>(std::atoll(r.text(i, 0)));
        if (!PQgetisnull(r.get(), i, 1)) e.kind = std::atoll(r.text(i, 1));
        if (!PQgetisnull(r.get(), i, 2)) e.terminal = std::atoll(r.text(i, 2));
        result.push_back(e);
      }
    });
    return result;
  }

  std::vector<RejectedRecord> Rejected(const std::optional<std::string>& site) const override {
    std::vector<RejectedRecord> result;
    std::vector<const char*> values;
    if (site) values.push_back(site->c_str());
    connection_.Retry("reading rejected records", [&] {
      result.clear();
      PgResult r = connection_.Exec(sql::RejectedSql(version_, site.has_value()), values, "reading rejected records");
      for (int i = 0; i < r.rows(); ++i) {
        RejectedRecord rec;
        rec.port = std::atoi(r.text(i, 0));
        rec.terminal = std::atoi(r.text(i, 1));
        if (*r.text(i, 2))
          rec.log = LogKey{static_cast<std::uint32_t>(std::atoll(r.text(i, 2))),
                           static_cast<std::uint32_t>(std::atoll(r.text(i, 3))),
                           static_cast<std::uint32_t>(std::atoll(r.text(i, 13)))};
        rec.index = static_cast<std::uint32_t>(std::atoll(r.text(i, 4)));
        rec.person = std::atoi(r.text(i, 5));
        rec.year = std::atoi(r.text(i, 6));
        rec.month = std::atoi(r.text(i, 7));
        rec.day = std::atoi(r.text(i, 8));
        rec.hour = std::atoi(r.text(i, 9));
        rec.minute = std::atoi(r.text(i, 10));
        rec.reason = r.text(i, 11);
        rec.first_seen = r.text(i, 12);
        rec.site = r.text(i, 14);
        result.push_back(std::move(rec));
      }
    });
    return result;
  }

  PeopleImport PutPeople(std::span<const PersonName> people) override { return Put(people, nullptr); }
  PeopleImport PutPeopleAudited(std::span<const PersonName> people, const AuditNote& audit) override {
    return Put(people, &audit);
  }

  PeopleImport Put(std::span<const PersonName> people, const AuditNote* audit) {
    PeopleImport result;
    if (people.empty() && !audit) return result;
    // All or nothing, in one transaction; a lost race runs the whole import again.
    connection_.Transaction("storing people", [&] {
      result = {};
      for (const PersonName& p : people) {
        std::string number = std::to_string(p.person);
        PgResult held = connection_.Exec(std::string(sql::kPersonHeld.postgres()) + " FOR UPDATE",
                                         {number.c_str(), p.site.c_str()}, "reading people");
        const std::vector<const char*> values{number.c_str(), p.name.c_str(), p.department.c_str(), p.site.c_str(),
                                              p.employee_code.c_str()};
        if (held.rows() > 0) {
          if (p.name == held.text(0, 0) && p.department == held.text(0, 1) && p.employee_code == held.text(0, 2)) {
            ++result.unchanged;
            continue;
          }
          connection_.Exec(sql::kUpdatePerson.postgres(), values, "storing people");
          ++result.updated;
        } else {
          connection_.Exec(sql::kAddPerson.postgres(), values, "storing people");
          ++result.added;
        }
      }
      if (audit) {
        std::string details = AuditDetails(*audit, result);
        connection_.Exec(sql::kInsertAudit.postgres(),
                         {audit->at.c_str(), audit->actor.c_str(), audit->origin.c_str(), audit->action.c_str(),
                          details.c_str()},
                         "writing the audit trail");
      }
    });
    return result;
  }

  static PersonName PersonOf(const PgResult& rows, int r) {
    return {static_cast<std::int32_t>(std::atoll(rows.text(r, 0))), rows.text(r, 1), rows.text(r, 2), rows.text(r, 3),
            rows.text(r, 4)};
  }

  std::vector<PersonName> People(const std::optional<std::string>& site) const override {
    std::vector<PersonName> people;
    std::vector<const char*> values;
    if (site) values.push_back(site->c_str());
    connection_.Retry("reading people", [&] {
      people.clear();
      PgResult rows = connection_.Exec(sql::PeopleSql(version_, site.has_value()), values, "reading people");
      for (int r = 0; r < rows.rows(); ++r) people.push_back(PersonOf(rows, r));
    });
    return people;
  }

  std::vector<PersonName> PeopleAmong(std::span<const std::int32_t> persons,
                                      const std::optional<std::string>& site) const override {
    std::vector<PersonName> people;
    const std::vector<std::int32_t> wanted = DistinctPersons(persons);
    std::vector<std::string> numbers;
    for (std::int32_t p : wanted) numbers.push_back(std::to_string(p));
    connection_.Retry("reading people", [&] {
      people.clear();
      for (std::size_t at = 0; at < wanted.size(); at += kPersonsPerQuery) {
        const std::size_t n = std::min(kPersonsPerQuery, wanted.size() - at);
        std::vector<const char*> values;
        for (std::size_t i = 0; i < n; ++i) values.push_back(numbers[at + i].c_str());
        if (site) values.push_back(site->c_str());
        PgResult rows = connection_.Exec(sql::PeopleAmongSql(n, site.has_value(), version_), values, "reading people");
        for (int r = 0; r < rows.rows(); ++r) people.push_back(PersonOf(rows, r));
      }
    });
    return people;
  }

  std::vector<std::string> Departments(const std::optional<std::string>& site) const override {
    std::vector<std::string> departments;
    std::vector<const char*> values;
    if (site) values.push_back(site->c_str());
    connection_.Retry("reading departments", [&] {
      departments.clear();
      PgResult rows = connection_.Exec(site ? sql::kSiteDepartments.postgres() : sql::kDepartments.postgres(), values,
                                       "reading departments");
      for (int r = 0; r < rows.rows(); ++r) departments.emplace_back(rows.text(r, 0));
    });
    std::sort(departments.begin(), departments.end());  // by bytes, whatever the database's collation
    return departments;
  }

  std::int64_t Count(const SwipeQuery& query) const override {
    SqlFilter filter = BuildFilter(query, Engine::Postgres);
    Params params = ParamsOf(filter);
    std::int64_t count = 0;
    connection_.Retry("counting swipes", [&] {
      PgResult result = connection_.Exec(CountSwipesSql(filter), params.pointers, "counting swipes");
      count = std::atoll(result.text(0, 0));
    });
    return count;
  }

  void Each(const SwipeQuery& query, const std::function<bool(const StoredSwipe&)>& row) const override {
    SqlFilter filter = BuildFilter(query, Engine::Postgres);
    Stream(SwipesSql(version_, filter, query), ParamsOf(filter), "reading swipes",
           [&](const PgResult& result) { return row(PgStoredSwipe(result, 0, 0)); });
  }

  void EachBrief(const SwipeQuery& query, const std::function<bool(const BriefSwipe&)>& row) const override {
    SqlFilter filter = BriefFilter(query, Engine::Postgres);
    BriefSwipe swipe;
    Stream(BriefSwipesSql(filter), ParamsOf(filter), "reading swipes", [&](const PgResult& result) {
      swipe.time = result.text(0, 1);
      swipe.person = Whole(result, 0, "person");
      swipe.port = Whole(result, 2, "port");
      swipe.terminal = Whole(result, 3, "terminal");
      return row(swipe);
    });
  }

  std::vector<std::int32_t> PersonsWithSwipes(const SwipeQuery& query) const override {
    SqlFilter filter = BriefFilter(query, Engine::Postgres);
    Params params = ParamsOf(filter);
    std::vector<std::int32_t> persons;
    connection_.Retry("reading who swiped", [&] {
      persons.clear();
      PgResult rows = connection_.Exec(SwipePersonsSql(filter), params.pointers, "reading who swiped");
      for (int r = 0; r < rows.rows(); ++r) persons.push_back(Whole(rows, 0, "person", r));
    });
    return persons;
  }

 private:
  // Column `i` of row `r` of a brief swipe (person, swipe_time, port, terminal; or person and a
  // time) as a whole number; anything else is refused, never read as 0.
  std::int32_t Whole(const PgResult& result, int i, const char* column, int r = 0) const {
    const bool null = result.null(r, i);
    const std::string text = null ? "NULL" : result.text(r, i);
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (!null && ec == std::errc() && end == text.data() + text.size()) return value;
    throw NotAWholeNumber(location(), column, text, result.null(r, 1) ? "NULL" : result.text(r, 1),
                          result.null(r, 0) ? "NULL" : result.text(r, 0));
  }

  // Runs `sql` and hands each row (row 0 of a one-row result) to `row`, one row at a time, so
  // memory stays flat; `row` answers false to stop.
  void Stream(const std::string& sql, const Params& params, const std::string& step,
              const std::function<bool(const PgResult&)>& row) const {
    connection_.EnsureConnected();
    PGconn* conn = connection_.get();
    if (!PQsendQueryParams(conn, sql.c_str(), static_cast<int>(params.pointers.size()), nullptr,
                           params.pointers.data(), nullptr, nullptr, 0))
      throw StoreError(StoreFailure::Unreachable,
                       "database " + location() + ": " + step + " failed: " + PQerrorMessage(conn));
    PQsetSingleRowMode(conn);  // one row at a time: memory stays flat
    bool wanted = true;
    std::optional<StoreError> failure;
    while (PGresult* raw = PQgetResult(conn)) {
      PgResult result(raw);
      ExecStatusType status = PQresultStatus(raw);
      if (status == PGRES_SINGLE_TUPLE && wanted && !failure) {
        try {
          wanted = row(result);
        } catch (const StoreError& e) {
          failure = e;
          wanted = false;
        } catch (...) {
          Drain(conn);
          throw;
        }
        if (!wanted) Drain(conn);
      } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && !failure) {
        failure = StoreError(PQstatus(conn) == CONNECTION_OK ? StoreFailure::Other : StoreFailure::Unreachable,
                             "database " + location() + ": " + step + " failed: " + PQresultErrorMessage(raw));
      }
    }
    if (failure) throw *failure;
  }

 public:

 private:
  // A conflict from result columns `at`.. in the order of Conflicts' query.
  static RecordConflict ConflictOf(const PgResult& r, int i, int at) {
    RecordConflict c;
    c.id = std::atoll(r.text(i, at + 0));
    c.log = {static_cast<std::uint32_t>(std::atoll(r.text(i, at + 1))),
             static_cast<std::uint32_t>(std::atoll(r.text(i, at + 2))),
             static_cast<std::uint32_t>(std::atoll(r.text(i, at + 3)))};
    c.index = static_cast<std::uint32_t>(std::atoll(r.text(i, at + 4)));
    c.port = std::atoi(r.text(i, at + 5));
    c.terminal = std::atoi(r.text(i, at + 6));
    c.found_at = r.text(i, at + 7);
    c.person = std::atoi(r.text(i, at + 8));
    c.time = r.text(i, at + 9);
    c.stored_person = std::atoi(r.text(i, at + 10));
    c.stored_time = r.text(i, at + 11);
    c.stored_port = std::atoi(r.text(i, at + 12));
    c.stored_terminal = std::atoi(r.text(i, at + 13));
    c.stored_downloaded_at = r.text(i, at + 14);
    c.acknowledged = std::string(r.text(i, at + 15)) == "t";
    c.acknowledged_by = r.text(i, at + 16);
    c.acknowledged_at = r.text(i, at + 17);
    if (PQnfields(r.get()) > at + 18) c.site = r.text(i, at + 18);
    return c;
  }

  // Stores `rows` insert first: one statement stores every row whose key is free (a row stored
  // before its terminal told its identity adopts it instead, as in the full comparison), and only
  // the rows of a log it did not store are then compared with what their keys hold, in the same
  // transaction (the caller's). Answers nothing when one of them holds other content, or nothing
  // (emptied since): the caller rolls back and compares the batch in full. A batch of new
  // records, the usual case, costs the insert alone.
  std::optional<InsertResult> InsertFirst(std::span<const StoredSwipe> rows, const BatchArrays& b, bool logs) {
    InsertResult result;
    result.rows.assign(rows.size(), RowOutcome::Held);
    // Rows go in in key order, so concurrent writers of overlapping batches take their locks in
    // one order and do not deadlock.
    // Each statement takes the feed's writer lock before it writes (a row needs `fed`).
    static const std::string plain =
        "WITH fed AS MATERIALIZED (" + FeedWriterLockSql() + ") INSERT INTO swipes (" + kSwipeColumns +
        ") SELECT u.* FROM fed, unnest($1::integer[], $2::integer[], $3::integer[], $4::text[], $5::integer[], "
        "$6::text[], $7::text[], $8::bigint[], $9::bigint[], $10::bigint[], $11::bigint[], $12::text[]) AS u "
        "ORDER BY 1, 2, 3, 4, 5 ON CONFLICT DO NOTHING RETURNING 'a', NULL::bigint, port, terminal, person, minute, "
        "occurrence, identity, generation, epoch, record_index";
    // A row stored before its terminal told its identity gets it when the same swipe comes again
    // (matched by the old key, and only while its log key is free) instead of a second row.
    static const std::string adopting =
        "WITH fed AS MATERIALIZED (" + FeedWriterLockSql() +
        "), batch AS (SELECT b.* FROM fed, unnest($1::integer[], $2::integer[], $3::integer[], $4::text[], "
        "$5::integer[], $6::text[], $7::text[], $8::bigint[], $9::bigint[], $10::bigint[], $11::bigint[], "
        "$12::text[]) WITH ORDINALITY AS b(port, terminal, person, minute, occurrence, swipe_time, downloaded_at, "
        "identity, generation, record_index, epoch, site, n)), "
            "adopted AS (UPDATE swipes s SET identity = b.identity, generation = b.generation, epoch = b.epoch, "
            "record_index = b.record_index FROM batch b WHERE b.identity IS NOT NULL AND s.identity IS NULL "
            "AND s.port = b.port AND s.terminal = b.terminal AND s.person = b.person AND s.minute = b.minute "
            "AND s.occurrence = b.occurrence AND s.site = b.site AND NOT EXISTS (SELECT 1 FROM swipes h WHERE h.identity IS NOT NULL "
            "AND h.identity = b.identity AND h.generation = b.generation AND h.epoch = b.epoch "
            "AND h.record_index = b.record_index) RETURNING b.n), "
        "inserted AS (INSERT INTO swipes (" +
        kSwipeColumns +
        ") SELECT port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, "
        "record_index, epoch, site FROM batch WHERE n NOT IN (SELECT n FROM adopted) ORDER BY 1, 2, 3, 4, 5 "
        "ON CONFLICT DO NOTHING RETURNING port, terminal, person, minute, occurrence, identity, generation, epoch, "
        "record_index) "
        "SELECT 'a', NULL::bigint, * FROM inserted UNION ALL SELECT 'd', n, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL FROM adopted";
    const std::vector<const char*> values{b.ports.c_str(),      b.terminals.c_str(), b.persons.c_str(),
                                          b.minutes.c_str(),    b.occurrences.c_str(), b.times.c_str(),
                                          b.downloaded.c_str(), b.identities.c_str(), b.generations.c_str(),
                                          b.indexes.c_str(),    b.epochs.c_str(),      b.sites.c_str()};
    PgResult out = logs ? connection_.ExecPrepared("vanto_insert_first", adopting, values, "storing swipes")
                        : connection_.ExecPrepared("vanto_insert_plain", plain, values, "storing swipes");
    const RowIndex index(rows);
    std::vector<bool> adopted(rows.size(), false);
    for (int i = 0; i < out.rows(); ++i) {
      if (*out.text(i, 0) == 'd') {
        const long long n = std::atoll(out.text(i, 1));
        if (n >= 1 && static_cast<std::size_t>(n) <= rows.size()) adopted[static_cast<std::size_t>(n - 1)] = true;
      } else if (std::optional<std::size_t> row = index.Find(out, i, 2)) {
        result.rows[*row] = RowOutcome::Added;
      }
    }
    // The rows of a log the insert left alone: their keys were held (by this batch's statement
    // start or by a session that committed while the insert waited on it). This statement's own
    // snapshot sees every one of them; a key holding other content, or none, is answered below.
    std::vector<std::size_t> left;
    for (std::size_t i = 0; i < rows.size(); ++i)
      if (rows[i].identity && rows[i].index && result.rows[i] == RowOutcome::Held && !adopted[i]) left.push_back(i);
    if (left.empty()) return result;
    std::string ids = "{", gens = "{", epochs = "{", at = "{", persons = "{", times = "{";
    for (std::size_t k = 0; k < left.size(); ++k) {
      const StoredSwipe& r = rows[left[k]];
      const char* comma = k ? "," : "";
      (ids += comma) += std::to_string(*r.identity);
      (gens += comma) += std::to_string(r.generation.value_or(0));
      (epochs += comma) += std::to_string(r.epoch);
      (at += comma) += std::to_string(*r.index);
      (persons += comma) += std::to_string(r.person);
      (times += comma) += "\"";
      for (char c : r.time) {
        if (c == '"' || c == '\\') times += '\\';
        times += c;
      }
      times += "\"";
    }
    for (std::string* a : {&ids, &gens, &epochs, &at, &persons, &times}) *a += "}";
    static const std::string differing =
        "SELECT count(*) FROM unnest($1::bigint[], $2::bigint[], $3::bigint[], $4::bigint[], $5::integer[], "
        "$6::text[]) AS b(identity, generation, epoch, record_index, person, swipe_time) "
        "LEFT JOIN swipes s ON s.identity IS NOT NULL AND s.identity = b.identity AND s.generation = b.generation "
        "AND s.epoch = b.epoch AND s.record_index = b.record_index "
        "WHERE s.identity IS NULL OR s.person <> b.person OR s.swipe_time <> b.swipe_time";
    PgResult other = connection_.ExecPrepared(
        "vanto_held_differing", differing,
        {ids.c_str(), gens.c_str(), epochs.c_str(), at.c_str(), persons.c_str(), times.c_str()},
        "comparing swipes with the ones stored under their keys");
    if (std::atoll(other.text(0, 0)) != 0) return std::nullopt;
    return result;
  }

  // Stores `rows` in one statement (a transaction of its own, or part of the caller's), which
  // compares each row of a log with the row its key holds as the statement starts. A row neither
  // stored nor held then (another session stored its key meanwhile) is compared again after.
  // The full comparison: used when the batch has a row whose key holds other content (or was
  // emptied meanwhile), and for a new epoch's rows.
  InsertResult InsertRows(std::span<const StoredSwipe> rows, OnConflict on_conflict) {
    InsertResult result;
    result.rows.assign(rows.size(), RowOutcome::Held);
    const BatchArrays b(rows);
    const std::string stop = on_conflict == OnConflict::Stop ? "t" : "f", now = UtcNowText();
    // Rows go in in key order, so concurrent writers of overlapping batches take their locks in
    // one order and do not deadlock. A row stored before its terminal told its identity gets it
    // when the same swipe comes again (matched by the old key) instead of a second row: it is
    // then no new row. `held` is the batch with what the keys of its log rows hold as the
    // statement starts; a held row with other content is a clash, listed in `conflicts` (once:
    // found again, it keeps its number and first finding). With $11 the rows from the first
    // clash on are left alone. Out come the stored rows, the clashes and how many log rows were
    // new (no row per held one: a batch read again costs no more than before).
    static const std::string sql =
        std::string(
            "WITH fed AS MATERIALIZED (" + FeedWriterLockSql() +
            "), batch AS (SELECT b.* FROM fed, unnest($1::integer[], $2::integer[], $3::integer[], $4::text[], "
            "$5::integer[], $6::text[], $7::text[], $8::bigint[], $9::bigint[], $10::bigint[], $13::bigint[], "
            "$14::text[]) WITH ORDINALITY AS b(port, terminal, person, minute, occurrence, swipe_time, downloaded_at, "
            "identity, generation, record_index, epoch, site, n)), "
            "held AS (SELECT b.*, s.person AS s_person, s.swipe_time AS s_time, s.port AS s_port, "
            "s.terminal AS s_terminal, s.downloaded_at AS s_downloaded, s.identity IS NOT NULL AS found, "
            "(s.person <> b.person OR s.swipe_time <> b.swipe_time) IS TRUE AS clash FROM batch b LEFT JOIN swipes s "
            "ON b.identity IS NOT NULL AND s.identity IS NOT NULL AND s.identity = b.identity "
            "AND s.generation = b.generation AND s.epoch = b.epoch AND s.record_index = b.record_index), "
            "stop AS (SELECT CASE WHEN $11::boolean THEN coalesce(min(n) FILTER (WHERE clash), 9223372036854775807) "
            "ELSE 9223372036854775807 END AS n FROM held), "
            "adopted AS (UPDATE swipes s SET identity = b.identity, generation = b.generation, epoch = b.epoch, "
            "record_index = b.record_index FROM held b, stop WHERE b.n < stop.n AND b.identity IS NOT NULL "
            "AND NOT b.found AND s.identity IS NULL AND s.port = b.port AND s.terminal = b.terminal "
            "AND s.person = b.person AND s.minute = b.minute AND s.occurrence = b.occurrence AND s.site = b.site "
            "RETURNING s.port, s.terminal, s.person, s.minute, s.occurrence), "
            "inserted AS (INSERT INTO swipes (") +
        kSwipeColumns +
        ") SELECT b.port, b.terminal, b.person, b.minute, b.occurrence, b.swipe_time, b.downloaded_at, b.identity, "
        "b.generation, b.record_index, b.epoch, b.site FROM held b, stop WHERE b.n < stop.n AND NOT b.found "
        "AND (b.port, b.terminal, b.person, b.minute, b.occurrence) NOT IN (SELECT * FROM adopted) "
        "ORDER BY 1, 2, 3, 4, 5 ON CONFLICT DO NOTHING "
        "RETURNING port, terminal, person, minute, occurrence, identity, generation, epoch, record_index), "
        "listed AS (INSERT INTO conflicts (identity, generation, epoch, record_index, port, terminal, found_at, person, "
        "swipe_time, stored_person, stored_time, stored_port, stored_terminal, stored_downloaded_at, site) "
        "SELECT identity, generation, epoch, record_index, port, terminal, $12, person, swipe_time, s_person, s_time, "
        "s_port, s_terminal, s_downloaded, site FROM held, stop WHERE held.clash AND held.n <= stop.n "
        "ORDER BY identity, generation, epoch, record_index "
        "ON CONFLICT (identity, generation, epoch, record_index, person, swipe_time) "
        "DO UPDATE SET found_at = conflicts.found_at RETURNING id, identity, generation, epoch, record_index, port, "
        "terminal, found_at, person, swipe_time, stored_person, stored_time, stored_port, stored_terminal, "
        "stored_downloaded_at, acknowledged, acknowledged_by, acknowledged_at) "
        "SELECT 'a', NULL::bigint, port, terminal, person, minute, occurrence, identity, generation, epoch, record_index "
        "FROM inserted "
        "UNION ALL SELECT 'c', h.n, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, l.id FROM held h, stop, listed l "
        "WHERE h.clash AND h.n <= stop.n AND l.identity = h.identity AND l.generation = h.generation "
        "AND l.epoch = h.epoch AND l.record_index = h.record_index "
        "UNION ALL SELECT 'x', (SELECT count(*) FROM held, stop WHERE held.identity IS NOT NULL AND NOT held.found "
        "AND held.n < stop.n) - (SELECT count(*) FROM adopted), NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL";
    PgResult out = connection_.ExecPrepared(
        "vanto_insert_checked", sql,
        {b.ports.c_str(), b.terminals.c_str(), b.persons.c_str(), b.minutes.c_str(), b.occurrences.c_str(),
         b.times.c_str(), b.downloaded.c_str(), b.identities.c_str(), b.generations.c_str(), b.indexes.c_str(),
         stop.c_str(), now.c_str(), b.epochs.c_str(), b.sites.c_str()},
        "storing swipes");
    const RowIndex index(rows);
    std::size_t first_clash = rows.size();
    std::int64_t expected_new = 0;  // rows of a log neither held nor adopted: stored unless raced
    std::vector<std::pair<std::size_t, std::string>> clashes;  // row, conflict number
    for (int i = 0; i < out.rows(); ++i) {
      const char kind = *out.text(i, 0);
      if (kind == 'a') {
        if (std::optional<std::size_t> row = index.Find(out, i, 2)) result.rows[*row] = RowOutcome::Added;
      } else if (kind == 'x') {
        expected_new = std::atoll(out.text(i, 1));
      } else if (kind == 'c') {
        const std::size_t row = static_cast<std::size_t>(std::atoll(out.text(i, 1)) - 1);
        if (row >= rows.size()) continue;
        result.rows[row] = RowOutcome::Conflict;
        clashes.emplace_back(row, out.text(i, 10));
        first_clash = std::min(first_clash, row);
      }
    }
    if (!clashes.empty()) {
      // The listings, read back (a conflict is rare: a second statement is no cost worth saving).
      std::string ids = "{";
      for (std::size_t k = 0; k < clashes.size(); ++k) (ids += k ? "," : "") += clashes[k].second;
      ids += "}";
      PgResult listed = connection_.Exec(
          "SELECT id, identity, generation, epoch, record_index, port, terminal, found_at, person, swipe_time, "
          "stored_person, stored_time, stored_port, stored_terminal, stored_downloaded_at, acknowledged, acknowledged_by, "
          "acknowledged_at, site FROM conflicts WHERE id = ANY($1::bigint[])",
          {ids.c_str()}, "reading conflicts");
      std::unordered_map<std::string, int> by_id;
      for (int i = 0; i < listed.rows(); ++i) by_id.emplace(listed.text(i, 0), i);
      for (const auto& [row, id] : clashes) {
        auto found = by_id.find(id);
        if (found == by_id.end()) continue;
        RecordConflict c = ConflictOf(listed, found->second, 0);
        c.row = row;
        result.conflicts.push_back(std::move(c));
      }
      std::sort(result.conflicts.begin(), result.conflicts.end(),
                [](const RecordConflict& a, const RecordConflict& b) { return a.row < b.row; });
    }
    const bool stopped = on_conflict == OnConflict::Stop && first_clash < rows.size();
    std::int64_t added_in_logs = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (stopped && i > first_clash) {
        result.rows[i] = RowOutcome::NotStored;
        continue;
      }
      if (rows[i].identity && result.rows[i] == RowOutcome::Added) ++added_in_logs;
    }
    // Fewer rows of a log stored than were new as the statement began: another session stored
    // some of their keys meanwhile. Those rows are compared again now, so that none is taken for
    // held unseen.
    // With OnConflict::Stop the first clash found so ends the batch as one found by the
    // statement would: the held rows after it are left to the caller.
    if (added_in_logs < expected_new)
      for (std::size_t i = 0; i < rows.size() && !(stopped && i > first_clash); ++i) {
        if (!rows[i].identity || !rows[i].index || result.rows[i] != RowOutcome::Held) continue;
        Recheck(rows[i], i, &result);
        if (on_conflict != OnConflict::Stop || result.rows[i] != RowOutcome::Conflict) continue;
        for (std::size_t j = i + 1; j < rows.size(); ++j)
          if (result.rows[j] == RowOutcome::Held) result.rows[j] = RowOutcome::NotStored;
        break;
      }
    return result;
  }

  // Compares `r` with the row its key holds now; a clash is listed and answered as a Conflict.
  void Recheck(const StoredSwipe& r, std::size_t row, InsertResult* result) {
    std::string id = std::to_string(*r.identity), gen = std::to_string(r.generation.value_or(0)),
                epoch = std::to_string(r.epoch), at = std::to_string(*r.index), port = std::to_string(r.port),
                terminal = std::to_string(r.terminal), person = std::to_string(r.person), now = UtcNowText();
    PgResult c = connection_.Exec(
        "WITH held AS (SELECT * FROM swipes WHERE identity = $1 AND generation = $2 AND epoch = $3 "
        "AND record_index = $4 AND (person <> $7::integer OR swipe_time <> $8)) "
        "INSERT INTO conflicts (identity, generation, epoch, record_index, port, terminal, found_at, person, swipe_time, "
        "stored_person, stored_time, stored_port, stored_terminal, stored_downloaded_at, site) "
        "SELECT $1, $2, $3, $4, $5, $6, $9, $7, $8, person, swipe_time, port, terminal, downloaded_at, $10 FROM held "
        "ON CONFLICT (identity, generation, epoch, record_index, person, swipe_time) "
        "DO UPDATE SET found_at = conflicts.found_at RETURNING id, identity, generation, epoch, record_index, port, "
        "terminal, found_at, person, swipe_time, stored_person, stored_time, stored_port, stored_terminal, "
        "stored_downloaded_at, acknowledged, acknowledged_by, acknowledged_at, site",
        {id.c_str(), gen.c_str(), epoch.c_str(), at.c_str(), port.c_str(), terminal.c_str(), person.c_str(),
         r.time.c_str(), now.c_str(), r.site.c_str()},
        "comparing a swipe with the one stored under its key");
    if (c.rows() == 0) return;
    RecordConflict conflict = ConflictOf(c, 0, 0);
    conflict.row = row;
    result->rows[row] = RowOutcome::Conflict;
    result->conflicts.push_back(std::move(conflict));
    std::sort(result->conflicts.begin(), result->conflicts.end(),
              [](const RecordConflict& a, const RecordConflict& b) { return a.row < b.row; });
  }

  // Stops a query that is still sending rows and reads what is left of it.
  static void Drain(PGconn* conn) {
    if (PGcancel* cancel = PQgetCancel(conn)) {
      char error[256];
      PQcancel(cancel, error, sizeof error);
      PQfreeCancel(cancel);
    }
    while (PGresult* rest = PQgetResult(conn)) PQclear(rest);
  }

  PgLease lease_;
  PgConnection& connection_ = *lease_;
  bool read_only_ = false;
  int version_ = 0;
};

}  // namespace

StoredSwipe PgStoredSwipe(const PgResult& r, int row, int first, bool with_site) {
  StoredSwipe s{std::atoi(r.text(row, first)),      std::atoi(r.text(row, first + 1)),
                static_cast<std::int32_t>(std::atoll(r.text(row, first + 2))), r.text(row, first + 3),
                std::atoi(r.text(row, first + 4)),  r.text(row, first + 5), r.text(row, first + 6)};
  for (int at = first + 7; at < first + 10; ++at) {
    if (r.null(row, at)) continue;
    const auto value = static_cast<std::uint32_t>(std::atoll(r.text(row, at)));
    (at == first + 7 ? s.identity : at == first + 8 ? s.generation : s.index) = value;
  }
  s.epoch = static_cast<std::uint32_t>(std::atoll(r.text(row, first + 10)));
  if (with_site) s.site = r.text(row, first + 11);
  return s;
}

std::unique_ptr<SwipeStore> OpenPostgresStore(const std::string& url, const OpenOptions& options) {
  auto store = std::make_unique<PostgresSwipeStore>(url, options);
  store->Migrate();
  return store;
}

std::unique_ptr<SwipeStore> PostgresSwipesOver(PgLease lease, int version) {
  return std::make_unique<PostgresSwipeStore>(std::move(lease), version);
}

std::unique_ptr<SwipeStore> PostgresSwipesOpened(PgLease lease, bool read_only) {
  auto store = std::make_unique<PostgresSwipeStore>(std::move(lease), 0);
  if (read_only)
    store->ReadOnly();
  else
    store->Migrate();
  return store;
}

std::unique_ptr<SwipeStore> OpenPostgresStoreForReading(const std::string& url, std::chrono::milliseconds lock_timeout) {
  OpenOptions options;
  options.lock_timeout = lock_timeout;
  auto store = std::make_unique<PostgresSwipeStore>(url, options);
  store->ReadOnly();
  return store;
}

bool PostgresHasTable(const std::string& url, const std::string& table, std::chrono::milliseconds lock_timeout) {
  std::optional<PgConnection> made;
  try {
    made.emplace(url, HostPgOptions(lock_timeout));
  } catch (const PgError& e) {
    ThrowHostPgError(e, url);
  }
  PgConnection& connection = *made;
  PgResult result = connection.Exec("SELECT to_regclass($1) IS NOT NULL", {table.c_str()}, "reading the list of tables");
  return std::string(result.text(0, 0)) == "t";
}

}  // namespace vanto::store
