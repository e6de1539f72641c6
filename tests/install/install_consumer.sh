#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, moves the prefix (the
# installed files must not depend on where they were put), builds a small
# worker tool against it with find_package and with pkg-config, and lets
# the installed zpr_monitor dump the progress that each build publishes.
# Runs under private_shm.sh, so the segments live in a private /dev/shm.
#
# usage: install_consumer.sh <build dir> <source dir> <work dir> <libdir> <c++ compiler>
set -euo pipefail

build=$1 source=$2 work=$3 libdir=$4 cxx=$5
consumer_src=$source/tests/install/consumer

fail() { echo "FAIL: $*" >&2; exit 1; }

# wait_for <seconds> <command...>: polls until the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/staged" >/dev/null
mv "$work/staged" "$work/prefix"
prefix=$work/prefix

# --- what lands where ---------------------------------------------------

for f in bin/zpr_monitor \
         include/zpr/runtime/status.h include/zpr/progress/writer.h \
         include/zpr/progress/segment.h include/zpr/platform/thread.h \
         "$libdir"/libzpr_runtime.a "$libdir"/libzpr_progress.a \
         "$libdir"/cmake/zpr/zprConfig.cmake "$libdir"/cmake/zpr/zprConfigVersion.cmake \
         "$libdir"/cmake/zpr/zprTargets.cmake "$libdir"/pkgconfig/zpr.pc \
         share/man/man1/zpr_monitor.1.gz \
         share/bash-completion/completions/zpr_monitor; do
  [[ -e $prefix/$f ]] || fail "not installed: $f"
done
internal=$(find "$prefix/include" -name '*_internal.h')
[[ -z $internal ]] || fail "internal headers installed: $internal"
[[ ! -e $prefix/include/zpr/CMakeLists.txt && ! -e $prefix/include/zpr/runtime/CMakeLists.txt ]] ||
  fail "build files installed under include/"
if grep -rlF -e "$source" -e "$build" "$prefix/$libdir/cmake" "$prefix/$libdir/pkgconfig"; then
  fail "installed package files name the source or build tree"
fi

version=$("$prefix/bin/zpr_monitor" --version) || fail "installed zpr_monitor --version failed"
[[ $version == "zpr_monitor "* ]] || fail "installed zpr_monitor --version printed '$version'"

# bash-completion finds the completion by the command's name.
XDG_DATA_DIRS=$prefix/share bash -c '
  source /usr/share/bash-completion/bash_completion
  __load_completion zpr_monitor && complete -p zpr_monitor' >/dev/null ||
  fail "bash-completion does not load the installed completion"

# --- the two builds -----------------------------------------------------

cmake -S "$consumer_src" -B "$work/cmake-build" -G Ninja \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake-configure.log" ||
  { cat "$work/cmake-configure.log"; fail "find_package(zpr) consumer does not configure"; }
cmake --build "$work/cmake-build" >"$work/cmake-build.log" ||
  { cat "$work/cmake-build.log"; fail "find_package(zpr) consumer does not build"; }

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[[ $(pkg-config --modversion zpr) == 1.0.2 ]] || fail "pkg-config --modversion zpr"
# shellcheck disable=SC2046
"$cxx" -std=c++20 -Wall -Wextra -Werror $(pkg-config --cflags zpr) \
  -o "$work/consumer-pc" "$consumer_src/main.cpp" $(pkg-config --static --libs zpr) ||
  fail "pkg-config consumer does not build"

# --- each build publishes, the installed monitor dumps -------------------

expected_header=$'#elapsed_ms\tblocks_done\tblocks_total\tbytes_raw\tbytes_compressed\tq_raw_depth\tq_raw_cap\tq_out_depth\tq_out_cap\tworkers_active\tworkers_total\tlevel\tbg_active\tbg_duty_pct\tbg_foreign_cpu\tbg_foreign_io\tbg_foreign_net\tbg_self_cpu\tbg_self_io\tbg_self_net\tstate'

has_data_line() { grep -qs $'^[0-9]*\t42\t' "$1"; }

run_and_dump() {
  local tool=$1 tag=$2
  local fifo=$work/$tag.go out=$work/$tag.out dump=$work/$tag.dump
  mkfifo "$fifo"
  exec 3<>"$fifo"
  "$tool" <&3 >"$out" 2>"$work/$tag.err" &
  local tool_pid=$!
  wait_for 30 grep -q '^ready ' "$out" || fail "$tag: consumer never became ready: $(cat "$work/$tag.err")"
  local pid
  pid=$(awk '/^ready /{print $2}' "$out")
  [[ $pid == "$tool_pid" ]] || fail "$tag: consumer reports pid $pid, started as $tool_pid"
  [[ -e /dev/shm/zpr_progress.$pid ]] || fail "$tag: no /dev/shm/zpr_progress.$pid"

  "$prefix/bin/zpr_monitor" --dump --pid "$pid" --interval 20 --wait 10 \
    --no-syslog --no-log >"$dump" 2>"$work/$tag.dump.err" &
  local monitor_pid=$!
  wait_for 30 has_data_line "$dump" || fail "$tag: the dump shows no line of the running consumer"
  echo go >&3
  local status=0
  wait "$monitor_pid" || status=$?
  [[ $status == 0 ]] || fail "$tag: zpr_monitor --dump exited with $status: $(cat "$work/$tag.dump.err")"
  status=0
  wait "$tool_pid" || status=$?
  exec 3>&-
  [[ $status == 0 ]] || fail "$tag: consumer exited with $status"
  [[ ! -e /dev/shm/zpr_progress.$pid ]] || fail "$tag: segment left behind after progress_finish"

  [[ $(head -n 1 "$dump") == "$expected_header" ]] || fail "$tag: dump header: $(head -n 1 "$dump")"
  local first last
  first=$(sed -n 2p "$dump")
  last=$(tail -n 1 "$dump")
  # blocks_done, blocks_total, bytes_raw, bytes_compressed, queue caps,
  # workers, level, then the state.
  [[ $(cut -f 2-12,21 <<<"$first") == $'42\t100\t172032\t43008\t0\t8\t0\t8\t3\t4\t3\trunning' ]] ||
    fail "$tag: first dump line: $first"
  [[ $(cut -f 2,3,21 <<<"$last") == $'42\t100\tDONE' ]] || fail "$tag: last dump line: $last"
  [[ $(awk -F '\t' '{print NF}' "$dump" | sort -u) == 21 ]] || fail "$tag: lines without 21 columns"
}

run_and_dump "$work/cmake-build/consumer" find_package
run_and_dump "$work/consumer-pc" pkg_config

# --- the installed manual page documents every dump column --------------

manual=$(MANWIDTH=200 man -l "$prefix/share/man/man1/zpr_monitor.1.gz" 2>/dev/null)
i=0
IFS=$'\t' read -r -a columns <<<"${expected_header#\#}"
for name in "${columns[@]}"; do
  i=$((i + 1))
  grep -qE "^ +$i $name\$" <<<"$manual" || fail "manual page lacks dump column $i $name"
done

echo "install tree, find_package and pkg-config consumers: ok"
