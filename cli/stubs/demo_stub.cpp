// STUB, built only while the terminal simulator is not part of the tree.
#include "cli/commands.h"
#include "cli/machine.h"

namespace vanto::cli {
int RunDemo(const Options&, Io&) { throw HostError("the terminal simulator is not part of this build"); }
int RunSim(const Options&, Io&) { throw HostError("the terminal simulator is not part of this build"); }
}  // namespace vanto::cli
