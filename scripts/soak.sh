#!/usr/bin/env bash
# Soak test, run by hand (not part of CI): a dump (--interval 20) and a
# live view in a terminal (tmux) watch a demo orchestrator running its
# children one after another for SECONDS (default 600).  Passes when, for
# both monitors, resident memory, open descriptors and mappings at the end
# equal those after the first minute.  The progress segments themselves
# are left out of the comparison: how many are mapped depends on whether a
# child is running at that moment.
#
#   scripts/soak.sh [SECONDS]
#   ZPR_SOAK_BUILD_DIR=dir     build to use (default build/release)
set -uo pipefail
cd "$(dirname "$0")/.."

total=${1:-600}
first=60
[ "$total" -gt "$first" ] || { echo "usage: scripts/soak.sh SECONDS (more than $first)" >&2; exit 2; }
build=${ZPR_SOAK_BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
cmake --build "$build" --target zpr_monitor zpr_demo >/dev/null || exit 1
monitor=$build/monitor/zpr_monitor
demo=$build/demo/zpr_demo
quiet=(--no-log --no-syslog)

work=$(mktemp -d /tmp/zpr-soak.XXXXXX)
sock=$work/tmux.sock
demo_pid=
dump_pid=
cleanup() {
  tmux -S "$sock" kill-server 2>/dev/null
  [ -n "$dump_pid" ] && kill "$dump_pid" 2>/dev/null
  [ -n "$demo_pid" ] && kill -TERM "$demo_pid" 2>/dev/null && wait "$demo_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Children of a minute each, enough of them to outlast the soak.
children=$((total / 60 + 2))
"$demo" "${quiet[@]}" --tool proxmox --name soak --children "$children" --seconds 60 \
  --blocks 8192 --workers 2 --update-ms 50 >/dev/null 2>&1 &
demo_pid=$!
for _ in $(seq 200); do
  [ -e "/dev/shm/zpr_progress.$demo_pid" ] && break
  sleep 0.05
done
[ -e "/dev/shm/zpr_progress.$demo_pid" ] || { echo "soak: the demo did not start" >&2; exit 1; }

"$monitor" --dump --pid "$demo_pid" --interval 20 "${quiet[@]}" >"$work/dump.out" 2>"$work/dump.err" &
dump_pid=$!
tmux -S "$sock" -f /dev/null new-session -d -x 100 -y 40 \
  "$monitor" --pid "$demo_pid" "${quiet[@]}" || exit 1
view_pid=$(tmux -S "$sock" list-panes -F '#{pane_pid}')

# Resident KiB, descriptors and mappings of a process, without the
# progress segments.
measure() {
  local pid=$1
  local rss maps fds
  rss=$(awk '/^[0-9a-f]+-[0-9a-f]+ / { seg = ($6 ~ /zpr_progress\./) }
             /^Rss:/ && !seg { kb += $2 } END { print kb + 0 }' "/proc/$pid/smaps") || return 1
  maps=$(grep -vc 'zpr_progress\.' "/proc/$pid/maps")
  fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
  echo "$rss $maps $fds"
}

declare -A at_first last
fail=0
start=$(date +%s)
echo "soak: demo pid $demo_pid, dump pid $dump_pid, live view pid $view_pid, $total s"
for ((t = 30; t <= total; t += 30)); do
  wait_s=$((start + t - $(date +%s)))
  [ "$wait_s" -gt 0 ] && sleep "$wait_s"
  for who in dump view; do
    pid=$dump_pid
    [ $who = view ] && pid=$view_pid
    if ! m=$(measure "$pid" 2>/dev/null); then
      echo "soak: the $who monitor (pid $pid) is gone at ${t} s"
      fail=1
      continue
    fi
    read -r rss maps fds <<<"$m"
    printf 'soak: %4d s %-4s rss %6d KiB  maps %3d  fds %2d\n' "$t" "$who" "$rss" "$maps" "$fds"
    [ $t -eq $first ] && at_first[$who]="$rss $maps $fds"
    [ $t -eq $((total / 30 * 30)) ] && last[$who]="$rss $maps $fds"
  done
  [ $fail -eq 0 ] || break
done

for who in dump view; do
  if [ "${at_first[$who]:-}" != "${last[$who]:-x}" ]; then
    echo "soak: $who changed: after ${first} s (${at_first[$who]:-?}), at the end (${last[$who]:-?})"
    fail=1
  fi
done
lines=$(($(wc -l <"$work/dump.out") - 1))
echo "soak: the dump printed $lines lines; its standard error: $(wc -c <"$work/dump.err") bytes"
[ -s "$work/dump.err" ] && fail=1
if [ $fail -eq 0 ]; then
  echo "soak: passed (rss KiB, maps, fds unchanged from ${first} s to ${total} s)"
else
  echo "soak: FAILED"
fi
exit $fail
