#include "host/db_copy.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "host/errors.h"
#include "host/db/civil_time.h"
#include "host/db/record_store.h"
#include "host/db/sites.h"
#include "host/db/swipe_feed.h"
#include "host/db/table_rows.h"
#include "host/message.h"
#include "host/site/site.h"

namespace vanto::host {

namespace {

using store::Engine;
using store::TableConnection;
using store::TableRow;
using store::TableValue;

// ---- What each table holds, beyond what its engine makes ------------------------------------

enum class Kind { kPlain, kBlob, kBool };

struct Column {
  const char* name;  // a column of the table (qualified where the content joins another table)
  int since = 0;     // the step that added it (0: with its table)
  const char* missing = "NULL";  // its value in a database from before that step
  Kind kind = Kind::kPlain;
};

// A table's content: its columns, with a generated number replaced by what it names (a join).
struct Content {
  const char* table;
  const char* from;
  std::vector<Column> columns;
};

const std::vector<Content>& Contents() {
  static const std::vector<Content> contents = {
      // A swipe's content, without when each database took it: a destination row that an
      // identified swipe of the source adopts keeps its own `downloaded_at` and is that swipe.
      {"swipes", "swipes",
       {{"port"}, {"terminal"}, {"person"}, {"minute"}, {"occurrence"}, {"swipe_time"},
        {"identity", 3}, {"generation", 3}, {"record_index", 3}, {"epoch", 5, "0"}, {"site", 20, "''"}}},
      {"enrolment", "enrolment",
       {{"\"cPsn_Num\""}, {"\"iFingerprintNO\""}, {"\"imachineno\""}, {"\"npassword\""},
        {"\"bFingerprint\"", 0, "NULL", Kind::kBlob}, {"site", 20, "''"}}},
      {"people", "people", {{"person"}, {"name"}, {"department"}, {"site", 20, "''"}, {"employee_code", 21, "''"}}},
      {"rejected_records", "rejected_records",
       {{"port"}, {"terminal"}, {"identity"}, {"generation"}, {"record_index"}, {"person"}, {"year"}, {"month"},
        {"day"}, {"hour"}, {"minute"}, {"reason"}, {"first_seen"}, {"epoch", 5, "0"}, {"site", 20, "''"}}},
      {"log_records", "log_records", {{"identity"}, {"generation"}, {"epoch", 5, "0"}, {"held"}}},
      {"conflicts", "conflicts",
       {{"identity"}, {"generation"}, {"epoch"}, {"record_index"}, {"port"}, {"terminal"}, {"found_at"}, {"person"},
        {"swipe_time"}, {"stored_person"}, {"stored_time"}, {"stored_port"}, {"stored_terminal"},
        {"stored_downloaded_at"}, {"acknowledged", 0, "0", Kind::kBool}, {"acknowledged_by"}, {"acknowledged_at"},
        {"site", 20, "''"}}},
      {"log_epochs", "log_epochs e LEFT JOIN conflicts c ON c.id = e.conflict",
       {{"e.identity"}, {"e.generation"}, {"e.epoch"}, {"e.first_index"}, {"e.parent"}, {"e.port"}, {"e.terminal"},
        {"e.opened_at"}, {"c.identity"}, {"c.generation"}, {"c.epoch"}, {"c.record_index"}, {"c.person"},
        {"c.swipe_time"}}},
      {"users", "users",
       {{"name"}, {"role"}, {"password_hash"}, {"disabled"}, {"language"}, {"created_at"}, {"password_changed_at"},
        {"sites", 23, "''"}}},
      {"audit", "audit", {{"at"}, {"actor"}, {"origin"}, {"action"}, {"details"}}},
      {"sync_runs", "sync_runs", {{"started_at"}, {"ended_at"}, {"started_by"}, {"who"}, {"ports"}, {"site", 20, "''"}}},
      {"sync_run_terminals", "sync_run_terminals t JOIN sync_runs r ON r.id = t.run",
       {{"r.started_at"}, {"r.started_by"}, {"r.who"}, {"t.port"}, {"t.terminal"}, {"t.outcome"}, {"t.cause_code"},
        {"t.cause"}, {"t.delivered"}, {"t.added"}, {"t.quarantined"}, {"t.held"}, {"t.capacity"},
        {"t.clock", 9, "''"}, {"t.clock_drift", 9}, {"t.cause_values", 14, "''"}}},
      {"api_tokens", "api_tokens",
       {{"name"}, {"token_hash"}, {"scopes"}, {"created_at"}, {"created_by"}, {"expires_at", 16, "''"}}},
      {"api_token_reads", "api_token_reads", {{"token"}, {"hour"}, {"reads"}}},
      {"sites", "sites",
       {{"name"}, {"timezone"}, {"first_sync"}, {"last_sync"}, {"settings"}, {"added_at"}, {"added_by"},
        {"last_host", 23, "''"}, {"key_name", 24, "name"}}},
      // The delivered position is compared through the swipe it names (the copy translates it);
      // a drainer's lease is the source's own.
      {"push_endpoints", "push_endpoints",
       {{"name"}, {"added_at"}, {"failures"}, {"next_attempt"}, {"last_error"}, {"last_error_at"}, {"last_success"},
        {"delivered"}, {"site", 22, "''"}, {"all_sites", 22, "0", Kind::kBool}}},
      // The position is translated as an endpoint's; the row's being there is what is compared.
      {"push_key_sites", "push_key_sites", {{"only_row", 0, "1", Kind::kBool}}},
      // Attendance: the numbered tables' content is everything but the number (numbered anew);
      // a leave entry's and a correction's withdrawal are their last two columns (Numbered).
      {"shifts", "shifts",
       {{"site"}, {"name"}, {"start_minute"}, {"end_minute"}, {"late_grace"}, {"early_grace"}, {"break_minutes"},
        {"window_before"}, {"window_after"}, {"full_day_minutes"}, {"half_day_minutes"}, {"flexible"},
        {"core_start"}, {"core_end"}, {"required_minutes"}}},
      {"work_patterns", "work_patterns", {{"site"}, {"name"}, {"kind"}, {"starts"}, {"days"}}},
      {"shift_assignments", "shift_assignments",
       {{"site"}, {"pattern"}, {"target"}, {"person"}, {"department"}, {"from_date"}, {"until_date"}}},
      {"days_off", "days_off", {{"site"}, {"day"}, {"kind"}, {"name"}}},
      {"leave_entries", "leave_entries",
       {{"site"}, {"person"}, {"kind"}, {"from_date"}, {"to_date"}, {"part_start"}, {"part_end"}, {"note"},
        {"added_by"}, {"added_at"}, {"withdrawn_by"}, {"withdrawn_at"}}},
      {"corrections", "corrections",
       {{"site"}, {"person"}, {"kind"}, {"at_time"}, {"direction"}, {"port"}, {"terminal"}, {"reason"},
        {"added_by"}, {"added_at"}, {"withdrawn_by"}, {"withdrawn_at"}}},
      {"closed_months", "closed_months", {{"site"}, {"month"}, {"closed_by"}, {"closed_at"}, {"days_json"}}},
      {"leave_kinds", "leave_kinds", {{"site"}, {"kind"}, {"position"}}},
      {"days_reviewed", "days_reviewed", {{"site"}, {"person"}, {"day"}, {"reviewed_by"}, {"reviewed_at"}, {"note"}}},
  };
  return contents;
}

const Content* ContentOf(const std::string& table) {
  for (const Content& c : Contents())
    if (table == c.table) return &c;
  return nullptr;
}

// The SELECT list of `columns` as a database of schema `version` of `engine` gives them.
std::string SelectList(const std::vector<Column>& columns, Engine engine, int version) {
  std::string list;
  for (const Column& c : columns) {
    std::string e;
    if (c.since > version)
      e = c.missing;
    else if (c.kind == Kind::kBlob)
      e = store::HexColumn(engine, c.name);
    else if (c.kind == Kind::kBool)
      e = std::string("CASE WHEN ") + c.name + " THEN 1 ELSE 0 END";
    else
      e = c.name;
    list += (list.empty() ? "" : ", ") + e;
  }
  return list;
}

// FNV-1a over the values, each with its length (NULL apart), so that no two rows share a text.
std::uint64_t HashOf(const TableRow& row, std::size_t first = 0) {
  std::uint64_t h = 1469598103934665603ULL;
  auto add = [&](unsigned char b) {
    h ^= b;
    h *= 1099511628211ULL;
  };
  for (std::size_t i = first; i < row.size(); ++i) {
    if (!row[i]) {
      add(0xff);
      continue;
    }
    const std::string& v = *row[i];
    for (int shift = 0; shift < 32; shift += 8) add(static_cast<unsigned char>(v.size() >> shift));
    for (char c : v) add(static_cast<unsigned char>(c));
  }
  return h;
}

std::string Placeholders(std::size_t first, std::size_t count, Engine engine, const std::vector<Column>& columns = {}) {
  std::string list;
  for (std::size_t i = 0; i < count; ++i) {
    const int n = static_cast<int>(first + i);
    const bool blob = i < columns.size() && columns[i].kind == Kind::kBlob;
    list += (list.empty() ? "" : ", ") + (blob ? store::BlobParameter(engine, n) : "$" + std::to_string(n));
  }
  return list;
}

std::set<int> BlobParameters(const std::vector<Column>& columns, int first) {
  std::set<int> blobs;
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (columns[i].kind == Kind::kBlob) blobs.insert(first + static_cast<int>(i));
  return blobs;
}

// The plain column names (no table alias) of `columns`, for an INSERT.
std::string NameList(const std::vector<Column>& columns) {
  std::string list;
  for (const Column& c : columns) {
    std::string name = c.name;
    if (std::size_t dot = name.find('.'); dot != std::string::npos) name = name.substr(dot + 1);
    list += (list.empty() ? "" : ", ") + name;
  }
  return list;
}

// A site's name as an SQL literal (a name is letters, digits, '-' and '_'; quoted all the same).
std::string Quoted(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

// " WHERE a AND b" of the conditions given ("" none).
std::string Where(std::initializer_list<std::string> conditions) {
  std::string where;
  for (const std::string& c : conditions)
    if (!c.empty()) where += (where.empty() ? " WHERE " : " AND ") + c;
  return where;
}

bool IsSiteTable(const std::string& table) {
  for (const char* t : store::SiteTables())
    if (table == t) return true;
  return false;
}

// Tables a copy of one site leaves to the destination: it has its own users, tokens and trail.
bool NotCopiedWithSite(const std::string& table) {
  return table == "users" || table == "sessions" || table == "audit" || table == "api_tokens" ||
         table == "api_token_reads";
}

// The condition on `table`'s rows (as Content::from names them) that are site `site`'s, or of
// the terminals with identity whose swipes are; "" every row.
std::string SiteCondition(const std::string& table, const std::string& site) {
  const std::string q = Quoted(site);
  const std::string identities = "IN (SELECT identity FROM swipes WHERE identity IS NOT NULL AND site = " + q + ")";
  if (IsSiteTable(table)) return "site = " + q;
  if (table == "sites") return "name = " + q;
  if (table == "log_epochs") return "e.identity " + identities;
  if (table == "log_records") return "identity " + identities;
  if (table == "sync_run_terminals") return "r.site = " + q;
  return "";
}

// ---- The copy -------------------------------------------------------------------------------

class Copy {
 public:
  Copy(TableConnection& source, int source_version, TableConnection& target, store::RecordStore& target_store,
       const CopyProgress& progress, std::function<void()> after_batch_stored, DbCopyResult& result)
      : source_(source), version_(source_version), target_(target), store_(target_store), progress_(progress),
        after_batch_stored_(std::move(after_batch_stored)), result_(result) {}

  // Copies site `name` only; `source_site`: the source's site it is (nullopt: the source holds no
  // site, and every row of it is copied as site `name`).
  void OneSite(const std::string& name, std::optional<std::string> source_site) {
    site_ = name;
    source_site_ = std::move(source_site);
  }

  bool SourceHas(const std::string& table) const {
    for (const store::SchemaTable& t : store::SchemaTables())
      if (table == t.name) return t.since <= version_;
    return false;
  }

  // With one site: its row in the destination first (so a destination that holds another site
  // keys the copied swipes with their site from the first on). Answers whether it was added.
  bool AddSite(const std::string& location) {
    std::optional<TableRow> row;
    if (source_site_)
      source_.Query("SELECT " + Select(*ContentOf("sites")) + " FROM sites" + Where({SourceCondition("sites")}), {},
                    [&](const TableRow& r) { row = r; }, "reading the site");
    if (!row) {  // a source of no site: the site is made here
      const Content& c = *ContentOf("sites");
      row.emplace(c.columns.size(), std::string());
      for (std::size_t i = 0; i < c.columns.size(); ++i) {
        const std::string column = c.columns[i].name;
        if (column == "added_at") (*row)[i] = store::UtcNowText();
        if (column == "name" || column == "key_name") (*row)[i] = *site_;
      }
    }
    Rewrite("sites", *row, 0);
    const Content& c = *ContentOf("sites");
    std::size_t key = 0;
    while (std::string(c.columns[key].name) != "key_name") ++key;
    bool added = false;
    target_.Transaction("adding the copied site", [&] {
      added = false;
      std::optional<std::string> other;
      target_.Query("SELECT name FROM sites WHERE key_name = $1 AND name <> $2", {(*row)[key], *site_},
                    [&](const TableRow& r) { other = r[0]; }, "reading the sites' key names");
      if (other)
        throw InputError(Message("database {0}: its site {1} keys its push keys with the name {2}, which site {3} "
                                 "copied here would key with too: rename one of them first",
                                 {location, *other, (*row)[key].value_or(""), *site_}));
      added = target_.Exec("INSERT INTO sites (" + NameList(c.columns) + ") VALUES (" +
                               Placeholders(1, c.columns.size(), target_.engine()) + ") ON CONFLICT (name) DO NOTHING",
                           *row, "adding the copied site") > 0;
      // Held here already: it takes the source's last sync and settings when they are newer.
      if (!added && source_site_) {
        TableRow sync;
        for (const char* column : {"name", "timezone", "first_sync", "last_sync", "settings", "last_host"})
          for (std::size_t i = 0; i < c.columns.size(); ++i)
            if (std::string(c.columns[i].name) == column) sync.push_back((*row)[i]);
        target_.Exec("UPDATE sites SET timezone = $2, first_sync = CASE WHEN first_sync = '' OR first_sync > $3 THEN $3 "
                     "ELSE first_sync END, last_sync = $4, settings = $5, last_host = $6 WHERE name = $1 AND "
                     "last_sync < $4",
                     sync, "adding the copied site");
      }
    });
    return added;
  }

  void Run() {
    // Before anything is copied: whether the destination held two sites already (with one site:
    // after adding it, which makes a second).
    const bool keyed_here = TargetKeysWithSites();
    Conflicts();
    Epochs();
    Swipes();
    Enrolments();
    People();
    Rejected();
    if (!site_) {
      Plain("users", "ON CONFLICT (name) DO NOTHING");
      Multiset("audit", "id");
    }
    SyncRuns();
    if (!site_) {
      Plain("api_tokens", "ON CONFLICT DO NOTHING");
      Plain("api_token_reads", "ON CONFLICT (token, hour) DO NOTHING");
    }
    PushEndpoints();
    Attendance();
    if (!site_) Plain("sites", "ON CONFLICT (name) DO NOTHING");
    if (!keyed_here) PushKeySites();
  }

  // Each table of the schema compared: the source's rows (as far as copied) all in the target.
  void Compare() {
    for (const store::SchemaTable& t : store::SchemaTables()) {
      TableCheck check;
      check.table = t.name;
      check.copy = t.copy;
      if (site_ && NotCopiedWithSite(t.name)) {
        check.copy = store::TableCopy::kLeftOut;
        check.not_with_site = true;
      }
      if (check.copy != store::TableCopy::kLeftOut) {
        const Content* known = ContentOf(t.name);
        if (!known)
          throw HostError(Message("the copy does not know the content of table {0}: this vanto is incomplete", {t.name}));
        // One site's row may have been added here before (vanto site add): compared by its name.
        const Content by_name{"sites", "sites", {{"name"}}};
        const Content* content = site_ && std::string(t.name) == "sites" ? &by_name : known;
        std::unordered_map<std::uint64_t, std::int64_t> wanted;
        if (SourceHas(t.name)) {
          std::string bound;
          TableRow params;
          if (std::string(t.name) == "swipes" && source_.engine() == Engine::Postgres && version_ >= 8 && bound_) {
            bound = "feed_xid < $1::xid8";
            params.push_back(*bound_);
          }
          source_.Query("SELECT " + SelectList(content->columns, source_.engine(), version_) + " FROM " + content->from +
                            Where({bound, SourceCondition(t.name)}),
                        params,
                        [&](TableRow r) {
                          Rewrite(t.name, r, 0);
                          const std::uint64_t h = HashOf(r);
                          ++wanted[h];
                          ++check.source_rows;
                          check.source_sum += h;
                        },
                        "reading table " + std::string(t.name));
        }
        target_.Query("SELECT " + SelectList(content->columns, target_.engine(), store::LatestSchemaVersion()) +
                          " FROM " + content->from + Where({TargetCondition(t.name)}),
                      {},
                      [&](const TableRow& r) {
                        const std::uint64_t h = HashOf(r);
                        ++check.target_rows;
                        check.target_sum += h;
                        if (auto it = wanted.find(h); it != wanted.end() && it->second > 0) --it->second;
                      },
                      "reading table " + std::string(t.name));
        for (const auto& [hash, left] : wanted) check.missing += left;
      }
      result_.checks.push_back(check);
    }
  }

 private:
  std::string Select(const Content& c) const { return SelectList(c.columns, source_.engine(), version_); }

  // The condition on the source's rows of `table` that a copy of one site reads ("" all: a copy
  // of every site, or of a source that holds no site).
  std::string SourceCondition(const std::string& table) const {
    if (!site_ || !source_site_ || version_ < store::kSitesSchemaVersion) return "";
    return SiteCondition(table, *source_site_);
  }
  std::string TargetCondition(const std::string& table) const { return site_ ? SiteCondition(table, *site_) : ""; }

  // A source row of `table` (its content from column `first` on) as the copy writes it: a closed
  // month's days naming the corrections by their numbers here; with one site, under the site's
  // name here.
  void Rewrite(const std::string& table, TableRow& row, std::size_t first) const {
    if (table == "closed_months") RenumberCorrections(row, first);
    if (!site_) return;
    const char* column = IsSiteTable(table) ? "site" : table == "sites" ? "name" : nullptr;
    if (!column) return;
    const std::vector<Column>& columns = ContentOf(table)->columns;
    for (std::size_t i = 0; i < columns.size(); ++i)
      if (std::string(columns[i].name) == column && first + i < row.size()) row[first + i] = *site_;
  }

  // A closed month's days as judged (JSON) name corrections by number, as the value of a finding
  // of kind "correction-added" or "swipe-set-aside": each becomes the correction's number here.
  // Days that are not JSON, and numbers of no correction copied, stay as they are.
  void RenumberCorrections(TableRow& row, std::size_t first) const {
    const std::vector<Column>& columns = ContentOf("closed_months")->columns;
    std::size_t at = 0;
    while (at < columns.size() && std::string(columns[at].name) != "days_json") ++at;
    if (first + at >= row.size() || !row[first + at] || correction_here_.empty()) return;
    nlohmann::ordered_json days = nlohmann::ordered_json::parse(*row[first + at], nullptr, /*allow_exceptions=*/false);
    if (days.is_discarded()) return;
    bool changed = false;
    const std::function<void(nlohmann::ordered_json&)> walk = [&](nlohmann::ordered_json& v) {
      if (v.is_object()) {
        auto kind = v.find("kind"), value = v.find("value");
        if (kind != v.end() && value != v.end() && kind->is_string() && value->is_string() &&
            (*kind == "correction-added" || *kind == "swipe-set-aside")) {
          auto here = correction_here_.find(value->get<std::string>());
          if (here != correction_here_.end() && here->second != value->get<std::string>()) {
            *value = here->second;
            changed = true;
          }
        }
      }
      if (v.is_structured())
        for (auto& inner : v) walk(inner);
    };
    walk(days);
    if (changed) row[first + at] = days.dump();
  }

  // Attendance: the site's settings by their keys (one the destination holds stays), the
  // numbered entries numbered anew, and the closed months after the corrections they name.
  void Attendance() {
    Plain("shifts", "ON CONFLICT (site, name) DO NOTHING");
    Plain("work_patterns", "ON CONFLICT (site, name) DO NOTHING");
    Numbered("shift_assignments", false);
    Plain("days_off", "ON CONFLICT (site, day) DO NOTHING");
    Numbered("leave_entries", true);
    correction_here_ = Numbered("corrections", true);
    Plain("closed_months", "ON CONFLICT (site, month) DO NOTHING");
    Plain("leave_kinds", "ON CONFLICT (site, kind) DO NOTHING");
    Plain("days_reviewed", "ON CONFLICT (site, person, day) DO NOTHING");
  }

  // Rows the engine numbers (`id`), numbered anew in the old order; a row the destination holds
  // already, value for value, keeps its number there. `withdrawable`: the content's last two
  // columns are who withdrew the entry and when; an entry is the same whatever its withdrawal,
  // and one withdrawn in the source since an earlier copy is withdrawn here as well. Answers the
  // destination's number of each source number.
  std::map<std::string, std::string> Numbered(const char* table, bool withdrawable) {
    std::map<std::string, std::string> here;
    if (!SourceHas(table)) return here;
    const Content& c = *ContentOf(table);
    const std::size_t told = c.columns.size() - (withdrawable ? 2 : 0);  // the columns that tell an entry
    auto entry = [&](const TableRow& r) { return HashOf(TableRow(r.begin() + 1, r.begin() + 1 + static_cast<std::ptrdiff_t>(told))); };
    auto withdrawn = [&](const TableRow& r) { return withdrawable && r.back().has_value(); };
    struct Held {
      std::string id;
      bool withdrawn;
    };
    std::unordered_map<std::uint64_t, std::vector<Held>> held;
    target_.Query("SELECT id, " + SelectList(c.columns, target_.engine(), store::LatestSchemaVersion()) + " FROM " +
                      table + Where({TargetCondition(table)}) + " ORDER BY id",
                  {}, [&](const TableRow& r) { held[entry(r)].push_back({*r[0], withdrawn(r)}); },
                  std::string("reading table ") + table);
    std::vector<TableRow> rows;
    source_.Query("SELECT id, " + Select(c) + " FROM " + table + Where({SourceCondition(table)}) + " ORDER BY id", {},
                  [&](TableRow r) {
                    Rewrite(table, r, 1);
                    rows.push_back(std::move(r));
                  },
                  std::string("reading table ") + table);
    const std::string insert = std::string("INSERT INTO ") + table + " (" + NameList(c.columns) + ") VALUES (" +
                               Placeholders(1, c.columns.size(), target_.engine()) + ") RETURNING id";
    const std::string withdraw = std::string("UPDATE ") + table +
                                 " SET withdrawn_by = $1, withdrawn_at = $2 WHERE id = $3 AND withdrawn_at IS NULL";
    const std::string step = std::string("copying table ") + table;
    target_.Transaction(step, [&] {
      here.clear();
      auto left = held;
      for (const TableRow& r : rows) {
        auto it = left.find(entry(r));
        if (it != left.end() && !it->second.empty()) {
          const Held h = it->second.front();
          it->second.erase(it->second.begin());
          here[*r[0]] = h.id;
          if (withdrawn(r) && !h.withdrawn) target_.Exec(withdraw, {r[r.size() - 2], r.back(), h.id}, step);
          continue;
        }
        target_.Query(insert, TableRow(r.begin() + 1, r.end()), [&](const TableRow& id) { here[*r[0]] = *id[0]; }, step);
      }
    });
    return here;
  }

  // Rows copied as they are; the destination's unique keys keep a second run from adding any.
  void Plain(const char* table, const char* on_conflict) {
    if (!SourceHas(table)) return;
    const Content& c = *ContentOf(table);
    const std::string insert = std::string("INSERT INTO ") + table + " (" + NameList(c.columns) + ") VALUES (" +
                               Placeholders(1, c.columns.size(), target_.engine(), c.columns) + ") " + on_conflict;
    std::vector<TableRow> rows;
    source_.Query("SELECT " + Select(c) + " FROM " + c.from + Where({SourceCondition(table)}), {},
                  [&](TableRow r) {
                    Rewrite(table, r, 0);
                    rows.push_back(std::move(r));
                  },
                  std::string("reading table ") + table);
    target_.Transaction(std::string("copying table ") + table, [&] {
      for (const TableRow& r : rows) target_.Exec(insert, r, std::string("copying table ") + table, BlobParameters(c.columns, 1));
    });
  }

  // Rows without a key of their own (an engine numbers them): a row the destination holds
  // already, value for value, is not added again; the rest are added in the source's `order`.
  // Answers the rows read and the rows added.
  std::pair<std::int64_t, std::int64_t> Multiset(const char* table, const char* order) {
    if (!SourceHas(table)) return {0, 0};
    const Content& c = *ContentOf(table);
    std::unordered_map<std::uint64_t, std::int64_t> held;
    target_.Query("SELECT " + SelectList(c.columns, target_.engine(), store::LatestSchemaVersion()) + " FROM " + c.from +
                      Where({TargetCondition(table)}),
                  {}, [&](const TableRow& r) { ++held[HashOf(r)]; }, std::string("reading table ") + table);
    std::vector<TableRow> rows;
    source_.Query("SELECT " + Select(c) + " FROM " + c.from + Where({SourceCondition(table)}) + " ORDER BY " + order, {},
                  [&](TableRow r) {
                    Rewrite(table, r, 0);
                    rows.push_back(std::move(r));
                  },
                  std::string("reading table ") + table);
    const std::string insert = std::string("INSERT INTO ") + table + " (" + NameList(c.columns) + ") VALUES (" +
                               Placeholders(1, c.columns.size(), target_.engine(), c.columns) + ")";
    std::int64_t added = 0, done = 0;
    target_.Transaction(std::string("copying table ") + table, [&] {
      added = 0;
      done = 0;
      std::unordered_map<std::uint64_t, std::int64_t> left = held;
      for (const TableRow& r : rows) {
        auto it = left.find(HashOf(r));
        if (it != left.end() && it->second > 0) {
          --it->second;
        } else {
          target_.Exec(insert, r, std::string("copying table ") + table, BlobParameters(c.columns, 1));
          ++added;
        }
        if (std::string(table) == "enrolment" && progress_)
          progress_(CopyStage::kEnrolments, ++done, static_cast<std::int64_t>(rows.size()));
      }
    });
    return {static_cast<std::int64_t>(rows.size()), added};
  }

  // Conflicts, numbered anew: the destination's number of each source number.
  void Conflicts() {
    if (!SourceHas("conflicts")) return;
    const Content& c = *ContentOf("conflicts");
    std::vector<TableRow> rows;
    source_.Query("SELECT id, " + Select(c) + " FROM conflicts" + Where({SourceCondition("conflicts")}) + " ORDER BY id", {},
                  [&](TableRow r) {
                    Rewrite("conflicts", r, 1);
                    rows.push_back(std::move(r));
                  },
                  "reading the conflicts");
    const std::string insert = "INSERT INTO conflicts (" + NameList(c.columns) + ") VALUES (" +
                               Placeholders(1, c.columns.size(), target_.engine()) + ") ON CONFLICT DO NOTHING";
    // Columns 1-4, 8 and 9 of the content: the finding's key.
    const std::string find =
        "SELECT id FROM conflicts WHERE identity = $1 AND generation = $2 AND epoch = $3 AND record_index = $4 AND "
        "person = $5 AND swipe_time = $6";
    target_.Transaction("copying the conflicts", [&] {
      conflict_here_.clear();
      result_.conflicts_added = 0;
      for (const TableRow& r : rows) {
        const TableRow values(r.begin() + 1, r.end());
        result_.conflicts_added += target_.Exec(insert, values, "copying the conflicts");
        target_.Query(find, {values[0], values[1], values[2], values[3], values[7], values[8]},
                      [&](const TableRow& id) { conflict_here_[*r[0]] = id[0]; }, "numbering the conflicts");
      }
    });
    result_.conflicts = static_cast<std::int64_t>(rows.size());
  }

  // Epochs, each naming its conflict by the destination's number.
  void Epochs() {
    if (!SourceHas("log_epochs")) return;
    std::vector<TableRow> rows;
    source_.Query("SELECT identity, generation, epoch, first_index, parent, port, terminal, opened_at, conflict FROM "
                  "log_epochs e" + Where({SourceCondition("log_epochs")}) + " ORDER BY identity, generation, epoch",
                  {}, [&](const TableRow& r) { rows.push_back(r); }, "reading the log epochs");
    target_.Transaction("copying the log epochs", [&] {
      result_.epochs_added = 0;
      for (TableRow r : rows) {
        if (r[8]) {
          auto here = conflict_here_.find(*r[8]);
          r[8] = here == conflict_here_.end() ? std::nullopt : here->second;
        }
        result_.epochs_added += target_.Exec(
            "INSERT INTO log_epochs (identity, generation, epoch, first_index, parent, port, terminal, opened_at, "
            "conflict) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT DO NOTHING",
            r, "copying the log epochs");
      }
    });
    result_.epochs = static_cast<std::int64_t>(rows.size());
  }

  // Swipes, in the source's feed order, each batch stored through the destination's store (so
  // its feed numbers follow that order) and its positions mapped (feed_moves).
  void Swipes() {
    const bool fed = version_ >= 8;
    std::string positions = "NULL, NULL";
    std::string where, order = store::kSwipeOrder;
    TableRow params;
    if (fed && source_.engine() == Engine::Sqlite) {
      positions = "'0', feed_seq";
      order = " ORDER BY feed_seq";
    } else if (fed) {
      // Only rows of transactions that had all ended when the snapshot was taken: no row can
      // later appear before them in the feed.
      source_.Query("SELECT pg_snapshot_xmin(pg_current_snapshot())::text", {},
                    [&](const TableRow& r) { bound_ = r[0]; }, "reading the feed's bound");
      positions = "feed_xid::text, feed_seq";
      where = " WHERE feed_xid < $1::xid8";
      order = " ORDER BY feed_xid, feed_seq";
      params.push_back(*bound_);
    }
    std::optional<std::string> highest;
    const std::string site = SourceCondition("swipes");
    if (!site.empty()) {
      // One site's swipes, numbered here after every number of the source (every site's), and
      // its endpoints held back only when delivered beyond the last swipe of any site copyable
      // now (an endpoint passes over other sites' swipes).
      source_.Query("SELECT max(feed_seq) FROM swipes" + where, params, [&](const TableRow& r) { highest = r[0]; },
                    "counting the swipes");
      if (fed)
        source_.Query("SELECT " + positions + " FROM swipes" + where +
                          (source_.engine() == Engine::Sqlite ? " ORDER BY feed_seq DESC" : " ORDER BY feed_xid DESC, feed_seq DESC") +
                          " LIMIT 1",
                      params,
                      [&](const TableRow& r) {
                        horizon_ = store::FeedCursor{std::stoull(r[0].value_or("0")), std::stoull(r[1].value_or("0"))};
                      },
                      "reading the feed's bound");
      where += (where.empty() ? " WHERE " : " AND ") + site;
    }
    std::int64_t total = 0;
    source_.Query("SELECT count(*)" + std::string(fed ? ", max(feed_seq)" : ", NULL") + " FROM swipes" + where, params,
                  [&](const TableRow& r) {
                    total = std::stoll(r[0].value_or("0"));
                    if (site.empty()) highest = r[1];
                  },
                  "counting the swipes");
    // The destination numbers what it stores after every number of the source, so that no
    // position there is also a position of the source (a cursor of either is never the other's).
    if (highest) {
      if (target_.engine() == Engine::Postgres)
        target_.Query("SELECT setval('swipes_feed_seq', greatest((SELECT last_value FROM swipes_feed_seq), CAST($1 AS BIGINT)))",
                      {highest}, [](const TableRow&) {}, "numbering the copied swipes");
      else if (source_.engine() == Engine::Sqlite)
        target_.Exec("INSERT INTO feed_moves (from_xid, from_seq) VALUES (0, $1) ON CONFLICT DO NOTHING", {highest},
                     "numbering the copied swipes");
    }
    std::vector<store::StoredSwipe> batch;
    std::vector<std::pair<TableValue, TableValue>> from;
    batch.reserve(2000);
    auto flush = [&] {
      if (fed && target_.engine() == Engine::Postgres) {
        // The store's connection stores the batch and commits; this one then puts it in order.
        // So that a copy broken off between the two is put right by the next run, the batch's
        // source positions are first marked pending (MarkPending).
        target_.Transaction("recording the copied swipes' positions", [&] { MarkPending(from); });
        // The server stores a batch in key order. Its rows are put into the old order before any
        // reader of the feed may see them: this transaction holds the feed's writer lock with a
        // transaction id below the batch's, so the feed serves none of the batch until it ends.
        target_.Transaction("storing the copied swipes in feed order", [&] {
          target_.Exec(store::FeedWriterLockSql(), {}, "storing the copied swipes in feed order");
          target_.Query("SELECT pg_current_xact_id()::text", {}, [](const TableRow&) {},
                        "storing the copied swipes in feed order");
          std::vector<bool> added = store_.swipes().Insert(batch);
          if (after_batch_stored_) after_batch_stored_();
          MapPositions(batch, from, &added);
          for (bool stored : added) result_.swipes_added += stored ? 1 : 0;
        });
      } else {
        // The rows keep the batch's order; a copy broken off before their positions are
        // recorded records them on the next run (every row found is mapped, new or held).
        std::vector<bool> added = store_.swipes().Insert(batch);
        for (bool stored : added) result_.swipes_added += stored ? 1 : 0;
        if (after_batch_stored_) after_batch_stored_();
        if (fed) target_.Transaction("recording the copied swipes' positions", [&] { MapPositions(batch, from, nullptr); });
      }
      result_.swipes += static_cast<std::int64_t>(batch.size());
      if (fed && !from.empty()) result_.copied_up_to = *from.back().first + "." + *from.back().second;
      batch.clear();
      from.clear();
      if (progress_) progress_(CopyStage::kSwipes, result_.swipes, total);
    };
    source_.Query("SELECT " + positions + ", " + store::SwipeColumnsOf(version_) + " FROM swipes" + where + order, params,
                  [&](const TableRow& r) {
                    store::StoredSwipe s;
                    s.port = std::stoi(*r[2]);
                    s.terminal = std::stoi(*r[3]);
                    s.person = static_cast<std::int32_t>(std::stol(*r[4]));
                    s.minute = *r[5];
                    s.occurrence = std::stoi(*r[6]);
                    s.time = *r[7];
                    s.downloaded_at = *r[8];
                    // A version 1 terminal's swipe keeps its index beside, without identity.
                    if (r[9]) s.identity = static_cast<std::uint32_t>(std::stoll(*r[9]));
                    if (r[10]) s.generation = static_cast<std::uint32_t>(std::stoll(*r[10]));
                    if (r[11]) s.index = static_cast<std::uint32_t>(std::stoll(*r[11]));
                    s.epoch = static_cast<std::uint32_t>(std::stoll(r[12].value_or("0")));
                    s.site = site_ ? *site_ : r[13].value_or("");
                    // A batch holds one site's swipes (a version 1 terminal's key holds its site).
                    if (!batch.empty() && batch.back().site != s.site) flush();
                    batch.push_back(std::move(s));
                    from.emplace_back(r[0], r[1]);
                    if (batch.size() == 2000) flush();
                  },
                  "reading the swipes");
    if (!batch.empty()) flush();
    result_.swipes_held = store_.CountSwipes();
  }

  // Where each swipe of `batch` is in the destination's feed, recorded beside its position in
  // the source's, in the caller's transaction. With `added` (PostgreSQL), the rows this batch
  // added, and those of it a run broken off stored (MarkPending), take their transaction's feed
  // numbers in the batch's order.
  void MapPositions(const std::vector<store::StoredSwipe>& batch, const std::vector<std::pair<TableValue, TableValue>>& from,
                    const std::vector<bool>* added) {
    std::vector<std::optional<std::pair<std::string, std::string>>> here(batch.size());
    if (target_.engine() == Engine::Sqlite) {
      for (std::size_t i = 0; i < batch.size(); ++i) {
        const store::StoredSwipe& s = batch[i];
        auto found = [&](const TableRow& r) { here[i] = std::make_pair(std::string("0"), *r[0]); };
        if (s.identity)
          target_.Query("SELECT feed_seq FROM swipes WHERE identity = $1 AND generation = $2 AND record_index = $3 AND "
                        "epoch = $4",
                        {std::to_string(*s.identity), std::to_string(s.generation.value_or(0)),
                         std::to_string(s.index.value_or(0)), std::to_string(s.epoch)},
                        found, "finding the copied swipes");
        else
          target_.Query("SELECT feed_seq FROM swipes WHERE identity IS NULL AND port = $1 AND terminal = $2 AND person = $3 "
                        "AND minute = $4 AND occurrence = $5 AND site = $6",
                        {std::to_string(s.port), std::to_string(s.terminal), std::to_string(s.person), s.minute,
                         std::to_string(s.occurrence), s.site},
                        found, "finding the copied swipes");
      }
    } else {
      // One statement per kind of key for the whole batch.
      std::vector<std::size_t> identified, unidentified;
      for (std::size_t i = 0; i < batch.size(); ++i) (batch[i].identity ? identified : unidentified).push_back(i);
      auto array = [](const std::vector<std::size_t>& rows, auto value) {
        std::string text = "{";
        for (std::size_t k = 0; k < rows.size(); ++k) text += (k ? "," : "") + value(rows[k]);
        return text + "}";
      };
      auto found = [&](const std::vector<std::size_t>& rows) {
        return [&here, &rows](const TableRow& r) {
          here[rows[std::stoul(*r[0]) - 1]] = std::make_pair(*r[1], *r[2]);
        };
      };
      if (!identified.empty())
        target_.Query(
            "SELECT k.i, s.feed_xid::text, s.feed_seq FROM unnest($1::bigint[], $2::bigint[], $3::bigint[], $4::bigint[]) "
            "WITH ORDINALITY AS k(identity, generation, idx, epoch, i) JOIN swipes s ON s.identity = k.identity AND "
            "s.generation = k.generation AND s.record_index = k.idx AND s.epoch = k.epoch",
            {array(identified, [&](std::size_t i) { return std::to_string(*batch[i].identity); }),
             array(identified, [&](std::size_t i) { return std::to_string(batch[i].generation.value_or(0)); }),
             array(identified, [&](std::size_t i) { return std::to_string(batch[i].index.value_or(0)); }),
             array(identified, [&](std::size_t i) { return std::to_string(batch[i].epoch); })},
            found(identified), "finding the copied swipes");
      if (!unidentified.empty())
        target_.Query(
            "SELECT k.i, s.feed_xid::text, s.feed_seq FROM unnest($1::int[], $2::int[], $3::int[], $4::text[], $5::int[]) "
            "WITH ORDINALITY AS k(port, terminal, person, minute, occurrence, i) JOIN swipes s ON s.identity IS NULL AND "
            "s.port = k.port AND s.terminal = k.terminal AND s.person = k.person AND s.minute = k.minute AND "
            "s.occurrence = k.occurrence AND s.site = $6",
            {array(unidentified, [&](std::size_t i) { return std::to_string(batch[i].port); }),
             array(unidentified, [&](std::size_t i) { return std::to_string(batch[i].terminal); }),
             array(unidentified, [&](std::size_t i) { return std::to_string(batch[i].person); }),
             array(unidentified, [&](std::size_t i) { return "\"" + batch[i].minute + "\""; }),
             array(unidentified, [&](std::size_t i) { return std::to_string(batch[i].occurrence); }),
             batch.front().site},
            found(unidentified), "finding the copied swipes");
    }
    if (added) {
      // The rows this copy stored: those this batch added, and those a run broken off stored
      // without putting them in order (pending, and stored after the mark). Each transaction's
      // rows take its feed numbers, smallest first, in batch order.
      std::vector<bool> ours = *added;
      for (const auto& [i, mark] : PendingMarks(from))
        if (here[i] && std::stoull(here[i]->first) >= mark) ours[i] = true;
      std::map<std::string, std::vector<std::size_t>> groups;
      for (std::size_t i = 0; i < batch.size(); ++i)
        if (ours[i] && here[i]) groups[here[i]->first].push_back(i);
      for (const auto& [xid, rows] : groups) {
        std::vector<std::int64_t> numbers;
        for (std::size_t i : rows) numbers.push_back(std::stoll(here[i]->second));
        std::vector<std::int64_t> sorted = numbers;
        std::sort(sorted.begin(), sorted.end());
        if (sorted == numbers) continue;
        std::string old_numbers = "{", new_numbers = "{";
        for (std::size_t k = 0; k < rows.size(); ++k) {
          old_numbers += (k ? "," : "") + std::to_string(numbers[k]);
          new_numbers += (k ? "," : "") + std::to_string(sorted[k]);
          here[rows[k]]->second = std::to_string(sorted[k]);
        }
        target_.Exec("UPDATE swipes s SET feed_seq = u.seq FROM unnest($1::bigint[], $2::bigint[]) AS u(old, seq) "
                     "WHERE s.feed_xid = $3::xid8 AND s.feed_seq = u.old",
                     {old_numbers + "}", new_numbers + "}", xid}, "storing the copied swipes in feed order");
      }
    }
    {
      for (std::size_t i = 0; i < batch.size(); ++i) {
        if (!here[i] || !from[i].first || !from[i].second) continue;
        moved_[{std::stoull(*from[i].first), std::stoull(*from[i].second)}] = {here[i]->first, here[i]->second};
        target_.Exec("INSERT INTO feed_moves (from_xid, from_seq, to_xid, to_seq) VALUES ($1, $2, $3, $4) "
                     "ON CONFLICT (from_xid, from_seq) DO UPDATE SET to_xid = excluded.to_xid, to_seq = excluded.to_seq",
                     {from[i].first, from[i].second, here[i]->first, here[i]->second},
                     "recording the copied swipes' positions");
      }
    }
  }

  // PostgreSQL: marks the source positions `from` pending (to_seq NULL) in the destination,
  // with to_xid the first transaction id not yet given out: every row the store adds after this
  // commits has a feed transaction id at or above it, every row held before has one below. A
  // position recorded already keeps its record; one marked already keeps its mark.
  void MarkPending(const std::vector<std::pair<TableValue, TableValue>>& from) {
    std::string xids = "{", seqs = "{";
    bool any = false;
    for (const auto& [xid, seq] : from) {
      if (!xid || !seq) continue;
      xids += (any ? "," : "") + *xid;
      seqs += (any ? "," : "") + *seq;
      any = true;
    }
    if (!any) return;
    target_.Exec("INSERT INTO feed_moves (from_xid, from_seq, to_xid) SELECT u.x, u.s, "
                 "pg_snapshot_xmax(pg_current_snapshot())::text::bigint FROM unnest($1::bigint[], $2::bigint[]) AS u(x, s) "
                 "ON CONFLICT (from_xid, from_seq) DO NOTHING",
                 {xids + "}", seqs + "}"}, "recording the copied swipes' positions");
  }

  // The rows of `from` whose positions are still marked pending, each with its mark.
  std::vector<std::pair<std::size_t, std::uint64_t>> PendingMarks(const std::vector<std::pair<TableValue, TableValue>>& from) {
    std::vector<std::size_t> rows;
    std::string xids = "{", seqs = "{";
    for (std::size_t i = 0; i < from.size(); ++i) {
      if (!from[i].first || !from[i].second) continue;
      xids += (rows.empty() ? "" : ",") + *from[i].first;
      seqs += (rows.empty() ? "" : ",") + *from[i].second;
      rows.push_back(i);
    }
    std::vector<std::pair<std::size_t, std::uint64_t>> marks;
    if (rows.empty()) return marks;
    target_.Query("SELECT k.i, m.to_xid FROM unnest($1::bigint[], $2::bigint[]) WITH ORDINALITY AS k(x, s, i) "
                  "JOIN feed_moves m ON m.from_xid = k.x AND m.from_seq = k.s WHERE m.to_seq IS NULL AND m.to_xid IS NOT NULL",
                  {xids + "}", seqs + "}"},
                  [&](const TableRow& r) { marks.emplace_back(rows[std::stoul(*r[0]) - 1], std::stoull(*r[1])); },
                  "finding the copied swipes");
    return marks;
  }

  void Enrolments() {
    // The order the rows were added in: SQLite's row numbers, the server's row identity.
    auto [read, added] = Multiset("enrolment", source_.engine() == Engine::Sqlite ? "rowid" : "row_id");
    result_.enrolments = read;
    result_.enrolments_added = added;
    target_.Query("SELECT count(*) FROM enrolment", {}, [&](const TableRow& r) { result_.enrolments_held = std::stoll(*r[0]); },
                  "counting the enrolments");
  }

  // People: as a re-import does, the source's names, departments and employee codes update the
  // destination's, each under its site; people only the destination knows stay.
  void People() {
    std::vector<store::PersonName> people;
    if (SourceHas("people"))
      source_.Query("SELECT " + Select(*ContentOf("people")) + " FROM people" + Where({SourceCondition("people")}) +
                        " ORDER BY 4, 1",
                    {},
                    [&](TableRow r) {
                      Rewrite("people", r, 0);
                      people.push_back({static_cast<std::int32_t>(std::stol(*r[0])), r[1].value_or(""),
                                        r[2].value_or(""), r[3].value_or(""), r[4].value_or("")});
                    },
                    "reading the people");
    const store::PeopleImport done = store_.swipes().PutPeople(people);
    result_.people = static_cast<std::int64_t>(people.size());
    result_.people_added = static_cast<std::int64_t>(done.added);
    result_.people_updated = static_cast<std::int64_t>(done.updated);
    result_.people_unchanged = static_cast<std::int64_t>(done.unchanged);
    result_.people_held = static_cast<std::int64_t>(store_.swipes().People().size());
    if (progress_) progress_(CopyStage::kPeople, result_.people, result_.people);
  }

  // Rejected records: each kept once, by its log and index (a version 1 terminal's by port,
  // terminal and index); one the destination holds keeps its first reason and time. The
  // destination's triggers count them per log as they arrive.
  void Rejected() {
    if (!SourceHas("rejected_records")) return;
    const Content& c = *ContentOf("rejected_records");
    std::vector<TableRow> rows;
    source_.Query("SELECT " + Select(c) + " FROM rejected_records" + Where({SourceCondition("rejected_records")}), {},
                  [&](TableRow r) {
                    Rewrite("rejected_records", r, 0);
                    rows.push_back(std::move(r));
                  },
                  "reading the rejected records");
    const std::string insert = "INSERT INTO rejected_records (" + NameList(c.columns) + ") VALUES (" +
                               Placeholders(1, c.columns.size(), target_.engine()) + ") ON CONFLICT DO NOTHING";
    target_.Transaction("copying the rejected records", [&] {
      result_.rejected_added = 0;
      std::int64_t done = 0;
      for (const TableRow& r : rows) {
        result_.rejected_added += target_.Exec(insert, r, "copying the rejected records");
        if (progress_) progress_(CopyStage::kRejected, ++done, static_cast<std::int64_t>(rows.size()));
      }
    });
    result_.rejected = static_cast<std::int64_t>(rows.size());
    target_.Query("SELECT count(*) FROM rejected_records", {}, [&](const TableRow& r) { result_.rejected_held = std::stoll(*r[0]); },
                  "counting the rejected records");
  }

  // Runs, numbered anew in the old order (a run the destination holds, value for value, keeps
  // its number), then their terminals under the new numbers.
  void SyncRuns() {
    if (!SourceHas("sync_runs")) return;
    const Content& runs = *ContentOf("sync_runs");
    std::unordered_map<std::uint64_t, std::vector<std::string>> held;
    target_.Query("SELECT id, " + SelectList(runs.columns, target_.engine(), store::LatestSchemaVersion()) +
                      " FROM sync_runs ORDER BY id",
                  {}, [&](const TableRow& r) { held[HashOf(r, 1)].push_back(*r[0]); }, "reading the sync runs");
    std::vector<TableRow> rows;
    source_.Query("SELECT id, " + Select(runs) + " FROM sync_runs" + Where({SourceCondition("sync_runs")}) + " ORDER BY id", {},
                  [&](TableRow r) {
                    Rewrite("sync_runs", r, 1);
                    rows.push_back(std::move(r));
                  },
                  "reading the sync runs");
    std::vector<Column> terminal_columns;
    for (const Column& c : ContentOf("sync_run_terminals")->columns)
      if (std::string(c.name).rfind("t.", 0) == 0) terminal_columns.push_back(c);
    std::vector<TableRow> terminals;
    source_.Query("SELECT t.run, " + SelectList(terminal_columns, source_.engine(), version_) +
                      " FROM sync_run_terminals t ORDER BY t.run, t.port, t.terminal",
                  {}, [&](const TableRow& r) { terminals.push_back(r); }, "reading the sync runs' terminals");
    const std::string insert_run = "INSERT INTO sync_runs (" + NameList(runs.columns) + ") VALUES (" +
                                   Placeholders(1, runs.columns.size(), target_.engine()) + ") RETURNING id";
    const std::string insert_terminal = "INSERT INTO sync_run_terminals (run, " + NameList(terminal_columns) +
                                        ") VALUES (" + Placeholders(1, terminal_columns.size() + 1, target_.engine()) +
                                        ") ON CONFLICT DO NOTHING";
    target_.Transaction("copying the sync runs", [&] {
      std::map<std::string, std::string> run_here;
      auto left = held;
      for (const TableRow& r : rows) {
        auto it = left.find(HashOf(r, 1));
        if (it != left.end() && !it->second.empty()) {
          run_here[*r[0]] = it->second.front();
          it->second.erase(it->second.begin());
          continue;
        }
        const TableRow values(r.begin() + 1, r.end());
        target_.Query(insert_run, values, [&](const TableRow& id) { run_here[*r[0]] = *id[0]; }, "copying the sync runs");
      }
      for (TableRow t : terminals) {
        auto here = run_here.find(*t[0]);
        if (here == run_here.end()) continue;
        t[0] = here->second;
        target_.Exec(insert_terminal, t, "copying the sync runs' terminals");
      }
    });
  }

  // Endpoints go on after the same swipe: each delivered position becomes the destination's
  // position of the last swipe at or before it.
  void PushEndpoints() {
    if (!SourceHas("push_endpoints")) return;
    const Content& c = *ContentOf("push_endpoints");
    std::vector<TableRow> rows;
    source_.Query("SELECT cursor_xid, cursor_seq, " + Select(c) + " FROM push_endpoints" +
                      Where({SourceCondition("push_endpoints")}) + " ORDER BY name",
                  {},
                  [&](TableRow r) {
                    Rewrite("push_endpoints", r, 2);
                    rows.push_back(std::move(r));
                  },
                  "reading the push endpoints");
    const store::FeedCursor last =
        horizon_ ? *horizon_ : store::ParseFeedCursor(result_.copied_up_to).value_or(store::FeedCursor{});
    const std::string insert = "INSERT INTO push_endpoints (cursor_xid, cursor_seq, " + NameList(c.columns) + ") VALUES (" +
                               Placeholders(1, c.columns.size() + 2, target_.engine()) + ") ON CONFLICT (site, name) DO NOTHING";
    target_.Transaction("copying the push endpoints", [&] {
      result_.endpoints_held_back.clear();
      for (TableRow r : rows) {
        const store::FeedCursor delivered{std::stoull(r[0].value_or("0")), std::stoull(r[1].value_or("0"))};
        if (delivered.xid > last.xid || (delivered.xid == last.xid && delivered.seq > last.seq)) {
          result_.endpoints_held_back.push_back(*r[2]);
          continue;
        }
        const auto [xid, seq] = Translated(delivered, r[0], r[1], "translating a push endpoint's position");
        r[0] = xid;
        r[1] = seq;
        target_.Exec(insert, r, "copying the push endpoints");
      }
    });
  }

  // The destination's position of the last swipe at or before the source's `position` (given
  // as its two values too), "0", "0" when there is none.
  std::pair<TableValue, TableValue> Translated(const store::FeedCursor& position, const TableValue& xid_value,
                                               const TableValue& seq_value, const std::string& step) {
    TableValue xid = std::string("0"), seq = std::string("0");
    if (site_) {
      // One site's swipes: translated by this run's own record of where each went (the
      // destination's record of moves may hold another source's at the same position).
      auto after = moved_.upper_bound({position.xid, position.seq});
      if (after == moved_.begin()) return {xid, seq};
      return std::prev(after)->second;
    }
    if (position != store::FeedCursor{})
      target_.Query("SELECT to_xid, to_seq FROM feed_moves WHERE to_seq IS NOT NULL AND (from_xid < CAST($1 AS BIGINT) "
                    "OR (from_xid = CAST($1 AS BIGINT) AND from_seq <= CAST($2 AS BIGINT))) "
                    "ORDER BY from_xid DESC, from_seq DESC LIMIT 1",
                    {xid_value, seq_value},
                    [&](const TableRow& to) {
                      xid = to[0];
                      seq = to[1];
                    },
                    step);
    return {xid, seq};
  }

  // Whether the destination's push keys carry sites already (it held two sites before the copy).
  bool TargetKeysWithSites() {
    bool held = false;
    target_.Query("SELECT 1 FROM push_key_sites", {}, [&](const TableRow&) { held = true; },
                  "reading from where push keys carry the site");
    return held;
  }

  // From where the source's push keys carry the site, translated as an endpoint's position (so
  // every copied swipe keeps its key), in place of what the destination's copy of the sites wrote.
  void PushKeySites() {
    if (!SourceHas("push_key_sites")) return;
    std::optional<TableRow> from;
    source_.Query("SELECT CAST(from_xid AS TEXT), from_seq FROM push_key_sites", {},
                  [&](const TableRow& r) { from = r; }, "reading from where push keys carry the site");
    if (!from) return;
    const store::FeedCursor position{std::stoull((*from)[0].value_or("0")), std::stoull((*from)[1].value_or("0"))};
    const auto [xid, seq] = Translated(position, (*from)[0], (*from)[1], "translating from where push keys carry the site");
    target_.Transaction("copying from where push keys carry the site", [&] {
      target_.Exec("DELETE FROM push_key_sites", {}, "copying from where push keys carry the site");
      target_.Exec(target_.engine() == store::Engine::Sqlite
                       ? "INSERT INTO push_key_sites (only_row, from_xid, from_seq) VALUES (1, CAST($1 AS INTEGER), "
                         "CAST($2 AS INTEGER))"
                       : "INSERT INTO push_key_sites (from_xid, from_seq) VALUES (CAST($1 AS xid8), CAST($2 AS BIGINT))",
                   {xid, seq}, "copying from where push keys carry the site");
    });
  }

  TableConnection& source_;
  int version_;
  TableConnection& target_;
  store::RecordStore& store_;
  const CopyProgress& progress_;
  std::function<void()> after_batch_stored_;
  DbCopyResult& result_;
  std::map<std::string, TableValue> conflict_here_;
  std::map<std::string, std::string> correction_here_;  // the destination's number of each correction copied
  std::optional<TableValue> bound_;  // PostgreSQL: the feed positions copied are below this transaction id
  std::optional<std::string> site_, source_site_;  // a copy of one site: its name here, and in the source
  // A copy of one site of a source of several: the last swipe of any site it could copy.
  std::optional<store::FeedCursor> horizon_;
  // A copy of one site: where each swipe it copied went, by its source position.
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<TableValue, TableValue>> moved_;
};

}  // namespace

bool DbCopyResult::Complete() const {
  if (!endpoints_held_back.empty()) return false;
  return std::all_of(checks.begin(), checks.end(), [](const TableCheck& c) { return c.missing == 0; });
}

// PostgreSQL: swipes are copied up to the oldest transaction still open on the server, since no
// row can later take a feed position before them. An open transaction of any database of the
// server holds that back, so before its snapshot the copy waits, up to `wait`, until none of the
// source's swipes is above it; what is still above it then is left for the next run (and said).
static void AwaitFeedHorizon(TableConnection& source, int version, std::chrono::milliseconds wait) {
  if (source.engine() != Engine::Postgres || version < 8) return;
  const auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    bool above = false;
    source.Query("WITH horizon AS (SELECT pg_snapshot_xmin(pg_current_snapshot()) AS xmin) "
                 "SELECT EXISTS (SELECT 1 FROM swipes, horizon WHERE feed_xid >= horizon.xmin)",
                 {},
                 [&](const TableRow& r) { above = r[0] && (*r[0] == "t" || *r[0] == "1"); },
                 "waiting for the feed's open transactions");
    if (!above || std::chrono::steady_clock::now() >= until) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void CheckCopyLocations(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) throw InputError(Message("--from and --to need a path or URL"));
  if (from == to) throw InputError(Message("--from and --to name the same database"));
}

DbCopyResult CopyDatabase(const DbCopySettings& o, const CopyProgress& progress) {
  if (!o.from || !o.to) throw InputError(Message("--from and --to need a path or URL"));
  if (o.from == o.to || o.from->location() == o.to->location())
    throw InputError(Message("--from and --to name the same database"));
  DbCopyResult result;
  // The source is only read: its handle checked at open that it is a database this vanto reads.
  const int source_version = o.from->schema_version();
  std::unique_ptr<TableConnection> source = o.from->Tables(/*read_only=*/true);
  AwaitFeedHorizon(*source, source_version, o.from->lock_timeout());
  source->BeginSnapshot();
  // The destination: created, or brought up to date first (said in the result).
  result.target_schema_before = o.to->schema_version_found();
  store::RecordStore target(o.to->Swipes());
  result.target_schema_after = target.swipes().schema_version();
  std::unique_ptr<TableConnection> tables = o.to->Tables(/*read_only=*/false);
  result.source = source->location();
  result.target = target.path();
  Copy copy(*source, source_version, *tables, target, progress, o.after_batch_stored, result);
  if (o.site) {
    if (auto problem = site::SiteNameProblem(*o.site)) throw InputError(*problem);
    const std::vector<store::SiteRow> held = store::ListSites(*source);
    std::optional<std::string> source_site;
    if (!held.empty()) {
      std::string names;
      for (const store::SiteRow& s : held) {
        names += (names.empty() ? "" : ", ") + s.name;
        if (s.name == *o.site) source_site = s.name;
      }
      if (!source_site)
        throw InputError(Message("database {0} holds no site {1}: it holds {2}", {result.source, *o.site, names}));
    }
    copy.OneSite(*o.site, source_site);
    result.site_added = copy.AddSite(result.target);
    if (result.site_added)
      o.to->Audit({0, store::UtcNowText(), o.actor, o.origin, "site.add",
                   "site " + *o.site + " added, copied from " + result.source});
  }
  copy.Run();
  copy.Compare();
  return result;
}

}  // namespace vanto::host
