#!/usr/bin/env bash
# The whole test suite on a fresh Debian machine: installs what is missing,
# checks the format, then builds and runs the tests in a Release build and
# in an AddressSanitizer + UndefinedBehaviorSanitizer build.  The sanitizer
# build skips the tests labelled release_only (the alert rules' promtool
# checks, the install test and the run against a real Prometheus server):
# they exercise no instrumented code the other tests do not.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== Format (clang-format, .clang-format at the root)"
find lib monitor demo exporter tests fuzz bench -name '*.cpp' -o -name '*.h' |
  xargs -d '\n' clang-format --dry-run -Werror

jobs=$(nproc)
run_suite() {
  local dir=$1 exclude=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 ${exclude:+-LE "$exclude"}
}

echo "== Release build"
run_suite build/release "" -DCMAKE_BUILD_TYPE=Release
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
run_suite build/asan release_only -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPR_SANITIZE=ON \
  -DZPR_BUILD_BENCH=OFF
echo "== Fuzzing (clang, libFuzzer with ASan + UBSan, 30 s per target)"
ZPR_FUZZ_BUILD_DIR=build/fuzz ZPR_FUZZ_JOBS="$jobs" fuzz/run.sh 30
