#!/usr/bin/env bash
# The whole test suite on a fresh Debian machine: installs what is missing,
# then builds and runs every test twice, in a Release build and in an
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

echo "== Release build"
run_suite build/release -DCMAKE_BUILD_TYPE=Release
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
run_suite build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPR_SANITIZE=ON -DZPR_BUILD_BENCH=OFF
echo "== Fuzzing (clang, libFuzzer with ASan + UBSan, 30 s per target)"
ZPR_FUZZ_BUILD_DIR=build/fuzz ZPR_FUZZ_JOBS="$jobs" fuzz/run.sh 30
