#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds warning-free (-Werror), runs CTest, checks
# the lock annotations with clang (scripts/thread-safety.sh), then builds the unit tests with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs them (build-asan/). ThreadSanitizer
# stays a script of its own (scripts/sanitize.sh tsan), run before changes that touch threads.
# ZEL_SKIP_ASAN=1 leaves the sanitizer part out (a quick local run).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/build.sh" -DZEL_WERROR=ON "$@"
build="${ZEL_BUILD_DIR:-$root/build}"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
bash "$root/scripts/thread-safety.sh"
if [ "${ZEL_SKIP_ASAN:-0}" != 1 ]; then
  ZEL_BUILD_DIR="$root/build-asan" ZEL_TARGETS=unit_tests \
    bash "$root/scripts/sanitize.sh" asan "" -L unit --timeout 600
fi
