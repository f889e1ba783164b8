// A cancellation token: the front end that started an operation (a sync of one terminal or of
// the whole site) asks it to stop; the host library checks it between exchanges with the
// terminal, between stored batches and between terminals, and then ends the operation the way
// a failed line ends it: what was delivered is stored, nothing else, and the next sync's read
// starts after it. Copies share one state; a default token is never cancelled.
#pragma once

#include <atomic>
#include <memory>

namespace vanto::host {

class CancelToken {
 public:
  CancelToken() = default;
  // A token that Cancel() can set (a default-constructed one cannot be cancelled).
  static CancelToken Make() {
    CancelToken token;
    token.state_ = std::make_shared<std::atomic<bool>>(false);
    return token;
  }
  // Asks every holder of this token to stop. Safe from any thread (and from a signal-watching one).
  void Cancel() const {
    if (state_) state_->store(true, std::memory_order_release);
  }
  // Whether Cancel() can ever take effect (a token made by Make, or a copy of one).
  bool Cancellable() const { return state_ != nullptr; }
  bool Cancelled() const { return state_ && state_->load(std::memory_order_acquire); }

 private:
  std::shared_ptr<std::atomic<bool>> state_;
};

}  // namespace vanto::host
