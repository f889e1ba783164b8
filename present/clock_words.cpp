#include "present/clock_words.h"

#include "present/sync_words.h"

namespace vanto::host {

std::string ClockPortFailedText(Language language, const TerminalClock& row) {
  if (row.state != ClockState::kPortFailed) return {};
  if (row.port_cause) return DescribePortCause(language, row.port, *row.port_cause);
  if (row.none_answered)
    return TrInFill(language, "no terminal answered ({0}-{1})",
                    {std::to_string(row.none_answered->first), std::to_string(row.none_answered->second)});
  return {};
}

}  // namespace vanto::host
