#!/usr/bin/env bash
# The suite at work, on a fresh Debian machine, with one command:
# installs what is missing for the build (compiler, CMake, Ninja and the
# libraries' -dev packages; no servers), builds zpr_demo and zpr_monitor
# (Release, in build/demo, without the tests and benchmarks), starts a
# demo Proxmox orchestrator that runs three backup agents one after
# another, and opens zpr_monitor on it through discovery.  Quitting the
# monitor (q) stops the demo.
#
#   scripts/demo.sh            live view of the orchestrator and its children
#   scripts/demo.sh --two      two jobs at once: the selection box first
#   scripts/demo.sh --dump     dump mode: one tab-separated line per interval
#
# Further arguments go to zpr_demo (e.g. --codec lz4, --background,
# --seconds 20, --tool pve-rst); the first occurrence of an option counts.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=live
case "${1:-}" in
  --two) mode=two; shift ;;
  --dump) mode=dump; shift ;;
  -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
esac

# Installing and building report on standard error: standard output
# carries only what the monitor prints (the dump, in --dump mode).
build=${ZPR_DEMO_BUILD_DIR:-build/demo}
scripts/install-deps.sh --demo >&2
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZPR_BUILD_TESTS=OFF \
  -DZPR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target zpr_demo zpr_monitor >&2

demo=$build/demo/zpr_demo
monitor=$build/monitor/zpr_monitor
# No /var/log needed: the run log stays off for both programs.
quiet=(--no-log --no-syslog)

pids=()
stop_demos() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
}
trap stop_demos EXIT
trap 'exit 130' INT TERM HUP

# Starts zpr_demo in the background with its output out of the way, and
# waits until its progress segment is there for the monitor to find.
start_demo() {
  "$demo" "${quiet[@]}" "$@" >/dev/null 2>&1 &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do
    [ -e "/dev/shm/zpr_progress.$pid" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "error: zpr_demo (pid $pid) did not start" >&2
  exit 1
}

case $mode in
  live)
    start_demo "$@" --tool proxmox --children 3
    "$monitor" "${quiet[@]}"
    ;;
  two)
    start_demo "$@" --tool proxmox --children 3
    start_demo "$@" --tool restore --name demo-restore-1 --workers 4
    "$monitor" "${quiet[@]}"
    ;;
  dump)
    start_demo "$@" --tool proxmox --children 3 --seconds 10
    "$monitor" "${quiet[@]}" --dump --pid "${pids[0]}"
    ;;
esac
