#include "host/db/record_store.h"

#include "host/message.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>

#include "host/calendar.h"
#include "host/db/postgres_store.h"
#include "host/db/schema.h"
#include "host/db/sqlite_store.h"
#include "host/db/pg_location.h"
#include "host/db/openers.h"

namespace vanto::store {

std::vector<PersonName> SwipeStore::PeopleAmong(std::span<const std::int32_t> persons,
                                                const std::optional<std::string>& site) const {
  std::vector<PersonName> among;
  if (persons.empty()) return among;
  for (PersonName& p : People(site))
    if (std::find(persons.begin(), persons.end(), p.person) != persons.end()) among.push_back(std::move(p));
  return among;
}

std::vector<std::string> SwipeStore::Departments(const std::optional<std::string>& site) const {
  std::vector<std::string> departments;
  for (PersonName& p : People(site))
    if (!p.department.empty()) departments.push_back(std::move(p.department));
  std::sort(departments.begin(), departments.end());
  departments.erase(std::unique(departments.begin(), departments.end()), departments.end());
  return departments;
}

// An engine without a narrow read of its own reads the whole rows.
void SwipeStore::EachBrief(const SwipeQuery& query, const std::function<bool(const BriefSwipe&)>& row) const {
  SwipeQuery narrow;
  narrow.from = query.from;
  narrow.to = query.to;
  narrow.persons = query.persons;
  narrow.site = query.site;
  Each(narrow, [&](const StoredSwipe& s) { return row({s.person, s.time, s.port, s.terminal}); });
}

std::vector<std::int32_t> SwipeStore::PersonsWithSwipes(const SwipeQuery& query) const {
  std::vector<std::int32_t> persons;
  EachBrief(query, [&](const BriefSwipe& s) {
    persons.push_back(s.person);
    return true;
  });
  return DistinctPersons(persons);
}

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

SwipePosition SwipePosition::Of(const StoredSwipe& swipe) {
  SwipePosition p;
  p.time = swipe.time;
  p.person = swipe.person;
  p.port = swipe.port;
  p.terminal = swipe.terminal;
  p.occurrence = swipe.occurrence;
  if (swipe.identity) p.identity = *swipe.identity;
  if (swipe.generation) p.generation = *swipe.generation;
  if (swipe.index) p.index = *swipe.index;
  p.epoch = swipe.epoch;
  return p;
}

std::string SwipePosition::Text() const {
  std::string text = time;
  for (std::int64_t v : {std::int64_t{person}, std::int64_t{port}, std::int64_t{terminal}, std::int64_t{occurrence},
                         identity, generation, index, epoch})
    text += "|" + std::to_string(v);
  return text;
}

std::optional<SwipePosition> SwipePosition::Parse(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t bar = text.find('|', start);
    parts.push_back(text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  if (parts.size() != 9 || parts[0].size() != 19) return std::nullopt;
  for (char c : parts[0])
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == ':' || c == ' ')) return std::nullopt;
  std::int64_t values[8];
  for (int i = 0; i < 8; ++i) {
    std::string_view part = parts[i + 1];
    bool negative = !part.empty() && part[0] == '-';
    std::string_view digits = negative ? part.substr(1) : part;
    if (digits.empty() || digits.size() > 12) return std::nullopt;
    std::int64_t v = 0;
    for (char c : digits) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
      v = v * 10 + (c - '0');
    }
    values[i] = negative ? -v : v;
  }
  auto fits_int = [](std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; };
  for (int i = 0; i < 4; ++i)
    if (!fits_int(values[i])) return std::nullopt;
  for (int i = 4; i < 8; ++i)
    if (values[i] < -1 || values[i] > UINT32_MAX) return std::nullopt;
  SwipePosition p;
  p.time = std::string(parts[0]);
  p.person = static_cast<std::int32_t>(values[0]);
  p.port = static_cast<int>(values[1]);
  p.terminal = static_cast<int>(values[2]);
  p.occurrence = static_cast<int>(values[3]);
  p.identity = values[4];
  p.generation = values[5];
  p.index = values[6];
  p.epoch = values[7];
  return p;
}

PeopleImport SwipeStore::PutPeopleAudited(std::span<const PersonName>, const AuditNote&) {
  throw StoreError(StoreFailure::Other, "database " + location() + ": this store keeps no audit trail");
}

std::string AuditDetails(const AuditNote& audit, const PeopleImport& done) {
  std::string counts = std::to_string(done.added) + " added, " + std::to_string(done.updated) + " updated, " +
                       std::to_string(done.unchanged) + " unchanged";
  return audit.details.empty() ? counts : audit.details + " (" + counts + ")";
}

const char* kDoubledRows =
    "WHERE s.identity IS NOT NULL AND EXISTS (SELECT 1 FROM swipes o WHERE o.identity = s.identity AND "
    "o.generation = s.generation AND o.record_index = s.record_index AND o.epoch <> s.epoch AND o.person = s.person AND "
    "o.swipe_time = s.swipe_time)";

bool SameRecord(const StoredSwipe& a, const StoredSwipe& b) {
  return a.identity == b.identity && a.generation == b.generation && a.index == b.index && a.person == b.person &&
         a.time == b.time;
}

std::string FoldDetails(const AuditNote& audit, std::size_t folded) {
  std::string count = std::to_string(folded) + " folded";
  return audit.details.empty() ? count : audit.details + " (" + count + ")";
}

std::vector<EnrolmentEntry> SwipeStore::Enrolments(const std::optional<std::string>&) const {
  throw StoreError(StoreFailure::Other, "database " + location() + ": this store keeps no enrolment table");
}

SwipePage SwipeStore::Page(SwipeQuery query, std::size_t size) const {
  size = std::max<std::size_t>(size, 1);
  query.limit = size + 1;
  SwipePage page;
  bool more = false;
  // The row past the page is the query's last (its limit): read to the end rather than stopped,
  // since stopping a query early costs a server a cancel request (a connection of its own) and
  // the next statement on the connection could be hit by it.
  Each(query, [&](const StoredSwipe& s) {
    if (page.rows.size() == size)
      more = true;
    else
      page.rows.push_back(s);
    return true;
  });
  if (more) page.next = SwipePosition::Of(page.rows.back());
  return page;
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
  return scheme == "postgresql" || scheme == "postgres" || IsConnectionText(location);
}

std::unique_ptr<SwipeStore> OpenSwipeStore(const std::string& location, const OpenOptions& options) {
  std::string scheme = SchemeOf(location);
  if (IsDatabaseUrl(location)) return OpenPostgresStore(location, options);
  if (!scheme.empty())
    throw StoreError(StoreFailure::Invalid,
                     host::Message("database {0}: unknown scheme \"{1}\" (a database URL starts with postgresql:// or "
                                  "postgres://; anything else is an SQLite file path)",
                                  {RedactLocation(location), scheme}));
  return OpenSqliteStore(location, options);
}

std::unique_ptr<SwipeStore> OpenSwipeStoreForReading(const std::string& location, std::chrono::milliseconds lock_timeout) {
  std::string scheme = SchemeOf(location);
  if (IsDatabaseUrl(location)) return OpenPostgresStoreForReading(location, lock_timeout);
  if (!scheme.empty()) return OpenSwipeStore(location);  // refuses the scheme with its message
  return OpenSqliteStoreForReading(location, lock_timeout);
}

RecordStore OpenRecordStore(const std::string& location, const OpenOptions& options) {
  return RecordStore(OpenSwipeStore(location, options));
}

bool HasTableAt(const std::string& location, const std::string& table, std::chrono::milliseconds lock_timeout) {
  if (IsDatabaseUrl(location)) return PostgresHasTable(location, table, lock_timeout);
  return SqliteHasTable(location, table, lock_timeout);
}

Delivery::Delivery(SwipeStore& store, int port, int terminal, std::string downloaded_at, std::string site)
    : store_(store), port_(port), terminal_(terminal), downloaded_at_(std::move(downloaded_at)), site_(std::move(site)) {}

namespace {
constexpr std::int64_t kPackedFirstMinute = calendar::DaysFromCivil(1800, 1, 1) * 1440;
std::int64_t MinuteNumber(const CivilTime& t) {
  return calendar::DaysFromCivil(t.year, t.month, t.day) * 1440 + t.hour * 60 + t.minute;
}
}  // namespace

bool MinuteCounts::Packs(std::int64_t minute) {
  return minute >= kPackedFirstMinute && minute - kPackedFirstMinute <= 0xFFFFFFFF;
}
std::uint64_t MinuteCounts::Pack(std::int32_t person, std::int64_t minute) {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(person)) << 32 |
         static_cast<std::uint64_t>(minute - kPackedFirstMinute);
}
const int* MinuteCounts::Find(std::int32_t person, std::int64_t minute) const {
  if (Packs(minute)) {
    auto it = packed_.find(Pack(person, minute));
    return it == packed_.end() ? nullptr : &it->second;
  }
  auto it = wide_.find({person, minute});
  return it == wide_.end() ? nullptr : &it->second;
}
int& MinuteCounts::operator()(std::int32_t person, std::int64_t minute) {
  return Packs(minute) ? packed_[Pack(person, minute)] : wide_[{person, minute}];
}

void Delivery::Position(std::optional<LogKey> log, std::uint32_t index) {
  const bool other = log && (!log_ || log->identity != log_->identity || log->generation != log_->generation);
  // The epochs are read again when the log's epoch is not known here, or when the read starts
  // below its first index as known here (the epoch's start may have been lowered since).
  const LogEpoch* known = log && log->epoch > 0 ? Find(log->epoch) : nullptr;
  if (log && log->epoch > 0 && (other || !known || index < known->first))
    epochs_ = store_.Epochs(log->identity, log->generation);
  else if (other)
    epochs_.clear();
  // The same read offered again, naming an epoch this delivery has since opened a newer one
  // from, goes on in the newer one (which holds its records below its first index in the older).
  if (log && log_ && log->identity == log_->identity && log->generation == log_->generation &&
      log->epoch != log_->epoch && Descends(log_->epoch, log->epoch))
    log = log_;
  if (log != log_ || index < first_index_ || (log_ && index != next_index_)) {
    // Another log, or elsewhere in this one: occurrences before `index` come from the database.
    seen_.clear();
    before_.clear();
    log_ = log;
    first_index_ = index;
  }
  next_index_ = index;
}

std::vector<StoredSwipe> Delivery::Key(std::span<const Swipe> next) const { return Key(next, nullptr); }

std::vector<StoredSwipe> Delivery::Key(std::span<const Swipe> next, std::vector<std::int64_t>* minutes) const {
  std::vector<StoredSwipe> rows;
  rows.reserve(next.size());
  // The batch's own counts on top of the committed ones (copying those would cost the whole
  // delivery so far for every batch).
  std::map<std::pair<std::int32_t, std::int64_t>, int> batch;
  std::uint32_t index = next_index_;
  for (const Swipe& swipe : next) {
    CivilTime when = CivilFromDate(swipe.time);
    const std::int64_t minute = MinuteNumber(when);
    if (minutes) minutes->push_back(minute);
    StoredSwipe row{port_, terminal_, swipe.person, MinuteText(when), 0, SecondText(when), downloaded_at_, {}, {}, {}};
    auto [it, fresh] = batch.try_emplace({swipe.person, minute}, 0);
    if (fresh) {
      const int* committed = seen_.Find(swipe.person, minute);
      it->second = committed ? *committed : 0;
      // In a log read from an index, the swipes before it count too (as stored); once this
      // delivery committed one of the key, seen_ holds them.
      if (!committed && log_ && first_index_ > 0) {
        const int* found = before_.Find(swipe.person, minute);
        it->second += found ? *found
                            : (before_(swipe.person, minute) =
                                   store_.CountEarlier(*log_, swipe.person, row.minute, first_index_));
      }
    }
    row.occurrence = ++it->second;
    if (log_) {
      row.identity = log_->identity;
      row.generation = log_->generation;
      row.epoch = EpochOf(index);
    }
    row.index = index++;
    row.site = site_;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Delivery::Keyed> Delivery::Store(std::span<const Swipe> next) {
  std::vector<Keyed> keyed;
  if (next.empty()) return keyed;
  std::vector<std::int64_t> minutes;
  minutes.reserve(next.size());
  std::vector<StoredSwipe> rows = Key(next, &minutes);
  InsertResult result = store_.InsertChecked(rows, log_ ? OnConflict::Stop : OnConflict::Continue);
  std::vector<bool> added = result.Added();
  std::vector<bool> conflicting(rows.size(), false);
  for (const RecordConflict& c : result.conflicts) conflicting[c.row] = true;
  // A record held under its key with other content: this is not the log the database holds. The
  // conflicting record and the rest of the read go into a new epoch from its index on (the rows
  // before it are committed, and held where they are).
  std::optional<LogKey> opened;
  std::uint32_t opened_first = 0, opened_from = 0;
  if (log_ && !result.conflicts.empty()) {
    std::vector<std::size_t> rest;
    for (std::size_t i = result.conflicts.front().row; i < rows.size(); ++i)
      if (result.rows[i] == RowOutcome::Conflict || result.rows[i] == RowOutcome::NotStored) rest.push_back(i);
    std::vector<StoredSwipe> moved;
    moved.reserve(rest.size());
    for (std::size_t i : rest) moved.push_back(rows[i]);
    opened_first = *rows[rest.front()].index;
    opened_from = rows[rest.front()].epoch;
    const LogKey parent{log_->identity, log_->generation, opened_from};
    auto [log, stored] = store_.OpenEpoch(parent, opened_first, result.conflicts.front().id, moved);
    opened = log;
    for (std::size_t k = 0; k < rest.size(); ++k) added[rest[k]] = stored.rows[k] == RowOutcome::Added;
  }
  // Occurrence counts and the index move on only once the batch is committed.
  keyed.reserve(rows.size());
  std::size_t count = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    int& seen = seen_(rows[i].person, minutes[i]);
    seen = std::max(seen, rows[i].occurrence);
    keyed.push_back({next[i], std::move(rows[i].minute), rows[i].occurrence, added[i], conflicting[i]});
    count += added[i] ? 1 : 0;
  }
  conflicts_.insert(conflicts_.end(), result.conflicts.begin(), result.conflicts.end());
  if (opened) {
    LogEpoch epoch;
    epoch.log = *opened;
    epoch.first = opened_first;
    epoch.parent = opened_from;
    epochs_.push_back(epoch);
    log_ = opened;
    first_index_ = opened_first;
    before_.clear();
  }
  next_index_ += static_cast<std::uint32_t>(rows.size());
  delivered_ += keyed.size();
  added_ += count;
  return keyed;
}

const LogEpoch* Delivery::Find(std::uint32_t epoch) const {
  for (const LogEpoch& e : epochs_)
    if (e.log.epoch == epoch) return &e;
  return nullptr;
}

std::uint32_t Delivery::EpochOf(std::uint32_t index) const {
  std::uint32_t epoch = log_->epoch;
  // Epochs go back to their parents (a smaller number); an unknown epoch holds everything.
  for (const LogEpoch* e = Find(epoch); e && index < e->first && e->parent < epoch; e = Find(epoch)) epoch = e->parent;
  return epoch;
}

bool Delivery::Descends(std::uint32_t epoch, std::uint32_t from) const {
  for (const LogEpoch* e = Find(epoch); e && e->parent < epoch; e = Find(epoch)) {
    epoch = e->parent;
    if (epoch == from) return true;
  }
  return false;
}

namespace {
[[noreturn]] void NoLogs(const SwipeStore& store) {
  throw StoreError(StoreFailure::Other, "database " + store.location() + " keeps no terminal logs");
}
}  // namespace

int SwipeStore::CountEarlier(const LogKey&, std::int32_t, const std::string&, std::uint32_t) const { NoLogs(*this); }
LogCoverage SwipeStore::Coverage(const LogKey&) const { NoLogs(*this); }
std::optional<std::pair<std::int32_t, std::string>> SwipeStore::SwipeAt(const LogKey&, std::uint32_t) const {
  NoLogs(*this);
}
std::vector<std::pair<std::uint32_t, std::uint32_t>> SwipeStore::Missing(const LogKey&, std::uint32_t,
                                                                         std::size_t) const {
  NoLogs(*this);
}
bool SwipeStore::AddRejected(const RejectedRecord&) { NoLogs(*this); }
std::vector<RejectedRecord> SwipeStore::Rejected(const std::optional<std::string>&) const { NoLogs(*this); }
LogKey SwipeStore::CurrentLog(std::uint32_t, std::uint32_t) const { NoLogs(*this); }
std::vector<LogEpoch> SwipeStore::Epochs(std::uint32_t, std::uint32_t) const { NoLogs(*this); }
std::pair<LogKey, InsertResult> SwipeStore::OpenEpoch(const LogKey&, std::uint32_t, std::optional<std::int64_t>,
                                                      std::span<const StoredSwipe>) {
  NoLogs(*this);
}
std::vector<RecordConflict> SwipeStore::Conflicts(bool, const std::optional<std::string>&) const { NoLogs(*this); }
bool SwipeStore::LowerEpochStart(const LogKey&, std::uint32_t) { NoLogs(*this); }
bool SwipeStore::AcknowledgeConflict(std::int64_t, const std::string&) { NoLogs(*this); }
std::vector<StoredDouble> SwipeStore::Doubles() const { NoLogs(*this); }
std::vector<StoredDouble> SwipeStore::FoldDoubles(const AuditNote&) { NoLogs(*this); }
std::vector<LogEpoch> SwipeStore::AllEpochs() const { NoLogs(*this); }
bool SwipeStore::PutEpoch(const LogEpoch&) { NoLogs(*this); }
std::int64_t SwipeStore::PutConflict(const RecordConflict&) { NoLogs(*this); }

std::vector<bool> SwipeStore::Insert(std::span<const StoredSwipe> rows) {
  return InsertChecked(rows, OnConflict::Continue).Added();
}
InsertResult SwipeStore::InsertChecked(std::span<const StoredSwipe>, OnConflict) {
  throw StoreError(StoreFailure::Other, "database " + location() + " stores no swipes");
}

}  // namespace vanto::store
