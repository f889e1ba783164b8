// scan: the terminals that answer on a range of ports and terminal numbers.
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "cli/command_support.h"
#include "host/control_status.h"
#include "present/sync_words.h"
#include "cli/site_use.h"
#include "host/text/messages.h"
#include "cli/output.h"

namespace vanto::cli {

int RunScan(const ScanOptions& given, Io& io) {
  ScanOptions o = given;
  const bool ports_given = o.ports.first != 0, terminals_given = o.terminals.first != 0;
  if (!terminals_given) o.terminals = {1, kMaxTerminal};
  Machine machine = Machine::Create();
  std::vector<FoundTerminal> found;
  Outcome outcome;
  std::vector<int> scanned;
  const site::Site* site = CurrentSite();
  if (site && !ports_given) {
    // The site's ports, each over its own terminals (or --terminals).
    outcome.ok = true;
    for (const site::SitePort& port : site->ports) {
      Range wanted = terminals_given ? o.terminals : Range{port.terminals.front(), port.terminals.back()};
      Outcome one = machine.Scan({port.number, port.number}, wanted, &found);
      if (!one.ok && outcome.ok) outcome = one;
      scanned.push_back(port.number);
    }
    o.ports = {site->ports.front().number, site->ports.back().number};
  } else {
    if (!ports_given) o.ports = {1, 1};
    outcome = machine.Scan(o.ports, o.terminals, &found);
    for (int p = o.ports.first; p <= o.ports.last; ++p) scanned.push_back(p);
  }
  // Each port that could not be used at all, with its cause (the control's status of the port).
  std::vector<std::string> unusable;
  {
    ControlStatus control = ControlStatus::Create();
    for (int p : scanned) {
      PortCause cause = control.Status(p);
      if (cause.PortUnusable()) unusable.push_back(DescribeCause(p, cause));
    }
  }
  if (o.json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const FoundTerminal& f : found) list.push_back({{"port", f.port}, {"terminal", f.terminal}});
    io.out << list.dump() << "\n";
  } else if (found.empty()) {
    io.out << TrFill("no terminal answered (ports {0}-{1}, terminals {2}-{3})",
                     {std::to_string(o.ports.first), std::to_string(o.ports.last), std::to_string(o.terminals.first),
                      std::to_string(o.terminals.last)})
           << "\n";
  } else {
    std::vector<std::vector<std::string>> rows;
    for (const FoundTerminal& f : found) rows.push_back({std::to_string(f.port), std::to_string(f.terminal)});
    WriteTable(io.out, {Tr("PORT"), Tr("TERMINAL")}, rows, {true, true});
  }
  for (const std::string& cause : unusable) io.err << "vanto scan: " << cause << "\n";
  if (!outcome.ok)
    return Refused(io, outcome, TrFill("the scan of ports {0}-{1} failed", {std::to_string(o.ports.first), std::to_string(o.ports.last)}));
  return unusable.empty() ? kExitOk : kExitFalse;
}

Command ScanCommand() {
  return {"scan", TrLater("find the terminals that answer on a range of ports and terminal numbers"),
          "vanto scan [--ports N[-M]] [--terminals N[-M]] [--json] [--site FILE]",
          TrLater("Prints a table of port and terminal for every terminal that answered, ordered by port,\n"
          "then terminal number. Without --ports it scans the site file's ports (port 1 when there\n"
          "is no site file). Each port that could not be used (missing device, no permission, busy,\n"
          "not a serial device, a bad setting) is named with its cause on standard error, and the\n"
          "exit status is then 1."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<ScanOptions>();
            p.RangeOf("ports", "N[-M]", TrLater("serial ports to scan (1..32767; default: the site file's ports, else 1)"), &o->ports, 1, kMaxPort);
            p.RangeOf("terminals", "N[-M]", TrLater("terminal numbers to probe on each port (1..255, default 1-255)"),
                      &o->terminals, 1, kMaxTerminal);
            p.Flag("json", TrLater("print the terminals found as JSON"), &o->json);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunScan(*o, io); };
          }};
}

}  // namespace vanto::cli
