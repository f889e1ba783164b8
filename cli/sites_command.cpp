// The sites a database holds: `vanto site add NAME`, `vanto site rename OLD NEW` (an
// administrator's acts, audited) and `vanto site list`.
#include <nlohmann/json.hpp>

#include <chrono>

#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "host/db/civil_time.h"
#include "host/db/sites.h"
#include "host/site_view.h"
#include "host/text/messages.h"

namespace vanto::cli {
namespace {

struct SiteNamesOptions : DatabaseOptions {
  std::vector<std::string> words;
  bool json = false;
};

std::string NameList(const std::vector<store::SiteRow>& sites) {
  std::string list;
  for (const store::SiteRow& s : sites) list += (list.empty() ? "" : ", ") + s.name;
  return list.empty() ? std::string(Tr("none")) : list;
}

bool Holds(const std::vector<store::SiteRow>& sites, const std::string& name) {
  for (const store::SiteRow& s : sites)
    if (s.name == name) return true;
  return false;
}

void CheckName(const std::string& name) {
  if (auto problem = site::SiteNameProblem(name)) throw UsageError(Translate(*problem));
}

// A site may not take the name another site's push keys carry (its name before a rename): the
// two would key their version 1 swipes alike. `renamed`: the site being renamed, which may.
void RefuseKeyName(db::Database& db, store::TableConnection& tables, const std::string& name,
                   const std::string& renamed = "") {
  if (auto holder = store::SiteKeyedAs(tables, name); holder && *holder != renamed)
    throw UsageError(TrFill("database {0}: site {1} was named {2} once and its push keys carry that name for good, so "
                            "no other site may be named {2}: choose another name",
                            {db.location(), *holder, name}));
}

void AuditSite(db::Database& db, const std::string& action, const std::string& details) {
  db.Audit({0, store::UtcNowText(), OsUser(), "command line", action, details});
}

int RunSiteAdd(const SiteNamesOptions& o, Io& io) {
  if (o.words.size() != 1) throw UsageError(Tr("name the site to add: vanto site add NAME"));
  const std::string& name = o.words[0];
  CheckName(name);
  auto db = CommandDatabase(o, DatabaseUse::kWrite);
  auto tables = db->Tables(false);
  if (Holds(store::ListSites(*tables), name)) {
    io.out << TrFill("database {0} holds site {1} already", {db->location(), name}) << "\n";
    return kExitOk;
  }
  RefuseKeyName(*db, *tables, name);
  // The first site of a database takes its rows of no site (stored before it knew sites).
  if (auto taken = store::AdoptFirstSite(*tables, name, OsUser())) {
    AuditSite(*db, "site.add", "site " + name + " added, with " + std::to_string(*taken) + " rows of no site");
    io.out << TrFill("site {0} added; it takes the {1} rows stored before the database knew sites",
                     {name, std::to_string(*taken)})
           << "\n";
    return kExitOk;
  }
  store::AddSite(*tables, name, OsUser());
  AuditSite(*db, "site.add", "site " + name + " added");
  io.out << TrFill("site {0} added", {name}) << "\n";
  return kExitOk;
}

int RunSiteRename(const SiteNamesOptions& o, Io& io) {
  if (o.words.size() != 2) throw UsageError(Tr("name the site and its new name: vanto site rename OLD NEW"));
  const std::string &from = o.words[0], &to = o.words[1];
  CheckName(from);
  CheckName(to);
  auto db = CommandDatabase(o, DatabaseUse::kWrite);
  auto tables = db->Tables(false);
  const std::vector<store::SiteRow> sites = store::ListSites(*tables);
  if (!Holds(sites, from))
    throw UsageError(TrFill("database {0} holds no site {1} (it holds {2})", {db->location(), from, NameList(sites)}));
  if (Holds(sites, to)) throw UsageError(TrFill("database {0} holds a site {1} already", {db->location(), to}));
  RefuseKeyName(*db, *tables, to, from);
  store::RenameSite(*tables, from, to);
  AuditSite(*db, "site.rename", "site " + from + " renamed " + to);
  io.out << TrFill("site {0} renamed {1}: give its site file site = \"{1}\"", {from, to}) << "\n";
  return kExitOk;
}

nlohmann::ordered_json TerminalJson(const host::SiteTerminalView& v) {
  const host::TerminalFigures& t = v.figures;
  nlohmann::ordered_json row{{"port", t.port}, {"terminal", t.terminal}};
  row["identity"] = t.identity ? nlohmann::ordered_json(*t.identity) : nlohmann::ordered_json(nullptr);
  row["last_complete_sync"] = t.last_complete_sync ? nlohmann::ordered_json(*t.last_complete_sync) : nlohmann::ordered_json(nullptr);
  row["stale"] = v.stale;
  row["swipes"] = t.swipes;
  row["conflicts_open"] = t.conflicts_open;
  row["rejected"] = t.rejected;
  return row;
}

int RunSiteList(const SiteNamesOptions& o, Io& io) {
  auto db = CommandDatabase(o, DatabaseUse::kRead);
  const host::SitesOverview overview = host::ReadSitesOverview(*db, std::chrono::system_clock::now());
  nlohmann::ordered_json pushes = nlohmann::ordered_json::array();
  for (const host::PushFigures& p : overview.pushes)
    pushes.push_back({{"endpoint", p.endpoint}, {"backlog", p.backlog}, {"failures", p.failures}, {"delivered", p.delivered}});
  if (o.json) {
    for (const host::SiteView& s : overview.sites) {
      nlohmann::ordered_json row{{"site", s.name},           {"timezone", s.timezone},   {"first_sync", s.first_sync},
                                 {"last_sync", s.last_sync}, {"last_host", s.last_host}, {"stale_after", s.stale_after}};
      nlohmann::ordered_json ports = nlohmann::ordered_json::array();
      for (const host::SitePortView& p : s.ports)
        ports.push_back({{"number", p.number}, {"terminals", p.terminals}, {"scan", p.scan}});
      row["ports"] = std::move(ports);
      nlohmann::ordered_json terminals = nlohmann::ordered_json::array();
      for (const host::SiteTerminalView& t : s.terminals) terminals.push_back(TerminalJson(t));
      row["terminals"] = std::move(terminals);
      row["stale"] = s.stale;
      row["conflicts_open"] = s.conflicts_open;
      row["rejected"] = s.rejected;
      row["push"] = pushes;
      io.out << row.dump() << "\n";
    }
    return kExitOk;
  }
  if (overview.sites.empty()) {
    io.err << TrFill("database {0} holds no site yet (the first site file that syncs names it)", {db->location()})
           << "\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const host::SiteView& s : overview.sites) {
    std::string terminals;
    for (const host::SitePortView& port : s.ports) {
      std::string list;
      for (int t : port.terminals) list += (list.empty() ? "" : ",") + std::to_string(t);
      terminals += (terminals.empty() ? "" : " ") + std::to_string(port.number) + ":" + list;
    }
    rows.push_back({s.name, s.last_sync.empty() ? std::string(Tr("never")) : s.last_sync,
                    s.last_host.empty() ? "-" : s.last_host, s.timezone.empty() ? "-" : s.timezone,
                    terminals.empty() ? "-" : terminals, std::to_string(s.stale), std::to_string(s.conflicts_open)});
  }
  WriteTable(io.out,
             {Tr("SITE"), Tr("LAST SYNC"), Tr("HOST"), Tr("TIME ZONE"), Tr("PORT:TERMINALS"), Tr("STALE"),
              Tr("CONFLICTS")},
             rows, {false, false, false, false, false, true, true});
  std::vector<std::vector<std::string>> terminal_rows;
  for (const host::SiteView& s : overview.sites)
    for (const host::SiteTerminalView& v : s.terminals) {
      const host::TerminalFigures& t = v.figures;
      terminal_rows.push_back({s.name, std::to_string(t.port), std::to_string(t.terminal),
                               t.identity ? std::to_string(*t.identity) : "-",
                               t.last_complete_sync ? *t.last_complete_sync : std::string(Tr("never")),
                               v.stale ? std::string(Tr("stale")) : "", std::to_string(t.conflicts_open),
                               std::to_string(t.rejected)});
    }
  if (!terminal_rows.empty()) {
    io.out << "\n";
    WriteTable(io.out,
               {Tr("SITE"), Tr("PORT"), Tr("TERMINAL"), Tr("SERIAL"), Tr("LAST COMPLETE SYNC"), Tr("STATE"),
                Tr("CONFLICTS"), Tr("REJECTED")},
               terminal_rows, {false, true, true, true, false, false, true, true});
  }
  if (!overview.pushes.empty()) {
    std::vector<std::vector<std::string>> push_rows;
    for (const host::PushFigures& p : overview.pushes)
      push_rows.push_back({p.endpoint, std::to_string(p.backlog), std::to_string(p.failures), std::to_string(p.delivered)});
    io.out << "\n";
    WriteTable(io.out, {Tr("ENDPOINT"), Tr("BACKLOG"), Tr("FAILURES"), Tr("DELIVERED")}, push_rows,
               {false, true, true, true});
  }
  return kExitOk;
}

Run Declare(Parser& p, const std::string& words, std::size_t max, int (*run)(const SiteNamesOptions&, Io&),
            bool json = false) {
  auto o = std::make_shared<SiteNamesOptions>();
  if (max) p.Words(words, &o->words, max);
  if (json) p.Flag("json", TrLater("one JSON object per site and line"), &o->json);
  p.Database(&o->db, &o->lock_timeout);
  p.Site(SiteNeed::kOptional);
  return [o, run](Io& io) { return run(*o, io); };
}

}  // namespace

Command SiteAddCommand() {
  return {"site add", TrLater("let a database hold another site (audited)"), "vanto site add NAME [--db PATH-OR-URL] [--site FILE]",
          TrLater("A database that holds sites stores a site file's swipes only when it holds the site the file\n"
          "names: add a new site first. The first site of a database takes every row stored before\n"
          "the database knew sites."),
          [](Parser& p) { return Declare(p, "NAME", 1, RunSiteAdd); }};
}

Command SiteRenameCommand() {
  return {"site rename", TrLater("rename a site of the database, with all its rows (audited)"),
          "vanto site rename OLD NEW [--db PATH-OR-URL] [--site FILE]",
          TrLater("Every row of site OLD becomes NEW's; then name NEW in its site file (site = \"NEW\")."),
          [](Parser& p) { return Declare(p, "OLD NEW", 2, RunSiteRename); }};
}

Command SiteListCommand() {
  return {"site list", TrLater("list the sites of the database: last sync, stale terminals, conflicts, push backlog"),
          "vanto site list [--json] [--db PATH-OR-URL] [--site FILE]",
          TrLater("Each site the database holds, with its last sync, the host that ran it, and the ports and\n"
          "terminals it ran with; each terminal's last complete sync (stale when older than the site file's\n"
          "stale_after, 24 h unless it says), its open conflicts and rejected records; each push endpoint's\n"
          "backlog."),
          [](Parser& p) { return Declare(p, "", 0, RunSiteList, true); }};
}

}  // namespace vanto::cli
