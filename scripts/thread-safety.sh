#!/usr/bin/env bash
# Builds the production code (the libraries, zelcommsrv, zelctl and zelsim; not the tests,
# benchmarks or fuzz targets) with clang, -Wthread-safety and -Werror, so a field read without
# the lock its ZEL_GUARDED_BY names, or a call without the lock its ZEL_REQUIRES names, fails.
# Unoptimised and without debug information: only the diagnostics matter here.
#
#   bash scripts/thread-safety.sh
#
# Environment:
#   ZEL_TSA_BUILD_DIR  build directory (default build-tsa/)
#   ZEL_JOBS           parallel build jobs (default: the number of cores)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/install-deps.sh"
build="${ZEL_TSA_BUILD_DIR:-$root/build-tsa}"
# The build type "Check" has no flags of its own: -O0, no -g.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Check \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZEL_WERROR=ON -DZEL_THREAD_SAFETY=ON -DZEL_BUILD_BENCH=OFF "$@" >/dev/null
# The three programs link every production library.
cmake --build "$build" -j "${ZEL_JOBS:-$(nproc)}" --target zelcommsrv zelctl zelsim
echo "thread-safety analysis: clean"
