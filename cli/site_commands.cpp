// sync, check, site init and site show: the commands that work on the whole site.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/atomic_file.h"
#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/commands.h"
#include "host/components.h"
#include "host/control_status.h"
#include "host/machine.h"
#include "host/text/messages.h"
#include "cli/output.h"
#include "cli/progress_line.h"
#include "cli/site_use.h"
#include "host/store/record_store.h"
#include "host/database_location.h"
#include "host/sync.h"
#include "host/terminal_sync.h"
#include "cli/version.h"
#include "platform/automation/module_resources.h"
#include "platform/automation/registry.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "driver/identifiers.h"
#include "terminal/control/settings.h"

namespace vanto::cli {
namespace {

namespace fs = std::filesystem;

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string OutcomeText(const TerminalSync& row) {
  if (row.ok) return Tr("synced");
  if (row.cancelled)
    return TrNFill("cancelled: {0} record delivered, {1} new stored", "cancelled: {0} records delivered, {1} new stored",
                   static_cast<unsigned long>(row.delivered), {std::to_string(row.delivered), std::to_string(row.added)});
  if (row.quarantined > 0 && row.cause.find('\n') == std::string::npos && row.message.empty())
    return TrFill("synced; {0}", {row.cause});
  return TrFill("failed: {0}", {row.cause});
}

// Where the module the registry names for `prog_id` lives, and the version its resource gives.
struct ModuleInfo {
  std::string path, version, problem;
};
ModuleInfo Module(const char16_t* prog_id) {
  ModuleInfo info;
  std::string clsid;
  if (FAILED(ReadRegistryValue(ToUtf8(prog_id) + "\\CLSID", "", &clsid))) {
    info.problem = TrFill("not registered in {0}", {RegistryLocation()});
    return info;
  }
  if (FAILED(ReadRegistryValue("CLSID\\" + clsid + "\\InprocServer32", "", &info.path)) || info.path.empty()) {
    info.problem = TrFill("registered without a module path in {0}", {RegistryLocation()});
    return info;
  }
  info.version = ModuleVersionText(info.path);
  return info;
}

}  // namespace

int RunSync(const SyncOptions& o, Io& io) {
  const site::Site* site = CurrentSite();
  if (!site) throw HostError("no site");  // UseSite(required) refused before
  if (o.quiet && o.progress) throw UsageError(Tr("--quiet and --progress exclude each other"));
  SyncSettings options;
  options.database = DatabasePath(o.db, true);
  options.lock_timeout = o.lock_timeout;
  options.all = o.all;
  const bool progress = o.progress || (io.progress && !o.quiet && !o.json);
  std::vector<int> ports;
  for (const auto& port : site->ports) ports.push_back(port.number);
  // --progress without cursor codes: a line per change.
  ProgressBoard board(progress ? &io.err : nullptr, ports, Tr("waiting"), !io.progress);
  options.on_progress = [&](int port, const PortProgress& p) {
    std::string text;
    const std::string label = TrFill("terminal {0} ({1} of {2})", {std::to_string(p.terminal), std::to_string(p.index),
                                                                  std::to_string(p.count)});
    switch (p.stage) {
      case PortProgress::Stage::kScanning:
        text = TrFill("looking for terminals {0}-{1}", {std::to_string(p.first), std::to_string(p.last)});
        break;
      case PortProgress::Stage::kStarting: text = label + ": " + Tr("starting"); break;
      case PortProgress::Stage::kReading: {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.0f", p.rate);
        text = label + ": " + TrNFill("{0} record, {1} records/s", "{0} records, {1} records/s",
                                        static_cast<unsigned long>(p.records), {std::to_string(p.records), rate});
        break;
      }
      case PortProgress::Stage::kDone: text = Tr("done"); break;
    }
    board.Set(port, TrFill("port {0}: {1}", {std::to_string(port), text}), p.stage != PortProgress::Stage::kReading);
  };
  PreferLargeRecordBatches();
  // The host's part first: a database that cannot be opened stops the sync before any traffic.
  {
    store::OpenOptions open;
    open.lock_timeout = std::chrono::milliseconds(static_cast<long long>(options.lock_timeout * 1000));
    store::RecordStore::Open(options.database, open);
  }
  std::vector<TerminalSync> rows = SyncSite(*site, options);
  board.Finish();

  bool host_failed = false, failed = false;
  for (const TerminalSync& r : rows) host_failed |= r.host_failed, failed |= !r.ok;
  if (o.json) {
    nlohmann::ordered_json terminals = nlohmann::ordered_json::array();
    for (const TerminalSync& r : rows) {
      nlohmann::ordered_json row = {{"port", r.port},
                            {"terminal", r.terminal ? nlohmann::ordered_json(r.terminal) : nlohmann::ordered_json(nullptr)},
                            {"delivered", r.delivered},
                            {"new", r.added},
                            {"seconds", std::round(r.seconds * 1000) / 1000},
                            {"outcome", r.ok ? "synced" : "failed"}};
      if (r.quarantined) row["quarantined"] = r.quarantined;
      if (!r.ok) row["cause"] = r.cause;
      if (!r.message.empty()) row["message"] = r.message;
      if (!r.warning.empty()) row["warning"] = r.warning;
      terminals.push_back(row);
    }
    nlohmann::ordered_json summary = {{"site", site->path}, {"database", ShownLocation(options.database)}, {"terminals", terminals}};
    io.out << summary.dump(2) << "\n";
  } else {
    std::vector<std::vector<std::string>> table;
    for (const TerminalSync& r : rows)
      table.push_back({std::to_string(r.port), r.terminal ? std::to_string(r.terminal) : "-", std::to_string(r.delivered),
                       std::to_string(r.added), Fixed(r.seconds, 1), OutcomeText(r)});
    WriteTable(io.out, {Tr("PORT"), Tr("TERMINAL"), Tr("DELIVERED"), Tr("NEW"), Tr("SECONDS"), Tr("OUTCOME")}, table,
               {true, true, true, true, true, false});
  }
  for (const TerminalSync& r : rows)
    if (!r.warning.empty()) io.err << "vanto sync: " << Tr("warning") << ": " << r.warning << "\n";
  for (const TerminalSync& r : rows) {
    if (r.ok) continue;
    const std::string driver = DriverSaid(r.message);
    const std::string where = r.terminal ? TrFill("port {0}, terminal {1}", {std::to_string(r.port), std::to_string(r.terminal)})
                                         : TrFill("port {0}", {std::to_string(r.port)});
    io.err << "vanto sync: " << where << ": " << r.cause << (driver.empty() ? "" : " (" + driver + ")") << "\n";
  }
  if (host_failed) return kExitHost;
  return failed ? kExitFalse : kExitOk;
}

int RunCheck(const CheckOptions& o, Io& io) {
  const site::Site* site = CurrentSite();
  bool all = true;
  auto report = [&](bool ok, const std::string& text) {
    io.out << (ok ? "ok    " : "FAIL  ") << text << "\n";  // fixed words, for scripts
    all &= ok;
  };
  report(true, TrFill("site file {0} ({1} ports)", {site->path, std::to_string(site->ports.size())}));

  // Modules: registered (registering them when not), loadable, their paths and versions.
  try {
    PrepareComponents();
    for (const char16_t* prog_id : {kProgIdClsMachine, kProgIdTerminalControl}) {
      ModuleInfo m = Module(prog_id);
      report(m.problem.empty(), ToUtf8(prog_id) + ": " +
                                    (m.problem.empty() ? TrFill("{0} ({1}), loads", {m.path, m.version}) : m.problem));
    }
  } catch (const HostError& e) {
    report(false, TrFill("modules: {0}", {e.what()}));
    return kExitHost;
  }

  // The database: opened for reading (never created nor migrated: check only looks), and a
  // database file and its folder writable (SQLite writes its journal beside the file).
  const std::string location = DatabasePath(o.db, false);
  const std::string db = ShownLocation(location);  // as messages name it
  const bool file = !store::IsDatabaseUrl(location);
  std::error_code exists_error;
  if (file && !fs::exists(location, exists_error)) {
    fs::path folder = fs::absolute(location).parent_path();
    while (!folder.empty() && !fs::exists(folder, exists_error) && folder != folder.parent_path()) folder = folder.parent_path();
    if (::access(folder.c_str(), W_OK) != 0)
      report(false, TrFill("database {0} does not exist and folder {1} is not writable by this user", {db, folder.string()}));
    else
      report(true, TrFill("database {0} does not exist yet; the first sync creates it", {db}));
  } else {
    try {
      store::RecordStore store(
          store::OpenSwipeStoreForReading(location, std::chrono::milliseconds(static_cast<long long>(o.lock_timeout * 1000))));
      if (file) {
        fs::path folder = fs::absolute(location).parent_path();
        if (::access(location.c_str(), W_OK) != 0)
          report(false, TrFill("database {0} is not writable by this user", {db}));
        else if (::access(folder.c_str(), W_OK) != 0)
          report(false, TrFill("database folder {0} is not writable by this user", {folder.string()}));
        else
          report(true, TrFill("database {0} is writable", {db}));
      } else {
        report(true, TrFill("database {0} opens", {db}));
      }
    } catch (const store::StoreError& e) {
      report(false, TrFill("database: {0}", {ShownMessage(e.what(), location)}));
    }
  }

  // Each port's device, then each listed terminal.
  ControlStatus control = ControlStatus::Create();
  Machine machine = Machine::Create();
  for (const site::SitePort& port : site->ports) {
    if (auto cause = control.CheckOpens(port.number)) {
      report(false, DescribeCause(port.number, *cause));
      continue;
    }
    report(true, TrFill("port {0} ({1}) opens", {std::to_string(port.number), control.Status(port.number).device}));
    std::set<int> answered;
    auto scan = [&](int first, int last) {
      std::vector<FoundTerminal> found;
      Outcome outcome = machine.Scan({port.number, port.number}, {first, last}, &found);
      for (const FoundTerminal& f : found) answered.insert(f.terminal);
      if (!outcome.ok)
        report(false, TrFill("port {0}", {std::to_string(port.number)}) + ": " + Tr("the scan failed") +
                          (outcome.message.empty() ? "" : " (" + DriverSaid(outcome.message) + ")"));
    };
    if (port.scan)
      scan(port.terminals.front(), port.terminals.back());
    else
      for (int t : port.terminals) scan(t, t);
    if (port.scan) {
      report(!answered.empty(), TrNFill("port {0}: {1} terminal answers in {2}-{3}",
                                        "port {0}: {1} terminals answer in {2}-{3}", answered.size(),
                                        {std::to_string(port.number), std::to_string(answered.size()),
                                        std::to_string(port.terminals.front()), std::to_string(port.terminals.back())}));
      continue;
    }
    for (int t : port.terminals) {
      const std::string number = std::to_string(port.number), terminal = std::to_string(t);
      if (answered.count(t))
        report(true, TrFill("port {0}, terminal {1} answers", {number, terminal}));
      else
        report(false, TrFill("port {0}, terminal {1} does not answer", {number, terminal}));
    }
  }
  return all ? kExitOk : kExitFalse;
}

int RunSiteShow(const DatabaseOptions& o, Io& io) {
  const site::Site* site = CurrentSite();
  std::vector<site::Effective> rows = site::EffectiveSettings(*site, ProcessEnvironment(), o.db);
  std::vector<std::vector<std::string>> table = {{"site file", site->path, CurrentSiteOrigin()}};
  for (auto& r : rows) {
    if (r.name == "database" && r.origin == "default") {
      r.value = DefaultDatabasePath();
    } else if (r.name == "database" && r.origin != "--db" && r.origin != std::string("$") + site::kDatabaseVariable) {
      if (auto db = SiteDatabase(*site)) r.value = *db;
      else r.value = DefaultDatabasePath();
    }
    if (r.name == "database") r.value = ShownLocation(r.value);
    table.push_back({r.name, r.value, r.origin});
  }
  WriteTable(io.out, {Tr("SETTING"), Tr("VALUE"), Tr("FROM")}, table, {false, false, false});
  return kExitOk;
}

int RunSiteInit(const SiteInitOptions& o, Io& io) {
  if (o.ports.first == 0) throw UsageError(TrFill("missing option '{0}'", {"--ports"}));
  const Range ports = o.ports, terminals = o.terminals;
  site::SiteLocation where = site::LocateSite(o.site, ProcessEnvironment());
  std::error_code ec;
  if (fs::exists(where.path, ec) && !o.force)
    throw UsageError(TrFill("the site file {0} exists already (give --force to replace it)", {where.path}));
  // The file would keep a password where others may read it.
  if (o.db && LocationHoldsPassword(*o.db))
    throw UsageError(TrFill("--db {0}: {1}; {2}", {ShownLocation(*o.db), Tr("holds a password"), site::PasswordAdvice()}));

  Machine machine = Machine::Create();
  ControlStatus control = ControlStatus::Create();
  std::vector<FoundTerminal> found;
  Outcome outcome = machine.Scan(ports, terminals, &found);
  std::ostringstream text;
  text << "# The site file of vanto, written by 'vanto site init --ports " << ports.first << "-" << ports.last
       << " --terminals " << terminals.first << "-" << terminals.last << "'.\n"
       << "# Environment variables (VANTO_DB, VANTO_FK_*) override what is here, for one run.\n\n"
       << "# The database: a file (relative to this file's folder) or a postgresql:// address.\n";
  if (auto db = o.db)
    text << "database = " << nlohmann::json(*db).dump() << "\n";
  else
    text << "# database = \"/var/lib/vanto/vanto.db\"\n";
  text << "\n# When a working day starts, for reports (HH:MM).\nday_starts = \"00:00\"\n\n"
       << "# Line settings of every port; a [[port]] may override any of them.\n[line]\n";
  for (const site::LineKey& key : site::LineKeys()) {
    long long fallback = 0;
    for (const auto& s : terminal::control::NumberSettings())
      if (std::string(s.variable) == key.variable) fallback = s.fallback;
    std::string value = std::to_string(fallback);
    bool set = false;
    if (const char* env = std::getenv(key.variable); env && terminal::control::CheckSetting(key.variable, env).empty())
      value = env, set = true;
    if (key.variable == std::string(terminal::control::kLockTimeoutVariable) && !set) value = "300000", set = true;
    text << (set ? "" : "# ") << key.key << " = " << value << "  # " << key.help << "\n";
  }
  std::map<int, std::vector<int>> by_port;
  for (const FoundTerminal& f : found) by_port[f.port].push_back(f.terminal);
  int written = 0;
  for (int port = ports.first; port <= ports.last; ++port) {
    PortCause cause = control.Status(port);
    auto terminals_found = by_port.find(port);
    if (terminals_found == by_port.end()) {
      text << "\n# Port " << port << " (" << cause.device << "): "
           << (cause.PortUnusable() ? DescribeCause(port, cause) : "no terminal answered") << ".\n";
      if (cause.PortUnusable()) io.err << "vanto site init: " << DescribeCause(port, cause) << "\n";
      continue;
    }
    text << "\n[[port]]\nnumber = " << port << "\ndevice = " << nlohmann::json(cause.device).dump()
         << "\nterminals = [";
    for (std::size_t i = 0; i < terminals_found->second.size(); ++i) text << (i ? ", " : "") << terminals_found->second[i];
    text << "]\n";
    ++written;
  }
  if (written == 0) {
    io.err << "vanto site init: "
           << TrFill("no terminal answered on ports {0}-{1} (terminals {2}-{3}); nothing written",
                     {std::to_string(ports.first), std::to_string(ports.last), std::to_string(terminals.first),
                      std::to_string(terminals.last)})
           << (outcome.message.empty() ? "" : " (" + DriverSaid(outcome.message) + ")") << "\n";
    return kExitFalse;
  }
  fs::path path(where.path);
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  const std::string temporary = where.path + ".new";
  // Private to its owner, like every file the host writes for people.
  if (auto failed = ReplaceFileAtomically(temporary, text.str(), kPrivateFileMode))
    throw HostError(TrFill("cannot write the site file {0}", {temporary}) + ": " + *failed);
  try {
    site::LoadSite(temporary);  // what we wrote reads back
  } catch (...) {
    fs::remove(temporary, ec);
    throw;
  }
  fs::rename(temporary, where.path, ec);
  if (ec) throw HostError(TrFill("cannot write the site file {0}", {where.path}) + ": " + ec.message());
  io.out << TrFill("wrote {0}: {1} on {2}",
                   {where.path,
                    TrNFill("{0} terminal", "{0} terminals", found.size(), {std::to_string(found.size())}),
                    TrNFill("{0} port", "{0} ports", static_cast<unsigned long>(written), {std::to_string(written)})})
         << "\n";
  return kExitOk;
}

Command SyncCommand() {
  return {"sync", TrLater("download every terminal of the site into the database"),
          "vanto sync [--site FILE] [--json] [--db PATH]",
          TrLater("Every port of the site file at once, one thread each; the terminals of a port one after\n"
          "the other. Prints a table of port, terminal, records delivered, new ones, seconds and the\n"
          "outcome with its cause (or --json). Exit 0 when every terminal synced, 1 when some failed\n"
          "(the others still synced; each failure is named on standard error with its cause), 3 when\n"
          "the host could not do its part (database, components). A port another process uses is\n"
          "waited for (line.lock_timeout_ms in the site file), so two syncs at once take turns."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<SyncOptions>();
            p.Flag("json", TrLater("print the summary as JSON"), &o->json);
            p.Flag("all", TrLater("read every record of each terminal, not only the new ones (still stores nothing twice)"),
                   &o->all);
            p.Flag("quiet", TrLater("no progress lines"), &o->quiet);
            p.Flag("progress", TrLater("show the progress lines even when standard error is no terminal"), &o->progress);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kRequired);
            return [o](Io& io) { return RunSync(*o, io); };
          }};
}

Command CheckCommand() {
  return {"check", TrLater("check the site: its file, modules, database, ports and terminals"),
          "vanto check [--site FILE] [--db PATH]",
          TrLater("Exit 0 only when the site file is valid, the modules are registered and load (their paths\n"
          "and versions are shown), the database is writable, every port's device opens and every\n"
          "listed terminal answers; 1 otherwise, each failure named with its cause."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<CheckOptions>();
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kRequired);
            return [o](Io& io) { return RunCheck(*o, io); };
          }};
}

Command SiteInitCommand() {
  return {"site init", TrLater("find the terminals and write a site file"),
          "vanto site init --ports N[-M] [--terminals N[-M]] [--site FILE] [--db PATH] [--force]",
          TrLater("Scans with the current settings (VANTO_FK_*, as 'vanto sim' prints them), then writes a\n"
          "commented site file naming each port's device and the terminals that answered, to --site\n"
          "FILE, else $VANTO_SITE, else $XDG_CONFIG_HOME/vanto/site.toml (~/.config/vanto/site.toml)."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<SiteInitOptions>();
            p.RangeOf("ports", "N[-M]", TrLater("serial ports to scan (1..255)"), &o->ports, 1, 255);
            p.RangeOf("terminals", "N[-M]", TrLater("terminal numbers to probe on each port (1..255, default 1-255)"),
                      &o->terminals, 1, kMaxTerminal);
            p.Text("db", "PATH", TrLater("the database to name in the file"), &o->db);
            p.Flag("force", TrLater("replace an existing site file"), &o->force);
            p.Text("site", "FILE", TrLater("where to write the site file"), &o->site);
            return [o](Io& io) { return RunSiteInit(*o, io); };
          }};
}

Command SiteShowCommand() {
  return {"site show", TrLater("print the effective settings of the site and where each comes from"),
          "vanto site show [--site FILE] [--db PATH-OR-URL]",
          TrLater("Each setting with its value and its origin, in the order every command resolves them: the\n"
          "command line (--db), an environment variable that overrides the file for this run, the\n"
          "site file's line, or the default."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<DatabaseOptions>();
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kRequired);
            return [o](Io& io) { return RunSiteShow(*o, io); };
          }};
}

}  // namespace vanto::cli
