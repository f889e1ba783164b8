// Seed files of the simulator: a line-oriented text form of a site (format in docs/protocol.md).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "terminal/serial/serial_port.h"
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

// Reads all of `text` as a number of type T within [low, high].
template <typename T>
bool ReadWhole(const std::string& text, T low, T high, T& out) {
  std::istringstream in(text);
  T value{};
  if (text.empty() || text.front() == '+' || !(in >> value) || !in.eof() || value < low || value > high) return false;
  out = value;
  return true;
}

// One key=value flag of a `terminal` line other than capacity; false when it is unknown or its
// value bad.
bool TerminalFlag(SimTerminal& terminal, const std::string& flag) {
  const auto equals = flag.find('=');
  if (equals == std::string::npos) return false;
  const std::string key = flag.substr(0, equals), text = flag.substr(equals + 1);
  long long value = 0;
  auto whole = [&](long long low, long long high) { return ReadWhole<long long>(text, low, high, value); };
  double real = 0;
  if (key == "version" && whole(1, protocol::kHighestProtocolVersion)) terminal.version = static_cast<int>(value);
  else if (key == "dense_fault") return DenseFaultFromName(text, terminal.denseFault);
  else if (key == "clock_offset" && whole(-4'000'000'000LL, 4'000'000'000LL)) terminal.clockOffset = value;
  else if (key == "drift" && ReadWhole<double>(text, -kMaxDriftPerDay, kMaxDriftPerDay, real)) terminal.drift = real;
  else if (key == "lost_power" && whole(1970, 2127)) terminal.lostPowerYear = static_cast<int>(value);
  else if (key == "serial" && whole(1, 0xFFFFFFFFLL)) terminal.identity = static_cast<std::uint32_t>(value);
  else if (key == "record_capacity" && whole(0, 0xFFFFFFFFLL)) terminal.recordCapacity = static_cast<std::uint32_t>(value);
  else if (key == "generation" && whole(1, 0xFFFFFFFFLL)) terminal.generation = static_cast<std::uint32_t>(value);
  else if (key == "early_last" && whole(0, 0xFFFFFFFFLL)) terminal.earlyLast = static_cast<std::size_t>(value);
  else if (key == "claim_held" && whole(-1, 0xFFFFFFFFLL)) terminal.claimHeld = value;
  else if (key == "reset_after_reads" && whole(0, 1'000'000'000)) terminal.resetAfterReads = static_cast<std::size_t>(value);
  else if (key == "reset_generation" && whole(1, 0xFFFFFFFFLL)) terminal.resetGeneration = static_cast<std::uint32_t>(value);
  else if (key == "lose_clear_answers" && whole(0, 1'000'000'000)) terminal.loseClearAnswers = static_cast<std::size_t>(value);
  else if (key == "extra_answer_bytes" && whole(0, static_cast<long long>(kMaxExtraAnswerBytes)))
    terminal.extraAnswerBytes = static_cast<std::size_t>(value);
  else if (key == "extra_answer_fill" && whole(0, 255)) terminal.extraAnswerFill = static_cast<std::uint8_t>(value);
  else if (key == "lose_set_answers" && whole(0, 1'000'000'000)) terminal.loseSetAnswers = static_cast<std::size_t>(value);
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
  bool afterReset = false;  // record lines go to the log after the factory reset
  // clone_of=P:A flags, resolved once every terminal of the seed is known.
  struct Clone {
    SimTerminal* terminal;
    int port, address, line;
  };
  std::vector<Clone> clones;
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
    auto roomFor = [&](std::int32_t person) {
      if (!terminal->persons.contains(person) && terminal->persons.size() >= kMaxPersonsPerTerminal)
        throw SeedError(name, lineNumber, "a terminal holds at most " + std::to_string(kMaxPersonsPerTerminal) + " persons");
    };
    if (word == "speed") {
      unsigned baud = 0;
      need(baud);
      if (!serial::IsSupportedSpeed(baud))
        throw SeedError(name, lineNumber, "speed " + std::to_string(baud) + " is not one of " +
                                              serial::SupportedSpeedsText());
      options_.baud = baud;
    } else if (word == "turnaround_us") {
      long long micros = 0;
      need(micros);
      if (micros < 0 || micros > kMaxDelay.count())
        throw SeedError(name, lineNumber, "turnaround_us must be 0.." + std::to_string(kMaxDelay.count()));
      options_.turnaround = std::chrono::microseconds(micros);
    } else if (word == "pace") {
      int on = 1;
      need(on);
      options_.pace = on != 0;
    } else if (word == "port") {
      need(port);
      if (port < 1 || port > 32767) throw SeedError(name, lineNumber, "port must be 1..32767");
      terminal = nullptr;
      afterReset = false;
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
        const std::string value = setting.substr(equals + 1);
        const std::pair<const char*, double*> chances[] = {
            {"drop", &plan.drop}, {"corrupt", &plan.corrupt}, {"truncate", &plan.truncate}, {"garbage", &plan.garbage},
            {"late", &plan.late}, {"busy", &plan.busy},       {"damage_request", &plan.damageRequest}};
        bool ok = false, known = false;
        for (const auto& [chanceName, target] : chances)
          if (key == chanceName) {
            known = true;
            ok = ReadWhole(value, 0.0, 1.0, *target);
            if (!ok) throw SeedError(name, lineNumber, "fault " + setting + ": a probability is 0..1");
          }
        if (known) continue;
        if (key == "seed") {
          ok = ReadWhole<std::uint64_t>(value, 0, UINT64_MAX, plan.seed);
        } else if (key == "late_us") {
          long long micros = 0;
          ok = ReadWhole<long long>(value, 0, kMaxDelay.count(), micros);
          plan.lateBy = std::chrono::microseconds(micros);
        } else if (key == "hangup_after") {
          ok = ReadWhole<std::size_t>(value, 0, 1'000'000'000, plan.hangUpAfterAnswers);
        } else {
          throw SeedError(name, lineNumber, "unknown fault setting " + setting);
        }
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
      afterReset = false;
      std::string flag;
      while (line >> flag) {
        if (flag == "silent") terminal->silent = true;
        else if (flag == "clock_locked") terminal->clockLocked = true;
        else if (flag == "dense_miscount") terminal->denseMiscount = true;
        else if (flag.rfind("clone_of=", 0) == 0) {
          // clone_of=P:A: it reports the identity of terminal A on port P (a cloned serial).
          Clone clone{terminal, 0, 0, lineNumber};
          const std::string target = flag.substr(9);
          const auto colon = target.find(':');
          if (colon == std::string::npos || !ReadWhole(target.substr(0, colon), 1, 32767, clone.port) ||
              !ReadWhole(target.substr(colon + 1), 1, 255, clone.address))
            throw SeedError(name, lineNumber, "clone_of=PORT:TERMINAL (port 1..32767, terminal 1..255), got " + flag);
          if (clone.port == port && clone.address == address)
            throw SeedError(name, lineNumber, "a terminal cannot be a clone of itself");
          clones.push_back(clone);
        }
        else if (flag.rfind("capacity=", 0) == 0) {
          if (!ReadWhole<std::size_t>(flag.substr(9), 0, kMaxPersonsPerTerminal, terminal->capacity))
            throw SeedError(name, lineNumber, "capacity must be 0.." + std::to_string(kMaxPersonsPerTerminal));
        } else if (!TerminalFlag(*terminal, flag)) {
          throw SeedError(name, lineNumber, "unknown terminal flag or bad value " + flag);
        }
      }
    } else if (word == "password") {
      needTerminal();
      std::int32_t person = 0, password = 0;
      need(person, password);
      roomFor(person);
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
      roomFor(person);
      terminal->persons[person].fingerprints[enrolment] = values;
    } else if (word == "record") {
      needTerminal();
      CardRecordFields record;
      need(record.person, record.year, record.month, record.day, record.hour, record.minute);
      auto& log = afterReset ? terminal->afterReset : terminal->records;
      if (log.size() >= kMaxRecordsPerTerminal)
        throw SeedError(name, lineNumber, "a terminal holds at most " + std::to_string(kMaxRecordsPerTerminal) + " records");
      log.push_back(record);
    } else if (word == "records") {
      needTerminal();
      std::int64_t count = 0;
      std::int32_t firstPerson = 0, persons = 0;
      int year = 0, month = 0, day = 0, hour = 0, minute = 0;
      need(count, firstPerson, persons, year, month, day, hour, minute);
      if (count < 0 || persons < 1) throw SeedError(name, lineNumber, "records: count >= 0 and persons >= 1");
      auto& log = afterReset ? terminal->afterReset : terminal->records;
      if (static_cast<std::uint64_t>(count) > kMaxRecordsPerTerminal - log.size())
        throw SeedError(name, lineNumber, "records: a terminal holds at most " + std::to_string(kMaxRecordsPerTerminal) +
                                              " records (" + std::to_string(log.size()) + " so far)");
      const std::chrono::year_month_day start{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                              std::chrono::day(static_cast<unsigned>(day))};
      if (!start.ok()) throw SeedError(name, lineNumber, "records: start date is no calendar date");
      for (std::int64_t i = 0; i < count; ++i)
        log.push_back(GeneratedRecord(i, firstPerson, persons, std::chrono::sys_days(start), hour, minute));
    } else if (word == "after_reset") {
      needTerminal();
      if (!terminal->resetAfterReads)
        throw SeedError(name, lineNumber, "'after_reset' on a terminal without reset_after_reads=N");
      afterReset = true;
    } else {
      throw SeedError(name, lineNumber, "unknown keyword '" + word + "'");
    }
    std::string extra;
    if (word != "faults" && word != "terminal" && (line >> extra))
      throw SeedError(name, lineNumber, "unexpected '" + extra + "'");
  }
  std::lock_guard lock(mutex_);
  for (const Clone& clone : clones) {
    const SimTerminal* original = nullptr;
    if (Port* source = FindPort(clone.port))
      if (const auto found = source->terminals.find(clone.address); found != source->terminals.end())
        original = &found->second;
    if (!original)
      throw SeedError(name, clone.line, "clone_of: no terminal " + std::to_string(clone.address) + " on port " +
                                            std::to_string(clone.port) + " in this seed");
    clone.terminal->identity = original->identity ? original->identity : DefaultIdentity(clone.port, clone.address);
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
        << " busy=" << f.busy << " damage_request=" << f.damageRequest << " hangup_after=" << f.hangUpAfterAnswers
        << "\n";
    for (const auto& [address, terminal] : port->terminals) {
      out << "  terminal " << address << (terminal.silent ? " silent" : "") << " capacity=" << terminal.capacity
          << " version=" << terminal.version << " record_capacity=" << terminal.recordCapacity
          << " generation=" << terminal.generation;
      if (terminal.identity) out << " serial=" << terminal.identity;
      if (terminal.earlyLast) out << " early_last=" << terminal.earlyLast;
      if (terminal.claimHeld >= 0) out << " claim_held=" << terminal.claimHeld;
      if (terminal.denseMiscount) out << " dense_miscount";
      if (terminal.denseFault != SimTerminal::DenseFault::kNone) out << " dense_fault=" << DenseFaultName(terminal.denseFault);
      // The clock as it stands now: its offset with the drift so far; a lost power not yet seen.
      const auto now = options_.now ? options_.now() : std::chrono::system_clock::now();
      const double drifted = terminal.clockAnchor
                                 ? terminal.drift * std::chrono::duration<double>(now - *terminal.clockAnchor).count() / 86400
                                 : 0.0;
      const auto offset = terminal.clockOffset + static_cast<std::int64_t>(drifted);
      if (offset) out << " clock_offset=" << offset;
      if (terminal.drift != 0) out << " drift=" << terminal.drift;
      if (terminal.lostPowerYear) out << " lost_power=" << terminal.lostPowerYear;
      if (terminal.clockLocked) out << " clock_locked";
      if (terminal.resetAfterReads)
        out << " reset_after_reads=" << terminal.resetAfterReads - std::min(terminal.completedReads, terminal.resetAfterReads - 1)
            << " reset_generation=" << (terminal.resetGeneration ? terminal.resetGeneration : terminal.generation);
      if (terminal.loseClearAnswers) out << " lose_clear_answers=" << terminal.loseClearAnswers;
      if (terminal.extraAnswerBytes) out << " extra_answer_bytes=" << terminal.extraAnswerBytes;
      if (terminal.extraAnswerFill) out << " extra_answer_fill=" << static_cast<int>(*terminal.extraAnswerFill);
      if (terminal.loseSetAnswers) out << " lose_set_answers=" << terminal.loseSetAnswers;
      out << "\n";
      for (const auto& [person, enrolments] : terminal.persons) {
        if (enrolments.password) out << "    password " << person << " " << *enrolments.password << "\n";
        for (const auto& [enrolment, values] : enrolments.fingerprints) {
          out << "    fingerprint " << person << " " << enrolment;
          for (std::int32_t value : values) out << " " << value;
          out << "\n";
        }
      }
      auto put = [&](const std::vector<CardRecordFields>& log) {
        for (const CardRecordFields& r : log)
          out << "    record " << r.person << " " << r.year << " " << r.month << " " << r.day << " " << r.hour << " "
              << r.minute << "\n";
      };
      put(terminal.records);
      if (terminal.resetAfterReads) {
        out << "    after_reset\n";
        put(terminal.afterReset);
      }
    }
  }
}

void SimulatorSite::LoadSeedFile(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw std::runtime_error(path + ": a folder, not a seed file");
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read seed file " + path);
  LoadSeed(in, path);
}

// Written aside (`path`.tmp, owner-only: a site holds people's data), flushed to the disk and
// renamed over `path`: a reader, or a process stopped part-way, finds the old file or the new one.
void SimulatorSite::SaveSeedFile(const std::string& path) const {
  std::ostringstream text;
  text.precision(17);
  SaveSeed(text);
  const std::string data = text.str();
  const std::string staging = path + ".tmp";
  ::unlink(staging.c_str());  // a leftover keeps its own mode; the new file is made owner-only
  int fd = ::open(staging.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  auto fail = [&](const std::string& what) {
    const std::string reason = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    ::unlink(staging.c_str());
    throw std::runtime_error(what + ": " + reason);
  };
  if (fd < 0) fail("cannot write seed file " + staging);
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) fail("cannot write seed file " + staging);
    done += static_cast<std::size_t>(wrote);
  }
  if (::fsync(fd) != 0) fail("cannot write seed file " + staging);
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0) fail("cannot write seed file " + staging);
  if (std::rename(staging.c_str(), path.c_str()) != 0) fail("cannot replace seed file " + path);
  // The rename itself reaches the disk with the folder.
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace terminal::sim
