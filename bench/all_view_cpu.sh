#!/bin/sh
# The cost of zpr_monitor --all with 100 and 1000 updating tools, beside the
# live view of one, in a private /dev/shm (the machine's own jobs stay out
# of the count).  Usage: bench/all_view_cpu.sh [build dir] [seconds]; builds
# zpr_monitor and all_view_cpu in the build dir first.
set -e
build=${1:-build/release}
seconds=${2:-10}
cmake --build "$build" --target zpr_monitor all_view_cpu
exec "$(dirname "$0")/../tests/private_shm.sh" "$build/bench/all_view_cpu" "$seconds" \
  "$build/monitor/zpr_monitor"
