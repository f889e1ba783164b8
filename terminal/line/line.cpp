#include "terminal/line/line.h"

#ifndef _WIN32
#include <poll.h>
#include <time.h>
#endif

#include <algorithm>
#include <cstring>

namespace terminal::line {

std::size_t Line::DrainUntilQuiet(std::chrono::microseconds quiet, Clock::time_point deadline) {
  std::uint8_t scratch[256];
  std::size_t dropped = 0;
  FlushInput();
  for (;;) {
    const auto until = std::min(deadline, Clock::now() + quiet);
    const std::size_t got = ReadSome(scratch, until);
    if (got == 0) return dropped;
    dropped += got;
    if (Clock::now() >= deadline) return dropped;
  }
}

#ifndef _WIN32  // Windows lines wait with the system's own time-outs.
int PollUntil(pollfd& waiter, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
  const long long bounded = std::clamp<long long>(left, 0, 60'000'000'000LL);
  timespec timeout{static_cast<time_t>(bounded / 1'000'000'000), static_cast<long>(bounded % 1'000'000'000)};
  return ::ppoll(&waiter, 1, &timeout, nullptr);
}
#endif

std::string ErrorText(int error) { return error ? std::string(": ") + std::strerror(error) : std::string(); }

}  // namespace terminal::line
