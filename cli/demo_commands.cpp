// The declarations of demo and sim (their handlers are in cli/demo.cpp).
#include "cli/command.h"
#include "cli/commands.h"

namespace vanto::cli {

Command DemoCommand() {
  return {"demo", TrLater("run scan, download, backup and copy against a simulated site"), "vanto demo [--db PATH] [--keep] [--tcp]",
          TrLater("Starts the terminal simulator with two ports, three terminals, a few thousand swipes and\n"
          "a dozen people, then runs the host's own subcommands against it and prints what they did."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<DemoOptions>();
            p.Text("db", "PATH", TrLater("database file for the demo (default: a new one in a temporary folder)"), &o->db);
            p.Flag("keep", TrLater("keep the temporary folder with the demo's database"), &o->keep);
            p.Flag("tcp", TrLater("serve the simulated ports over loopback TCP instead of pseudo-terminals"), &o->tcp);
            return [o](Io& io) {
              if (o->db && o->db->empty()) throw UsageError("--db needs a file name");
              return RunDemo(*o, io);
            };
          }};
}

Command SimCommand() {
  return {"sim", TrLater("run the terminal simulator on its own, for use with another host"),
          "vanto sim [--seed FILE] [--save FILE] [--link-dir DIR] [--tcp] [--speed BAUD]",
          TrLater("Prints each port's pseudo-terminal (or tcp://127.0.0.1:PORT address) and the settings a\n"
          "host needs, then serves until interrupted (Ctrl-C)."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<SimOptions>();
            p.Text("seed", "FILE", TrLater("load the site from a seed file (default: the demo's site)"), &o->seed);
            p.Text("save", "FILE", TrLater("write the site (with what hosts wrote to it) to FILE on exit"), &o->save);
            p.Text("link-dir", "DIR", TrLater("where the ports' device links go (default: a new temporary folder)"),
                   &o->link_dir);
            p.Flag("tcp", TrLater("serve each port on a loopback TCP port, like a serial device server"), &o->tcp);
            p.Text("speed", "BAUD", TrLater("line speed the simulator paces (default 115200)"), &o->speed);
            return [o](Io& io) { return RunSim(*o, io); };
          }};
}

}  // namespace vanto::cli
