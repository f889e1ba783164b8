// The host facade's parts that need no terminal: where the database is, in the one order every
// front end uses, and the one shape of a sync's result (live rows and a recorded run alike).
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "host/facade.h"

using namespace vanto::host;
namespace store = vanto::store;
namespace site = vanto::site;

namespace {

TEST(FacadeTest, TheDatabaseIsResolvedInOneOrder) {
  site::Site with_file, with_url, without;
  with_file.path = "/etc/vanto/site.toml";
  with_file.database = "data/vanto.db";
  with_url.path = "/etc/vanto/site.toml";
  with_url.database = "postgresql://db.example/vanto";
  without.path = "/etc/vanto/site.toml";
  struct Case {
    const char* what;
    std::optional<std::string> option;
    const site::Site* site;
    std::map<std::string, std::string> env;
    std::optional<std::string> location;
    DatabaseOrigin origin;
  };
  const std::map<std::string, std::string> home{{"HOME", "/home/ada"}};
  const Case cases[] = {
      {"--db over everything", "/tmp/a.db", &with_file, {{"VANTO_DB", "/tmp/b.db"}, {"HOME", "/h"}}, "/tmp/a.db",
       DatabaseOrigin::kOption},
      {"$VANTO_DB over the site", std::nullopt, &with_file, {{"VANTO_DB", "/tmp/b.db"}}, "/tmp/b.db",
       DatabaseOrigin::kEnvironment},
      {"an empty $VANTO_DB is not set", std::nullopt, &with_file, {{"VANTO_DB", ""}}, "/etc/vanto/data/vanto.db",
       DatabaseOrigin::kSite},
      {"the site's file, against its folder", std::nullopt, &with_file, home, "/etc/vanto/data/vanto.db",
       DatabaseOrigin::kSite},
      {"the site's URL as it is", std::nullopt, &with_url, home, "postgresql://db.example/vanto", DatabaseOrigin::kSite},
      {"XDG_DATA_HOME over HOME", std::nullopt, &without, {{"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}},
       "/x/vanto/vanto.db", DatabaseOrigin::kDefault},
      {"HOME's default", std::nullopt, nullptr, home, "/home/ada/.local/share/vanto/vanto.db", DatabaseOrigin::kDefault},
      {"no rule gives one", std::nullopt, nullptr, {}, std::nullopt, DatabaseOrigin::kDefault},
  };
  for (const Case& c : cases) {
    const site::Environment env = [&c](const std::string& name) -> std::optional<std::string> {
      auto found = c.env.find(name);
      if (found == c.env.end()) return std::nullopt;
      return found->second;
    };
    std::optional<ResolvedDatabase> got = ResolveDatabase(c.option, c.site, env);
    ASSERT_EQ(got.has_value(), c.location.has_value()) << c.what;
    if (!got) continue;
    EXPECT_EQ(got->location, *c.location) << c.what;
    EXPECT_EQ(got->origin, c.origin) << c.what;
  }
}

TEST(FacadeTest, ASyncHasOneShapeWhetherLiveOrRecorded) {
  std::vector<TerminalSync> rows(3);
  rows[0].port = 1, rows[0].terminal = 1, rows[0].ok = true, rows[0].delivered = 10, rows[0].added = 7;
  rows[1].port = 1, rows[1].terminal = 2, rows[1].cause_code = "terminal", rows[1].cause_values = {{"error", "x"}};
  rows[2].port = 2, rows[2].cancelled = true, rows[2].cause_code = "cancelled", rows[2].delivered = 3, rows[2].added = 3;
  store::SyncRun run;
  run.id = 42;
  for (const TerminalSync& r : rows) {
    store::RunTerminal t;
    t.port = r.port, t.terminal = r.terminal, t.outcome = r.ok ? "synced" : r.cancelled ? "cancelled" : "failed";
    t.cause_code = r.ok ? "" : r.cause_code, t.cause_values = r.cause_values;
    t.delivered = static_cast<std::int64_t>(r.delivered), t.added = static_cast<std::int64_t>(r.added);
    run.terminals.push_back(t);
  }
  const SyncReport live = ReportOf(rows), recorded = ReportOf(run);
  EXPECT_EQ(recorded.run, 42);
  ASSERT_EQ(live.terminals.size(), recorded.terminals.size());
  for (std::size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(SyncRowJson(live.terminals[i]), SyncRowJson(recorded.terminals[i])) << i;
  EXPECT_EQ(SyncCountsJson(live.counts), SyncCountsJson(recorded.counts));
  const nlohmann::ordered_json counts = SyncCountsJson(live.counts);
  EXPECT_EQ(counts["terminals"], 3);
  EXPECT_EQ(counts["synced"], 1);
  EXPECT_EQ(counts["failed"], 1);
  EXPECT_EQ(counts["cancelled"], 1);
  EXPECT_EQ(counts["delivered"], 13);
  // Both names of the new records, the same number: "added" (to use) and "new" (kept).
  EXPECT_EQ(counts["added"], 10);
  EXPECT_EQ(counts["new"], 10);
  const nlohmann::ordered_json failed = SyncRowJson(live.terminals[1]);
  EXPECT_EQ(failed["cause_code"], "terminal");
  EXPECT_EQ(failed["cause_values"]["error"], "x");
  EXPECT_TRUE(SyncRowJson(live.terminals[0])["cause_code"].is_null());
  EXPECT_TRUE(SyncRowJson(live.terminals[2])["terminal"].is_null());  // the port before any terminal
  EXPECT_EQ(SyncDoneDetails("site", rows), "site: 1/3 terminals synced, 10 new records");
}

}  // namespace
