#include "terminal/control/terminal_client.h"

#include "terminal/control/port_status.h"

#include <array>
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

// Nested reads deeper than this are reads abandoned without their end; the oldest is dropped.
constexpr std::size_t kMaxNestedReads = 16;

}  // namespace

TerminalClient::TerminalClient(ControlSettings settings) : settings_(std::move(settings)) {}

TerminalClient::~TerminalClient() = default;

void TerminalClient::SelectPort(int port) {
  openFailure_.reset();  // selecting a port again tries to open it again
  if (port == port_ && line_) return;
  port_ = port;
  line_.reset();
  lock_.Release();
}

void TerminalClient::Release() {
  line_.reset();
  lock_.Release();
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
    try {
      lock_ = PortLock::Acquire(path, settings_.lockTimeout);
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
    lock_.Release();
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
  auto deadline = sentAt + timeout;
  // However the bytes trickle in, an exchange ends: the longest answer at the line speed, with
  // a gap's worth of slack per retry-free wait.
  const auto hardLimit = deadline + std::chrono::microseconds(LineMicros(2 * kMaxFrameSize, settings_.BaudOf(port_))) +
                         4 * settings_.gapTimeout;
  std::array<std::uint8_t, 1024> buffer{};
  bool heardSomething = false;
  for (;;) {
    const std::size_t got = port.ReadSome(buffer, std::min(deadline, hardLimit));
    if (got == 0) return heardSomething || parser_.SawDamage() ? Wait::kDamaged : Wait::kSilent;
    heardSomething = true;
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
    deadline = Clock::now() + settings_.gapTimeout;
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
        port.DrainUntilQuiet(settings_.gapTimeout, Clock::now() + 10 * settings_.gapTimeout);
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

void TerminalClient::BeginRead(std::int64_t address) {
  const auto result = Exchange(address, Command::kBeginRecordRead, {}, [](const Frame& answer) {
    return DecodeBeginReadAnswer(answer.payload).has_value();
  });
  if (result.refused) throw LinkError(LinkFailure::kRefused, "begin refused", 0, result.refusal.code);
  if (reads_.size() >= kMaxNestedReads) reads_.erase(reads_.begin());
  reads_.push_back(RecordRead{port_, address, 0, false, {}});
}

std::optional<CardRecordFields> TerminalClient::NextRecord(std::int64_t address) {
  if (reads_.empty() || reads_.back().address != address)
    throw LinkError(LinkFailure::kNoRead, "no record read begun");
  RecordRead& read = reads_.back();
  if (read.pending.empty() && !read.last) {
    // An outer read goes on on its own port, whatever a nested one selected meanwhile.
    SelectPort(read.port);
    const NextRecordsRequest wanted{read.next, static_cast<std::uint8_t>(settings_.BatchOf(port_))};
    std::optional<NextRecordsAnswer> batch;
    ExchangeResult result;
    try {
      result = Exchange(address, Command::kNextRecords, Encode(wanted), [&](const Frame& answer) {
        batch = DecodeNextRecordsAnswer(answer.payload);
        // A batch must start where it was asked to and, unless it is the last, hold a record.
        return batch && batch->start == wanted.start && batch->records.size() <= wanted.maxCount &&
               (batch->last || !batch->records.empty());
      });
    } catch (const LinkError&) {
      reads_.pop_back();  // a failed read ends; a read it interrupted goes on
      throw;
    }
    if (result.refused) {
      reads_.pop_back();
      throw LinkError(LinkFailure::kRefused, "next records refused", 0, result.refusal.code);
    }
    read.next += static_cast<std::uint32_t>(batch->records.size());
    read.last = batch->last;
    read.pending.insert(read.pending.end(), batch->records.begin(), batch->records.end());
  }
  if (read.pending.empty()) {
    reads_.pop_back();
    return std::nullopt;
  }
  const CardRecordFields record = read.pending.front();
  read.pending.pop_front();
  return record;
}

}  // namespace terminal::control
