#include "cli/command_support.h"

#include "cli/command.h"

namespace vanto::cli {

std::string Where(int port, int terminal) {
  return "terminal " + std::to_string(terminal) + " on port " + std::to_string(port);
}

int Refused(Io& io, const Outcome& outcome, const std::string& ours) {
  io.err << (outcome.message.empty() ? ours : outcome.message) << "\n";
  return kExitFalse;
}

std::chrono::milliseconds LockTimeout(const DatabaseOptions& o) {
  return std::chrono::milliseconds(static_cast<long long>(o.lock_timeout * 1000));
}

store::RecordStore OpenStore(const DatabaseOptions& o, bool create) {
  store::OpenOptions options;
  options.create = create;
  options.lock_timeout = LockTimeout(o);
  return store::RecordStore::Open(DatabasePath(o.db, create), options);
}

}  // namespace vanto::cli
