// db: work on a whole database; `db copy --from A --to B` copies every table into another store.
#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/progress_line.h"
#include "host/db/civil_time.h"
#include "host/db/sites.h"
#include "host/db_copy.h"
#include "host/db/schema.h"
#include "host/text/messages.h"

#include <cstdio>

namespace vanto::cli {
namespace {

struct DbOptions : DatabaseOptions {
  std::optional<std::string> from, to, site;
  bool quiet = false;
  std::vector<std::string> words;  // "copy", or "assign-site NAME"
};

// Gives every row of no site (stored before the database knew sites) to site NAME, added when
// the database does not hold it; audited.
int RunAssignSite(const DbOptions& o, Io& io) {
  if (o.words.size() != 2) throw UsageError(Tr("name the site: vanto db assign-site NAME"));
  const std::string& name = o.words[1];
  if (auto problem = site::SiteNameProblem(name)) throw UsageError(Translate(*problem));
  if (o.from || o.to || o.site)
    throw UsageError(TrFill("{0}, {1} and {2} belong to 'vanto db copy'", {"--from", "--to", "--site"}));
  auto db = CommandDatabase(o, DatabaseUse::kExisting);
  auto tables = db->Tables(false);
  const std::int64_t given = store::AssignRowsToSite(*tables, name, OsUser());
  db->Audit({0, store::UtcNowText(), OsUser(), "command line", "site.assign",
             std::to_string(given) + " rows of no site given to site " + name});
  io.out << TrFill("{0} rows of no site given to site {1}", {std::to_string(given), name}) << "\n";
  return kExitOk;
}

const char* StageText(CopyStage stage) {
  switch (stage) {
    case CopyStage::kSwipes: return Tr("copying swipes: {0} of {1}");
    case CopyStage::kEnrolments: return Tr("copying enrolments: {0} of {1}");
    case CopyStage::kPeople: return Tr("copying people: {0} of {1}");
    case CopyStage::kRejected: return Tr("copying rejected records: {0} of {1}");
  }
  return "";
}

// What happens to a table the copy leaves out.
std::string LeftOutWords(const std::string& table) {
  if (table == "sessions") return Tr("not copied: everyone signs in again");
  if (table == "schema_version") return Tr("not copied: the destination records its own schema steps");
  if (table == "feed_moves")
    return Tr("not copied: the copy records here where each swipe was in the source's feed");
  if (table == "swipes_withdrawn") return Tr("not copied: the destination holds no withdrawn swipe");
  return Tr("not copied");
}

int RunDbCopy(const DbOptions& o, Io& io) {
  ProgressLine line(o.quiet || !io.progress ? nullptr : &io.err);
  const std::string from = o.from.value_or(""), to = o.to.value_or("");
  CheckCopyLocations(from, to);
  // One handle for each database: the source's first (only read), then the destination's.
  db::DatabaseOptions reading;
  reading.lock_timeout = std::chrono::milliseconds(static_cast<long long>(o.lock_timeout * 1000));
  reading.read_only = true;
  reading.create = false;
  db::DatabaseOptions writing;
  writing.lock_timeout = reading.lock_timeout;
  writing.note_schema_found = true;
  DbCopySettings settings;
  settings.from = db::Database::Open(from, reading);
  settings.to = db::Database::Open(to, writing);
  settings.site = o.site;
  settings.actor = OsUser();
  settings.origin = "command line";
  const DbCopyResult r = CopyDatabase(settings, [&](CopyStage stage, std::int64_t done, std::int64_t total) {
    line.Show(Fill(StageText(stage), {std::to_string(done), std::to_string(total)}), done == total);
  });
  line.Erase();
  auto n = [](std::int64_t v) { return std::to_string(v); };
  auto swipes = [&](std::int64_t v) { return TrNFill("{0} swipe", "{0} swipes", static_cast<unsigned long>(v), {n(v)}); };
  auto enrolments = [&](std::int64_t v) {
    return TrNFill("{0} enrolment", "{0} enrolments", static_cast<unsigned long>(v), {n(v)});
  };
  auto people = [&](std::int64_t v) { return TrNFill("{0} person", "{0} people", static_cast<unsigned long>(v), {n(v)}); };
  io.out << TrFill("copied {0} ({1} new, {2} already there), {3} ({4} new) and {5} ({6} new, {7} with the source's name, "
                   "{8} unchanged) from {9} to {10}; it holds {11}, {12} and {13}",
                   {swipes(r.swipes), n(r.swipes_added), n(r.swipes - r.swipes_added), enrolments(r.enrolments),
                    n(r.enrolments_added), people(r.people), n(r.people_added), n(r.people_updated),
                    n(r.people_unchanged), r.source, r.target, swipes(r.swipes_held), enrolments(r.enrolments_held),
                    people(r.people_held)})
         << "\n";
  io.out << TrNFill("copied {0} rejected record ({1} new); {2} holds {3}",
                    "copied {0} rejected records ({1} new); {2} holds {3}", static_cast<unsigned long>(r.rejected),
                    {n(r.rejected), n(r.rejected_added), r.target, n(r.rejected_held)})
         << "\n";
  if (r.target_schema_before > 0 && r.target_schema_before < r.target_schema_after)
    io.out << TrFill("{0} was brought up to date first, from schema version {1} to {2}",
                     {r.target, n(r.target_schema_before), n(r.target_schema_after)})
           << "\n";
  if (r.site_added)
    io.out << TrFill("site {0} added to {1} (audited as site.add)", {*o.site, r.target}) << "\n";
  if (!r.copied_up_to.empty())
    io.out << TrFill("swipes copied up to feed position {0} of {1}", {r.copied_up_to, r.source}) << "\n";
  // One line per table of the schema, as compared after the copy.
  std::int64_t missing = 0;
  std::string short_table;
  for (const TableCheck& c : r.checks) {
    io.out << c.table << ": ";
    if (c.not_with_site) {
      io.out << Tr("not copied with --site: the destination keeps its own") << "\n";
      continue;
    }
    if (c.copy == store::TableCopy::kLeftOut) {
      io.out << LeftOutWords(c.table) << "\n";
      continue;
    }
    char sums[2][17];
    std::snprintf(sums[0], sizeof sums[0], "%016llx", static_cast<unsigned long long>(c.source_sum));
    std::snprintf(sums[1], sizeof sums[1], "%016llx", static_cast<unsigned long long>(c.target_sum));
    std::string verdict;
    if (c.missing > 0)
      verdict = TrNFill("{0} row missing", "{0} rows missing", static_cast<unsigned long>(c.missing), {n(c.missing)});
    else if (c.target_rows == c.source_rows && c.source_sum == c.target_sum)
      verdict = Tr("the same");
    else
      verdict = TrFill("every one, and {0} more of its own", {n(c.target_rows - c.source_rows)});
    io.out << TrFill("{0} rows, checksum {1}; the destination {2} rows, checksum {3}: {4}",
                     {n(c.source_rows), sums[0], n(c.target_rows), sums[1], verdict})
           << "\n";
    if (c.missing > 0 && short_table.empty()) short_table = c.table;
    missing += c.missing;
  }
  if (!r.endpoints_held_back.empty()) {
    std::string names;
    for (const std::string& e : r.endpoints_held_back) names += (names.empty() ? "" : ", ") + e;
    throw HostError(TrFill("push endpoints {0} were delivered beyond the swipes this run could copy (a transaction "
                           "was still storing swipes in {1}): run the copy again",
                           {names, r.source}));
  }
  if (missing > 0)
    throw HostError(TrFill("the copy from {0} to {1} is incomplete: {2} rows missing (table {3} first); run it again",
                           {r.source, r.target, n(missing), short_table}));
  return kExitOk;
}

}  // namespace

Command DbCommand() {
  return {"db", TrLater("copy every table of one database into another (vanto db copy)"),
          "vanto db copy --from PATH-OR-URL --to PATH-OR-URL [--site NAME] | vanto db assign-site NAME [--db PATH-OR-URL]",
          TrLater("Copies every table of the schema, read from one snapshot of the source:\n"
          "  swipes              every swipe, in feed order (each gets a new feed position in the old order)\n"
          "  enrolment           every fingerprint and password row\n"
          "  people              every person; names and departments come from the source\n"
          "  rejected_records    every quarantined record\n"
          "  log_records         counted again by the destination\n"
          "  conflicts           every conflict, acknowledged or not (numbered anew)\n"
          "  log_epochs          every epoch, naming its conflict's new number\n"
          "  users               every console user, password included (not copied with --site)\n"
          "  sessions            not copied: everyone signs in again\n"
          "  audit               the whole audit trail, in its order (not copied with --site)\n"
          "  sync_runs           every sync run (numbered anew)\n"
          "  sync_run_terminals  every terminal's part of a run\n"
          "  api_tokens          every API token (not copied with --site)\n"
          "  api_token_reads     the reads per hour (not copied with --site)\n"
          "  push_endpoints      every endpoint, going on after the same swipe\n"
          "  feed_moves          not copied: the copy records here each swipe's position in the source\n"
          "  swipes_withdrawn    not copied: the destination holds no withdrawn swipe\n"
          "  sites               every site with its first and last sync and settings\n"
          "  push_key_sites      where push keys begin to carry the site, at the same swipe\n"
          "  shifts              every shift of each site (one the destination holds by name stays)\n"
          "  work_patterns       every work pattern of each site (one held by name stays)\n"
          "  shift_assignments   every assignment of a pattern (numbered anew)\n"
          "  days_off            every holiday and rest day\n"
          "  leave_entries       every leave entry, withdrawn ones too (numbered anew)\n"
          "  corrections         every correction, withdrawn ones too (numbered anew)\n"
          "  closed_months       every closed month, naming its corrections by their new numbers\n"
          "  leave_kinds         each site's leave kinds, in their order\n"
          "  days_reviewed       each day marked reviewed, with who, when and the note\n"
          "  data_changes        not copied: the destination counts its own changes\n"
          "  schema_version      not copied: the destination's own schema steps\n"
          "An older destination is brought up to date first. Rows the destination holds already are\n"
          "kept as they are, so a second run adds nothing and a copy broken off is completed by\n"
          "running it again. Afterwards each table is compared (rows and checksum, a line each) and\n"
          "any row missing makes it exit 3. A feed cursor of the source is refused by the\n"
          "destination's API with its position there. A server's password comes from ~/.pgpass,\n"
          "PGPASSFILE or the PG* variables, never from the command line.\n"
          "With --site NAME only site NAME is copied (a source that holds no site: all of it, as site\n"
          "NAME) into a destination that may hold other sites, which are not touched: the site's rows,\n"
          "its sites row and push endpoints, the logs and epochs of its terminals with identity; not\n"
          "users, sessions, tokens or the audit trail (the destination has its own). A site the\n"
          "destination does not hold is added (audited as site.add); only the site's rows are compared.\n"
          "A consumer of the destination's feed sees the copied swipes at the destination's feed\n"
          "positions, after what it held; an endpoint copied with the site goes on after the same\n"
          "swipe; once the destination holds two sites, version 1 swipes' push keys carry the site.\n"
          "'vanto db assign-site NAME' gives every row stored before the database knew sites to site NAME\n"
          "(the first site file that opens such a database does so itself)."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<DbOptions>();
            p.Words("copy", &o->words, 2);
            p.Text("from", "PATH-OR-URL",
                   TrLater("the database to copy from (an SQLite file or postgresql://USER@HOST:PORT/NAME)"), &o->from);
            p.Text("to", "PATH-OR-URL", TrLater("the database to copy into (created when it is an SQLite file that does not exist)"),
                   &o->to);
            p.Text("site", "NAME", TrLater("copy only site NAME, into a destination that may hold other sites"), &o->site);
            p.Flag("quiet", TrLater("no progress line"), &o->quiet);
            p.Database(&o->db, &o->lock_timeout, 86400);
            return [o](Io& io) {
              if (!o->words.empty() && o->words[0] == "assign-site") return RunAssignSite(*o, io);
              if (o->words.empty() || o->words[0] != "copy")
                throw UsageError(o->words.empty() ? std::string(Tr("'vanto db' needs its action: vanto db copy --from A --to B"))
                                                  : TrFill("unknown action '{0}' (the actions are 'copy' and 'assign-site')", {o->words[0]}));
              if (o->words.size() > 1) throw UsageError(TrFill("unexpected word '{0}'", {o->words[1]}));
              if (!o->from || !o->to) throw UsageError(TrFill("'vanto db copy' needs {0} and {1}", {"--from", "--to"}));
              return RunDbCopy(*o, io);
            };
          }};
}

}  // namespace vanto::cli
