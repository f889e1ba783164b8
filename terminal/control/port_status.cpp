#include "terminal/control/port_status.h"

#include <map>
#include <mutex>

namespace terminal::control {
namespace {

std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<int, PortStatus>& Statuses() {
  static std::map<int, PortStatus> statuses;
  return statuses;
}

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

}  // namespace

const char* PortFaultWord(PortFault fault) {
  switch (fault) {
    case PortFault::kNone: return "none";
    case PortFault::kMissing: return "missing";
    case PortFault::kPermission: return "permission";
    case PortFault::kBusy: return "busy";
    case PortFault::kNotSerial: return "not-serial";
    case PortFault::kBadSetting: return "setting";
    case PortFault::kOpen: return "open";
    case PortFault::kLine: return "line";
  }
  return "open";
}

void RecordPortStatus(int port, PortStatus status) {
  status.used = true;
  std::lock_guard<std::mutex> lock(Mutex());
  Statuses()[port] = std::move(status);
}

PortStatus LastPortStatus(int port) {
  std::lock_guard<std::mutex> lock(Mutex());
  const auto found = Statuses().find(port);
  return found == Statuses().end() ? PortStatus{} : found->second;
}

std::string PortStatusText(const PortStatus& status) {
  std::string text = "fault=" + std::string(status.used ? PortFaultWord(status.fault) : "unused") + "\n";
  text += "device=" + OneLine(status.device) + "\n";
  text += "detail=" + OneLine(status.detail) + "\n";
  if (!status.failure.empty()) text += "failure=" + status.failure + "\n";
  if (status.terminal) text += "terminal=" + std::to_string(status.terminal) + "\n";
  if (status.holder.pid > 0)
    text += "holder_pid=" + std::to_string(status.holder.pid) + "\nholder_name=" + OneLine(status.holder.name) + "\n";
  return text;
}

}  // namespace terminal::control
