#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds warning-free (-Werror), runs CTest, and
# checks the lock annotations with clang (scripts/thread-safety.sh). With ZEL_ASAN=1 it then also
# builds the unit tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs them
# (build-asan/); that stage takes about as long again as the rest, so it is a run of its own
# rather than part of every run. ThreadSanitizer: scripts/sanitize.sh tsan.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/build.sh" -DZEL_WERROR=ON "$@"
build="${ZEL_BUILD_DIR:-$root/build}"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
bash "$root/scripts/thread-safety.sh"
if [ "${ZEL_ASAN:-0}" = 1 ]; then
  ZEL_BUILD_DIR="$root/build-asan" ZEL_TARGETS=unit_tests \
    bash "$root/scripts/sanitize.sh" asan "" -L unit --timeout 600
fi
