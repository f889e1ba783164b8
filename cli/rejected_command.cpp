// rejected: the records the driver could not convert, kept apart by downloads.
#include "cli/command.h"
#include "cli/command_support.h"
#include "host/text/messages.h"
#include "cli/output.h"

namespace vanto::cli {

int RunRejected(const RejectedOptions& o, Io& io) {
  bool csv = o.csv, json = o.json;
  if (csv && json) throw UsageError(TrFill("{0} and {1} exclude each other", {"--csv", "--json"}));
  // Reading only: a database is neither created nor migrated here.
  store::RecordStore store = OpenStoreForReading(o, o.all_sites);
  constexpr int kRejectedSchemaVersion = 3;  // a database from before holds none
  const auto rejected = store.swipes().schema_version() >= kRejectedSchemaVersion
                            ? store.Rejected(ReadingSite(o, o.all_sites))
                            : std::vector<store::RejectedRecord>{};
  auto log = [](const store::RejectedRecord& r, bool identity) {
    if (!r.log) return std::string();
    return std::to_string(identity ? r.log->identity : r.log->generation);
  };
  if (csv) {
    // The site comes last, with --all-sites: the columns before it stay where they were.
    io.out << "port,terminal,serial,generation,index,person,year,month,day,hour,minute,reason,first_seen"
           << (o.all_sites ? ",site" : "") << "\n";
    for (const auto& r : rejected) {
      io.out << r.port << ',' << r.terminal << ',' << log(r, true) << ',' << log(r, false) << ',' << r.index << ','
             << r.person << ',' << r.year << ',' << r.month << ',' << r.day << ',' << r.hour << ',' << r.minute << ','
             << CsvField(r.reason) << ',' << CsvField(r.first_seen);
      if (o.all_sites) io.out << ',' << CsvField(r.site);
      io.out << '\n';
    }
  } else if (json) {
    io.out << "[";
    for (std::size_t i = 0; i < rejected.size(); ++i) {
      const auto& r = rejected[i];
      auto number = [](const std::string& text) { return text.empty() ? std::string("null") : text; };
      io.out << (i ? ",\n " : "") << "{\"port\": " << r.port << ", \"terminal\": " << r.terminal
             << ", \"serial\": " << number(log(r, true)) << ", \"generation\": " << number(log(r, false))
             << ", \"index\": " << r.index << ", \"person\": " << r.person << ", \"year\": " << r.year
             << ", \"month\": " << r.month << ", \"day\": " << r.day << ", \"hour\": " << r.hour
             << ", \"minute\": " << r.minute << ", \"reason\": " << JsonString(r.reason)
             << ", \"first_seen\": " << JsonString(r.first_seen);
      if (o.all_sites) io.out << ", \"site\": " << JsonString(r.site);
      io.out << "}";
    }
    io.out << "]\n";
  } else if (rejected.empty()) {
    io.out << TrFill("no rejected records ({0})", {store.path()}) << "\n";
  } else {
    std::vector<std::vector<std::string>> rows;
    for (const auto& r : rejected)
      rows.push_back({std::to_string(r.port), std::to_string(r.terminal), log(r, true), log(r, false),
                      std::to_string(r.index), std::to_string(r.person),
                      std::to_string(r.year) + "-" + std::to_string(r.month) + "-" + std::to_string(r.day) + " " +
                          std::to_string(r.hour) + ":" + std::to_string(r.minute),
                      r.reason, r.first_seen});
    if (o.all_sites)
      for (std::size_t i = 0; i < rows.size(); ++i) rows[i].insert(rows[i].begin(), rejected[i].site);
    std::vector<std::string> heads{Tr("PORT"),  Tr("TERMINAL"), Tr("SERIAL"), Tr("GENERATION"), Tr("INDEX"),
                                   Tr("PERSON"), Tr("FIELDS"),  Tr("REASON"), Tr("FIRST SEEN")};
    std::vector<bool> right{true, true, true, true, true, true, false, false, false};
    if (o.all_sites) heads.insert(heads.begin(), Tr("SITE")), right.insert(right.begin(), false);
    WriteTable(io.out, heads, rows, right);
  }
  return kExitOk;
}

Command RejectedCommand() {
  return {"rejected", TrLater("list the records the driver could not convert"),
          "vanto rejected [--csv | --json] [--all-sites] [--db PATH] [--site FILE]",
          TrLater("Each with the terminal's serial number, log generation and record index, the raw fields\n"
          "the terminal holds, why it was rejected and when it was first met. The chosen site's\n"
          "records; --all-sites lists every site's, each with its site."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<RejectedOptions>();
            p.Flag("csv", TrLater("print them as CSV"), &o->csv);
            p.Flag("json", TrLater("print them as JSON"), &o->json);
            p.Flag("all-sites", TrLater("list every site's records, each with its site"), &o->all_sites);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunRejected(*o, io); };
          }};
}

}  // namespace vanto::cli
