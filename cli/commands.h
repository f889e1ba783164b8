// The subcommands' handlers. Each throws UsageError, HostError or StoreError for the caller
// to turn into a message and an exit status, and returns the status otherwise.
#pragma once

#include "cli/args.h"
#include "cli/cli.h"

namespace vanto::cli {

int RunScan(const Options& options, Io& io);
int RunDownload(const Options& options, Io& io);
int RunBackup(const Options& options, Io& io);
int RunRestore(const Options& options, Io& io);
int RunCopy(const Options& options, Io& io);
int RunDemo(const Options& options, Io& io);
int RunSim(const Options& options, Io& io);
int RunSync(const Options& options, Io& io);
int RunCheck(const Options& options, Io& io);
int RunSiteInit(const Options& options, Io& io);
int RunSiteShow(const Options& options, Io& io);

// The database path of --db (or the default), created folder included when `create`.
std::string DatabasePath(const Options& options, bool create);
double LockTimeout(const Options& options);

}  // namespace vanto::cli
