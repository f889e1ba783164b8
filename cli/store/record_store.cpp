#include "cli/store/record_store.h"

#include <cctype>

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
  if (scheme == "postgresql" || scheme == "postgres")
    throw StoreError(StoreFailure::Invalid, "database " + location + ": this vanto has no PostgreSQL support");
  if (!scheme.empty())
    throw StoreError(StoreFailure::Invalid, "database " + location + ": unknown scheme \"" + scheme +
                                                "\" (a database URL starts with postgresql://; anything else is an "
                                                "SQLite file path)");
  return OpenSqliteStore(location, options);
}

RecordStore RecordStore::Open(const std::string& location, const OpenOptions& options) {
  return RecordStore(OpenSwipeStore(location, options));
}

bool RecordStore::HasTable(const std::string& location, const std::string& table,
                           std::chrono::milliseconds lock_timeout) {
  return SqliteHasTable(location, table, lock_timeout);
}

Delivery::Delivery(SwipeStore& store, int port, int terminal, std::string downloaded_at)
    : store_(store), port_(port), terminal_(terminal), downloaded_at_(std::move(downloaded_at)) {}

std::vector<StoredSwipe> Delivery::Key(std::span<const Swipe> next) const {
  std::vector<StoredSwipe> rows;
  rows.reserve(next.size());
  auto seen = seen_;
  for (const Swipe& swipe : next) {
    CivilTime when = CivilFromDate(swipe.time);
    StoredSwipe row{port_, terminal_, swipe.person, MinuteText(when), 0, SecondText(when), downloaded_at_};
    row.occurrence = ++seen[{swipe.person, row.minute}];
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Delivery::Keyed> Delivery::Store(std::span<const Swipe> next) {
  std::vector<Keyed> keyed;
  if (next.empty()) return keyed;
  std::vector<StoredSwipe> rows = Key(next);
  std::vector<bool> added = store_.Insert(rows);
  // Occurrence counts move on only once the batch is committed.
  keyed.reserve(rows.size());
  std::size_t count = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ++seen_[{rows[i].person, rows[i].minute}];
    keyed.push_back({next[i], std::move(rows[i].minute), rows[i].occurrence, added[i]});
    count += added[i] ? 1 : 0;
  }
  delivered_ += keyed.size();
  added_ += count;
  return keyed;
}

}  // namespace vanto::store
