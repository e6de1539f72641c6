#!/usr/bin/env bash
# Installs the Debian packages this tree needs, asking apt only for those
# that are missing.
#
#   scripts/install-deps.sh --demo   what building and running the demo needs
#   scripts/install-deps.sh          that, and what the tests and benchmarks need
#
# No service starts or stays enabled because of this script: while apt
# runs, a policy-rc.d refuses every start (one already there is left as it
# is), and unit files that became enabled during the install are disabled
# again afterwards.
set -euo pipefail

# The compiler and build tools, and the libraries the programs link
# (prometheus-cpp with civetweb, and nlohmann-json, for zpr_exporter, which the build
# always configures; neither package runs a server).
demo_packages=(
  g++ cmake ninja-build pkg-config
  libssl-dev libzstd-dev liblz4-dev libncurses-dev
  prometheus-cpp-dev libcivetweb-dev nlohmann-json3-dev
)

# The tests (GoogleTest, a terminal through tmux, a real Prometheus and
# node_exporter, the manual page and the Debian package), the fuzz targets
# (clang with libFuzzer) and the CRC32C benchmark's yardstick (ISA-L).
test_packages=(
  make libgtest-dev libgmock-dev openssl
  tmux util-linux procps psmisc curl
  clang libclang-rt-14-dev
  libisal-dev
  prometheus prometheus-node-exporter
  groff-base man-db dpkg-dev bash-completion python3
  clang-format
  libsimde-dev
)

packages=("${demo_packages[@]}")
case "${1:-}" in
  --demo) ;;
  "") packages+=("${test_packages[@]}") ;;
  *) echo "usage: $0 [--demo]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
((${#missing[@]})) || exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

enabled_units() {
  if command -v systemctl >/dev/null; then
    { systemctl list-unit-files --state=enabled --no-legend --plain 2>/dev/null || true; } |
      awk '{print $1}' | sort
  fi
}

# invoke-rc.d asks /usr/sbin/policy-rc.d before it starts anything; 101
# means "not allowed".
policy=/usr/sbin/policy-rc.d
own_policy=0
remove_policy() {
  if ((own_policy)); then
    "${sudo[@]}" rm -f "$policy"
  fi
}
trap remove_policy EXIT
if [ ! -e "$policy" ]; then
  own_policy=1
  printf '#!/bin/sh\n# zpr install-deps.sh: no service starts while it installs\nexit 101\n' |
    "${sudo[@]}" tee "$policy" >/dev/null
  "${sudo[@]}" chmod 755 "$policy"
fi

before=$(enabled_units)
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

# Packages such as prometheus enable their units when installed, so that
# they would start at the next boot; undo only what this install enabled.
new_units=$(comm -13 <(echo "$before") <(enabled_units) | grep -v '^$' || true)
if [ -n "$new_units" ]; then
  now=()
  [ -d /run/systemd/system ] && now=(--now)
  mapfile -t units <<<"$new_units"
  echo "disabling what the install enabled: ${units[*]}"
  "${sudo[@]}" systemctl disable "${now[@]}" --quiet "${units[@]}"
fi
