// `vanto db copy --from PATH-OR-URL --to PATH-OR-URL`: every table of one store copied into
// another (SQLite file or database server, either way), idempotent: rows the destination holds
// already are left as they are, so running it twice adds nothing. A progress line while it runs
// and a count check at the end.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace vanto::cli {

struct DbCopyOptions {
  std::optional<std::string> from, to;
  bool quiet = false;
  double lock_timeout = 5.0;
};

int RunDbCopy(const DbCopyOptions& options, Io& io);

}  // namespace vanto::cli
