// scan: the terminals that answer on a range of ports and terminal numbers.
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/messages.h"
#include "cli/output.h"

namespace vanto::cli {

int RunScan(const ScanOptions& o, Io& io) {
  Machine machine = Machine::Create();
  std::vector<FoundTerminal> found;
  Outcome outcome = machine.Scan(o.ports, o.terminals, &found);
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
    WriteTable(io.out, {"PORT", "TERMINAL"}, rows, {true, true});
  }
  if (!outcome.ok) return Refused(io, outcome, TrFill("the scan of ports {0}-{1} failed", {std::to_string(o.ports.first), std::to_string(o.ports.last)}));
  return kExitOk;
}

Command ScanCommand() {
  return {"scan", "find the terminals that answer on a range of ports and terminal numbers",
          "vanto scan [--ports N[-M]] [--terminals N[-M]] [--json]",
          "Prints a table of port and terminal for every terminal that answered, ordered by port,\n"
          "then terminal number.",
          [](Parser& p) -> Run {
            auto o = std::make_shared<ScanOptions>();
            p.RangeOf("ports", "N[-M]", "serial ports to scan (1..32767, default 1)", &o->ports, 1, kMaxPort);
            p.RangeOf("terminals", "N[-M]", "terminal numbers to probe on each port (1..255, default 1-255)",
                      &o->terminals, 1, kMaxTerminal);
            p.Flag("json", "print the terminals found as JSON", &o->json);
            return [o](Io& io) { return RunScan(*o, io); };
          }};
}

}  // namespace vanto::cli
