#include "cli/store/record_store.h"

#include <algorithm>
#include <cctype>

#include "cli/store/postgres_store.h"
#include "cli/store/sqlite_store.h"

namespace vanto::store {

std::vector<StoredSwipe> SwipeStore::Swipes(std::optional<int> port, std::optional<int> terminal) const {
  std::vector<StoredSwipe> result;
  SwipeQuery query;
  query.port = port;
  query.terminal = terminal;
  Each(query, [&](const StoredSwipe& s) {
    result.push_back(s);
    return true;
  });
  return result;
}

std::int64_t SwipeStore::CountSwipes(std::optional<int> port, std::optional<int> terminal) const {
  SwipeQuery query;
  query.port = port;
  query.terminal = terminal;
  return Count(query);
}

namespace {
// The scheme of "scheme://..." text, lower-cased; empty when the text has none.
std::string SchemeOf(const std::string& location) {
  std::size_t colon = location.find("://");
  if (colon == std::string::npos || colon == 0) return {};
  std::string scheme;
  for (std::size_t i = 0; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(location[i]);
    if (!(std::isalnum(c) || c == '+' || c == '-' || c == '.') || (i == 0 && !std::isalpha(c))) return {};
    scheme += static_cast<char>(std::tolower(c));
  }
  return scheme;
}
}  // namespace

bool IsDatabaseUrl(const std::string& location) {
  std::string scheme = SchemeOf(location);
  return scheme == "postgresql" || scheme == "postgres";
}

std::unique_ptr<SwipeStore> OpenSwipeStore(const std::string& location, const OpenOptions& options) {
  std::string scheme = SchemeOf(location);
  if (scheme == "postgresql" || scheme == "postgres") return OpenPostgresStore(location, options);
  if (!scheme.empty())
    throw StoreError(StoreFailure::Invalid, "database " + location + ": unknown scheme \"" + scheme +
                                                "\" (a database URL starts with postgresql:// or postgres://; "
                                                "anything else is an SQLite file path)");
  return OpenSqliteStore(location, options);
}

std::unique_ptr<SwipeStore> OpenSwipeStoreForReading(const std::string& location, std::chrono::milliseconds lock_timeout) {
  std::string scheme = SchemeOf(location);
  if (scheme == "postgresql" || scheme == "postgres") return OpenPostgresStoreForReading(location, lock_timeout);
  if (!scheme.empty()) return OpenSwipeStore(location);  // refuses the scheme with its message
  return OpenSqliteStoreForReading(location, lock_timeout);
}

RecordStore RecordStore::Open(const std::string& location, const OpenOptions& options) {
  return RecordStore(OpenSwipeStore(location, options));
}

bool RecordStore::HasTable(const std::string& location, const std::string& table,
                           std::chrono::milliseconds lock_timeout) {
  if (IsDatabaseUrl(location)) return PostgresHasTable(location, table, lock_timeout);
  return SqliteHasTable(location, table, lock_timeout);
}

Delivery::Delivery(SwipeStore& store, int port, int terminal, std::string downloaded_at)
    : store_(store), port_(port), terminal_(terminal), downloaded_at_(std::move(downloaded_at)) {}

void Delivery::Position(std::optional<LogKey> log, std::uint32_t index) {
  if (log != log_ || index < first_index_ || (log_ && index != next_index_)) {
    // Another log, or elsewhere in this one: occurrences before `index` come from the database.
    seen_.clear();
    before_.clear();
    log_ = log;
    first_index_ = index;
  }
  next_index_ = index;
}

std::vector<StoredSwipe> Delivery::Key(std::span<const Swipe> next) const {
  std::vector<StoredSwipe> rows;
  rows.reserve(next.size());
  // The batch's own counts on top of the committed ones (copying those would cost the whole
  // delivery so far for every batch).
  std::map<std::pair<std::int32_t, std::string>, int> batch;
  std::uint32_t index = next_index_;
  for (const Swipe& swipe : next) {
    CivilTime when = CivilFromDate(swipe.time);
    StoredSwipe row{port_, terminal_, swipe.person, MinuteText(when), 0, SecondText(when), downloaded_at_, {}, {}, {}};
    auto key = std::make_pair(swipe.person, row.minute);
    auto [it, fresh] = batch.try_emplace(std::move(key), 0);
    if (fresh) {
      auto committed = seen_.find(it->first);
      it->second = committed == seen_.end() ? 0 : committed->second;
      // In a log read from an index, the swipes before it count too (as stored); once this
      // delivery committed one of the key, seen_ holds them.
      if (committed == seen_.end() && log_ && first_index_ > 0) {
        auto found = before_.find(it->first);
        if (found == before_.end())
          found = before_.emplace(it->first, store_.CountEarlier(*log_, swipe.person, row.minute, first_index_)).first;
        it->second += found->second;
      }
    }
    row.occurrence = ++it->second;
    if (log_) {
      row.identity = log_->identity;
      row.generation = log_->generation;
    }
    row.index = index++;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Delivery::Keyed> Delivery::Store(std::span<const Swipe> next) {
  std::vector<Keyed> keyed;
  if (next.empty()) return keyed;
  std::vector<StoredSwipe> rows = Key(next);
  std::vector<bool> added = store_.Insert(rows);
  // Occurrence counts and the index move on only once the batch is committed.
  keyed.reserve(rows.size());
  std::size_t count = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    int& seen = seen_[{rows[i].person, rows[i].minute}];
    seen = std::max(seen, rows[i].occurrence);
    keyed.push_back({next[i], std::move(rows[i].minute), rows[i].occurrence, added[i]});
    count += added[i] ? 1 : 0;
  }
  next_index_ += static_cast<std::uint32_t>(rows.size());
  delivered_ += keyed.size();
  added_ += count;
  return keyed;
}

namespace {
[[noreturn]] void NoLogs(const SwipeStore& store) {
  throw StoreError(StoreFailure::Other, "database " + store.location() + " keeps no terminal logs");
}
}  // namespace

int SwipeStore::CountEarlier(const LogKey&, std::int32_t, const std::string&, std::uint32_t) const { NoLogs(*this); }
LogCoverage SwipeStore::Coverage(const LogKey&) const { NoLogs(*this); }
std::vector<std::pair<std::uint32_t, std::uint32_t>> SwipeStore::Missing(const LogKey&, std::uint32_t,
                                                                         std::size_t) const {
  NoLogs(*this);
}
bool SwipeStore::AddRejected(const RejectedRecord&) { NoLogs(*this); }
std::vector<RejectedRecord> SwipeStore::Rejected() const { NoLogs(*this); }

}  // namespace vanto::store
