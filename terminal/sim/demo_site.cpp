#include "terminal/sim/demo_site.h"

namespace terminal::sim {
namespace {

// A template whose values depend on the person only (element 459 stays 0: it is not stored).
Template DemoTemplate(std::int32_t person) {
  Template values{};
  std::uint32_t state = 2166136261u ^ static_cast<std::uint32_t>(person);
  for (std::size_t i = 0; i + 1 < values.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    values[i] = static_cast<std::int32_t>(state % 2000001u) - 1000000;
  }
  return values;
}

}  // namespace

const std::vector<DemoTerminal>& DemoTerminals() {
  static const std::vector<DemoTerminal> terminals = {{1, 1}, {1, 2}, {2, 3}};
  return terminals;
}

void SeedDemoSite(SimulatorSite& site) {
  const std::size_t record_counts[] = {1500, 1000, 700};
  std::size_t index = 0;
  for (const DemoTerminal& t : DemoTerminals()) {
    SimTerminal& sim = site.AddTerminal(t.port, t.terminal);
    // The third terminal is of protocol version 3, with a clock two and a half minutes fast: the
    // site shows a mixed bus, and what `vanto clock` and the console make of a drifting clock.
    if (t.terminal == 3) {
      sim.version = 3;
      sim.clockOffset = 150;
    }
    // People 101..112: the first eight with a fingerprint, the last four with a password; the
    // third terminal (the copy's target) starts with nobody enrolled.
    if (t.terminal != 3) {
      for (std::int32_t person = 101; person <= 112; ++person) {
        if (person <= 108)
          sim.persons[person].fingerprints[0] = DemoTemplate(person);
        else
          sim.persons[person].password = 4000 + person;
      }
    }
    // Swipes from 2026-11-02 07:30 on, a few minutes apart, each day from 7:30; now and then a
    // person swipes twice in the same minute.
    int minute_of_day = 7 * 60 + 30, day = 2;
    for (std::size_t i = 0; i < record_counts[index]; ++i) {
      std::int32_t person = 101 + static_cast<std::int32_t>((i * 7 + index) % 12);
      if (i % 50 == 49) {
        person = sim.records.back().person;  // the same person in the same minute again
      } else {
        minute_of_day += 1 + static_cast<int>(i % 4);
      }
      if (minute_of_day >= 19 * 60) {
        minute_of_day = 7 * 60 + 30;
        ++day;
      }
      int month = 11;
      int d = day;
      if (d > 30) {
        month = 12;
        d -= 30;
      }
      sim.records.push_back({person, 2026, month, d, minute_of_day / 60, minute_of_day % 60});
    }
    ++index;
  }
}

}  // namespace terminal::sim
