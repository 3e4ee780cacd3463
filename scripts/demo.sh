#!/usr/bin/env bash
# Builds everything and runs the controller simulator with the bundled scenario on a
# pseudo-terminal, then the server against it in a throw-away instance directory.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/build.sh"
build="${ZEL_BUILD_DIR:-$root/build}"
if [ ! -x "$build/service/zelcommsrv" ]; then
  echo "The daemon is not built yet in this version; running the runtime smoke tests instead."
  "$build/platform/platform_runtime_test" --gtest_brief=1
  exit 0
fi
exec "$root/scripts/run-demo.sh" "$build"
