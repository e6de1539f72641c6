#!/bin/sh
# zpr_exporter beside prometheus-node-exporter with 1000 live segments in a
# private /dev/shm (a mount namespace with its own tmpfs; run as root).
# Usage: bench/exporter_bench.sh [build dir] [cpu seconds] [segments]
set -e
build=${1:-build/release}
cmake --build "$build" --target zpr_exporter exporter_bench
exec unshare -m --propagation private sh -c 'mount -t tmpfs zpr-bench /dev/shm && exec "$@"' \
  exporter_bench "$build/bench/exporter_bench" "$build/exporter/zpr_exporter" "${2:-60}" "${3:-1000}"
