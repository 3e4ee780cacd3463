#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds warning-free (-Werror), runs CTest, then
# checks the lock annotations with clang (scripts/thread-safety.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/build.sh" -DZEL_WERROR=ON "$@"
build="${ZEL_BUILD_DIR:-$root/build}"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
bash "$root/scripts/thread-safety.sh"
