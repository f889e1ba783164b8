// conflicts: the records terminals delivered under a key the database holds with other content,
// and their acknowledgement (audited under the operating-system user's name).
#include <pwd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "accounts/accounts.h"
#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/output.h"
#include "host/conflicts.h"
#include "host/text/messages.h"

namespace vanto::cli {
namespace {

struct ConflictsOptions : DatabaseOptions {
  std::vector<std::string> words;  // [ack ID | fold]
  bool all = false, csv = false, json = false, dry_run = false, all_sites = false;
};

std::string OsUserName() {
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) return pw->pw_name;
  return "uid " + std::to_string(geteuid());
}

// The same keys for CSV and JSON, whatever the language.
const std::vector<std::string> kKeys = {"id",         "found_at",        "port",           "terminal",
                                        "serial",     "generation",      "epoch",          "index",
                                        "person",     "time",            "stored_person",  "stored_time",
                                        "stored_port", "stored_terminal", "acknowledged_by", "acknowledged_at"};

// `with_site` (a listing of every site): the site comes last.
nlohmann::ordered_json Row(const store::RecordConflict& c, bool with_site) {
  nlohmann::ordered_json row = {{"id", c.id},
          {"found_at", c.found_at},
          {"port", c.port},
          {"terminal", c.terminal},
          {"serial", c.log.identity},
          {"generation", c.log.generation},
          {"epoch", c.log.epoch},
          {"index", c.index},
          {"person", c.person},
          {"time", c.time},
          {"stored_person", c.stored_person},
          {"stored_time", c.stored_time},
          {"stored_port", c.stored_port},
          {"stored_terminal", c.stored_terminal},
          {"acknowledged_by", c.acknowledged ? nlohmann::ordered_json(c.acknowledged_by) : nlohmann::ordered_json(nullptr)},
          {"acknowledged_at", c.acknowledged ? nlohmann::ordered_json(c.acknowledged_at) : nlohmann::ordered_json(nullptr)}};
  if (with_site) row["site"] = c.site;
  return row;
}

// Each double: the record (serial, generation, index), whose and when, and the epochs of the
// row kept and of the row stored again.
void WriteDoubles(const std::vector<store::StoredDouble>& doubles, Io& io) {
  std::vector<std::vector<std::string>> rows;
  for (const store::StoredDouble& d : doubles)
    rows.push_back({std::to_string(d.kept.identity.value_or(0)), std::to_string(d.kept.generation.value_or(0)),
                    std::to_string(d.kept.index.value_or(0)), std::to_string(d.kept.person), d.kept.time,
                    std::to_string(d.kept.epoch), std::to_string(d.doubled.epoch)});
  WriteTable(io.out, {Tr("SERIAL"), Tr("GENERATION"), Tr("INDEX"), Tr("PERSON"), Tr("TIME"), Tr("KEPT EPOCH"),
                      Tr("DOUBLE EPOCH")},
             rows, {true, true, true, true, false, true, true});
}

int List(const ConflictsOptions& o, Io& io) {
  store::RecordStore store = OpenStoreForReading(o, o.all_sites);
  const std::vector<store::RecordConflict> conflicts = ListConflicts(store, o.all, ReadingSite(o, o.all_sites));
  if (o.json) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const auto& c : conflicts) rows.push_back(Row(c, o.all_sites));
    io.out << rows.dump(2) << "\n";
    return kExitOk;
  }
  if (o.csv) {
    std::vector<std::string> keys = kKeys;
    if (o.all_sites) keys.push_back("site");
    for (std::size_t i = 0; i < keys.size(); ++i) io.out << (i ? "," : "") << keys[i];
    io.out << "\n";
    for (const auto& c : conflicts) {
      const nlohmann::ordered_json row = Row(c, o.all_sites);
      bool first = true;
      for (const std::string& key : keys) {
        const auto& value = row.at(key);
        io.out << (first ? "" : ",") << (value.is_string() ? CsvField(value.get<std::string>()) : value.is_null() ? "" : value.dump());
        first = false;
      }
      io.out << "\n";
    }
    return kExitOk;
  }
  const std::vector<store::StoredDouble> doubles = ListDoubles(store);
  if (!doubles.empty()) {
    io.out << TrFill("{0} swipes stored twice under two epochs of one log ('vanto conflicts fold' keeps the first):",
                     {std::to_string(doubles.size())})
           << "\n";
    WriteDoubles(doubles, io);
    io.out << "\n";
  }
  if (conflicts.empty()) {
    io.out << (o.all ? TrFill("no conflicts ({0})", {store.path()})
                     : TrFill("no conflicts waiting for acknowledgement ({0})", {store.path()}))
           << "\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const auto& c : conflicts) {
    rows.push_back({std::to_string(c.id), c.found_at, std::to_string(c.port), std::to_string(c.terminal),
                    std::to_string(c.log.identity), std::to_string(c.log.generation), std::to_string(c.index),
                    std::to_string(c.stored_person) + " " + c.stored_time, std::to_string(c.person) + " " + c.time,
                    c.acknowledged ? c.acknowledged_by + " " + c.acknowledged_at : ""});
    if (o.all_sites) rows.back().insert(rows.back().begin(), c.site);
  }
  std::vector<std::string> heads{Tr("ID"), Tr("FOUND"), Tr("PORT"), Tr("TERMINAL"), Tr("SERIAL"), Tr("GENERATION"),
                                 Tr("INDEX"), Tr("STORED"), Tr("DELIVERED"), Tr("ACKNOWLEDGED")};
  std::vector<bool> right{true, false, true, true, true, true, true, false, false, false};
  if (o.all_sites) heads.insert(heads.begin(), Tr("SITE")), right.insert(right.begin(), false);
  WriteTable(io.out, heads, rows, right);
  return kExitOk;
}

int Acknowledge(const ConflictsOptions& o, Io& io) {
  if (o.all || o.csv || o.json) throw UsageError(Tr("ack takes no --all, --csv or --json"));
  const std::string& text = o.words[1];
  std::int64_t id = 0;
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos ||
      (id = std::stoll(text)) <= 0)
    throw UsageError(TrFill("no conflict number: {0} (see 'vanto conflicts')", {text}));
  store::RecordStore store = OpenStore(o, false);
  if (store.swipes().schema_version() < kConflictsSchemaVersion)
    throw UsageError(TrFill("there is no conflict {0} in {1}", {text, store.path()}));
  const std::string by = OsUserName();
  const Acknowledgement ack = AcknowledgeConflict(store, id, by, CommandSite(o, DatabaseUse::kExisting).filter);
  switch (ack.outcome) {
    case AcknowledgeOutcome::kNoSuchConflict:
      throw UsageError(TrFill("there is no conflict {0} in {1}", {text, store.path()}));
    case AcknowledgeOutcome::kAlreadyAcknowledged:
      io.out << TrFill("conflict {0} was acknowledged already, by {1} at {2}",
                       {text, ack.conflict.acknowledged_by, ack.conflict.acknowledged_at})
             << "\n";
      return kExitOk;
    case AcknowledgeOutcome::kAcknowledged:
      break;
  }
  // The audit trail: who acknowledged which conflict, from the command line.
  try {
    accounts::Accounts accounts(CommandDatabase(o, DatabaseUse::kExisting)->Accounts());
    const store::RecordConflict& c = ack.conflict;
    accounts.Audit(accounts::Actor{by, "command line"}, "conflict.acknowledge",
                   "conflict " + text + ": serial " + std::to_string(c.log.identity) + ", generation " +
                       std::to_string(c.log.generation) + ", record " + std::to_string(c.index));
  } catch (const std::exception& e) {
    io.err << "vanto conflicts: "
           << TrFill("conflict {0} is acknowledged, but the audit trail could not be written: {1}", {text, Translate(e)})
           << "\n";
    return kExitHost;
  }
  io.out << TrFill("conflict {0} acknowledged by {1}", {text, by}) << "\n";
  return kExitOk;
}

int Fold(const ConflictsOptions& o, Io& io) {
  if (o.all || o.csv || o.json) throw UsageError(Tr("fold takes no --all, --csv or --json"));
  if (o.dry_run) {
    store::RecordStore store = OpenStoreForReading(o);
    const std::vector<store::StoredDouble> doubles = ListDoubles(store);
    if (doubles.empty()) {
      io.out << TrFill("no swipes stored twice ({0})", {store.path()}) << "\n";
      return kExitOk;
    }
    io.out << TrFill("would fold {0} swipes stored twice ({1}):", {std::to_string(doubles.size()), store.path()}) << "\n";
    WriteDoubles(doubles, io);
    return kExitOk;
  }
  store::RecordStore store = OpenStore(o, false);
  const std::vector<store::StoredDouble> folded = FoldDoubles(store, OsUserName(), "command line");
  if (folded.empty()) {
    io.out << TrFill("no swipes stored twice ({0})", {store.path()}) << "\n";
    return kExitOk;
  }
  io.out << TrFill("folded {0} swipes stored twice ({1}); the feed withdraws each of them:",
                   {std::to_string(folded.size()), store.path()})
         << "\n";
  WriteDoubles(folded, io);
  return kExitOk;
}

int RunConflicts(const ConflictsOptions& o, Io& io) {
  if (o.csv && o.json) throw UsageError(TrFill("{0} and {1} exclude each other", {"--csv", "--json"}));
  if (o.dry_run && (o.words.empty() || o.words[0] != "fold")) throw UsageError(Tr("--dry-run goes with fold"));
  if (o.words.empty()) return List(o, io);
  if (o.all_sites) throw UsageError(Tr("--all-sites is for listing; 'ack' and 'fold' act on the chosen site"));
  if (o.words[0] == "fold" && o.words.size() == 1) return Fold(o, io);
  if (o.words[0] != "ack" || o.words.size() != 2) throw UsageError(Tr("usage: vanto conflicts [ack ID | fold [--dry-run]]"));
  return Acknowledge(o, io);
}

}  // namespace

Command ConflictsCommand() {
  return {"conflicts", TrLater("list the records terminals delivered against other stored ones, and acknowledge them"),
          "vanto conflicts [--all] [--all-sites] [--csv | --json] | ack ID | fold [--dry-run] [--db PATH] [--site FILE]",
          TrLater("A terminal reset to a log generation seen before, or two terminals telling one identity,\n"
          "deliver records under keys the database holds with other content. Both records are kept\n"
          "(the terminal's log goes on in a new epoch) and the conflict is listed here until it is\n"
          "acknowledged; --all lists acknowledged ones too. The listing and 'ack' take the chosen\n"
          "site's conflicts (--all-sites lists every site's, each with its site). 'ack ID'\n"
          "acknowledges one under your operating-system user's name and writes it to the audit trail.\n"
          "Earlier versions stored a terminal's log again when it was read on another port: the\n"
          "listing names such swipes stored twice, and 'fold' keeps the first of each, removes the\n"
          "other, withdraws it in the feed and writes the audit trail (--dry-run only lists them)."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<ConflictsOptions>();
            p.Words("[ack ID | fold]", &o->words, 2);
            p.Flag("all", TrLater("list acknowledged conflicts too"), &o->all);
            p.Flag("csv", TrLater("print them as CSV"), &o->csv);
            p.Flag("json", TrLater("print them as JSON"), &o->json);
            p.Flag("all-sites", TrLater("list every site's conflicts, each with its site"), &o->all_sites);
            p.Flag("dry-run", TrLater("with fold: list what would be folded, change nothing"), &o->dry_run);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunConflicts(*o, io); };
          }};
}

}  // namespace vanto::cli
