// `vanto --version`: the program's version and each module the host uses, with the path the
// component registry points at and the version text of the module file's version resource.
#pragma once

#include <ostream>
#include <string>

namespace vanto::host {}
namespace vanto::cli {
using namespace vanto::host;  // the front end presents what the host library does

// The program's own version ("1.0.0").
const char* ProgramVersion();

// Writes the version report; never throws for a missing or broken module (it says so instead).
void PrintVersion(std::ostream& out);

}  // namespace vanto::cli
