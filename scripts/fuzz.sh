#!/usr/bin/env bash
# Runs one fuzz target for a while on its corpus, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and prints what the run did.
#
#   bash scripts/fuzz.sh TARGET SECONDS [more libFuzzer options...]
#   bash scripts/fuzz.sh --list
#
# Configures and builds the "fuzz" preset (build-fuzz/, clang) when needed. The run starts from
# the seed corpus fuzz/corpus/TARGET/ and keeps the inputs it finds new in a scratch directory,
# never in the tree: build-fuzz/runs/TARGET/corpus/. A crash, leak, time-out or sanitizer report
# stops the run and saves the input under build-fuzz/runs/TARGET/ (crash-*, leak-*,
# timeout-*); replay it with build-fuzz/fuzz/TARGET_fuzz FILE, fix the code, then keep the file
# in fuzz/corpus/TARGET/ as a regression input (see docs/fuzzing.md).
# A single input running over 60 s counts as a hang (a loaded machine can stall a niced
# process for seconds, so less would report false hangs).
# Environment:
#   ZEL_BUILD_DIR  build directory instead of build-fuzz/
#   ZEL_JOBS       parallel build jobs (default 2)
#   ZEL_FUZZ_NO_BUILD  set: run the binary as built (another build of the directory is running)
#   ZEL_NICE       niceness of the run (default 19: fuzzing yields to everything else)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZEL_BUILD_DIR:-$root/build-fuzz}"

targets() {
  sed -n 's/^zel_fuzz_target(\([a-z_]*\) .*/\1/p' "$root/fuzz/CMakeLists.txt"
}

if [ "${1:-}" = --list ]; then
  targets
  exit 0
fi
if [ $# -lt 2 ] || ! [[ "$2" =~ ^[0-9]+$ ]]; then
  echo "usage: bash scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]   (targets: --list)" >&2
  exit 2
fi
target="$1"
seconds="$2"
shift 2
if ! targets | grep -qx "$target"; then
  echo "no fuzz target \"$target\"; the targets are:" >&2
  targets >&2
  exit 2
fi

cd "$root"
if [ ! -f "$build/build.ninja" ]; then
  launcher=()
  if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
  cmake --preset fuzz -B "$build" "${launcher[@]}" >/dev/null
fi
if [ -z "${ZEL_FUZZ_NO_BUILD:-}" ]; then
  cmake --build "$build" -j "${ZEL_JOBS:-2}" --target "${target}_fuzz"
fi

run="$build/runs/$target"
mkdir -p "$run/corpus"
# Inputs larger than any real one only slow the search down.
case "$target" in
  compound_file | store) max_len=65536 ;;
  *) max_len=4096 ;;
esac

log="$run/last-run.log"
echo "fuzzing $target for $seconds s (log: $log)"
set +e
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}" \
  nice -n "${ZEL_NICE:-19}" "$build/fuzz/${target}_fuzz" \
  -max_total_time="$seconds" -max_len="$max_len" -timeout=60 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$run/" "$@" \
  "$run/corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1
status=$?
set -e
grep -E "^#[0-9]+ +(INITED|DONE)|ERROR|SUMMARY|Test unit written" "$log" || true

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
cov=$(grep -oE "cov: [0-9]+" "$log" | tail -1 | grep -oE "[0-9]+" || true)
ft=$(grep -oE "ft: [0-9]+" "$log" | tail -1 | grep -oE "[0-9]+" || true)
found=$(find "$run/corpus" -type f | wc -l)
echo "$target: ${seconds} s, executions ${execs:-?}, edges (cov) ${cov:-?}, features ${ft:-?}," \
  "scratch corpus $found inputs, exit status $status"
artifacts=$(find "$run" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
if [ "$artifacts" -gt 0 ]; then
  echo "$target: $artifacts saved fault input(s) in $run/"
fi
exit "$status"
