// vanto: the attendance host's command line.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  vanto::cli::Io io{std::cout, std::cerr, isatty(STDERR_FILENO) == 1};
  int status = vanto::cli::RunVanto(args, io);
  std::cout.flush();
  return status;
}
