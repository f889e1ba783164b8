// vanto: the attendance host's command line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "host/text/messages.h"

namespace {
// Cursor codes (the progress line) only on a terminal that understands them.
bool CursorCodes() {
  if (isatty(STDERR_FILENO) != 1) return false;
  const char* term = std::getenv("TERM");
  return !(term && std::string(term) == "dumb");
}
}  // namespace

int main(int argc, char** argv) {
  vanto::cli::SetUpMessages();
  std::vector<std::string> args(argv + 1, argv + argc);
  vanto::cli::Io io{std::cout, std::cerr, CursorCodes(), CursorCodes()};
  int status = vanto::cli::RunVanto(args, io);
  // What could not be written (a full disk, a closed pipe) is a failure of the host's own part.
  std::cout.flush();
  bool failed = !std::cout.good() || std::fflush(stdout) != 0 || std::ferror(stdout);
  int error = errno;
  if (!failed && close(STDOUT_FILENO) != 0 && errno != EBADF) failed = true, error = errno;
  if (failed) {
    std::cerr << "vanto: " << vanto::cli::TrFill("cannot write to standard output: {0}", {std::strerror(error)}) << "\n";
    if (status == vanto::cli::kExitOk) status = vanto::cli::kExitHost;
  }
  return status;
}
