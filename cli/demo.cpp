#include "cli/commands.h"
#include "cli/machine.h"

namespace vanto::cli {

// STUB (until the terminal simulator lands on main).
int RunDemo(const Options&, Io&) { throw HostError("the terminal simulator is not part of this build"); }
int RunSim(const Options&, Io&) { throw HostError("the terminal simulator is not part of this build"); }

}  // namespace vanto::cli
