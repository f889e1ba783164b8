// Seed files of the simulator: a line-oriented text form of a site (format in docs/protocol.md).
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "terminal/sim/simulator.h"
#include "terminal/sim/site_port.h"

namespace terminal::sim {
namespace {

std::runtime_error SeedError(const std::string& name, int line, const std::string& what) {
  return std::runtime_error(name + ":" + std::to_string(line) + ": " + what);
}

// Record i of a generated series: person first + i % persons, time start + i minutes.
CardRecordFields GeneratedRecord(std::int64_t i, std::int32_t firstPerson, std::int32_t persons,
                                 const std::chrono::sys_days& day, int hour, int minute) {
  using namespace std::chrono;
  const auto at = sys_time<minutes>(day) + hours(hour) + minutes(minute) + minutes(i);
  const auto date = year_month_day(floor<days>(at));
  const auto time = hh_mm_ss(at - floor<days>(at));
  return {static_cast<std::int32_t>(firstPerson + i % persons), static_cast<int>(date.year()),
          static_cast<int>(static_cast<unsigned>(date.month())), static_cast<int>(static_cast<unsigned>(date.day())),
          static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count())};
}

// One key=value flag of a `terminal` line; false when it is unknown or its value bad.
bool TerminalFlag(SimTerminal& terminal, const std::string& flag) {
  const auto equals = flag.find('=');
  if (equals == std::string::npos) return false;
  const std::string key = flag.substr(0, equals);
  std::istringstream in(flag.substr(equals + 1));
  long long value = 0;
  if (!(in >> value) || !in.eof()) return false;
  auto within = [&](long long low, long long high) { return value >= low && value <= high; };
  if (key == "capacity" && within(0, 1LL << 40)) terminal.capacity = static_cast<std::size_t>(value);
  else if (key == "version" && within(1, 2)) terminal.version = static_cast<int>(value);
  else if (key == "serial" && within(1, 0xFFFFFFFFLL)) terminal.identity = static_cast<std::uint32_t>(value);
  else if (key == "record_capacity" && within(0, 0xFFFFFFFFLL)) terminal.recordCapacity = static_cast<std::uint32_t>(value);
  else if (key == "generation" && within(1, 0xFFFFFFFFLL)) terminal.generation = static_cast<std::uint32_t>(value);
  else if (key == "early_last" && within(0, 1LL << 40)) terminal.earlyLast = static_cast<std::size_t>(value);
  else if (key == "claim_held" && within(-1, 0xFFFFFFFFLL)) terminal.claimHeld = value;
  else return false;
  return true;
}

}  // namespace

void SimulatorSite::LoadSeed(std::istream& in, const std::string& name) {
  if (Running()) throw std::logic_error("a seed is loaded before the simulator starts");
  std::string text;
  int lineNumber = 0;
  int port = 0;
  SimTerminal* terminal = nullptr;
  while (std::getline(in, text)) {
    ++lineNumber;
    if (const auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
    std::istringstream line(text);
    std::string word;
    if (!(line >> word)) continue;
    auto need = [&](auto&... values) {
      if (!((line >> values) && ...)) throw SeedError(name, lineNumber, "bad or missing values after '" + word + "'");
    };
    auto needTerminal = [&] {
      if (!terminal) throw SeedError(name, lineNumber, "'" + word + "' before any 'terminal'");
    };
    if (word == "speed") {
      need(options_.baud);
    } else if (word == "turnaround_us") {
      long long micros = 0;
      need(micros);
      options_.turnaround = std::chrono::microseconds(micros);
    } else if (word == "pace") {
      int on = 1;
      need(on);
      options_.pace = on != 0;
    } else if (word == "port") {
      need(port);
      terminal = nullptr;
      std::lock_guard lock(mutex_);
      auto& slot = ports_[port];
      if (!slot) {
        slot = std::make_unique<Port>();
        slot->number = port;
      }
    } else if (word == "faults") {
      if (!port) throw SeedError(name, lineNumber, "'faults' before any 'port'");
      FaultPlan plan;
      std::string setting;
      while (line >> setting) {
        const auto equals = setting.find('=');
        if (equals == std::string::npos) throw SeedError(name, lineNumber, "expected key=value, got " + setting);
        const std::string key = setting.substr(0, equals);
        std::istringstream value(setting.substr(equals + 1));
        bool ok = false;
        if (key == "seed") ok = static_cast<bool>(value >> plan.seed);
        else if (key == "drop") ok = static_cast<bool>(value >> plan.drop);
        else if (key == "corrupt") ok = static_cast<bool>(value >> plan.corrupt);
        else if (key == "truncate") ok = static_cast<bool>(value >> plan.truncate);
        else if (key == "garbage") ok = static_cast<bool>(value >> plan.garbage);
        else if (key == "late") ok = static_cast<bool>(value >> plan.late);
        else if (key == "late_us") {
          long long micros = 0;
          ok = static_cast<bool>(value >> micros) && micros >= 0;
          plan.lateBy = std::chrono::microseconds(micros);
        }
        else if (key == "hangup_after") ok = static_cast<bool>(value >> plan.hangUpAfterAnswers);
        if (!ok) throw SeedError(name, lineNumber, "bad fault setting " + setting);
      }
      SetFaults(port, plan);
    } else if (word == "terminal") {
      if (!port) throw SeedError(name, lineNumber, "'terminal' before any 'port'");
      int address = 0;
      need(address);
      try {
        terminal = &AddTerminal(port, address);
      } catch (const std::exception& error) {
        throw SeedError(name, lineNumber, error.what());
      }
      std::string flag;
      while (line >> flag) {
        if (flag == "silent") terminal->silent = true;
        else if (!TerminalFlag(*terminal, flag)) throw SeedError(name, lineNumber, "bad terminal flag " + flag);
      }
    } else if (word == "password") {
      needTerminal();
      std::int32_t person = 0, password = 0;
      need(person, password);
      terminal->persons[person].password = password;
    } else if (word == "fingerprint") {
      needTerminal();
      std::int32_t person = 0;
      int enrolment = 0;
      need(person, enrolment);
      if (enrolment < 0 || enrolment > protocol::kLastFingerprintEnrolment)
        throw SeedError(name, lineNumber, "fingerprint enrolment must be 0..9");
      Template values{};
      for (auto& value : values) need(value);
      terminal->persons[person].fingerprints[enrolment] = values;
    } else if (word == "record") {
      needTerminal();
      CardRecordFields record;
      need(record.person, record.year, record.month, record.day, record.hour, record.minute);
      terminal->records.push_back(record);
    } else if (word == "records") {
      needTerminal();
      std::int64_t count = 0;
      std::int32_t firstPerson = 0, persons = 0;
      int year = 0, month = 0, day = 0, hour = 0, minute = 0;
      need(count, firstPerson, persons, year, month, day, hour, minute);
      if (count < 0 || persons < 1) throw SeedError(name, lineNumber, "records: count >= 0 and persons >= 1");
      const std::chrono::year_month_day start{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                              std::chrono::day(static_cast<unsigned>(day))};
      if (!start.ok()) throw SeedError(name, lineNumber, "records: start date is no calendar date");
      for (std::int64_t i = 0; i < count; ++i)
        terminal->records.push_back(GeneratedRecord(i, firstPerson, persons, std::chrono::sys_days(start), hour, minute));
    } else {
      throw SeedError(name, lineNumber, "unknown keyword '" + word + "'");
    }
    std::string extra;
    if (word != "faults" && word != "terminal" && (line >> extra))
      throw SeedError(name, lineNumber, "unexpected '" + extra + "'");
  }
}

void SimulatorSite::SaveSeed(std::ostream& out) const {
  std::lock_guard lock(mutex_);
  out << "# vanto-sim seed\n";
  out << "speed " << options_.baud << "\n";
  out << "turnaround_us " << options_.turnaround.count() << "\n";
  out << "pace " << (options_.pace ? 1 : 0) << "\n";
  for (const auto& [number, port] : ports_) {
    out << "port " << number << "\n";
    const FaultPlan& f = port->faults;
    out << "  faults seed=" << f.seed << " drop=" << f.drop << " corrupt=" << f.corrupt << " truncate=" << f.truncate
        << " garbage=" << f.garbage << " late=" << f.late << " late_us=" << f.lateBy.count()
        << " hangup_after=" << f.hangUpAfterAnswers << "\n";
    for (const auto& [address, terminal] : port->terminals) {
      out << "  terminal " << address << (terminal.silent ? " silent" : "") << " capacity=" << terminal.capacity
          << " version=" << terminal.version << " record_capacity=" << terminal.recordCapacity
          << " generation=" << terminal.generation;
      if (terminal.identity) out << " serial=" << terminal.identity;
      if (terminal.earlyLast) out << " early_last=" << terminal.earlyLast;
      if (terminal.claimHeld >= 0) out << " claim_held=" << terminal.claimHeld;
      out << "\n";
      for (const auto& [person, enrolments] : terminal.persons) {
        if (enrolments.password) out << "    password " << person << " " << *enrolments.password << "\n";
        for (const auto& [enrolment, values] : enrolments.fingerprints) {
          out << "    fingerprint " << person << " " << enrolment;
          for (std::int32_t value : values) out << " " << value;
          out << "\n";
        }
      }
      for (const CardRecordFields& r : terminal.records)
        out << "    record " << r.person << " " << r.year << " " << r.month << " " << r.day << " " << r.hour << " "
            << r.minute << "\n";
    }
  }
}

void SimulatorSite::LoadSeedFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read seed file " + path);
  LoadSeed(in, path);
}

void SimulatorSite::SaveSeedFile(const std::string& path) const {
  const std::string staging = path + ".tmp";
  {
    std::ofstream out(staging, std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write seed file " + staging);
    out.precision(17);
    SaveSeed(out);
    out.flush();
    if (!out) throw std::runtime_error("cannot write seed file " + staging);
  }
  if (std::rename(staging.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot replace seed file " + path);
}

void SimulatorSite::AddDemoTerminals() {
  std::istringstream demo(R"(
port 1
  terminal 1
    password 1001 1234
    records 25 1001 5 2026 11 6 8 0
    record 1002 2026 11 6 9 5
  terminal 2
    password 2001 4321
    records 10 2001 2 2026 11 7 7 30
port 2
  terminal 3
    records 5 3001 1 2026 11 8 18 0
)");
  LoadSeed(demo, "demo");
  Template values{};
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int32_t>((i * 7919) % 100000) - 50000;
  AddTerminal(1, 1).persons[1001].fingerprints[0] = values;
}

}  // namespace terminal::sim
