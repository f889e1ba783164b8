#include "host/push/push_loop.h"

#include <exception>

namespace vanto::push {

std::vector<std::string> DrainMessages(const DrainResult& result) {
  std::vector<std::string> lines;
  for (const auto& [name, backlog] : result.dropped)
    lines.push_back("push endpoint " + name + " is no longer in the site file: removed, " + std::to_string(backlog) +
                    " swipes not delivered to it");
  for (const EndpointOutcome& e : result.endpoints)
    if (e.state == EndpointState::kFailed) lines.push_back("push endpoint " + e.name + ": " + e.error);
  return lines;
}

PushLoop::PushLoop(PushOptions options, std::chrono::seconds every, std::function<void(const std::string&)> log)
    : options_(std::move(options)), every_(every), log_(std::move(log)) {
  options_.stop = [this] {
    std::lock_guard lock(mutex_);
    return stopping_;
  };
  thread_ = std::thread([this] { Run(); });
}

PushLoop::~PushLoop() { Stop(); }

void PushLoop::Wake() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  wake_.notify_all();
}

void PushLoop::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void PushLoop::Run() {
  for (;;) {
    try {
      for (const std::string& line : DrainMessages(Drain(options_))) log_(line);
    } catch (const std::exception& e) {
      try {
        log_(std::string("push: ") + e.what());
      } catch (...) {
      }
    } catch (...) {
      // The thread's edge: nothing escapes it.
    }
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, every_, [this] { return woken_ || stopping_; });
    if (stopping_) return;
    woken_ = false;
  }
}

}  // namespace vanto::push
