#include "terminal/control/terminal_client.h"

#include "terminal/control/port_status.h"

#include <array>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "terminal/control/line_factory.h"

namespace terminal::control {

using namespace protocol;
using line::Clock;
using line::LineError;
using line::LineFailure;

namespace {

bool IsAddress(std::int64_t address) { return address >= kMinAddress && address <= kMaxAddress; }

LinkError FromLine(const LineError& error) {
  return LinkError(error.Failure() == LineFailure::kOpen ? LinkFailure::kOpen : LinkFailure::kHangUp, error.what());
}

// The clients of this process holding a port, by device. Another client of the same thread
// (the host's own control beside the one the driver uses: calls on a thread run one at a time)
// takes the port over instead of waiting for a lock its own process holds; the first opens the
// port again at its next request. Clients of other threads wait for the lock as another process
// would.
struct PortHolder {
  std::thread::id thread;
  TerminalClient* client = nullptr;
};
std::mutex holdersMutex;
std::map<std::string, PortHolder>& Holders() {
  static std::map<std::string, PortHolder> holders;
  return holders;
}

// Nested reads deeper than this are reads abandoned without their end; the oldest is dropped.
constexpr std::size_t kMaxNestedReads = 16;

}  // namespace

TerminalClient::TerminalClient(ControlSettings settings) : settings_(std::move(settings)) {}

TerminalClient::~TerminalClient() {
  line_.reset();
  ReleaseLock();
}

void TerminalClient::ReleaseLock() {
  lock_.Release();
  if (lockedDevice_.empty()) return;
  std::lock_guard guard(holdersMutex);
  auto it = Holders().find(lockedDevice_);
  if (it != Holders().end() && it->second.client == this) Holders().erase(it);
  lockedDevice_.clear();
}

void TerminalClient::SelectPort(int port) {
  openFailure_.reset();  // selecting a port again tries to open it again
  if (port == port_ && line_) return;
  port_ = port;
  line_.reset();
  ReleaseLock();
}

void TerminalClient::Release() {
  line_.reset();
  ReleaseLock();
  openFailure_.reset();
}

line::Line& TerminalClient::OpenPort() {
  if (openFailure_) throw *openFailure_;
  if (port_ < 1) throw LinkError(LinkFailure::kOpen, "no serial port " + std::to_string(port_));
  const std::string path = settings_.PathOfPort(port_);
  if (line_ && line_->IsOpen() && line_->Address() == path) return *line_;
  PortStatus status;
  status.device = path;
  // The port's lock first: nothing touches a line another process is using.
  if (!lock_.Held()) {
    TerminalClient* sameThread = nullptr;
    {
      std::lock_guard guard(holdersMutex);
      auto it = Holders().find(path);
      if (it != Holders().end() && it->second.client != this && it->second.thread == std::this_thread::get_id())
        sameThread = it->second.client;
    }
    if (sameThread) {
      // The lock passes over as it is, so no other process can take the port in between.
      sameThread->line_.reset();
      sameThread->lock_.AllowOpens();
      lock_ = std::move(sameThread->lock_);
      sameThread->lockedDevice_.clear();
      lockedDevice_ = path;
      std::lock_guard guard(holdersMutex);
      Holders()[path] = {std::this_thread::get_id(), this};
    }
    if (!lock_.Held()) try {
      lock_ = PortLock::Acquire(path, settings_.lockTimeout);
      lockedDevice_ = path;
      std::lock_guard guard(holdersMutex);
      Holders()[path] = {std::this_thread::get_id(), this};
    } catch (const PortLockError& error) {
      status.fault = error.Fault();
      status.detail = error.what();
      status.holder = error.Holder();
      RecordPortStatus(port_, status);
      openFailure_ = LinkError(LinkFailure::kOpen, error.what());
      throw *openFailure_;
    }
  }
  if (!line_ || line_->Address() != path) line_ = MakeLine(path, settings_, port_);
  try {
    line_->Open();
  } catch (const LineError& error) {
    ReleaseLock();
    const std::string what = error.what();
    status.fault = what.find("not a serial port") != std::string::npos ? PortFault::kNotSerial : PortFault::kOpen;
    status.detail = what;
    RecordPortStatus(port_, status);
    openFailure_ = FromLine(error);
    throw *openFailure_;
  }
  lock_.MakeExclusive();
  RecordPortStatus(port_, status);  // opened: no fault
  return *line_;
}

TerminalClient::Wait TerminalClient::AwaitAnswer(const Frame& request, std::chrono::microseconds timeout,
                                                 std::size_t requestBytes, Frame& answer) {
  line::Line& port = *line_;
  const auto sentAt = Clock::now() + std::chrono::microseconds(LineMicros(requestBytes, settings_.BaudOf(port_)));
  // The answer must start by this deadline, and it is taken however late in it it starts: bytes
  // that came before it (a late answer to an earlier request, noise) never shorten it.
  const auto answerDeadline = sentAt + timeout;
  const auto gap = settings_.GapTimeoutOf(port_);
  // However the bytes trickle in, an exchange ends: the longest answer at the line speed, with
  // a gap's worth of slack per retry-free wait.
  const auto hardLimit = answerDeadline +
                         std::chrono::microseconds(LineMicros(2 * kMaxFrameSize, settings_.BaudOf(port_))) + 4 * gap;
  std::array<std::uint8_t, 1024> buffer{};
  bool heardSomething = false;
  auto lastBytes = Clock::now();
  for (;;) {
    // A frame that has started may go on past the answer deadline with gaps up to the gap timeout.
    auto until = answerDeadline;
    if (parser_.HoldsPartialFrame()) until = std::max(answerDeadline, lastBytes + gap);
    const std::size_t got = port.ReadSome(buffer, std::min(until, hardLimit));
    if (got == 0) return heardSomething || parser_.SawDamage() ? Wait::kDamaged : Wait::kSilent;
    heardSomething = true;
    lastBytes = Clock::now();
    parser_.Feed(std::span(buffer.data(), got));
    while (auto frame = parser_.Next()) {
      // Anything that is not the answer to this request (a late answer to an earlier one, a
      // request from another host) is passed over.
      if (frame->address != request.address || frame->sequence != request.sequence) continue;
      if (frame->command == (request.command | kAnswerBit)) {
        answer = std::move(*frame);
        return Wait::kAnswer;
      }
      if (frame->command == kRefusal) {
        const auto refusal = DecodeRefusal(frame->payload);
        if (refusal && refusal->command == request.command) {
          answer = std::move(*frame);
          return Wait::kAnswer;
        }
      }
    }
  }
}

ExchangeResult TerminalClient::Exchange(std::int64_t address, Command command, const std::vector<std::uint8_t>& payload,
                                        const std::function<bool(const Frame&)>& valid) {
  if (!IsAddress(address)) throw LinkError(LinkFailure::kBadTerminal, "terminal number out of range");
  const Frame request{static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(command), ++sequence_, payload};
  const std::vector<std::uint8_t> bytes = EncodeFrame(request);
  const bool probe = command == Command::kProbe;
  const auto timeout = probe ? settings_.ProbeTimeoutOf(port_) : settings_.AnswerTimeoutOf(port_);
  const int attempts = 1 + settings_.RetriesOf(port_);
  LinkFailure problem = LinkFailure::kSilent;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    line::Line& port = OpenPort();
    try {
      if (attempt > 1 || parser_.SawDamage()) {
        // Resynchronise: drop what is in flight and let the line fall silent first.
        const auto gap = settings_.GapTimeoutOf(port_);
        port.DrainUntilQuiet(gap, Clock::now() + 10 * gap);
      } else {
        port.FlushInput();
      }
      parser_.Reset();
      port.Write(bytes, Clock::now() + std::chrono::microseconds(LineMicros(bytes.size(), settings_.BaudOf(port_))) +
                            std::chrono::seconds(1));
      Frame answer;
      const Wait outcome = AwaitAnswer(request, timeout, bytes.size(), answer);
      if (outcome == Wait::kSilent) {
        if (probe) throw LinkError(LinkFailure::kSilent, "no answer", attempt);
        continue;
      }
      if (outcome == Wait::kDamaged) {
        problem = LinkFailure::kDamaged;
        continue;
      }
      if (answer.command == kRefusal) {
        const Refusal refusal = *DecodeRefusal(answer.payload);
        if (refusal.code == static_cast<std::uint8_t>(RefusalCode::kBusy)) {
          problem = LinkFailure::kBusy;
          continue;
        }
        if (refusal.code == static_cast<std::uint8_t>(RefusalCode::kBadPayload)) {
          problem = LinkFailure::kDamaged;  // our request was damaged on the way
          continue;
        }
        return {true, refusal, std::move(answer)};
      }
      if (valid && !valid(answer)) {
        problem = LinkFailure::kDamaged;
        parser_.Reset();
        continue;
      }
      return {false, {}, std::move(answer)};
    } catch (const LineError& error) {
      throw FromLine(error);
    }
  }
  throw LinkError(problem, "exchange failed", attempts);
}

bool TerminalClient::Probe(std::int64_t address) {
  if (!IsAddress(address) || port_ < 1) return false;
  try {
    const auto result = Exchange(address, Command::kProbe, {},
                                 [](const Frame& answer) { return DecodeProbeAnswer(answer.payload).has_value(); });
    (void)result;
    return true;  // an answer, or a refusal: either way a terminal with that number is there
  } catch (const LinkError&) {
    return false;
  }
}

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::pair<int, std::int64_t>, ReadStart> starts;
  std::map<std::pair<int, std::int64_t>, ReadStatus> status;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // lives as long as the process: controls on any thread use it
  return *registry;
}

}  // namespace

void ReadRegistry::SetStart(int port, std::int64_t terminal, std::optional<ReadStart> start) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  if (start)
    r.starts[{port, terminal}] = *start;
  else
    r.starts.erase({port, terminal});
}

std::optional<ReadStart> ReadRegistry::TakeStart(int port, std::int64_t terminal) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  const auto found = r.starts.find({port, terminal});
  if (found == r.starts.end()) return std::nullopt;
  const ReadStart start = found->second;
  r.starts.erase(found);
  return start;
}

std::optional<ReadStatus> ReadRegistry::Status(int port, std::int64_t terminal) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  const auto found = r.status.find({port, terminal});
  if (found == r.status.end()) return std::nullopt;
  return found->second;
}

void ReadRegistry::Begun(int port, std::int64_t terminal, ReadStatus status) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  ReadStatus& slot = r.status[{port, terminal}];
  status.reads = slot.reads + 1;
  slot = status;
}

void ReadRegistry::Update(int port, std::int64_t terminal, std::uint32_t next, ReadStatus::State state) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  const auto found = r.status.find({port, terminal});
  if (found == r.status.end()) return;
  found->second.next = next;
  found->second.state = state;
}

void ReadRegistry::UpdateForm(int port, std::int64_t terminal, bool dense, std::uint32_t fallbacks) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  const auto found = r.status.find({port, terminal});
  if (found == r.status.end()) return;
  found->second.dense = dense;
  found->second.fallbacks = fallbacks;
}

protocol::BeginReadAnswer TerminalClient::ReadLog(std::int64_t address) {
  std::optional<BeginReadAnswer> begin;
  const auto result = Exchange(address, Command::kBeginRecordRead, {}, [&](const Frame& answer) {
    begin = DecodeBeginReadAnswer(answer.payload);
    return begin.has_value();
  });
  if (result.refused) throw LinkError(LinkFailure::kRefused, "begin refused", 0, result.refusal.code);
  // Identity 0 or generation 0 name no log: such a terminal is read as a version 1 terminal is
  // (from its first record, no generation named, never cleared).
  if (begin->log && (begin->log->identity == 0 || begin->log->generation == 0)) begin->log.reset();
  return *begin;
}

void TerminalClient::BeginRead(std::int64_t address) {
  RecordRead read;
  const BeginReadAnswer begin = ReadLog(address);
  read.port = port_;
  read.address = address;
  read.held = begin.recordCount;
  if (begin.log) read.generation = begin.log->generation;
  read.form = begin.Version() >= kProtocolVersion4   ? Command::kNextRecordsChecked
              : begin.Version() >= kProtocolVersion3 ? Command::kNextRecordsDense
                                                     : Command::kNextRecords;
  if (const auto start = ReadRegistry::TakeStart(port_, address)) {
    const bool same = begin.log ? start->identity == begin.log->identity && start->generation == begin.log->generation
                                : start->identity == 0 && start->generation == 0;
    if (same && start->index <= begin.recordCount) read.next = read.delivered = start->index;
  }
  if (reads_.size() >= kMaxNestedReads) reads_.erase(reads_.begin());
  reads_.push_back(std::move(read));
  const RecordRead& begun = reads_.back();
  ReadRegistry::Begun(port_, address,
                      {0, begin.recordCount, begin.log, begun.next, begun.next, ReadStatus::kRunning,
                       begun.form != Command::kNextRecords, 0});
}

void TerminalClient::EndRead(ReadStatus::State state) {
  const RecordRead& read = reads_.back();
  ReadRegistry::Update(read.port, read.address, read.delivered, state);
  reads_.pop_back();  // a read it interrupted goes on
}

std::optional<CardRecordFields> TerminalClient::NextRecord(std::int64_t address) {
  if (reads_.empty() || reads_.back().address != address)
    throw LinkError(LinkFailure::kNoRead, "no record read begun");
  RecordRead& read = reads_.back();
  if (read.pending.empty() && !read.last) {
    // An outer read goes on on its own port, whatever a nested one selected meanwhile.
    SelectPort(read.port);
    NextRecordsAnswer batch;
    try {
      if (read.form != Command::kNextRecords) {
        try {
          batch = FetchBatch(read, read.form);
        } catch (const LinkError& error) {
          // Dense batches that stayed damaged (a count that does not match the records, a
          // difference to no real date, a digest that does not match, a bad payload refused),
          // a terminal that stayed busy or said "last batch" before the records it holds, or one
          // that does not know the command after all: the batch is read again in the plain
          // form, and so is the rest of this read.
          const bool unknown = error.Failure() == LinkFailure::kRefused &&
                               error.Code() == static_cast<int>(RefusalCode::kUnknownCommand);
          const bool fallBack = unknown || error.Failure() == LinkFailure::kDamaged ||
                                error.Failure() == LinkFailure::kBusy || error.Failure() == LinkFailure::kShortRead;
          if (!fallBack) throw;
          read.form = Command::kNextRecords;
          ++read.fallbacks;
          ReadRegistry::UpdateForm(read.port, address, false, read.fallbacks);
          batch = FetchBatch(read, Command::kNextRecords);
        }
      } else {
        batch = FetchBatch(read, Command::kNextRecords);
      }
    } catch (const LinkError&) {
      EndRead(ReadStatus::kFailed);  // a failed read ends; a read it interrupted goes on
      throw;
    }
    read.next += static_cast<std::uint32_t>(batch.records.size());
    read.last = batch.last;
    read.pending.insert(read.pending.end(), batch.records.begin(), batch.records.end());
  }
  if (read.pending.empty()) {
    EndRead(ReadStatus::kComplete);
    return std::nullopt;
  }
  const CardRecordFields record = read.pending.front();
  read.pending.pop_front();
  ++read.delivered;
  ReadRegistry::Update(read.port, address, read.delivered, ReadStatus::kRunning);
  return record;
}

NextRecordsAnswer TerminalClient::FetchBatch(RecordRead& read, Command command) {
  const NextRecordsRequest wanted{read.next, static_cast<std::uint8_t>(settings_.BatchOf(port_)), read.generation};
  const std::uint32_t held = read.held;
  std::optional<NextRecordsAnswer> batch;
  bool shortRead = false;
  const bool dense = command != Command::kNextRecords;
  try {
    const auto result = Exchange(read.address, command, Encode(wanted), [&](const Frame& answer) {
      shortRead = false;
      batch = command == Command::kNextRecordsChecked ? DecodeCheckedDenseAnswer(answer.payload)
              : dense                                 ? DecodeDenseRecordsAnswer(answer.payload)
                                                      : DecodeNextRecordsAnswer(answer.payload);
      // A batch must start where it was asked to and, unless it is the last, hold a record.
      if (!batch || batch->start != wanted.start || batch->records.size() > wanted.maxCount ||
          (!batch->last && batch->records.empty()))
        return false;
      // The terminal said at the begin how many it holds: no read ends before that.
      shortRead = batch->last && wanted.start + batch->records.size() < held;
      return !shortRead;
    });
    if (result.refused) throw LinkError(LinkFailure::kRefused, "next records refused", 0, result.refusal.code);
  } catch (const LinkError& error) {
    if (shortRead && error.Failure() == LinkFailure::kDamaged)
      throw LinkError(LinkFailure::kShortRead, "last batch before the records held", error.Attempts(), 0, held,
                      static_cast<std::int64_t>(wanted.start + batch->records.size()));
    if (dense && error.Failure() == LinkFailure::kDamaged)
      throw LinkError(LinkFailure::kDamaged, "dense batches from record " + std::to_string(wanted.start) +
                                                 " did not decode (count, form, dates or digest)",
                      error.Attempts());
    throw;
  }
  return std::move(*batch);
}

std::optional<ClockTime> TerminalClient::ReadClock(std::int64_t address) {
  std::optional<ClockTime> time;
  const auto result = Exchange(address, Command::kReadClock, {}, [&](const Frame& answer) {
    time = DecodeClockAnswer(answer.payload);  // bytes beyond the 7 belong to a later version
    return time.has_value();
  });
  if (result.refused) {
    if (result.refusal.code == static_cast<std::uint8_t>(RefusalCode::kUnknownCommand)) return std::nullopt;
    throw LinkError(LinkFailure::kRefused, "clock read refused", 0, result.refusal.code);
  }
  if (!IsValidClockTime(*time)) {
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time->year, time->month, time->day, time->hour,
                  time->minute, time->second);
    throw LinkError(LinkFailure::kBadClock, text);
  }
  return time;
}

std::optional<std::uint8_t> TerminalClient::SetClock(std::int64_t address, const ClockTime& time) {
  if (!IsValidClockTime(time)) return static_cast<std::uint8_t>(RefusalCode::kBadClockTime);
  // The answer's payload is empty; bytes in it belong to a later version and are ignored.
  const auto result = Exchange(address, Command::kSetClock, Encode(time), nullptr);
  if (!result.refused) return std::nullopt;
  const std::uint8_t code = result.refusal.code;
  if (code == static_cast<std::uint8_t>(RefusalCode::kUnknownCommand) ||
      code == static_cast<std::uint8_t>(RefusalCode::kBadClockTime) ||
      code == static_cast<std::uint8_t>(RefusalCode::kClockLocked))
    return code;
  throw LinkError(LinkFailure::kRefused, "clock set refused", 0, code);
}

std::optional<CardRecordFields> TerminalClient::RecordAt(std::int64_t address, std::uint32_t generation,
                                                         std::uint32_t index) {
  NextRecordsRequest wanted{index, 1, std::nullopt};
  if (generation) wanted.generation = generation;
  std::optional<NextRecordsAnswer> batch;
  const auto result = Exchange(address, Command::kNextRecords, Encode(wanted), [&](const Frame& answer) {
    batch = DecodeNextRecordsAnswer(answer.payload);
    return batch && batch->start == index && batch->records.size() <= 1 && (batch->last || !batch->records.empty());
  });
  if (result.refused) throw LinkError(LinkFailure::kRefused, "record read refused", 0, result.refusal.code);
  if (batch->records.empty()) return std::nullopt;
  return batch->records.front();
}

std::optional<std::uint32_t> TerminalClient::ClearRecords(std::int64_t address, std::uint32_t generation,
                                                          std::uint32_t count) {
  // The log as it is before the clear: what the terminal says afterwards is compared with it.
  const BeginReadAnswer before = ReadLog(address);
  std::optional<ClearRecordsAnswer> cleared;
  ExchangeResult result;
  std::optional<LinkError> failure;
  try {
    result = Exchange(address, Command::kClearRecords, Encode(ClearRecordsRequest{generation, count}),
                      [&](const Frame& answer) {
                        cleared = DecodeClearRecordsAnswer(answer.payload);
                        return cleared.has_value();
                      });
  } catch (const LinkError& error) {
    if (error.Failure() == LinkFailure::kOpen || error.Failure() == LinkFailure::kBadTerminal) throw;
    failure = error;
  }
  if (!failure && !result.refused) return cleared->generation;
  const bool changedRefusal =
      !failure && result.refusal.code == static_cast<std::uint8_t>(RefusalCode::kRecordsChanged);
  if (!failure && !changedRefusal) throw LinkError(LinkFailure::kRefused, "clear refused", 0, result.refusal.code);
  // No answer, or "records changed": an earlier attempt may have cleared the records and had its
  // answer lost (a retry then finds another generation). No guessing: the terminal is asked again.
  const bool wasNamedLog = before.log && before.log->generation == generation;
  BeginReadAnswer after;
  try {
    after = ReadLog(address);
  } catch (const LinkError& error) {
    throw LinkError(error.Failure(),
                    std::string("clear sent, then the terminal could not be asked whether it cleared: ") + error.what(),
                    error.Attempts(), error.Code());
  }
  const bool sameTerminal = before.log && after.log && after.log->identity == before.log->identity;
  if (wasNamedLog && sameTerminal && after.log->generation != generation) return after.log->generation;  // cleared
  if (failure) throw *failure;  // not cleared, and no answer to say why
  return std::nullopt;          // not cleared: generation or count were not the terminal's
}

}  // namespace terminal::control
