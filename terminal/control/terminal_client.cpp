#include "terminal/control/terminal_client.h"

#include "terminal/control/port_status.h"

#include <array>
#include <utility>

namespace terminal::control {

using namespace protocol;
using serial::Clock;
using serial::SerialError;
using serial::SerialFailure;

namespace {

bool IsAddress(std::int64_t address) { return address >= kMinAddress && address <= kMaxAddress; }

LinkError FromSerial(const SerialError& error) {
  return LinkError(error.Failure() == SerialFailure::kOpen ? LinkFailure::kOpen : LinkFailure::kHangUp, error.what());
}

}  // namespace

TerminalClient::TerminalClient(ControlSettings settings)
    : settings_(std::move(settings)), line_(settings_.Line(port_)) {}

void TerminalClient::SelectPort(int port) {
  openFailure_.reset();  // selecting a port again tries to open it again
  if (port == port_ && serial_) return;
  port_ = port;
  line_ = settings_.Line(port);
  serial_.reset();
  lock_.Release();
  read_ = RecordRead{};
}

void TerminalClient::Release() {
  serial_.reset();
  lock_.Release();
  openFailure_.reset();
  read_ = RecordRead{};
}

serial::SerialPort& TerminalClient::OpenPort() {
  if (openFailure_) throw *openFailure_;
  if (port_ < 1) throw LinkError(LinkFailure::kOpen, "no serial port " + std::to_string(port_));
  const std::string path = settings_.PathOfPort(port_);
  if (serial_ && serial_->IsOpen() && serial_->Path() == path) return *serial_;
  PortStatus status;
  status.device = path;
  if (!lock_.Held()) {
    try {
      lock_ = PortLock::Acquire(path, line_.lockTimeout);
    } catch (const PortLockError& error) {
      status.fault = error.Fault();
      status.detail = error.what();
      status.holder = error.Holder();
      RecordPortStatus(port_, status);
      openFailure_ = LinkError(LinkFailure::kOpen, error.what());
      throw *openFailure_;
    }
  }
  if (!serial_ || serial_->Path() != path) serial_ = std::make_unique<serial::SerialPort>(path, line_.baud);
  try {
    serial_->Open();
  } catch (const SerialError& error) {
    lock_.Release();
    const std::string what = error.what();
    status.fault = what.find("not a serial port") != std::string::npos ? PortFault::kNotSerial : PortFault::kOpen;
    status.detail = what;
    RecordPortStatus(port_, status);
    openFailure_ = FromSerial(error);
    throw *openFailure_;
  }
  lock_.MakeExclusive();
  RecordPortStatus(port_, status);  // opened: no fault
  return *serial_;
}

TerminalClient::Wait TerminalClient::AwaitAnswer(const Frame& request, std::chrono::microseconds timeout,
                                                 std::size_t requestBytes, Frame& answer) {
  serial::SerialPort& port = *serial_;
  const auto sentAt = Clock::now() + std::chrono::microseconds(LineMicros(requestBytes, line_.baud));
  auto deadline = sentAt + timeout;
  // However the bytes trickle in, an exchange ends: the longest answer at the line speed, with
  // a gap's worth of slack per retry-free wait.
  const auto hardLimit = deadline + std::chrono::microseconds(LineMicros(2 * kMaxFrameSize, line_.baud)) +
                         4 * line_.gapTimeout;
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
    deadline = Clock::now() + line_.gapTimeout;
  }
}

ExchangeResult TerminalClient::Exchange(std::int64_t address, Command command, const std::vector<std::uint8_t>& payload,
                                        const std::function<bool(const Frame&)>& valid) {
  if (!IsAddress(address)) throw LinkError(LinkFailure::kBadTerminal, "terminal number out of range");
  const Frame request{static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(command), ++sequence_, payload};
  const std::vector<std::uint8_t> bytes = EncodeFrame(request);
  const bool probe = command == Command::kProbe;
  const auto timeout = probe ? line_.probeTimeout : line_.answerTimeout;
  const int attempts = 1 + line_.retries;
  LinkFailure problem = LinkFailure::kSilent;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    serial::SerialPort& port = OpenPort();
    try {
      if (attempt > 1 || parser_.SawDamage()) {
        // Resynchronise: drop what is in flight and let the line fall silent first.
        port.DrainUntilQuiet(line_.gapTimeout, Clock::now() + 10 * line_.gapTimeout);
      } else {
        port.FlushInput();
      }
      parser_.Reset();
      port.Write(bytes, Clock::now() + std::chrono::microseconds(LineMicros(bytes.size(), line_.baud)) +
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
    } catch (const SerialError& error) {
      throw FromSerial(error);
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
  read_ = RecordRead{};
  const auto result = Exchange(address, Command::kBeginRecordRead, {}, [](const Frame& answer) {
    return DecodeBeginReadAnswer(answer.payload).has_value();
  });
  if (result.refused) throw LinkError(LinkFailure::kRefused, "begin refused", 0, result.refusal.code);
  read_.active = true;
  read_.address = address;
}

std::optional<CardRecordFields> TerminalClient::NextRecord(std::int64_t address) {
  if (!read_.active || read_.address != address) throw LinkError(LinkFailure::kNoRead, "no record read begun");
  if (read_.pending.empty() && !read_.last) {
    const NextRecordsRequest wanted{read_.next, static_cast<std::uint8_t>(line_.batch)};
    std::optional<NextRecordsAnswer> batch;
    const auto result = Exchange(address, Command::kNextRecords, Encode(wanted), [&](const Frame& answer) {
      batch = DecodeNextRecordsAnswer(answer.payload);
      // A batch must start where it was asked to and, unless it is the last, hold a record.
      return batch && batch->start == wanted.start && batch->records.size() <= wanted.maxCount &&
             (batch->last || !batch->records.empty());
    });
    if (result.refused) {
      read_.active = false;
      throw LinkError(LinkFailure::kRefused, "next records refused", 0, result.refusal.code);
    }
    read_.next += static_cast<std::uint32_t>(batch->records.size());
    read_.last = batch->last;
    read_.pending.insert(read_.pending.end(), batch->records.begin(), batch->records.end());
  }
  if (read_.pending.empty()) {
    read_.active = false;
    return std::nullopt;
  }
  const CardRecordFields record = read_.pending.front();
  read_.pending.pop_front();
  return record;
}

}  // namespace terminal::control
