// A simulated site: buses of attendance terminals, one bus per serial port, each behind a
// pseudo-terminal or (like a serial device server) a TCP listener on the loopback interface. Terminals hold persons (fingerprint templates, passwords) and card records as
// raw field values, answer the terminal protocol at an emulated line speed, and can be made to
// misbehave from a seeded fault generator. Runs on its own threads, one per port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "terminal/protocol/dense.h"
#include "terminal/protocol/messages.h"

namespace terminal::sim {

using protocol::CardRecordFields;
using protocol::Template;

struct PersonEnrolments {
  std::map<int, Template> fingerprints;  // enrolment 0..9
  std::optional<std::int32_t> password;  // enrolment 10
};

struct SimTerminal {
  int address = 1;
  bool silent = false;              // never answers (a terminal switched off or miswired)
  std::size_t capacity = 10000;     // persons it can hold; prepare/write refuse beyond
  std::map<std::int32_t, PersonEnrolments> persons;
  std::vector<CardRecordFields> records;  // in the terminal's order, oldest first

  // Protocol version it answers (1: no identity, generation or clear-records).
  int version = protocol::kProtocolVersion;
  // Its serial number, kept for life (0: derived from port and address when the site starts).
  std::uint32_t identity = 0;
  std::uint32_t recordCapacity = 100000;  // records it can hold (reported, not enforced)
  std::uint32_t generation = 1;           // log generation; a clear moves it on

  // Misbehaviour. earlyLast: it sets "last batch" after this many records although it holds
  // more (0: never). claimHeld: it reports this many records held in probe and begin answers
  // whatever it holds (negative: the truth).
  std::size_t earlyLast = 0;
  std::int64_t claimHeld = -1;
  // denseMiscount: its dense batches (version 3) say one record more than they carry.
  bool denseMiscount = false;
  // Further damage of its dense batches (08 and 0B), the same in every answer; the plain form
  // (03) is sound.
  enum class DenseFault {
    kNone,
    kEarlyLast,      // every dense batch says "last batch" (its begin answer tells the truth)
    kBusy,           // every dense request is refused as busy (5)
    kBadPayload,     // every dense request is refused as a bad payload (2)
    kRawDifference,  // the first record goes raw (its real date too) and the next by a difference
    kWrongPerson,    // a record's person is off by one, in a well-formed batch (its digest is the truth)
    kWrongMinute,    // a record's minute is off by one, likewise
  };
  DenseFault denseFault = DenseFault::kNone;

  // Its clock (version 3): local wall time to the second, `clockOffset` seconds ahead of the
  // host's local wall time at `clockAnchor` and gaining `drift` seconds a day from then (negative:
  // losing). The anchor is fixed at the clock's first use when it is empty. lostPowerYear: at
  // its next use the clock restarts at 1 January of that year, 00:00:00 (the "lost power" fault).
  // clockLocked: it refuses to have its clock set (reason 10).
  std::int64_t clockOffset = 0;
  double drift = 0;
  int lostPowerYear = 0;
  bool clockLocked = false;
  std::optional<std::chrono::system_clock::time_point> clockAnchor;

  // A factory reset: once the terminal has delivered the last batch of this many record reads
  // (0: never), its log is replaced by `afterReset` and its generation goes back to
  // `resetGeneration` (0: the generation it had when the site started), so other records sit
  // at the indices a host has seen under that identity and generation. Happens once.
  std::size_t resetAfterReads = 0;
  std::uint32_t resetGeneration = 0;
  std::vector<CardRecordFields> afterReset;
  std::size_t completedReads = 0;  // last batches delivered (counted while a reset is pending)
  // Clears it carries out whose answers are lost (the next this many; 0: none).
  std::size_t loseClearAnswers = 0;
  // Bytes it appends to every answer's payload, as a terminal of a later protocol version
  // would (0..kMaxExtraAnswerBytes); a host ignores them.
  std::size_t extraAnswerBytes = 0;
  // The value of each of those bytes (empty: E0, E1, ... EF, repeating).
  std::optional<std::uint8_t> extraAnswerFill;
  // Clock sets it carries out whose answers are lost (the next this many; 0: none).
  std::size_t loseSetAnswers = 0;

  // Deletes every record and moves to a new log generation, as the clear command does.
  void ClearRecords() {
    records.clear();
    ++generation;
    if (generation == 0) generation = 1;
  }
  // The factory reset described above, now.
  void FactoryReset() {
    records = std::move(afterReset);
    afterReset.clear();
    generation = resetGeneration ? resetGeneration : 1;
    resetAfterReads = 0;
  }
};

// The wall seconds (protocol::WallSeconds) a terminal's clock shows at `now`, fixing its anchor
// (and applying a pending lost-power restart) on first use; setting it makes it show `wall` now.
std::int64_t TerminalClock(SimTerminal& terminal, std::chrono::system_clock::time_point now);
void SetTerminalClock(SimTerminal& terminal, std::int64_t wall, std::chrono::system_clock::time_point now);
// The host's local wall time at `now` in wall seconds (with the fraction of its second).
double HostWallSeconds(std::chrono::system_clock::time_point now);
inline constexpr double kMaxDriftPerDay = 3600;  // seconds a day a simulated clock may gain or lose

// The seed file's name of a dense fault ("early_last", ...; "none"), and back (false: unknown).
const char* DenseFaultName(SimTerminal::DenseFault fault);
bool DenseFaultFromName(const std::string& name, SimTerminal::DenseFault& fault);

// The serial number a simulated terminal without one in its seed gets when the site starts.
std::uint32_t DefaultIdentity(int port, int address);

// Faults injected on one port. Probabilities are per answered request.
struct FaultPlan {
  std::uint64_t seed = 1;
  double drop = 0;      // the request is lost: no answer
  double corrupt = 0;   // one bit of the answer is flipped
  double truncate = 0;  // the answer stops part way
  double garbage = 0;   // a burst of random bytes goes ahead of the answer
  double late = 0;      // the answer comes `lateBy` after the usual turnaround
  std::chrono::microseconds lateBy{0};
  double busy = 0;           // the terminal answers busy (refusal 5) without acting
  double damageRequest = 0;  // the request arrives damaged: refused as a bad payload (2) unacted
  // Hang up the line instead of answering the request that follows this many answers
  // (0: never). The line is then replaced by a new pseudo-terminal at the same path, and the
  // setting falls back to 0.
  std::size_t hangUpAfterAnswers = 0;
};

struct PortStats {
  std::uint64_t requests = 0;  // well-formed requests addressed to a terminal of the bus
  std::uint64_t answers = 0;
  std::uint64_t dropped = 0;
  std::uint64_t corrupted = 0;
  std::uint64_t truncated = 0;
  std::uint64_t garbageBursts = 0;
  std::uint64_t late = 0;
  std::uint64_t hangUps = 0;
  std::uint64_t busy = 0;
  std::uint64_t damagedRequests = 0;
  std::uint64_t damagedInput = 0;  // bytes received that formed no valid frame
  std::uint64_t denseAnswers = 0;  // next-records answers sent in the dense form (08 or 0B)
  std::uint64_t checkedAnswers = 0;  // of those, answers with a digest (0B)
};

struct SiteOptions {
  unsigned baud = 115200;
  std::chrono::microseconds turnaround{1000};  // from a request's last byte to the answer
  bool pace = true;                            // emulate the line speed in both directions
  std::string linkDir;                         // where port links go; empty: a fresh temp dir
  bool tcp = false;  // serve each port on a loopback TCP port (an ephemeral one) instead
  // The host's time as the terminals' clocks see it (tests move it on); empty: the system clock.
  std::function<std::chrono::system_clock::time_point()> now;
};

// Bounds of what a seed may ask for.
inline constexpr std::size_t kMaxRecordsPerTerminal = 1'000'000;
inline constexpr std::size_t kMaxPersonsPerTerminal = 100'000;
inline constexpr std::chrono::microseconds kMaxDelay = std::chrono::seconds(60);
inline constexpr std::size_t kMaxExtraAnswerBytes = 64;

// The sound values of a fault plan: probabilities 0..1, delays 0..kMaxDelay. Empty when fine,
// else what is wrong ("drop=1.5 is not 0..1").
std::string CheckFaultPlan(const FaultPlan& plan);

class SimulatorSite {
 public:
  SimulatorSite();
  ~SimulatorSite();
  SimulatorSite(const SimulatorSite&) = delete;
  SimulatorSite& operator=(const SimulatorSite&) = delete;

  // Seed files (format in docs/protocol.md, "The simulator"). Loading adds to what is there.
  // Throws std::runtime_error naming the file and line of a mistake.
  void LoadSeedFile(const std::string& path);
  void SaveSeedFile(const std::string& path) const;
  void LoadSeed(std::istream& in, const std::string& name = "seed");
  void SaveSeed(std::ostream& out) const;
  SiteOptions& Options() { return options_; }
  // Adds (or returns) a terminal; only before Start.
  SimTerminal& AddTerminal(int port, int address);
  // Also while running. Throws std::invalid_argument for a plan CheckFaultPlan refuses.
  void SetFaults(int port, const FaultPlan& plan);

  // Opens a pseudo-terminal per port and starts answering. Returns port number -> the path
  // to open (a symbolic link that keeps its name when the line is replaced after a hang-up).
  // It never replaces a file it did not make: a link folder already holding a port's name
  // (another simulator's line, a user's file) is refused. With Options().tcp, each port listens
  // on 127.0.0.1 instead and the value is "tcp://127.0.0.1:PORT"; a hang-up closes the
  // connection and the listener takes the next one.
  std::map<int, std::string> Start();
  // Stops every port thread promptly and closes the lines. Idempotent.
  void Stop();
  bool Running() const { return running_; }
  std::string PathOf(int port) const;
  std::string LinkDir() const { return linkDir_; }

  // A copy of one terminal's state; empty when there is none.
  std::optional<SimTerminal> Terminal(int port, int address) const;
  // Changes one terminal's state under the site's lock.
  void EditTerminal(int port, int address, const std::function<void(SimTerminal&)>& edit);
  PortStats Stats(int port) const;
  // How many times the port's line has been replaced after a hang-up.
  std::uint64_t LineGeneration(int port) const;
  bool WaitForLineGeneration(int port, std::uint64_t atLeast, std::chrono::milliseconds timeout) const;
  // Hangs the line up now and replaces it (as a hang-up fault does).
  void HangUp(int port);

 private:
  struct Port;
  void Run(Port& port);
  void ReleaseLines();
  Port* FindPort(int number) const;

  SiteOptions options_;
  std::map<int, std::unique_ptr<Port>> ports_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string linkDir_;
  bool ownsLinkDir_ = false;
  bool running_ = false;
  int stopFd_ = -1;
};

}  // namespace terminal::sim
