// swipes: stored swipes in time order, filtered, as a table, CSV or JSON lines.
#include <cstdint>
#include <limits>

#include "host/attendance_data.h"
#include "cli/command.h"
#include "cli/command_support.h"
#include "host/text/messages.h"
#include "present/report/date_options.h"
#include "present/swipe_export.h"

namespace vanto::cli {
namespace {

struct SwipesOptions : DatabaseOptions {
  std::optional<std::string> from, to;
  std::vector<std::int64_t> persons;
  int port = 0, terminal = 0;
  bool csv = false, json = false, raw = false;
};

int RunSwipes(const SwipesOptions& o, Io& io) {
  report::Format format = ChooseFormat(o.csv, o.json, o.raw);
  report::TimeRange range = ParseDates([&] { return report::ParseTimeRange(o.from, o.to); });
  store::SwipeQuery query;
  query.from = range.from;
  query.to = range.to;
  for (std::int64_t p : o.persons) query.persons.push_back(static_cast<std::int32_t>(p));
  if (o.port) query.port = o.port;
  if (o.terminal) query.terminal = o.terminal;
  store::RecordStore store = OpenStoreForReading(o);
  query.site = CommandSite(o, DatabaseUse::kRead).filter;
  std::size_t rows = ExportSwipes(store.swipes(), query, format, io.out);
  if (rows == 0 && format == report::Format::Table) io.err << Tr("no stored swipes match") << "\n";
  return kExitOk;
}

}  // namespace

Command SwipesCommand() {
  return {"swipes", TrLater("list stored swipes in time order (a table, CSV or JSON lines)"),
          "vanto swipes [--from DATE[ TIME]] [--to DATE[ TIME]] [--person N]... [--port N] [--terminal N] "
          "[--csv | --json] [--db PATH] [--site FILE]",
          TrLater("Lists the swipes the database holds, ordered by time, with each person's name when\n"
          "'vanto people import' gave one. --from and --to take a date (YYYY-MM-DD) or a date and\n"
          "time (YYYY-MM-DD HH:MM[:SS]); both are inclusive, so --to 2026-03-06 covers that whole\n"
          "day. --person may be given more than once. --csv writes a header row and RFC 4180\n"
          "quoting; --json one JSON object per line. Rows are written as they are read, so memory\n"
          "stays flat however many there are."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<SwipesOptions>();
            p.Text("from", "DATE[ TIME]", TrLater("first day or time to list (inclusive)"), &o->from);
            p.Text("to", "DATE[ TIME]", TrLater("last day or time to list (inclusive)"), &o->to);
            p.Wholes("person", "N", TrLater("only this person (may be given more than once)"), &o->persons,
                     std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
            p.Number("port", "N", TrLater("only swipes downloaded from this port"), &o->port, 1, kMaxPort);
            p.Number("terminal", "N", TrLater("only swipes of this terminal number"), &o->terminal, 1, kMaxTerminal);
            p.Flag("csv", TrLater("CSV with a header row"), &o->csv);
            p.Flag("json", TrLater("one JSON object per line"), &o->json);
            p.Flag("raw", TrLater("with --csv: every value as stored, for programs (no apostrophe before = + - @)"), &o->raw);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunSwipes(*o, io); };
          }};
}

}  // namespace vanto::cli
