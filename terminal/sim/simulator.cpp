#include "terminal/sim/simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <utility>

#include "terminal/protocol/frame_parser.h"
#include "terminal/serial/serial_port.h"
#include "terminal/sim/site_port.h"

namespace terminal::sim {
namespace {

using Clock = std::chrono::steady_clock;
using namespace protocol;

constexpr std::uint8_t kClearRecordsCommand = static_cast<std::uint8_t>(Command::kClearRecords);

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}


// Waits for `fd` (or only for the deadline when fd < 0) unless `stopFd` fires first.
// Returns false when asked to stop.
bool WaitUntil(int stopFd, Clock::time_point deadline, int fd = -1, short events = 0) {
  for (;;) {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, events, 0}};
    const auto left = std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count());
    timespec timeout{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    const int ready = ::ppoll(fds, fd >= 0 ? 2 : 1, &timeout, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (fds[0].revents & POLLIN) return false;
    return true;
  }
}

Frame Refuse(const Frame& request, RefusalCode code) {
  return {request.address, kRefusal, request.sequence, Encode(Refusal{request.command, static_cast<std::uint8_t>(code)})};
}

bool HasBadEnrolmentNumber(const Frame& request) {
  return request.payload.size() >= 5 && !IsValidEnrolmentNumber(request.payload[4]);
}

std::uint32_t ClaimedCount(const SimTerminal& terminal) {
  if (terminal.claimHeld >= 0) return static_cast<std::uint32_t>(terminal.claimHeld);
  return static_cast<std::uint32_t>(terminal.records.size());
}

RecordLog LogOf(const SimTerminal& terminal) {
  return {terminal.identity, terminal.recordCapacity, terminal.generation};
}

// The payload of a dense answer (08, or 0B with its digest when `checked`) carrying `batch`,
// with the terminal's dense faults applied.
std::vector<std::uint8_t> DenseAnswerOf(const SimTerminal& terminal, const NextRecordsAnswer& batch, bool checked) {
  using DenseFault = SimTerminal::DenseFault;
  NextRecordsAnswer sent = batch;
  // The digest is of what the terminal holds; the faults below damage what it encodes.
  const std::uint32_t digest = DenseDigest(batch);
  if (terminal.denseFault == DenseFault::kEarlyLast) sent.last = true;
  if (!sent.records.empty() &&
      (terminal.denseFault == DenseFault::kWrongPerson || terminal.denseFault == DenseFault::kWrongMinute)) {
    CardRecordFields& damaged = sent.records[sent.records.size() / 2];
    if (terminal.denseFault == DenseFault::kWrongPerson) {
      damaged.person = static_cast<std::int32_t>(static_cast<std::uint32_t>(damaged.person) + 1);
    } else if (const auto at = TimelineMinutes(damaged)) {
      damaged = AtTimeline(*at + 1, damaged.person);
    } else {
      damaged.minute = static_cast<std::int32_t>(static_cast<std::uint32_t>(damaged.minute) + 1);
    }
  }
  std::vector<std::uint8_t> payload;
  if (terminal.denseFault == DenseFault::kRawDifference && !sent.records.empty()) {
    // The first record whole in the raw form, then the rest as the difference coding gives them.
    payload = EncodeDense(sent, PersonCoding::kDifferences);
    std::vector<std::uint8_t> raw;
    AppendRawRecord(sent.records.front(), raw);
    const std::size_t first = kRecordBatchHeader + 2;  // after the coding byte and the lead 03
    payload.erase(payload.begin() + static_cast<std::ptrdiff_t>(first),
                  payload.begin() + static_cast<std::ptrdiff_t>(first + EncodedRecordSize(sent.records.front())));
    payload.insert(payload.begin() + static_cast<std::ptrdiff_t>(first), raw.begin(), raw.end());
  } else {
    payload = EncodeDense(sent);
  }
  if (terminal.denseMiscount) ++payload[4];
  if (checked)
    for (int shift = 0; shift < 32; shift += 8) payload.push_back(static_cast<std::uint8_t>(digest >> shift));
  return payload;
}

// What a terminal of any version answers to a request addressed to it, in at most `room`
// payload bytes; `now` is the host's time.
Frame AnswerOfVersion(SimTerminal& terminal, const Frame& request, std::size_t room,
                      std::chrono::system_clock::time_point now) {
  Frame answer{request.address, static_cast<std::uint8_t>(request.command | kAnswerBit), request.sequence, {}};
  switch (static_cast<Command>(request.command)) {
    case Command::kProbe: {
      if (!request.payload.empty()) return Refuse(request, RefusalCode::kBadPayload);
      ProbeAnswer probe{static_cast<std::uint8_t>(terminal.version), ClaimedCount(terminal), {}};
      if (terminal.version >= 2) probe.log = LogOf(terminal);
      answer.payload = Encode(probe);
      return answer;
    }
    case Command::kBeginRecordRead: {
      if (!request.payload.empty()) return Refuse(request, RefusalCode::kBadPayload);
      BeginReadAnswer begin{ClaimedCount(terminal), std::nullopt};
      if (terminal.version >= 2) begin.log = LogOf(terminal);
      if (terminal.version >= 3) begin.version = static_cast<std::uint8_t>(terminal.version);
      answer.payload = Encode(begin);
      return answer;
    }
    case Command::kNextRecords:
    case Command::kNextRecordsDense:
    case Command::kNextRecordsChecked: {
      const bool checked = request.command == static_cast<std::uint8_t>(Command::kNextRecordsChecked);
      const bool dense = checked || request.command == static_cast<std::uint8_t>(Command::kNextRecordsDense);
      if (dense && terminal.version < (checked ? 4 : 3)) return Refuse(request, RefusalCode::kUnknownCommand);
      using DenseFault = SimTerminal::DenseFault;
      if (dense && terminal.denseFault == DenseFault::kBusy) return Refuse(request, RefusalCode::kBusy);
      if (dense && terminal.denseFault == DenseFault::kBadPayload) return Refuse(request, RefusalCode::kBadPayload);
      const auto wanted = DecodeNextRecordsRequest(request.payload);
      if (!wanted || (wanted->generation && terminal.version < 2)) return Refuse(request, RefusalCode::kBadPayload);
      if (wanted->generation && *wanted->generation != terminal.generation)
        return Refuse(request, RefusalCode::kRecordsChanged);
      std::span<const CardRecordFields> all = terminal.records;
      if (terminal.earlyLast && all.size() > terminal.earlyLast) all = all.first(terminal.earlyLast);
      if (wanted->start > all.size()) return Refuse(request, RefusalCode::kBadIndex);
      if (!dense) {
        const NextRecordsAnswer batch = PackRecords(all, *wanted, room);
        answer.payload = Encode(batch);
        // A read of more than one record at a time that ended may bring the factory reset.
        if (batch.last && wanted->maxCount > 1 && terminal.resetAfterReads &&
            ++terminal.completedReads >= terminal.resetAfterReads)
          terminal.FactoryReset();
        return answer;
      }
      // Room for the digest, and for what a dense fault may add (a raw first record, a longer varint).
      const std::size_t reserve = (checked ? kDenseDigestSize : 0) + (terminal.denseFault != DenseFault::kNone ? 32 : 0);
      NextRecordsAnswer batch = PackDenseRecords(all, *wanted, room - reserve);
      answer.payload = DenseAnswerOf(terminal, batch, checked);
      if (batch.last && wanted->maxCount > 1 && terminal.resetAfterReads &&
          ++terminal.completedReads >= terminal.resetAfterReads)
        terminal.FactoryReset();
      return answer;
    }
    case Command::kReadClock: {
      if (terminal.version < 3) return Refuse(request, RefusalCode::kUnknownCommand);
      if (!request.payload.empty()) return Refuse(request, RefusalCode::kBadPayload);
      answer.payload = Encode(FromWallSeconds(TerminalClock(terminal, now)));
      return answer;
    }
    case Command::kSetClock: {
      if (terminal.version < 3) return Refuse(request, RefusalCode::kUnknownCommand);
      const auto time = DecodeClockTime(request.payload);
      if (!time) return Refuse(request, RefusalCode::kBadPayload);
      if (!IsValidClockTime(*time)) return Refuse(request, RefusalCode::kBadClockTime);
      if (terminal.clockLocked) return Refuse(request, RefusalCode::kClockLocked);
      SetTerminalClock(terminal, WallSeconds(*time), now);
      return answer;
    }
    case Command::kClearRecords: {
      if (terminal.version < 2) return Refuse(request, RefusalCode::kUnknownCommand);
      const auto clear = DecodeClearRecordsRequest(request.payload);
      if (!clear) return Refuse(request, RefusalCode::kBadPayload);
      if (clear->generation != terminal.generation || clear->count != terminal.records.size())
        return Refuse(request, RefusalCode::kRecordsChanged);
      terminal.ClearRecords();
      answer.payload = Encode(ClearRecordsAnswer{terminal.generation});
      return answer;
    }
    case Command::kReadEnrolment: {
      if (HasBadEnrolmentNumber(request)) return Refuse(request, RefusalCode::kBadEnrolmentNumber);
      const auto key = DecodeEnrolmentKey(request.payload);
      if (!key) return Refuse(request, RefusalCode::kBadPayload);
      const auto person = terminal.persons.find(key->person);
      if (person == terminal.persons.end()) return Refuse(request, RefusalCode::kNoEnrolment);
      EnrolmentData data;
      data.key = *key;
      if (data.IsPassword()) {
        if (!person->second.password) return Refuse(request, RefusalCode::kNoEnrolment);
        data.password = *person->second.password;
      } else {
        const auto found = person->second.fingerprints.find(key->enrolment);
        if (found == person->second.fingerprints.end()) return Refuse(request, RefusalCode::kNoEnrolment);
        data.fingerprint = found->second;
      }
      answer.payload = Encode(data);
      return answer;
    }
    case Command::kPrepareEnrolment: {
      if (HasBadEnrolmentNumber(request)) return Refuse(request, RefusalCode::kBadEnrolmentNumber);
      const auto prepare = DecodePrepareRequest(request.payload);
      if (!prepare) return Refuse(request, RefusalCode::kBadPayload);
      if (!terminal.persons.contains(prepare->key.person) && terminal.persons.size() >= terminal.capacity)
        return Refuse(request, RefusalCode::kStorageFull);
      return answer;
    }
    case Command::kWriteEnrolment: {
      if (HasBadEnrolmentNumber(request)) return Refuse(request, RefusalCode::kBadEnrolmentNumber);
      const auto data = DecodeEnrolmentData(request.payload);
      if (!data) return Refuse(request, RefusalCode::kBadPayload);
      if (!terminal.persons.contains(data->key.person) && terminal.persons.size() >= terminal.capacity)
        return Refuse(request, RefusalCode::kStorageFull);
      PersonEnrolments& person = terminal.persons[data->key.person];
      if (data->IsPassword())
        person.password = data->password;
      else
        person.fingerprints[data->key.enrolment] = data->fingerprint;
      return answer;
    }
  }
  return Refuse(request, RefusalCode::kUnknownCommand);
}

// What a terminal answers, with the bytes a later version would add to the payload.
Frame AnswerRequest(SimTerminal& terminal, const Frame& request, std::chrono::system_clock::time_point now) {
  const std::size_t extra = std::min(terminal.extraAnswerBytes, kMaxExtraAnswerBytes);
  Frame answer = AnswerOfVersion(terminal, request, kMaxPayload - extra, now);
  for (std::size_t i = 0; i < extra; ++i)
    answer.payload.push_back(terminal.extraAnswerFill.value_or(static_cast<std::uint8_t>(0xE0 + i % 16)));
  return answer;
}

}  // namespace

double HostWallSeconds(std::chrono::system_clock::time_point now) {
  using namespace std::chrono;
  const auto since = now.time_since_epoch();
  const time_t whole = static_cast<time_t>(floor<seconds>(since).count());
  tm local{};
  ::localtime_r(&whole, &local);
  const ClockTime wall{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                       std::min(local.tm_sec, 59)};
  return static_cast<double>(WallSeconds(wall)) + duration<double>(since - floor<seconds>(since)).count();
}

namespace {

double ClockSeconds(const SimTerminal& terminal, std::chrono::system_clock::time_point now) {
  const double sinceAnchor =
      terminal.clockAnchor ? std::chrono::duration<double>(now - *terminal.clockAnchor).count() : 0.0;
  return HostWallSeconds(now) + static_cast<double>(terminal.clockOffset) + terminal.drift * sinceAnchor / 86400.0;
}

}  // namespace

std::int64_t TerminalClock(SimTerminal& terminal, std::chrono::system_clock::time_point now) {
  if (terminal.lostPowerYear) {
    SetTerminalClock(terminal, WallSeconds(ClockTime{terminal.lostPowerYear, 1, 1, 0, 0, 0}), now);
    terminal.lostPowerYear = 0;
  }
  if (!terminal.clockAnchor) terminal.clockAnchor = now;
  return static_cast<std::int64_t>(std::floor(ClockSeconds(terminal, now)));
}

void SetTerminalClock(SimTerminal& terminal, std::int64_t wall, std::chrono::system_clock::time_point now) {
  terminal.clockAnchor = now;
  terminal.lostPowerYear = 0;
  // The clock shows `wall` (to the second) from now on; the host's fraction of a second is kept.
  terminal.clockOffset = wall - static_cast<std::int64_t>(std::floor(HostWallSeconds(now)));
}

namespace {
constexpr std::pair<SimTerminal::DenseFault, const char*> kDenseFaultNames[] = {
    {SimTerminal::DenseFault::kNone, "none"},
    {SimTerminal::DenseFault::kEarlyLast, "early_last"},
    {SimTerminal::DenseFault::kBusy, "busy"},
    {SimTerminal::DenseFault::kBadPayload, "bad_payload"},
    {SimTerminal::DenseFault::kRawDifference, "raw_difference"},
    {SimTerminal::DenseFault::kWrongPerson, "wrong_person"},
    {SimTerminal::DenseFault::kWrongMinute, "wrong_minute"},
};
}  // namespace

const char* DenseFaultName(SimTerminal::DenseFault fault) {
  for (const auto& [value, name] : kDenseFaultNames)
    if (value == fault) return name;
  return "none";
}

bool DenseFaultFromName(const std::string& text, SimTerminal::DenseFault& fault) {
  for (const auto& [value, name] : kDenseFaultNames)
    if (text == name) {
      fault = value;
      return true;
    }
  return false;
}

std::uint32_t DefaultIdentity(int port, int address) {
  return 0x56000000u + (static_cast<std::uint32_t>(port & 0xFFFF) << 8) + static_cast<std::uint32_t>(address & 0xFF);
}

std::string CheckFaultPlan(const FaultPlan& plan) {
  const std::pair<const char*, double> chances[] = {{"drop", plan.drop},         {"corrupt", plan.corrupt},
                                                    {"truncate", plan.truncate}, {"garbage", plan.garbage},
                                                    {"late", plan.late},         {"busy", plan.busy},
                                                    {"damage_request", plan.damageRequest}};
  for (const auto& [name, chance] : chances)
    if (!(chance >= 0.0 && chance <= 1.0)) return std::string(name) + "=" + std::to_string(chance) + " is not 0..1";
  if (plan.lateBy < std::chrono::microseconds(0) || plan.lateBy > kMaxDelay)
    return "late_us=" + std::to_string(plan.lateBy.count()) + " is not 0.." + std::to_string(kMaxDelay.count());
  return {};
}

SimulatorSite::SimulatorSite() = default;

SimulatorSite::~SimulatorSite() { Stop(); }

SimulatorSite::Port* SimulatorSite::FindPort(int number) const {
  const auto found = ports_.find(number);
  return found == ports_.end() ? nullptr : found->second.get();
}

SimTerminal& SimulatorSite::AddTerminal(int port, int address) {
  std::lock_guard lock(mutex_);
  if (running_) throw std::logic_error("terminals are added before the simulator starts");
  if (address < kMinAddress || address > kMaxAddress)
    throw std::invalid_argument("terminal address " + std::to_string(address) + " is not 1..255");
  auto& slot = ports_[port];
  if (!slot) {
    slot = std::make_unique<Port>();
    slot->number = port;
  }
  SimTerminal& terminal = slot->terminals[address];
  terminal.address = address;
  return terminal;
}

void SimulatorSite::SetFaults(int port, const FaultPlan& plan) {
  if (const std::string wrong = CheckFaultPlan(plan); !wrong.empty()) throw std::invalid_argument("faults: " + wrong);
  std::lock_guard lock(mutex_);
  auto& slot = ports_[port];
  if (!slot) {
    if (running_) throw std::logic_error("no such port " + std::to_string(port));
    slot = std::make_unique<Port>();
    slot->number = port;
  }
  slot->faults = plan;
  slot->random.seed(plan.seed);
  slot->answersSincePlan = 0;
}

std::optional<SimTerminal> SimulatorSite::Terminal(int port, int address) const {
  std::lock_guard lock(mutex_);
  Port* found = FindPort(port);
  if (!found) return std::nullopt;
  const auto terminal = found->terminals.find(address);
  if (terminal == found->terminals.end()) return std::nullopt;
  return terminal->second;
}

void SimulatorSite::EditTerminal(int port, int address, const std::function<void(SimTerminal&)>& edit) {
  std::lock_guard lock(mutex_);
  Port* found = FindPort(port);
  if (!found || !found->terminals.contains(address))
    throw std::invalid_argument("no terminal " + std::to_string(address) + " on port " + std::to_string(port));
  edit(found->terminals[address]);
}

PortStats SimulatorSite::Stats(int port) const {
  std::lock_guard lock(mutex_);
  Port* found = FindPort(port);
  return found ? found->stats : PortStats{};
}

std::uint64_t SimulatorSite::LineGeneration(int port) const {
  std::lock_guard lock(mutex_);
  Port* found = FindPort(port);
  return found ? found->generation : 0;
}

bool SimulatorSite::WaitForLineGeneration(int port, std::uint64_t atLeast, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    Port* found = FindPort(port);
    return found && found->generation >= atLeast;
  });
}

std::string SimulatorSite::PathOf(int port) const {
  std::lock_guard lock(mutex_);
  Port* found = FindPort(port);
  return found ? found->linkPath : std::string();
}

namespace {

// Opens a fresh pseudo-terminal in raw mode; `slaveName` gets its device path.
void OpenPseudoTerminal(int& master, int& holder, std::string& slaveName, unsigned baud) {
  master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) throw SystemError("posix_openpt");
  char name[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
    ::close(std::exchange(master, -1));
    throw SystemError("pseudo-terminal setup");
  }
  holder = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (holder < 0) {
    ::close(std::exchange(master, -1));
    throw SystemError(std::string("open ") + name);
  }
  termios raw{};
  ::tcgetattr(holder, &raw);
  ::cfmakeraw(&raw);
  ::cfsetspeed(&raw, serial::SpeedCode(baud).value_or(B115200));  // Start refuses other speeds
  ::tcsetattr(holder, TCSANOW, &raw);
  slaveName = name;
}

// Whether `path` is a link some simulator left behind: a symbolic link to a pseudo-terminal
// that no longer exists. Such a link may be replaced; anything else at `path` may not.
bool IsStaleLineLink(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_symlink(path, ec)) return false;
  const auto target = std::filesystem::read_symlink(path, ec);
  return !ec && target.string().rfind("/dev/pts/", 0) == 0 && !std::filesystem::exists(target, ec);
}

// Points `linkPath` at `slaveName`. The first time (`replace` false) nothing may be at linkPath
// but a stale line link; later the link is the simulator's own and is replaced atomically.
void PlaceLink(const std::string& linkPath, const std::string& slaveName, bool replace) {
  if (!replace) {
    if (IsStaleLineLink(linkPath)) ::unlink(linkPath.c_str());
    if (::symlink(slaveName.c_str(), linkPath.c_str()) != 0) {
      if (errno == EEXIST)
        throw std::runtime_error(linkPath + " exists (another simulator's line or a file of its own); the simulator "
                                            "replaces only links it made: choose another --link-dir");
      throw SystemError("link " + linkPath);
    }
    return;
  }
  const std::string staging = linkPath + ".new-" + std::to_string(::getpid());
  if (::symlink(slaveName.c_str(), staging.c_str()) != 0) throw SystemError("link " + staging);
  if (::rename(staging.c_str(), linkPath.c_str()) != 0) {
    const int error = errno;
    ::unlink(staging.c_str());
    errno = error;
    throw SystemError("link " + linkPath);
  }
}

void CloseLine(int& master, int& holder) {
  if (master >= 0) ::close(master);
  if (holder >= 0) ::close(holder);
  master = holder = -1;
}

// A listener on 127.0.0.1, on an ephemeral port; returns its "tcp://127.0.0.1:PORT".
std::string Listen(int& listener) {
  listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0) throw SystemError("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = errno;
    ::close(std::exchange(listener, -1));
    errno = error;
    throw SystemError("listen on 127.0.0.1");
  }
  return "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

}  // namespace

std::map<int, std::string> SimulatorSite::Start() {
  std::lock_guard lock(mutex_);
  if (running_) throw std::logic_error("simulator already running");
  if (!serial::IsSupportedSpeed(options_.baud))
    throw std::invalid_argument("line speed " + std::to_string(options_.baud) + " is not one of " +
                                serial::SupportedSpeedsText());
  if (options_.tcp) {
    linkDir_.clear();
    ownsLinkDir_ = false;
  } else if (options_.linkDir.empty()) {
    char pattern[] = "/tmp/vanto-sim-XXXXXX";
    if (!::mkdtemp(pattern)) throw SystemError("mkdtemp");
    linkDir_ = pattern;
    ownsLinkDir_ = true;
  } else {
    linkDir_ = options_.linkDir;
    std::filesystem::create_directories(linkDir_);
    ownsLinkDir_ = false;
  }
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) throw SystemError("eventfd");
  std::map<int, std::string> paths;
  try {
    for (auto& [number, port] : ports_) {
      if (options_.tcp) {
        port->linkPath = Listen(port->listener);
      } else {
        port->linkPath = linkDir_ + "/port" + std::to_string(number);
        OpenPseudoTerminal(port->master, port->holder, port->slaveName, options_.baud);
        PlaceLink(port->linkPath, port->slaveName, false);
        port->linkMade = true;
      }
      port->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      if (port->wakeFd < 0) throw SystemError("eventfd");
      paths[number] = port->linkPath;
    }
  } catch (...) {
    ReleaseLines();
    throw;
  }
  for (auto& [number, port] : ports_)
    for (auto& [address, terminal] : port->terminals) {
      if (terminal.identity == 0) terminal.identity = DefaultIdentity(number, address);
      if (terminal.resetAfterReads && terminal.resetGeneration == 0) terminal.resetGeneration = terminal.generation;
    }
  running_ = true;
  for (auto& [number, port] : ports_) {
    Port* raw = port.get();
    port->thread = std::thread([this, raw] {
      try {
        Run(*raw);
      } catch (const std::exception&) {
        // A line that cannot be replaced ends this port; the others go on.
      }
    });
  }
  return paths;
}

void SimulatorSite::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t wrote = ::write(stopFd_, &one, sizeof one);
  for (auto& [number, port] : ports_)
    if (port->thread.joinable()) port->thread.join();
  std::lock_guard lock(mutex_);
  ReleaseLines();
  running_ = false;
}

// Closes every line and removes the links this simulator made (a link it finds pointing
// elsewhere is no longer its own and stays).
void SimulatorSite::ReleaseLines() {
  for (auto& [number, port] : ports_) {
    CloseLine(port->master, port->holder);
    if (port->listener >= 0) ::close(std::exchange(port->listener, -1));
    if (port->wakeFd >= 0) ::close(std::exchange(port->wakeFd, -1));
    if (port->linkMade) {
      std::error_code ec;
      const auto target = std::filesystem::read_symlink(port->linkPath, ec);
      if (!ec && target == port->slaveName) ::unlink(port->linkPath.c_str());
      port->linkMade = false;
    }
  }
  if (stopFd_ >= 0) ::close(std::exchange(stopFd_, -1));
  if (ownsLinkDir_) ::rmdir(linkDir_.c_str());
  ownsLinkDir_ = false;
}

void SimulatorSite::HangUp(int port) {
  Port* found;
  {
    std::lock_guard lock(mutex_);
    found = FindPort(port);
    if (!found || !running_) return;
  }
  found->hangUpWanted = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t wrote = ::write(found->wakeFd, &one, sizeof one);
}

void SimulatorSite::Run(Port& port) {
  FrameParser parser;
  const auto exactByteTime = options_.pace ? std::chrono::nanoseconds(10'000'000'000LL / options_.baud)
                                           : std::chrono::nanoseconds(0);
  Clock::time_point lineFreeAt = Clock::now();
  std::vector<std::uint8_t> buffer(4096);

  // A hang-up: a pseudo-terminal is replaced by a new one behind the same link; a TCP
  // connection is closed and the listener waits for the next.
  auto replaceLine = [&] {
    CloseLine(port.master, port.holder);
    parser.Reset();
    std::lock_guard lock(mutex_);
    if (!options_.tcp) {
      OpenPseudoTerminal(port.master, port.holder, port.slaveName, options_.baud);
      PlaceLink(port.linkPath, port.slaveName, true);
    }
    ++port.stats.hangUps;
    ++port.generation;
    changed_.notify_all();
  };
  // The host went away (TCP only: a pseudo-terminal stays until replaced).
  auto dropConnection = [&] {
    if (!options_.tcp) return;
    CloseLine(port.master, port.holder);
    parser.Reset();
  };
  auto writeSome = [&](const std::uint8_t* data, std::size_t size) -> ssize_t {
    return options_.tcp ? ::send(port.master, data, size, MSG_NOSIGNAL) : ::write(port.master, data, size);
  };

  // Sends `bytes` at the emulated line speed, starting no earlier than `start`.
  auto sendPaced = [&](const std::vector<std::uint8_t>& bytes, Clock::time_point start) -> bool {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const auto now = Clock::now();
      std::size_t due = bytes.size();
      if (exactByteTime.count() > 0) {
        const auto elapsed = now < start ? Clock::duration::zero() : now - start;
        due = std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(elapsed / exactByteTime) + 1);
      }
      if (due > sent) {
        if (port.master < 0) return true;  // nobody connected
        const ssize_t wrote = writeSome(bytes.data() + sent, due - sent);
        if (wrote > 0) {
          sent += static_cast<std::size_t>(wrote);
          continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EINTR) {  // nobody listening
          dropConnection();
          return true;
        }
        if (!WaitUntil(stopFd_, now + std::chrono::milliseconds(50), port.master, POLLOUT)) return false;
        continue;
      }
      const auto next = start + exactByteTime * static_cast<long>(sent);
      if (!WaitUntil(stopFd_, std::max(next, now + std::chrono::microseconds(500)))) return false;
    }
    lineFreeAt = std::max(lineFreeAt, start + exactByteTime * static_cast<long>(bytes.size()));
    return true;
  };

  for (;;) {
    pollfd fds[4] = {{stopFd_, POLLIN, 0}, {port.wakeFd, POLLIN, 0}, {port.master, POLLIN, 0},
                     {port.listener, POLLIN, 0}};
    const int ready = ::poll(fds, 4, 1000);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) return;
    if (fds[1].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] const ssize_t got = ::read(port.wakeFd, &count, sizeof count);
    }
    if (port.hangUpWanted.exchange(false)) {
      replaceLine();
      continue;
    }
    if (fds[3].revents & POLLIN) {
      // A new connection takes the line over: a host that reconnects replaces the one it lost.
      const int accepted = ::accept4(port.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (accepted >= 0) {
        dropConnection();
        const int on = 1;
        ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        port.master = accepted;
      }
    }
    const short readable = options_.tcp ? (POLLIN | POLLHUP | POLLERR) : POLLIN;
    if (port.master < 0 || !(fds[2].revents & readable)) continue;
    const ssize_t got = ::read(port.master, buffer.data(), buffer.size());
    if (got <= 0) {
      if (got == 0 || (errno != EAGAIN && errno != EINTR)) dropConnection();
      continue;
    }
    const auto now = Clock::now();
    lineFreeAt = std::max(lineFreeAt, now) + exactByteTime * got;
    const std::uint64_t skippedBefore = parser.Stats().skippedBytes;
    parser.Feed(std::span(buffer.data(), static_cast<std::size_t>(got)));
    {
      std::lock_guard lock(mutex_);
      port.stats.damagedInput += parser.Stats().skippedBytes - skippedBefore;
    }
    while (auto request = parser.Next()) {
      std::vector<std::uint8_t> bytes;
      bool hangUp = false;
      auto delay = options_.turnaround;
      {
        std::lock_guard lock(mutex_);
        const auto terminal = port.terminals.find(request->address);
        if (!IsRequest(request->command) || terminal == port.terminals.end() || terminal->second.silent) continue;
        ++port.stats.requests;
        FaultPlan& plan = port.faults;
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        if (plan.hangUpAfterAnswers && port.answersSincePlan >= plan.hangUpAfterAnswers) {
          plan.hangUpAfterAnswers = 0;
          hangUp = true;
        } else if (plan.drop > 0 && chance(port.random) < plan.drop) {
          ++port.stats.dropped;
          continue;
        } else {
          if (plan.damageRequest > 0 && chance(port.random) < plan.damageRequest) {
            bytes = EncodeFrame(Refuse(*request, RefusalCode::kBadPayload));
            ++port.stats.damagedRequests;
          } else if (plan.busy > 0 && chance(port.random) < plan.busy) {
            bytes = EncodeFrame(Refuse(*request, RefusalCode::kBusy));
            ++port.stats.busy;
          } else {
            const Frame answer = AnswerRequest(terminal->second, *request,
                                               options_.now ? options_.now() : std::chrono::system_clock::now());
            if (answer.command == AnswerTo(Command::kNextRecordsDense)) ++port.stats.denseAnswers;
            if (answer.command == AnswerTo(Command::kNextRecordsChecked)) ++port.stats.denseAnswers, ++port.stats.checkedAnswers;
            if (answer.command == (kClearRecordsCommand | kAnswerBit) && terminal->second.loseClearAnswers > 0) {
              --terminal->second.loseClearAnswers;  // cleared, and the answer never arrives
              ++port.stats.dropped;
              continue;
            }
            if (answer.command == AnswerTo(Command::kSetClock) && terminal->second.loseSetAnswers > 0) {
              --terminal->second.loseSetAnswers;  // set, and the answer never arrives
              ++port.stats.dropped;
              continue;
            }
            bytes = EncodeFrame(answer);
          }
          if (plan.truncate > 0 && chance(port.random) < plan.truncate) {
            bytes.resize(std::uniform_int_distribution<std::size_t>(1, bytes.size() - 1)(port.random));
            ++port.stats.truncated;
          }
          if (plan.corrupt > 0 && chance(port.random) < plan.corrupt) {
            const std::size_t at = std::uniform_int_distribution<std::size_t>(0, bytes.size() - 1)(port.random);
            bytes[at] ^= static_cast<std::uint8_t>(1u << std::uniform_int_distribution<int>(0, 7)(port.random));
            ++port.stats.corrupted;
          }
          if (plan.garbage > 0 && chance(port.random) < plan.garbage) {
            std::vector<std::uint8_t> burst(std::uniform_int_distribution<std::size_t>(1, 48)(port.random));
            for (auto& byte : burst) byte = static_cast<std::uint8_t>(port.random());
            // Bursts often look like the start of a frame.
            if (burst.size() > 2 && (port.random() & 1)) burst[0] = kStart1, burst[1] = kStart2;
            bytes.insert(bytes.begin(), burst.begin(), burst.end());
            ++port.stats.garbageBursts;
          }
          if (plan.late > 0 && chance(port.random) < plan.late) {
            delay += plan.lateBy;
            ++port.stats.late;
          }
          ++port.stats.answers;
          ++port.answersSincePlan;
        }
      }
      if (hangUp) {
        replaceLine();
        break;
      }
      const auto answerAt = lineFreeAt + delay;
      if (!WaitUntil(stopFd_, answerAt)) return;
      if (!sendPaced(bytes, answerAt)) return;
    }
  }
}

}  // namespace terminal::sim
