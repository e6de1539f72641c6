#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) if needed and runs each
# for SECONDS on a copy of its seed corpus, so the committed corpus is never
# touched.  Fails when any target finds a crash, a leak, undefined
# behaviour or a hang; the inputs that did are kept under the build
# directory's fuzz-artifacts/.  The last line is "fuzz: N passed, M failed".
#
#   fuzz/run.sh SECONDS [TARGET...]      (targets: codec args parsers render)
#   ZPR_FUZZ_BUILD_DIR=dir               build directory (default build/fuzz)
#   ZPR_FUZZ_JOBS=n                      build jobs (default 2)
#   ZPR_FUZZ_FLAGS="..."                 further libFuzzer flags for every target
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(codec args parsers render)
build=${ZPR_FUZZ_BUILD_DIR:-build/fuzz}
jobs=${ZPR_FUZZ_JOBS:-2}

if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZPR_BUILD_FUZZ=ON -DZPR_BUILD_TESTS=OFF -DZPR_BUILD_BENCH=OFF >/dev/null || exit 1
fi
names=()
for t in "${targets[@]}"; do names+=("fuzz_$t"); done
cmake --build "$build" -j "$jobs" --target "${names[@]}" >/dev/null || {
  cmake --build "$build" -j 1 --target "${names[@]}" 2>&1 | tail -30
  echo "fuzz: 0 passed, ${#targets[@]} failed"
  exit 1
}

# The render target puts segments into /dev/shm; where possible every
# target runs with a private one, so no discovery on the machine sees them.
launcher=()
if [ "$(id -u)" -eq 0 ] && tests/private_shm.sh true 2>/dev/null; then
  launcher=(tests/private_shm.sh)
fi

artifacts=$(realpath -m "$build/fuzz-artifacts")
mkdir -p "$artifacts"
passed=0
failed=0
for t in "${targets[@]}"; do
  work=$(mktemp -d "/tmp/zpr-fuzz-$t.XXXXXX")
  mkdir -p "$work/corpus"
  cp -r "fuzz/corpus/$t/." "$work/corpus/" 2>/dev/null
  extra=()
  case $t in
  args) extra+=(-close_fd_mask=2) ;;  # the run log's mask warnings
  render) extra+=(-max_len=4096) ;;   # two whole records and the frame sizes
  esac
  "${launcher[@]}" "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$t-" "${extra[@]}" ${ZPR_FUZZ_FLAGS:-} "$work/corpus" >"$work/log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1)
  units=$(find "$work/corpus" -type f | wc -l)
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    echo "fuzz_$t: ok, ${runs:-?} runs in ${seconds} s (${rate:-?}/s), corpus $units"
  else
    failed=$((failed + 1))
    echo "fuzz_$t: FAILED (exit $rc), inputs in $artifacts"
    grep -E "ERROR|SUMMARY|runtime error|Test unit written" "$work/log" | head -20
  fi
  rm -rf "$work"
done
# Left behind only by a crashed render run without a private /dev/shm:
# pids this large never exist.
rm -f /dev/shm/zpr_progress.42[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9] 2>/dev/null
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
