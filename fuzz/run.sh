#!/usr/bin/env bash
# fuzz/run.sh SECONDS [TARGET...] (codec args parsers render): builds the libFuzzer targets (clang,
# ASan + UBSan) if needed and runs each for SECONDS on a copy of its seed corpus.  A crash, leak,
# undefined behaviour or hang fails it, the input kept in the build's fuzz-artifacts/.  Last line:
# "fuzz: N passed, M failed".  ZPR_FUZZ_BUILD_DIR (build/fuzz), ZPR_FUZZ_JOBS (2), ZPR_FUZZ_FLAGS.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
targets=("${@:2}")
[ $# -gt 1 ] || targets=(codec args parsers render)
build=${ZPR_FUZZ_BUILD_DIR:-build/fuzz}
[ -f "$build/build.ninja" ] || CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPR_BUILD_FUZZ=ON -DZPR_BUILD_TESTS=OFF \
  -DZPR_BUILD_BENCH=OFF >/dev/null || exit 1
log=$(cmake --build "$build" -j "${ZPR_FUZZ_JOBS:-2}" --target "${targets[@]/#/fuzz_}" 2>&1) ||
  { tail -30 <<<"$log"; echo "fuzz: 0 passed, ${#targets[@]} failed"; exit 1; }
# The render target puts segments into /dev/shm: give it a private one.
launcher=()
[ "$(id -u)" -eq 0 ] && tests/private_shm.sh true 2>/dev/null && launcher=(tests/private_shm.sh)
artifacts=$(mkdir -p "$build/fuzz-artifacts" && realpath "$build/fuzz-artifacts")
passed=0 failed=0
for t in "${targets[@]}"; do
  work=$(mktemp -d "/tmp/zpr-fuzz-$t.XXXXXX")
  cp -r "fuzz/corpus/$t" "$work/corpus"
  extra=()
  [ "$t" = args ] && extra=(-close_fd_mask=2) # the run log's mask warnings
  [ "$t" = render ] && extra=(-max_len=4096)  # two records and the frame bytes
  if "${launcher[@]}" "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=25 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "${extra[@]}" ${ZPR_FUZZ_FLAGS:-} \
    "$work/corpus" >"$work/log" 2>&1; then
    passed=$((passed + 1))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
    echo "fuzz_$t: ok, $runs runs in $seconds s"
  else
    failed=$((failed + 1))
    echo "fuzz_$t: FAILED, inputs in $artifacts"
    grep -E "ERROR|SUMMARY|runtime error|Test unit written" "$work/log" | head -20
  fi
  rm -rf "$work"
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
