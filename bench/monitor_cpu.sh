#!/bin/sh
# The monitor's own CPU cost (live view and dump at 20 ms) while it watches
# a tool that updates continuously.  Usage: bench/monitor_cpu.sh [build dir]
# [seconds]; builds zpr_monitor and monitor_cpu in the build dir first.
set -e
build=${1:-build/release}
seconds=${2:-10}
cmake --build "$build" --target zpr_monitor monitor_cpu
exec "$build/bench/monitor_cpu" "$seconds" "$build/monitor/zpr_monitor"
