// Finding codes (values in brackets):
//   site-file [path, ports]                      ok
//   site-part-misconfigured [part, endpoint, error] a feature-only part of the site file is wrong
//   module [prog_id, path, version] / module-unregistered [prog_id, registry] /
//   module-without-path [prog_id, registry] / modules-failed [error]
//   database-missing [location] (ok: the first sync creates it) / database-missing-unwritable
//   [location, folder] / database-folder-unwritable
//   [location, folder] / database-unwritable [location] / database-writable [location] /
//   database-opens [location] / database-empty [location] (ok: a new server database, the first
//   sync creates its tables) / database-failed [error]
//   database-readable-by-others [file]           warning
//   site-file-readable-by-others [file]          warning
//   secret-readable-by-others [file, push]       warning
//   console-database-moved [earlier, database, site] warning: the site file names no database and
//   the console's database of before is another file
//   conflicts-unacknowledged [count]             warning
//   port-opens [device] / port-failed [fault, then a sync's port fault values: port, device, and
//   detail, terminal, holder_pid, holder_name where told; --json adds cause, in words] /
//   scan-failed [message] /
//   terminals-answer [count, first, last] / terminal-answers / terminal-silent
//   clock-drift [drift_seconds, limit_seconds]  warning / clock-invalid [message] warning
#include "host/check.h"
#include "host/said_values.h"

#include <unistd.h>

#include <filesystem>
#include <set>
#include <stdexcept>

#include "host/components.h"
#include "host/control_status.h"
#include "host/sync_note.h"
#include "host/database_location.h"
#include "host/machine.h"
#include "host/schedule.h"
#include "driver/identifiers.h"
#include "host/db/database.h"
#include "host/db/record_store.h"
#include "host/db/swipe_store.h"
#include "platform/automation/module_resources.h"
#include "platform/automation/registry.h"
#include "platform/automation/text.h"

namespace vanto::host {
namespace {

namespace fs = std::filesystem;

CheckFinding Finding(std::string code, Severity severity, std::vector<std::pair<std::string, std::string>> values = {}) {
  CheckFinding f;
  f.code = std::move(code);
  f.severity = severity;
  f.values = std::move(values);
  return f;
}

void CheckModules(CheckResult& result) {
  try {
    PrepareComponents();
    for (const char16_t* prog_id : {kProgIdClsMachine, kProgIdTerminalControl}) {
      const std::string name = ToUtf8(prog_id);
      std::string clsid, path;
      if (FAILED(ReadRegistryValue(name + "\\CLSID", "", &clsid))) {
        result.findings.push_back(Finding("module-unregistered", Severity::kFail, {{"prog_id", name}, {"registry", RegistryLocation()}}));
        continue;
      }
      if (FAILED(ReadRegistryValue("CLSID\\" + clsid + "\\InprocServer32", "", &path)) || path.empty()) {
        result.findings.push_back(Finding("module-without-path", Severity::kFail, {{"prog_id", name}, {"registry", RegistryLocation()}}));
        continue;
      }
      CheckFinding f = Finding("module", Severity::kOk, {{"prog_id", name}, {"path", path}, {"version", ModuleVersionText(path)}});
      f.file = path;
      result.findings.push_back(f);
    }
  } catch (const HostError& e) {
    result.findings.push_back(Finding("modules-failed", Severity::kFail, WithError({}, e)));
    result.modules_failed = true;
  }
}

// The database: opened for reading (never created nor migrated: check only looks), a database
// file and its folder writable (SQLite writes its journal beside the file), its files private,
// and no record conflict left unacknowledged.
void CheckDatabase(const CheckSettings& settings, CheckResult& result) {
  const std::string& db = settings.database;
  const bool file = !store::IsDatabaseUrl(db);
  std::error_code error;
  auto add = [&](CheckFinding f) {
    if (file) f.file = db;
    result.findings.push_back(std::move(f));
  };
  if (file && !fs::exists(db, error)) {
    fs::path folder = fs::absolute(db).parent_path();
    while (!folder.empty() && !fs::exists(folder, error) && folder != folder.parent_path()) folder = folder.parent_path();
    if (::access(folder.c_str(), W_OK) != 0)
      add(Finding("database-missing-unwritable", Severity::kFail, {{"location", db}, {"folder", folder.string()}}));
    else
      add(Finding("database-missing", Severity::kOk, {{"location", db}}));
    return;
  }
  try {
    if (!settings.open_database) throw std::invalid_argument("CheckSite: no way to open the database");
    store::RecordStore store(settings.open_database()->Swipes());
    if (file) {
      const fs::path folder = fs::absolute(db).parent_path();
      if (::access(db.c_str(), W_OK) != 0)
        add(Finding("database-unwritable", Severity::kFail, {{"location", db}}));
      else if (::access(folder.c_str(), W_OK) != 0)
        add(Finding("database-folder-unwritable", Severity::kFail, {{"location", db}, {"folder", folder.string()}}));
      else
        add(Finding("database-writable", Severity::kOk, {{"location", db}}));
      for (const std::string& readable : store::FilesReadableByOthers(db)) {
        CheckFinding f = Finding("database-readable-by-others", Severity::kWarning, {{"file", readable}});
        f.file = readable;
        result.findings.push_back(f);
      }
    } else {
      add(Finding("database-opens", Severity::kOk, {{"location", db}}));
    }
    std::vector<store::RecordConflict> conflicts;
    try {
      conflicts = store.swipes().Conflicts(/*acknowledged=*/false);
    } catch (const store::StoreError&) {  // a database from before conflicts were kept holds none
    }
    if (!conflicts.empty())
      add(Finding("conflicts-unacknowledged", Severity::kWarning, {{"count", std::to_string(conflicts.size())}}));
  } catch (const store::StoreError& e) {
    if (!file && e.failure() == store::StoreFailure::Missing)  // a new database: the first sync creates the tables
      add(Finding("database-empty", Severity::kOk, {{"location", db}}));
    else
      add(Finding("database-failed", Severity::kFail, WithError({}, e)));
  }
}

// Each port's device, then each terminal: whether it answers, and its clock's drift.
void CheckPorts(const site::Site& site, const CheckSettings& settings, CheckResult& result) {
  ControlStatus control = ControlStatus::Create();
  Machine machine = Machine::Create();
  std::optional<HostControl> clocks;
  ClockOptions clock = settings.clock;
  clock.set = false, clock.set_when_drift_above.reset(), clock.audit = nullptr;  // check changes nothing
  const long long limit = site.clock.warn_drift_above;
  for (const site::SitePort& port : site.ports) {
    auto add = [&](CheckFinding f, int terminal = 0) {
      f.port = port.number, f.terminal = terminal;
      result.findings.push_back(std::move(f));
    };
    if (auto cause = control.CheckOpens(port.number)) {
      std::vector<std::pair<std::string, std::string>> values = {{"fault", cause->fault}};
      for (auto& value : PortFaultValues(port.number, *cause)) values.push_back(std::move(value));
      add(Finding("port-failed", Severity::kFail, std::move(values)));
      continue;
    }
    add(Finding("port-opens", Severity::kOk, {{"device", control.Status(port.number).device}}));
    std::set<int> answered;
    auto scan = [&](int first, int last) {
      std::vector<FoundTerminal> found;
      Outcome outcome = machine.Scan({port.number, port.number}, {first, last}, &found);
      for (const FoundTerminal& f : found) answered.insert(f.terminal);
      if (!outcome.ok) add(Finding("scan-failed", Severity::kFail, {{"message", outcome.message}}));
    };
    if (port.scan) {
      scan(port.terminals.front(), port.terminals.back());
      add(Finding("terminals-answer", answered.empty() ? Severity::kFail : Severity::kOk,
                  {{"count", std::to_string(answered.size())},
                   {"first", std::to_string(port.terminals.front())},
                   {"last", std::to_string(port.terminals.back())}}));
    } else {
      for (int t : port.terminals) scan(t, t);
      for (int t : port.terminals)
        add(Finding(answered.count(t) ? "terminal-answers" : "terminal-silent",
                    answered.count(t) ? Severity::kOk : Severity::kFail),
            t);
    }
    if (answered.empty()) continue;
    try {
      if (!clocks) clocks.emplace(HostControl::Create());
      PortRelease release(*clocks, port.number);
      clocks->SelectPort(port.number);
      for (int t : answered) {
        const TerminalClock c = ClockOfTerminal(*clocks, port.number, t, clock);
        if (c.state == ClockState::kInvalid)
          add(Finding("clock-invalid", Severity::kWarning, {{"message", c.message.English()}}), t);
        else if (c.state == ClockState::kRead && (c.drift > limit || -c.drift > limit))
          add(Finding("clock-drift", Severity::kWarning,
                      {{"drift_seconds", std::to_string(c.drift)}, {"limit_seconds", std::to_string(limit)}}),
              t);
      }
    } catch (const HostError& e) {
      add(Finding("clocks-failed", Severity::kFail, WithError({}, e)));
    }
  }
}

}  // namespace

const std::string& CheckFinding::Value(const std::string& name) const {
  static const std::string none;
  for (const auto& [key, value] : values)
    if (key == name) return value;
  return none;
}

bool CheckResult::Passed() const {
  for (const CheckFinding& f : findings)
    if (f.severity == Severity::kFail) return false;
  return true;
}

// The console once kept its database where the site file's default does not lead: that file, if
// it is there, holds the console's users and runs, which the console no longer sees.
std::optional<CheckFinding> CheckConsoleDatabase(const site::Site& site, const CheckSettings& settings) {
  const std::string& earlier = settings.earlier_console_database;
  std::error_code error;
  if (earlier.empty() || !fs::is_regular_file(earlier, error)) return std::nullopt;
  if (!store::IsDatabaseUrl(settings.database) && fs::exists(settings.database, error) &&
      fs::equivalent(earlier, settings.database, error))
    return std::nullopt;
  CheckFinding f = Finding("console-database-moved", Severity::kWarning,
                           {{"earlier", earlier}, {"database", settings.database}, {"site", site.path}});
  f.file = site.path;
  return f;
}

std::vector<CheckFinding> CheckSchedules(const site::Site& site) {
  if (!site.sync_every || !SyncTimerEnabled()) return {};
  CheckFinding f;
  f.code = "schedules-both";
  f.severity = Severity::kWarning;
  f.values = {{"where", site.Where(site.sync_every_line)}};
  f.file = site.path;
  return {f};
}

// The site file and the push endpoints' secrets: files others than the owner and the group
// may read are told (the database's files: CheckDatabase).
void CheckPrivateFiles(const site::Site& site, CheckResult& result) {
  auto warn = [&](const std::string& path, const char* code, std::vector<std::pair<std::string, std::string>> values) {
    try {
      for (const std::string& readable : store::FilesReadableByOthers(path)) {
        values.insert(values.begin(), {"file", readable});
        CheckFinding f = Finding(code, Severity::kWarning, values);
        f.file = readable;
        result.findings.push_back(f);
        break;  // the file itself (a site file or a secret has no -wal)
      }
    } catch (const store::StoreError&) {  // a mode that cannot be read: the loading said so already
    }
  };
  if (!site.path.empty()) warn(site.path, "site-file-readable-by-others", {});
  for (const site::SitePush& push : site.pushes)
    if (!push.secret_file.empty()) warn(push.secret_file, "secret-readable-by-others", {{"push", push.name}});
}

CheckResult CheckSite(const site::Site& site, const CheckSettings& settings) {
  CheckResult result;
  CheckFinding file = Finding("site-file", Severity::kOk, {{"path", site.path}, {"ports", std::to_string(site.ports.size())}});
  file.file = site.path;
  result.findings.push_back(file);
  CheckPrivateFiles(site, result);
  // A feature-only part that is wrong stops its feature alone; check names it and fails.
  for (const site::SiteProblem& p : site.problems) {
    NamedValues values = {{"part", site::SitePartName(p.part)}, {"endpoint", p.endpoint}};
    AddErrorValue(values, "error", p.said);
    CheckFinding f = Finding("site-part-misconfigured", Severity::kFail, std::move(values));
    f.file = site.path;
    result.findings.push_back(std::move(f));
  }
  CheckModules(result);
  if (result.modules_failed) return result;
  CheckDatabase(settings, result);
  if (auto moved = CheckConsoleDatabase(site, settings)) result.findings.push_back(std::move(*moved));
  for (CheckFinding& f : CheckSchedules(site)) result.findings.push_back(std::move(f));
  CheckPorts(site, settings, result);
  return result;
}

}  // namespace vanto::host
