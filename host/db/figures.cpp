#include "host/db/figures.h"

#include <charconv>
#include <tuple>

#include "host/db/statements.h"

namespace vanto::store {
namespace {

// The distinct terminals of the runs' records, a few seeks on the index by terminal (port,
// terminal, run) each: the next terminal of the same port, else the first of the next port. Per
// terminal, its newest complete run, read backwards on the same index until the first run that
// synced it.
#define VANTO_NEXT_PORT "(SELECT m.port FROM sync_run_terminals m WHERE m.port > p.port ORDER BY m.port LIMIT 1)"
#define VANTO_NEXT_TERMINAL                                                                                      \
  "(SELECT n.terminal FROM sync_run_terminals n WHERE n.port = p.port AND n.terminal > p.terminal ORDER BY " \
  "n.terminal LIMIT 1)"
constexpr SharedSql kLastCompleteSyncs{
    "WITH RECURSIVE places (port, terminal) AS ("
    " SELECT port, terminal FROM (SELECT port, terminal FROM sync_run_terminals ORDER BY port, terminal LIMIT 1) "
    "first_place"
    " UNION ALL"
    " SELECT CASE WHEN " VANTO_NEXT_TERMINAL " IS NOT NULL THEN p.port ELSE " VANTO_NEXT_PORT " END,"
    " coalesce(" VANTO_NEXT_TERMINAL ", (SELECT n.terminal FROM sync_run_terminals n WHERE n.port = " VANTO_NEXT_PORT
    " ORDER BY n.terminal LIMIT 1))"
    " FROM places p WHERE p.port IS NOT NULL) "
    "SELECT p.port, p.terminal, (SELECT r.ended_at FROM sync_run_terminals t JOIN sync_runs r ON r.id = t.run"
    " WHERE t.port = p.port AND t.terminal = p.terminal AND t.outcome = 'synced' AND r.ended_at IS NOT NULL"
    " ORDER BY t.run DESC LIMIT 1) "
    "FROM places p WHERE p.port IS NOT NULL AND p.terminal <> 0"};
#undef VANTO_NEXT_PORT
#undef VANTO_NEXT_TERMINAL

// A terminal without identity has no count of its own: its swipes are counted on the index that
// keys them (swipes_unidentified), reading no row.
constexpr SharedSql kUnidentifiedSwipes{
    "SELECT port, terminal, count(*) FROM swipes WHERE identity IS NULL GROUP BY port, terminal"};

// Each log's count (swipes and rejected records) with where its last swipe was read (the key's
// index, swipes_record, read backwards from the log's end), and the rejected records per log.
#define VANTO_LAST_OF_LOG(column)                                                                      \
  "(SELECT s." column " FROM swipes s WHERE s.identity = l.identity AND s.generation = l.generation" \
  " AND s.epoch = l.epoch ORDER BY s.record_index DESC LIMIT 1)"
constexpr SharedSql kLogs{
    "SELECT l.identity, l.generation, l.epoch, l.held, " VANTO_LAST_OF_LOG("port") ", " VANTO_LAST_OF_LOG(
        "terminal") ", " VANTO_LAST_OF_LOG("downloaded_at") " FROM log_records l ORDER BY l.identity, l.generation, "
                                                           "l.epoch"};
#undef VANTO_LAST_OF_LOG
constexpr SharedSql kRejectedOfLogs{
    "SELECT identity, count(*) FROM rejected_records WHERE identity IS NOT NULL GROUP BY identity"};

constexpr SharedSql kCounts{
    "SELECT (SELECT count(*) FROM conflicts WHERE NOT acknowledged), (SELECT count(*) FROM rejected_records)"};

constexpr SharedSql kSchemaVersion{"SELECT coalesce(max(version), 0) FROM schema_version"};

std::int64_t Number(const TableValue& v) {
  std::int64_t n = 0;
  if (v) std::from_chars(v->data(), v->data() + v->size(), n);
  return n;
}

}  // namespace

StoreFigures ReadStoreFigures(TableConnection& c) {
  StoreFigures f;
  c.Query(kLastCompleteSyncs.postgres(), {}, [&](const TableRow& r) {
    f.last_complete_sync[{static_cast<int>(Number(r[0])), static_cast<int>(Number(r[1]))}] = r[2];
  }, "reading the terminals' last complete syncs");
  c.Query(kUnidentifiedSwipes.postgres(), {}, [&](const TableRow& r) {
    f.unidentified_swipes[{static_cast<int>(Number(r[0])), static_cast<int>(Number(r[1]))}] = Number(r[2]);
  }, "counting the swipes of terminals without identity");
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
        id.place = Place{static_cast<int>(Number(r[4])), static_cast<int>(Number(r[5]))};
        id.downloaded_at = r[6].value_or("");
      }
    }
  }, "reading the logs' counts");
  c.Query(kRejectedOfLogs.postgres(), {}, [&](const TableRow& r) {
    f.identities[static_cast<std::uint32_t>(Number(r[0]))].swipes -= Number(r[1]);
  }, "counting the rejected records of each log");
  c.Query(kCounts.postgres(), {}, [&](const TableRow& r) {
    f.conflicts_open = Number(r[0]);
    f.rejected = Number(r[1]);
  }, "counting the open conflicts and rejected records");
  return f;
}

void ReadSchemaVersion(TableConnection& c) {
  c.Query(kSchemaVersion.postgres(), {}, [](const TableRow&) {}, "reading the schema's version");
}

}  // namespace vanto::store
