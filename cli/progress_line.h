// The command line's progress displays: one line on standard error, redrawn in place (at most
// ten times a second) and erased when the work ends; and a board of one line per port for work
// on several ports at once.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "host/download.h"
#include "host/text/messages.h"

namespace vanto::host {}
namespace vanto::cli {
using namespace vanto::host;  // the front end presents what the host library does

class ProgressLine {
 public:
  explicit ProgressLine(std::ostream* out) : out_(out) {}
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() { Erase(); }

  // Shows `text`; `force`: even when the last drawing is recent (a last step).
  void Show(const std::string& text, bool force = false) {
    if (!out_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    *out_ << "\r\033[K" << text << std::flush;
    drawn_ = true;
  }
  void Erase() {
    if (drawn_ && out_) *out_ << "\r\033[K" << std::flush;
    drawn_ = false;
  }

 private:
  std::ostream* out_;
  std::chrono::steady_clock::time_point last_{};
  bool drawn_ = false;
};

// One line per port, redrawn in place on a terminal.
class ProgressBoard {
  using Clock = std::chrono::steady_clock;

 public:
  // `plain`: no cursor codes (no terminal, TERM=dumb): a line per change, at most one a second
  // per port, instead of lines redrawn in place.
  // `lines`: the ports, in the order shown; `waiting`: each line's text before its first Set.
  ProgressBoard(std::ostream* out, const std::vector<int>& lines, const std::string& waiting, bool plain)
      : out_(out), plain_(plain) {
    for (int port : lines) order_.push_back(port), lines_[port] = waiting;
  }
  void Set(int port, std::string text, bool force = false) {
    if (!out_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[port] = std::move(text);
    Clock::time_point now = Clock::now();
    if (plain_) {
      Clock::time_point& last = plain_last_[port];
      if (!force && now - last < std::chrono::seconds(1)) return;
      last = now;
      *out_ << lines_[port] << "\n" << std::flush;
      return;
    }
    if (!force && drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    if (drawn_) *out_ << "\033[" << order_.size() << "A";
    for (int p : order_) *out_ << "\r\033[K" << lines_[p] << "\n";
    *out_ << std::flush;
    drawn_ = true;
  }
  void Finish() {
    if (!out_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (drawn_ && !plain_) *out_ << "\033[" << order_.size() << "A\r\033[J" << std::flush;
    drawn_ = false;
  }

 private:
  std::ostream* out_;
  bool plain_;
  std::map<int, Clock::time_point> plain_last_;
  std::mutex mutex_;
  std::vector<int> order_;
  std::map<int, std::string> lines_;
  bool drawn_ = false;
  Clock::time_point last_;
};

// Draws a download's progress events on `out` (null: nothing): one line redrawn in place and
// erased at the end with `cursor_codes`, a plain line for each event without them.
inline std::function<void(const DownloadProgress&)> DownloadProgressDrawer(std::ostream* out, bool cursor_codes) {
  if (!out) return {};
  struct State {
    explicit State(std::ostream* drawn_on) : line(drawn_on) {}
    ProgressLine line;
    std::chrono::steady_clock::time_point last{};
    bool drawn = false;
  };
  auto state = std::make_shared<State>(cursor_codes ? out : nullptr);
  return [out, cursor_codes, state](const DownloadProgress& p) {
    if (p.done) return state->line.Erase();
    // At most ten times a second, as the redrawn line.
    const auto now = std::chrono::steady_clock::now();
    if (state->drawn && now - state->last < std::chrono::milliseconds(100)) return;
    state->last = now, state->drawn = true;
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", p.rate);
    const std::string text =
        p.waiting ? TrFill("downloading: {0} records, waiting for the database (another process holds its lock)",
                           {std::to_string(p.records)})
                  : TrFill("downloading: {0} records, {1} records/s", {std::to_string(p.records), rate});
    if (cursor_codes)
      state->line.Show(text, true);
    else
      *out << text << "\n" << std::flush;
  };
}

}  // namespace vanto::cli
