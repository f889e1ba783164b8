#include "host/sync_note.h"

namespace vanto::host {

store::CauseValues PortFaultValues(int port, const PortCause& cause) {
  store::CauseValues values = {{"port", std::to_string(port)}, {"device", cause.device}};
  if (!cause.detail.empty()) values.emplace_back("detail", cause.detail);
  if (cause.terminal) values.emplace_back("terminal", std::to_string(cause.terminal));
  if (cause.holder_pid > 0) values.emplace_back("holder_pid", std::to_string(cause.holder_pid));
  if (!cause.holder_name.empty()) values.emplace_back("holder_name", cause.holder_name);
  return values;
}

bool IsPortFault(const std::string& code) {
  return code == "missing" || code == "permission" || code == "busy" || code == "not-serial" || code == "setting" ||
         code == "open" || code == "line";
}

}  // namespace vanto::host
