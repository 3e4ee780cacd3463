#!/usr/bin/env bash
# The README's first command: installs what the build needs, builds everything, and runs the
# controller simulator with the bundled house scenario on a pseudo-terminal and the server
# against it in a throw-away instance directory. Ctrl-C stops both.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/build.sh"
exec bash "$root/scripts/run-demo.sh" "${ZEL_BUILD_DIR:-$root/build}"
