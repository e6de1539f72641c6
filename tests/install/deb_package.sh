#!/usr/bin/env bash
# Builds the Debian package from the build tree with CPack and checks what
# is inside: the program, manual page, completion, headers, archives and
# package files, and Depends naming the Debian runtime packages.
#
# usage: deb_package.sh <build dir> <work dir>
set -euo pipefail
build=$1 work=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack -G DEB"; }
shopt -s nullglob
debs=("$work"/*.deb)
((${#debs[@]} == 1)) || fail "expected one .deb, found ${#debs[@]}"
deb=${debs[0]}

info=$(dpkg-deb --info "$deb")
field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == zpr-monitor ]] || fail "Package: $(field Package)"
[[ $(field Version) == 1.0.2~alpha027-1 ]] || fail "Version: $(field Version)"
[[ $(field Architecture) == amd64 ]] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
for package in libc6 libssl3 libzstd1 liblz4-1 libtinfo6; do
  grep -qE "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done
grep -qE "(^|, )libncurses6( |,|$)" <<<"$depends" || fail "Depends lacks libncurses6: $depends"
[[ -n $(grep -E '^ Description: ' <<<"$info") ]] || fail "no Description"

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for path in ./usr/bin/zpr_monitor \
            ./usr/share/man/man1/zpr_monitor.1.gz \
            ./usr/share/bash-completion/completions/zpr_monitor \
            ./usr/include/zpr/runtime/status.h ./usr/include/zpr/progress/writer.h \
            ./usr/lib/libzpr_runtime.a ./usr/lib/libzpr_progress.a \
            ./usr/lib/cmake/zpr/zprConfig.cmake ./usr/lib/pkgconfig/zpr.pc; do
  grep -qxF "$path" <<<"$contents" || fail "not in the package: $path"
done
if grep -E '_internal\.h$|CMakeLists\.txt$' <<<"$contents"; then
  fail "build-only files in the package"
fi

# The packaged files work: the program runs, the archives keep the
# symbols a tool links against (stripping must not touch them).
dpkg-deb -x "$deb" "$work/root"
[[ $("$work/root/usr/bin/zpr_monitor" --version) == "zpr_monitor 1.0.2-alpha027" ]] ||
  fail "packaged zpr_monitor --version"
nm "$work/root/usr/lib/libzpr_progress.a" 2>/dev/null | grep -q ' T .*progress_create' ||
  fail "libzpr_progress.a lost its symbols"
echo "debian package: ok"
