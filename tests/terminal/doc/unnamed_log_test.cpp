// The document's rule for identity 0 and generation 0: such an answer names no log, so the
// control reads the terminal as it reads one without a log (no generation named, nothing to
// clear by), yet keeps what its version announced for the rest: a version 3 terminal is still
// read in the dense form and has its clock, and is reported as version 3; a version 2 one has
// nothing beyond the log and is reported as version 1.
#include <gtest/gtest.h>

#include "terminal/control/terminal_client.h"
#include "terminal/sim/simulator.h"

namespace terminal::control {
namespace {

using namespace std::chrono_literals;
using protocol::CardRecordFields;

TEST(UnnamedLog, IdentityOrGenerationZeroDropsTheLogButKeepsTheVersionsForms) {
  struct Case {
    int address;
    int version;
    bool zeroIdentity;  // else generation 0
    int reported;       // the version the control reports
  } cases[] = {
      {1, 2, true, 1},
      {2, 2, false, 1},
      {3, 3, true, 3},
      {4, 3, false, 3},
  };
  const std::vector<CardRecordFields> records = {
      {1001, 2026, 12, 8, 8, 0}, {1003, 2026, 12, 8, 8, 0}, {1002, 2026, 12, 8, 8, 1}, {1002, 2026, 12, 8, 7, 59}};
  sim::SimulatorSite site;
  site.Options().pace = false;
  site.Options().turnaround = 0us;
  for (const Case& c : cases) {
    sim::SimTerminal& terminal = site.AddTerminal(1, c.address);
    terminal.version = c.version;
    terminal.records = records;
    terminal.generation = 9;
  }
  ControlSettings settings;
  settings.portPaths = site.Start();
  settings.probeTimeout = 500ms;
  settings.answerTimeout = 500ms;
  settings.batch = 2;
  for (const Case& c : cases)  // (the simulator gives a terminal without an identity one when it starts)
    site.EditTerminal(1, c.address, [&](sim::SimTerminal& t) { (c.zeroIdentity ? t.identity : t.generation) = 0; });
  TerminalClient client(settings);
  client.SelectPort(1);
  for (const Case& c : cases) {
    SCOPED_TRACE("terminal " + std::to_string(c.address));
    const protocol::BeginReadAnswer log = client.ReadLog(c.address);
    EXPECT_FALSE(log.log);
    EXPECT_EQ(log.Version(), c.reported);
    // A read names no generation: the terminal's log moving to another one mid-read does not
    // stop it (a request naming the old one would be refused with reason 8).
    const auto denseBefore = site.Stats(1).denseAnswers;
    client.BeginRead(c.address);
    std::vector<CardRecordFields> got;
    got.push_back(client.NextRecord(c.address).value());
    site.EditTerminal(1, c.address, [](sim::SimTerminal& t) { t.generation = 11; });
    while (auto record = client.NextRecord(c.address)) got.push_back(*record);
    EXPECT_EQ(got, records);
    EXPECT_EQ(site.Stats(1).denseAnswers > denseBefore, c.version >= 3);
    // The clock commands are used as the terminal's version allows.
    EXPECT_EQ(client.ReadClock(c.address).has_value(), c.version >= 3);
  }
  site.Stop();
}

}  // namespace
}  // namespace terminal::control
