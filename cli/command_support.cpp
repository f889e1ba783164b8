#include "cli/command_support.h"

#include "cli/command.h"

#include <cstdlib>

#include "host/control_settings.h"
#include "terminal/control/settings.h"
#include "host/text/messages.h"
#include "platform/ado/pg_connection.h"
#include "platform/automation/errors.h"
#include "platform/automation/text.h"

namespace vanto::cli {

int Refused(Io& io, const Outcome& outcome, const std::string& ours) {
  if (outcome.message.empty()) {
    io.err << ours << "\n";
  } else if (outcome.message == ToUtf8(kTextOverflow)) {
    // The driver's bare overflow text, with what overflowed and where.
    io.err << outcome.message << " (" << TrFill("a number outside the driver's 16-bit range: {0}", {ours}) << ")\n";
  } else {
    io.err << outcome.message << "\n";
  }
  return kExitFalse;
}

void PreferLargeRecordBatches() {
  // The largest batch the protocol allows, unless the user set the control's batch himself.
  const char* user = std::getenv(terminal::control::kBatchVariable);
  if (user && *user)
    PreferControlSettings({});
  else
    PreferControlSettings({{terminal::control::kBatchVariable, std::to_string(kLargestRecordBatch)}});
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

store::RecordStore OpenStoreForReading(const DatabaseOptions& o) {
  return store::RecordStore(store::OpenSwipeStoreForReading(DatabasePath(o.db, false), LockTimeout(o)));
}

std::string ShownLocation(const std::string& location) {
  if (!store::IsDatabaseUrl(location)) return location;
  // A password in the user part, or as a "password=" parameter of the query.
  std::string shown = store::RedactUrl(location);
  for (std::size_t at = shown.find("password="); at != std::string::npos; at = shown.find("password=", at + 1)) {
    if (at == 0 || (shown[at - 1] != '?' && shown[at - 1] != '&')) continue;
    std::size_t start = at + 9, end = shown.find('&', start);
    shown.replace(start, (end == std::string::npos ? shown.size() : end) - start, "***");
  }
  return shown;
}

}  // namespace vanto::cli
