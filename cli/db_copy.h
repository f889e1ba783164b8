// `vanto db copy --from PATH-OR-URL --to PATH-OR-URL`: every table of one store copied into
// another (SQLite file or database server, either way), idempotent: rows the destination holds
// already are left as they are, so running it twice adds nothing. A progress line while it runs
// and a count check at the end.
#pragma once

#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/cli.h"

namespace vanto::cli {

extern const std::vector<OptionSpec> kDbCopyOptions;
extern const char* const kDbCopyDetails;

int RunDbCopy(const Options& options, Io& io);

// `vanto db` takes a subcommand word ("copy") before its options: drops it from `args` for
// command `name` "db" (a UsageError for any other word); leaves other commands' args alone.
void SkipDbSubcommand(const std::string& name, std::vector<std::string>* args);

}  // namespace vanto::cli
