#!/usr/bin/env bash
# The installed tree (moved after installing) serves a worker tool built with
# find_package and with pkg-config, whose progress the installed zpr_monitor
# dumps; the manual page formats cleanly and documents every option and dump
# column; the bash completion offers the live pids; the Debian package holds
# the same tree, with the licence in Debian's copyright file.  Runs under
# private_shm.sh.
# usage: install.sh <build dir> <source dir> <work dir> <libdir> <c++ compiler>
set -euo pipefail
build=$1 src=$2 work=$3 libdir=$4 cxx=$5 head=$(cat "$2/tests/monitor/screens/dump_header.txt")
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work" && cd "$work"
cmake --install "$build" --prefix staged >/dev/null && mv staged prefix && p=$work/prefix
[[ -z $(find prefix/include -name '*_internal.h' -o -name CMakeLists.txt) ]] || fail "build-only headers installed"
! grep -rlF -e "$src" -e "$build" "$p/$libdir/cmake" "$p/$libdir/pkgconfig" || fail "package files name the build"
cmake -S "$src/tests/install/consumer" -B cm -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$p" >log &&
  cmake --build cm >log || { cat log; fail "find_package consumer"; }
export PKG_CONFIG_PATH=$p/$libdir/pkgconfig
[[ ! $(pkg-config --static --cflags --libs zpr) =~ curses|tinfo|-D ]] || fail "zpr.pc brings the monitor's ncurses"
# shellcheck disable=SC2046
"$cxx" -std=c++20 $(pkg-config --cflags zpr) -o pc "$src/tests/install/consumer/main.cpp" $(pkg-config --static --libs zpr)
for tool in cm/consumer ./pc; do
  rm -f go && mkfifo go && exec 3<>go
  "$tool" <&3 >out & pid=$!
  for _ in $(seq 600); do grep -q "^ready $pid" out && break; sleep 0.05; done
  "$p/bin/zpr_monitor" --dump --pid $pid --interval 20 --no-syslog --no-log >dump &
  for _ in $(seq 600); do grep -q $'\t42\t' dump && break; sleep 0.05; done
  echo go >&3 && wait $! && wait $pid || fail "$tool: exit status"
  [[ $(head -1 dump) == "$head" && $(sed -n 2p dump | cut -f 2-21) == $'42\t100\t172032\t43008\t0\t8\t0\t8\t3\t4\t3\t0\t0\t0\t0\t0\t0\t0\t0\trunning' &&
     $(tail -1 dump | cut -f 2,3,21) == $'42\t100\tDONE' && ! -e /dev/shm/zpr_progress.$pid ]] || fail "$tool: $(cat dump)"
done
page=$p/share/man/man1/zpr_monitor.1.gz && man=$(MANWIDTH=200 man -l "$page")
[[ -z $(zcat "$page" | groff -man -ww -z 2>&1) && -z $(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) ]] || fail "man warnings"
for o in $("$p/bin/zpr_monitor" --help --no-log --no-syslog | grep -oE -- '--[a-z-]+' | sort -u) --version --selftest -p -h; do
  grep -qE -- "(^| )$o( |,|$)" <<<"$man" || fail "man page lacks $o"
done
i=0 && IFS=$'\t' read -r -a cols <<<"${head#\#}"
for c in "${cols[@]}"; do i=$((i + 1)) && grep -qE "^ +$i $c\$" <<<"$man" || fail "man page lacks column $i $c"; done
touch /dev/shm/zpr_progress.4242 /dev/shm/zpr_progress.77 /dev/shm/zpr_progress.junk /dev/shm/other.43
for helpers in /dev/null /usr/share/bash-completion/bash_completion; do
  source "$helpers" && source "$p/share/bash-completion/completions/zpr_monitor"
  for row in "--pid ''|4242 77" "-p 4|4242" "--dump --pid 7|77" "--no|--no-log --no-syslog" "--wait ''|" "12|"; do
    eval "COMP_WORDS=(zpr_monitor ${row%|*})" && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE} && COMPREPLY=() && _zpr_monitor zpr_monitor "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    [[ $(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ') == "${row#*|}" ]] || fail "completion of ${row%|*}: ${COMPREPLY[*]}"
  done
done
cpack -G DEB --config "$build/CPackConfig.cmake" -B deb >log 2>&1 || { cat log; fail cpack; }
deb=$(echo deb/*.deb) && dpkg-deb -x "$deb" root && depends=$(dpkg-deb -f "$deb" Depends)
version=$(sed -nE 's/.*VERSION_STRING\[\] = "(.*)";/\1/p' "$src/lib/runtime/version.h")
[[ $(dpkg-deb -f "$deb" Package Version) == "Package: zpr-monitor"$'\n'"Version: ${version/-/\~}-1" ]] ||
  fail "package fields"
for d in libc6 libgcc-s1 libssl3 libzstd1 liblz4-1 libtinfo6 libncurses6; do
  grep -qE "(^|, )$d( |,|$)" <<<"$depends" || fail "no $d"
done
diff <(cd prefix && find . | sort) <(cd root/usr && find . | sort) || fail "the package differs from the installed tree"
copyright=share/doc/zpr-monitor/copyright && cmp "prefix/$copyright" "root/usr/$copyright" || fail "package copyright"
[[ $(head -3 "$src/LICENSE") == $'MIT License\n\nCopyright (c) '*' the zpr authors' ]] || fail "LICENSE"
diff <(sed '1,4d' "$src/LICENSE") <(sed '1,/^License: Expat$/d; s/^ //; s/^\.$//' "prefix/$copyright") || fail "copyright lacks the licence"
grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$src/LICENSE")" "prefix/$copyright" || fail "copyright holder"
echo "install, man page, completion, package: ok"
