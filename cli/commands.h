// The options and handlers of the host's built-in commands. Each handler throws UsageError,
// HostError or StoreError for RunVanto to turn into a message and an exit status, and returns
// the status otherwise. The commands' declarations are in their own files (see cli/command.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/args.h"
#include "cli/cli.h"

namespace vanto::host {}
namespace vanto::cli {
using namespace vanto::host;  // the front end presents what the host library does

// --db and --lock-timeout.
struct DatabaseOptions {
  std::optional<std::string> db;
  double lock_timeout = 5.0;
};

struct ScanOptions {
  // {0, 0}: not given (the site's ports, else port 1; each port's terminals, else 1-255).
  Range ports{0, 0};
  Range terminals{0, 0};
  bool json = false;
};

struct DownloadOptions : DatabaseOptions {
  int port = 0, terminal = 0;
  bool csv = false, json = false, quiet = false, progress = false;
  bool all = false;  // every record the terminal holds, not only the new ones
};

struct RejectedOptions : DatabaseOptions {
  bool csv = false, json = false, all_sites = false;
};

struct ClearOptions : DatabaseOptions {
  int port = 0, terminal = 0;
  bool yes = false;
};

struct EnrolmentOptions : DatabaseOptions {
  int port = 0, terminal = 0;
  std::int64_t person = 0;
  bool password = false;  // restore: the password row, not the fingerprint
};

struct CopyOptions : DatabaseOptions {
  int from_port = 0, from_terminal = 0, to_port = 0, to_terminal = 0;
  std::int64_t person = 0;
};

struct DemoOptions {
  std::optional<std::string> db;
  bool keep = false;
  bool tcp = false;
};

struct SimOptions {
  std::optional<std::string> seed, save, link_dir, speed;
  bool tcp = false;
};

struct SyncOptions : DatabaseOptions {
  bool json = false, quiet = false, progress = false, all = false;
  bool timer = false;    // started by the package's timer (recorded so)
  bool history = false;  // list the recorded runs instead of syncing
  bool all_sites = false;  // with history: every site's runs, each with its site
  int limit = 20;
};

struct CheckOptions : DatabaseOptions {
  bool json = false;
};

struct SiteInitOptions {
  Range ports{0, 0};  // required
  Range terminals{1, 255};
  std::optional<std::string> site, db;
  bool force = false;
};

int RunScan(const ScanOptions& options, Io& io);
int RunSync(const SyncOptions& options, Io& io);
int RunCheck(const CheckOptions& options, Io& io);
int RunSiteInit(const SiteInitOptions& options, Io& io);
int RunSiteShow(const DatabaseOptions& options, Io& io);
int RunDownload(const DownloadOptions& options, Io& io);
int RunRejected(const RejectedOptions& options, Io& io);
int RunClear(const ClearOptions& options, Io& io);
int RunBackup(const EnrolmentOptions& options, Io& io);
int RunRestore(const EnrolmentOptions& options, Io& io);
int RunCopy(const CopyOptions& options, Io& io);
int RunDemo(const DemoOptions& options, Io& io);
int RunSim(const SimOptions& options, Io& io);

}  // namespace vanto::cli
