// The host side of the terminal protocol over one port at a time: exchanges with retries,
// resynchronisation and bounded waits, and the reading of card records in batches. A port's line
// is a serial device or a TCP connection to a serial device server (terminal/line); this core
// knows only the line interface.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "terminal/control/port_lock.h"
#include "terminal/control/settings.h"
#include "terminal/protocol/frame_parser.h"
#include "terminal/protocol/messages.h"
#include "terminal/line/line.h"

namespace terminal::control {

enum class LinkFailure {
  kOpen,          // the port cannot be opened (or its server cannot be reached)
  kHangUp,        // the line broke (hang-up, I/O error, end of file)
  kSilent,        // no answer after every attempt
  kDamaged,       // only damaged or malformed answers after every attempt
  kBusy,          // the terminal said busy every time
  kRefused,       // the terminal refused the request
  kBadTerminal,   // a terminal number no terminal can have
  kNoRead,        // records asked for without a record read begun
};

class LinkError : public std::runtime_error {
 public:
  LinkError(LinkFailure failure, std::string detail, int attempts = 0, int code = 0)
      : std::runtime_error(detail), failure_(failure), attempts_(attempts), code_(code) {}
  LinkFailure Failure() const { return failure_; }
  int Attempts() const { return attempts_; }
  int Code() const { return code_; }

 private:
  LinkFailure failure_;
  int attempts_;
  int code_;
};

struct ExchangeResult {
  bool refused = false;
  protocol::Refusal refusal;
  protocol::Frame answer;
};

class TerminalClient {
 public:
  explicit TerminalClient(ControlSettings settings);
  ~TerminalClient();

  // Selects `port`; another port than before closes the previous one and releases its lock.
  void SelectPort(int port);
  int Port() const { return port_; }
  std::string PortPath() const { return settings_.PathOfPort(port_); }
  const ControlSettings& Settings() const { return settings_; }
  // Opens the selected port now (taking its lock); throws LinkError(kOpen). A port stays open
  // and locked until another port is selected, Release is called, or the client ends.
  void Open() { OpenPort(); }
  // Closes the selected port and releases its lock.
  void Release();

  // True when terminal `address` answers on the selected port. Silence, a port that cannot be
  // opened and a broken line all answer false.
  bool Probe(std::int64_t address);

  // One request and its answer. `valid` checks an answer's payload; an answer it rejects counts as
  // damaged. Refusals other than busy/bad payload come back in the result. Throws LinkError.
  ExchangeResult Exchange(std::int64_t address, protocol::Command command, const std::vector<std::uint8_t>& payload,
                          const std::function<bool(const protocol::Frame&)>& valid);

  // Card records: BeginRead starts a read at the first record; NextRecord gives records one at a
  // time in the terminal's order, fetching batches as needed, and std::nullopt after the last.
  // Reads nest: a read begun while another is under way (a download started from work the outer
  // one pumps) is read to its end or its failure, and the outer read then goes on where it was,
  // on its own port, so neither delivers a record twice or skips one.
  void BeginRead(std::int64_t address);
  std::optional<protocol::CardRecordFields> NextRecord(std::int64_t address);

 private:
  enum class Wait { kAnswer, kSilent, kDamaged };
  Wait AwaitAnswer(const protocol::Frame& request, std::chrono::microseconds timeout, std::size_t requestBytes,
                   protocol::Frame& answer);
  line::Line& OpenPort();

  ControlSettings settings_;
  int port_ = 1;
  PortLock lock_;  // declared before the line: the line closes first
  std::unique_ptr<line::Line> line_;
  // Why the selected port could not be opened: later uses fail at once (rather than wait for
  // the lock again) until the port is selected again.
  std::optional<LinkError> openFailure_;
  protocol::FrameParser parser_;
  std::uint8_t sequence_ = 0;

  struct RecordRead {
    int port = 0;
    std::int64_t address = 0;
    std::uint32_t next = 0;
    bool last = false;
    std::deque<protocol::CardRecordFields> pending;
  };
  std::vector<RecordRead> reads_;  // the innermost read last
};

}  // namespace terminal::control
