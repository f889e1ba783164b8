#!/usr/bin/env bash
# Quick start: installs the Debian packages the build needs (when run as root and something is
# missing), configures and builds into build/, then runs `vanto demo` against a simulated site.
# Extra arguments go to `vanto demo` (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
exec build/cli/vanto demo "$@"
