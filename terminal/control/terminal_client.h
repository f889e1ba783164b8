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
#include "terminal/protocol/dense.h"
#include "terminal/protocol/messages.h"
#include "terminal/line/line.h"

namespace terminal::control {

enum class LinkFailure {
  kOpen,          // the port cannot be opened
  kHangUp,        // the line broke (hang-up, I/O error, end of file)
  kSilent,        // no answer after every attempt
  kDamaged,       // only damaged or malformed answers after every attempt
  kBusy,          // the terminal said busy every time
  kRefused,       // the terminal refused the request
  kBadTerminal,   // a terminal number no terminal can have
  kNoRead,        // records asked for without a record read begun
  kShortRead,     // "last batch" before the number of records the terminal said it held
  kBadClock,      // the terminal's clock answer is no valid date and time
};

class LinkError : public std::runtime_error {
 public:
  LinkError(LinkFailure failure, std::string detail, int attempts = 0, int code = 0, std::int64_t held = 0,
            std::int64_t at = 0)
      : std::runtime_error(detail), failure_(failure), attempts_(attempts), code_(code), held_(held), at_(at) {}
  LinkFailure Failure() const { return failure_; }
  int Attempts() const { return attempts_; }
  int Code() const { return code_; }
  // kShortRead: records held at the begin, and where the terminal said there were no more.
  std::int64_t Held() const { return held_; }
  std::int64_t At() const { return at_; }

 private:
  LinkFailure failure_;
  int attempts_;
  int code_;
  std::int64_t held_, at_;
};

// Where the next record read of a terminal starts: the index, valid only while the terminal
// answers with this identity and log generation (both 0: a version 1 terminal).
struct ReadStart {
  std::uint32_t identity = 0;
  std::uint32_t generation = 0;
  std::uint32_t index = 0;
};

// The last record read begun of a terminal in this process.
struct ReadStatus {
  enum State { kRunning = 0, kComplete = 1, kFailed = 2 };
  std::uint32_t reads = 0;  // record reads begun of this terminal in this process
  std::uint32_t held = 0;   // records held when the read began
  std::optional<protocol::RecordLog> log;  // absent: a version 1 terminal
  std::uint32_t start = 0;  // index of the first record the read asked for
  std::uint32_t next = 0;   // index of the next record it would hand out
  State state = kRunning;
  bool dense = false;         // it asked for dense batches (a version 3 terminal on)
  std::uint32_t fallbacks = 0;  // batches read again in the plain form after dense ones failed
};

// Process-wide per (port number, terminal): the start the next BeginRead takes, and the status of
// the last read. Every control object of the process shares them, whatever thread it is on.
class ReadRegistry {
 public:
  static void SetStart(int port, std::int64_t terminal, std::optional<ReadStart> start);
  static std::optional<ReadStart> TakeStart(int port, std::int64_t terminal);
  static std::optional<ReadStatus> Status(int port, std::int64_t terminal);
  static void Begun(int port, std::int64_t terminal, ReadStatus status);  // counts `reads` itself
  static void Update(int port, std::int64_t terminal, std::uint32_t next, ReadStatus::State state);
  static void UpdateForm(int port, std::int64_t terminal, bool dense, std::uint32_t fallbacks);
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

  // Card records: BeginRead starts a read at the first record, or where ReadRegistry says the
  // next read of this port and terminal starts (when the terminal still has that identity and
  // generation and at least that many records); NextRecord gives records one at a time in the
  // terminal's order, fetching batches as needed, and std::nullopt after the last. A "last batch"
  // before the number held at the begin is damage: asked again, then kShortRead.
  // Reads nest: a read begun while another is under way (a download started from work the outer
  // one pumps) is read to its end or its failure, and the outer read then goes on where it was,
  // on its own port, so neither delivers a record twice or skips one.
  void BeginRead(std::int64_t address);
  std::optional<protocol::CardRecordFields> NextRecord(std::int64_t address);

  // The terminal's begin-record-read answer (records held; identity, capacity and generation
  // from version 2 on), without starting a read of this control.
  protocol::BeginReadAnswer ReadLog(std::int64_t address);
  // The record at `index` (generation 0: asked without one), or std::nullopt when the terminal
  // holds exactly `index` records. A refusal throws kRefused.
  std::optional<protocol::CardRecordFields> RecordAt(std::int64_t address, std::uint32_t generation,
                                                     std::uint32_t index);
  // Clears the terminal's records: the new generation, or std::nullopt when it refused because
  // generation or count are not its own. Other refusals throw kRefused. When the clear's answer
  // is lost or a retry is refused as "records changed", the terminal's log is asked again: a new
  // generation of the same identity means the clear was done (its generation is answered), the
  // old one that it was not (std::nullopt after a refusal, the exchange's failure otherwise).
  // The begin-record-read answer just before the clear is the baseline.
  std::optional<std::uint32_t> ClearRecords(std::int64_t address, std::uint32_t generation, std::uint32_t count);

  // The terminal's clock (version 3), or std::nullopt when it has no clock commands (it refused
  // them as unknown: version 1 or 2). An answer that is no valid date and time throws kBadClock
  // naming the values; other refusals throw kRefused.
  std::optional<protocol::ClockTime> ReadClock(std::int64_t address);
  // Sets the terminal's clock: std::nullopt when it did, else the reason it refused (1: no
  // clock commands, 9: a time it cannot keep, 10: its clock is locked). Other refusals throw.
  std::optional<std::uint8_t> SetClock(std::int64_t address, const protocol::ClockTime& time);

 private:
  enum class Wait { kAnswer, kSilent, kDamaged };
  Wait AwaitAnswer(const protocol::Frame& request, std::chrono::microseconds timeout, std::size_t requestBytes,
                   protocol::Frame& answer);
  line::Line& OpenPort();
  // Releases the port's lock and forgets this client as the port's holder in this process.
  void ReleaseLock();

  ControlSettings settings_;
  int port_ = 1;
  PortLock lock_;  // declared before the line: the line closes first
  std::string lockedDevice_;  // the device lock_ holds, as this process's holders know it
  std::unique_ptr<line::Line> line_;
  // Why the selected port could not be opened: later uses fail at once (rather than wait for
  // the lock again) until the port is selected again.
  std::optional<LinkError> openFailure_;
  protocol::FrameParser parser_;
  std::uint8_t sequence_ = 0;

  struct RecordRead {
    int port = 0;
    std::int64_t address = 0;
    std::uint32_t next = 0;       // index of the next record to fetch
    std::uint32_t delivered = 0;  // index of the next record to hand out
    std::uint32_t held = 0;
    std::optional<std::uint32_t> generation;
    bool last = false;
    // The form it asks for: checked dense batches (version 4 on), dense ones (version 3), the
    // plain form; a dense form until a batch of it fails for good.
    protocol::Command form = protocol::Command::kNextRecords;
    std::uint32_t fallbacks = 0;
    std::deque<protocol::CardRecordFields> pending;
  };
  // Fetches the next batch of the innermost read in `form` (03, 08 or 0B).
  protocol::NextRecordsAnswer FetchBatch(RecordRead& read, protocol::Command form);
  // Ends the innermost read, telling ReadRegistry how it ended.
  void EndRead(ReadStatus::State state);
  std::vector<RecordRead> reads_;  // the innermost read last
};

}  // namespace terminal::control
