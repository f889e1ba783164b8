#include "host/db/figures.h"

#include <charconv>
#include <tuple>
#include <vector>

#include "host/db/sites.h"
#include "host/db/statements.h"
#include "host/db/store_failure.h"
#include "host/message.h"

namespace vanto::store {
namespace {

// A terminal without identity has no count of its own: its swipes are counted on the index that
// keys them (swipes_unidentified: site, port, terminal, ...), reading no row.
constexpr SharedSql kUnidentifiedSwipes{
    "SELECT site, port, terminal, count(*) FROM swipes WHERE identity IS NULL GROUP BY site, port, terminal"};

// Each log's count (swipes and rejected records) with where its last swipe was read (the key's
// index, swipes_record, read backwards from the log's end), and the rejected records per log.
#define VANTO_LAST_OF_LOG(column)                                                                      \
  "(SELECT s." column " FROM swipes s WHERE s.identity = l.identity AND s.generation = l.generation" \
  " AND s.epoch = l.epoch ORDER BY s.record_index DESC LIMIT 1)"
constexpr SharedSql kLogs{
    "SELECT l.identity, l.generation, l.epoch, l.held, " VANTO_LAST_OF_LOG("port") ", " VANTO_LAST_OF_LOG(
        "terminal") ", " VANTO_LAST_OF_LOG("downloaded_at") ", " VANTO_LAST_OF_LOG("site") " FROM log_records l "
                                                                                       "ORDER BY l.identity, "
                                                                                       "l.generation, l.epoch"};
#undef VANTO_LAST_OF_LOG
constexpr SharedSql kRejectedOfLogs{
    "SELECT identity, count(*) FROM rejected_records WHERE identity IS NOT NULL GROUP BY identity"};

// Each terminal's rejected records and conflicts not acknowledged, counted by the database.
constexpr SharedSql kHeldBack{
    "SELECT site, port, terminal, sum(rejected), sum(conflicts) FROM ("
    "SELECT site, port, terminal, 1 AS rejected, 0 AS conflicts FROM rejected_records UNION ALL "
    "SELECT site, port, terminal, 0, 1 FROM conflicts WHERE NOT acknowledged) AS held GROUP BY site, port, terminal"};

constexpr SharedSql kSiteNames{"SELECT name FROM sites"};

constexpr SharedSql kSchemaVersion{"SELECT coalesce(max(version), 0) FROM schema_version"};

std::int64_t Number(const TableValue& v) {
  std::int64_t n = 0;
  if (v) std::from_chars(v->data(), v->data() + v->size(), n);
  return n;
}

void ReadFigures(TableConnection& c, StoreFigures& f);

}  // namespace

StoreFigures ReadStoreFigures(TableConnection& c) {
  StoreFigures f;
  // One read: the figures agree with one another.
  c.Reading("reading the store's figures", [&] {
    f = {};
    ReadFigures(c, f);
  });
  return f;
}

namespace {

void ReadFigures(TableConnection& c, StoreFigures& f) {
  if (const int version = c.SchemaVersion(); version < kSitesSchemaVersion)
    throw StoreError(StoreFailure::Invalid,
                     host::Message("database {0} has schema version {1}, older than the figures read: open it for "
                                   "writing once (any command that stores does)",
                                   {c.location(), std::to_string(version)}));
  auto place = [](const TableRow& r, std::size_t at) {
    return SitePlace{r[at].value_or(""), static_cast<int>(Number(r[at + 1])), static_cast<int>(Number(r[at + 2]))};
  };
  // Rows of no site ('') besides the sites held: a database that holds none keeps its rows so.
  std::vector<std::string> sites{""};
  c.Query(kSiteNames.postgres(), {}, [&](const TableRow& r) { sites.push_back(r[0].value_or("")); },
          "reading the sites");
  for (const std::string& site : sites)
    c.Query(sql::kLastCompleteSyncs.postgres(), {site}, [&](const TableRow& r) {
      if (!r[3]) return;  // no run of this site recorded the terminal
      f.last_complete_sync[{site, static_cast<int>(Number(r[0])), static_cast<int>(Number(r[1]))}] = r[2];
    }, "reading the terminals' last complete syncs");
  c.Query(kUnidentifiedSwipes.postgres(), {}, [&](const TableRow& r) { f.unidentified_swipes[place(r, 0)] = Number(r[3]); },
          "counting the swipes of terminals without identity");
  std::map<std::uint32_t, std::tuple<std::int64_t, std::int64_t>> newest;  // generation, epoch of the place
  c.Query(kLogs.postgres(), {}, [&](const TableRow& r) {
    const auto identity = static_cast<std::uint32_t>(Number(r[0]));
    IdentityFigures& id = f.identities[identity];
    id.swipes += Number(r[3]);
    const std::tuple<std::int64_t, std::int64_t> log{Number(r[1]), Number(r[2])};
    if (r[4] && r[5]) {
      auto [at, first] = newest.try_emplace(identity, log);
      if (first || log >= at->second) {
        at->second = log;
        id.place = SitePlace{r[7].value_or(""), static_cast<int>(Number(r[4])), static_cast<int>(Number(r[5]))};
        id.downloaded_at = r[6].value_or("");
      }
    }
  }, "reading the logs' counts");
  c.Query(kRejectedOfLogs.postgres(), {}, [&](const TableRow& r) {
    f.identities[static_cast<std::uint32_t>(Number(r[0]))].swipes -= Number(r[1]);
  }, "counting the rejected records of each log");
  c.Query(kHeldBack.postgres(), {}, [&](const TableRow& r) {
    f.held[place(r, 0)] = {Number(r[3]), Number(r[4])};
  }, "counting each terminal's rejected records and open conflicts");
}

}  // namespace

void ReadSchemaVersion(TableConnection& c) {
  c.Query(kSchemaVersion.postgres(), {}, [](const TableRow&) {}, "reading the schema's version");
}

}  // namespace vanto::store
