#!/usr/bin/env bash
# Builds the tree with a sanitizer and runs the tests under it; any sanitizer report fails the test.
#
#   bash scripts/sanitize.sh asan|tsan [ctest-regex] [more ctest arguments...]
#
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   tsan  ThreadSanitizer (build-tsan/)
#
# The configure options come from the presets of the same name in CMakePresets.json; the test
# presets carry the same run-time options as this script, so `ctest --preset asan` in the
# preset's directory behaves the same.
# Environment:
#   ZEL_BUILD_DIR  build directory instead of the preset's (several people building at once)
#   ZEL_TARGETS    space-separated targets to build instead of everything; the tests of
#                  programs not built are then skipped
#   ZEL_JOBS       parallel build and test jobs (default: the number of cores)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

if [ $# -lt 1 ] || { [ "$1" != asan ] && [ "$1" != tsan ]; }; then
  echo "usage: bash scripts/sanitize.sh asan|tsan [ctest-regex] [ctest arguments...]" >&2
  exit 2
fi
preset="$1"
shift
regex=""
if [ $# -gt 0 ]; then
  regex="$1"
  shift
fi
build="${ZEL_BUILD_DIR:-$root/build-$preset}"
jobs="${ZEL_JOBS:-$(nproc)}"

bash "$root/scripts/install-deps.sh"
cd "$root"
cmake --preset "$preset" -B "$build" >/dev/null

targets=()
if [ -n "${ZEL_TARGETS:-}" ]; then
  for t in $ZEL_TARGETS; do targets+=(--target "$t"); done
fi
cmake --build "$build" "${targets[@]}" -j "$jobs"

# The sanitizer run-time options, the same as the test presets' (ctest --preset always runs in
# the preset's own directory, so it cannot serve ZEL_BUILD_DIR). Keep the two in step.
case "$preset" in
  asan)
    # Stop at the first report; leaks, stack use after return and init order are checked too.
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
    # Undefined behaviour is fatal (the build also has -fno-sanitize-recover=all).
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    ;;
  tsan)
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
    ;;
esac

ctest_args=(--test-dir "$build" --output-on-failure -j "$jobs")
if [ -n "$regex" ]; then ctest_args+=(-R "$regex"); fi
# With a partial build, skip the tests whose program was not built (gtest programs appear as a
# "<program>_NOT_BUILT" placeholder, plain tests name a missing file).
if [ -n "${ZEL_TARGETS:-}" ]; then
  unbuilt="$(ctest --test-dir "$build" --show-only=json-v1 | python3 -c '
import json, os, re, sys
names = [t["name"] for t in json.load(sys.stdin).get("tests", [])
         if not t.get("command") or not os.path.exists(t["command"][0])]
print("|".join(re.sub(r"([][.^$*+?(){}|\\])", r"\\\1", n) for n in names))')"
  if [ -n "$unbuilt" ]; then ctest_args+=(-E "^($unbuilt)\$"); fi
fi
ctest "${ctest_args[@]}" "$@"
