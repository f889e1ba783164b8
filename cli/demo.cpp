// demo: the host's subcommands against a simulated site; sim: the simulated site on its own.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>

#include "cli/command_support.h"
#include "cli/commands.h"
#include "host/enrolment.h"
#include "host/machine.h"
#include "host/text/messages.h"
#include "host/db/database.h"
#include "host/db/record_store.h"
#include "host/site_choice.h"
#include "terminal/sim/demo_site.h"
#include "host/control_settings.h"
#include "terminal/sim/front_end.h"

namespace vanto::cli {
namespace {

namespace fs = std::filesystem;
using terminal::sim::DemoTerminal;
using terminal::sim::DemoTerminals;
using terminal::sim::kDemoPerson;
using terminal::sim::SeedDemoSite;

// A temporary folder, removed at the end unless kept.
class DemoFolder {
 public:
  DemoFolder() {
    std::string pattern = (fs::temp_directory_path() / "vanto-demo-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw HostError(Tr("cannot create a temporary folder for the demo"));
    path_ = pattern;
  }
  ~DemoFolder() {
    if (keep_) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  void Keep() { keep_ = true; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool keep_ = false;
};

// Runs one of the host's own command lines, echoing it first.
int Step(Io& io, const std::vector<std::string>& args) {
  io.out << "\n$ vanto";
  for (const std::string& a : args) io.out << ' ' << (a.find(' ') == std::string::npos ? a : "'" + a + "'");
  io.out << '\n' << std::flush;
  int status = RunVanto(args, io);
  io.out << std::flush;
  return status;
}

std::size_t CountPeople(const terminal::sim::SimTerminal& t) { return t.persons.size(); }

}  // namespace

int RunDemo(const DemoOptions& o, Io& io) {
  auto started = std::chrono::steady_clock::now();
  DemoFolder folder;
  if (o.keep) folder.Keep();
  std::string db = o.db.value_or((folder.path() / "vanto.db").string());

  terminal::sim::SimulatorSite site;
  site.Options().tcp = o.tcp;
  if (!site.Options().tcp) {
    site.Options().linkDir = (folder.path() / "ports").string();
    fs::create_directories(site.Options().linkDir);
  }
  SeedDemoSite(site);
  std::size_t swipes = 0;
  for (const DemoTerminal& t : DemoTerminals()) swipes += site.Terminal(t.port, t.terminal)->records.size();
  std::map<int, std::string> paths;
  try {
    paths = site.Start();
  } catch (const std::exception& e) {
    throw HostError(TrFill("cannot start the terminal simulator: {0}", {Translate(e)}));
  }
  // The control opens the simulator's ports for every step, whatever site file or settings
  // the user has; taken back when the demo ends.
  ControlSettingValues simulated;
  for (const auto& [name, value] : terminal::sim::PortSettings(paths)) simulated[name] = value;
  PinControlSettings(std::move(simulated));
  struct Unpin {
    ~Unpin() { UnpinControlSettings(); }
  } unpin;

  io.out << TrFill("A simulated site: {0} ports, {1} terminals, {2} swipes, 12 people (8 with a fingerprint, 4 with a "
                   "password).",
                   {std::to_string(paths.size()), std::to_string(DemoTerminals().size()), std::to_string(swipes)})
         << "\n";
  for (const auto& [port, path] : paths) io.out << "  " << TrFill("port {0}: {1}", {std::to_string(port), path}) << "\n";
  io.out << TrFill("Database: {0}", {db}) << (o.db || o.keep ? "" : Tr(" (removed at the end; --keep keeps it)"))
         << "\n";

  const std::string person = std::to_string(kDemoPerson);
  int status = Step(io, {"scan", "--ports", "1-2", "--terminals", "1-4"});
  for (const DemoTerminal& t : DemoTerminals()) {
    if (status != kExitOk) break;
    status = Step(io, {"download", "--port", std::to_string(t.port), "--terminal", std::to_string(t.terminal), "--db", db});
  }
  if (status == kExitOk) {
    io.out << "\n" << Tr("(Downloading again reads only what is new; with --all it reads everything and still "
                          "stores nothing twice.)");
    status = Step(io, {"download", "--port", "1", "--terminal", "1", "--all", "--db", db});
  }
  if (status == kExitOk) status = Step(io, {"backup", "--port", "1", "--terminal", "2", "--person", "109", "--db", db});
  if (status == kExitOk)
    status = Step(io, {"copy", "--from-port", "1", "--from-terminal", "1", "--to-port", "2", "--to-terminal", "3",
                       "--person", person, "--db", db});
  site.Stop();
  if (status != kExitOk) {
    io.err << TrFill("vanto demo: a step failed (exit status {0})", {std::to_string(status)}) << "\n";
    return status;
  }

  // What the site now holds: the copied fingerprint must equal the source's (values 0..458).
  auto source = site.Terminal(1, 1), target = site.Terminal(2, 3);
  bool copied = false;
  if (source && target && target->persons.count(kDemoPerson) && target->persons.at(kDemoPerson).fingerprints.count(0)) {
    const auto& a = source->persons.at(kDemoPerson).fingerprints.at(0);
    const auto& b = target->persons.at(kDemoPerson).fingerprints.at(0);
    copied = std::equal(a.begin(), a.begin() + 459, b.begin());
  }
  const auto people = target ? CountPeople(*target) : 0;
  const std::string held =
      TrNFill("{0} person", "{0} people", static_cast<unsigned long>(people), {std::to_string(people)});
  io.out << "\n"
         << (copied ? TrFill("Terminal 3 on port 2 now holds {0}; person {1}'s fingerprint there equals the "
                             "one on terminal 1 (values 0-458).",
                             {held, person})
                    : TrFill("Terminal 3 on port 2 now holds {0}; person {1}'s fingerprint there DIFFERS FROM "
                             "the one on terminal 1 (values 0-458).",
                             {held, person}))
         << "\n";
  // The steps above were commands of their own, each with its handle; the demo's is opened now.
  db::DatabaseOptions options;
  options.create = false;
  options.lock_timeout = std::chrono::seconds(5);
  const std::shared_ptr<db::Database> database = db::Database::Open(db, options);
  // The site the steps stored as (the database's only site, or none), as they chose it.
  const SiteChoice chosen = ChooseSite(*database, std::nullopt, /*adopt=*/false, OsUser());
  ComPtr<RowSet> everyone = EnrolmentRowsOf(*database, chosen, std::nullopt, /*for_reading=*/true);
  std::int64_t stored = 0, repeats = 0;
  std::string first_month;  // "YYYY-MM" of the earliest swipe
  {
    auto records = database->Swipes()->Swipes();
    stored = static_cast<std::int64_t>(records.size());
    for (const auto& r : records) repeats += r.occurrence > 1;
    for (const auto& r : records)
      if (first_month.empty() || r.time.substr(0, 7) < first_month) first_month = r.time.substr(0, 7);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char took[32];
  std::snprintf(took, sizeof took, "%.1f", seconds);
  io.out << TrFill("The database holds {0} swipes ({1} of them a second swipe of a person within the same minute, "
                   "kept) and {2} enrolments. Done in {3} s.",
                   {std::to_string(stored), std::to_string(repeats), std::to_string(RowCount(everyone.Get())), took})
         << (o.keep ? TrFill(" Kept: {0}", {folder.path().string()}) : std::string()) << "\n";
  if ((o.keep || o.db) && !first_month.empty())
    io.out << "\n" << Tr("To look at the data:") << "\n  vanto swipes --db " << db << "\n  vanto report --month "
           << first_month << " --db " << db << " --html report.html\n";
  return copied ? kExitOk : kExitFalse;
}

int RunSim(const SimOptions& o, Io& io) {
  terminal::sim::FrontEndOptions options;
  options.seed = o.seed;
  options.save = o.save;
  options.linkDir = o.link_dir.value_or("");
  options.speed = o.speed;
  options.tcp = o.tcp;
  terminal::sim::SimulatorSite site;
  try {
    terminal::sim::PrepareSite(site, options);
    terminal::sim::Serve(site, options, io.out);
  } catch (const terminal::sim::FrontEndError& e) {
    throw HostError(e.what());
  }
  return kExitOk;
}

}  // namespace vanto::cli
