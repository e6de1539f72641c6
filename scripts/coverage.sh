#!/usr/bin/env bash
# Line, function and branch coverage of the product code (lib/, monitor/,
# demo/, exporter/) under the whole test suite: a gcc --coverage build, the
# suite, then one summary line per figure from gcovr (the per-file report
# lands in the build tree as coverage.txt).  Run by hand; not part
# of CI.  The build tree defaults to build/coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
if ! command -v gcovr >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gcovr
fi

dir=${ZPR_COVERAGE_DIR:-build/coverage}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZPR_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" \
  -DCMAKE_C_FLAGS="--coverage -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS="--coverage" >/dev/null
cmake --build "$dir" -j "$(nproc)"
find "$dir" -name '*.gcda' -delete
# The install tests build consumers of the installed library, which are not
# linked with the coverage runtime; they cover no product line anyway.
ctest --test-dir "$dir" -j "$(nproc)" --timeout 600 -E '^install$' "$@" ||
  echo "coverage: some tests failed" >&2

gcovr --root . --object-directory "$dir" \
  --filter 'lib/' --filter 'monitor/' --filter 'demo/' --filter 'exporter/' \
  --gcov-ignore-parse-errors \
  --print-summary --output "$dir/coverage.txt" "$dir" 2>/dev/null |
  grep -E '^(lines|functions|branches):'
