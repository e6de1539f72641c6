#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# asking apt only for those that are missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make
  libssl-dev libzstd-dev liblz4-dev libncurses-dev
  libgtest-dev libgmock-dev openssl
  tmux util-linux procps psmisc curl
  clang libclang-rt-14-dev
  libisal-dev
  prometheus-cpp-dev libcivetweb-dev nlohmann-json3-dev prometheus prometheus-node-exporter
  groff-base man-db dpkg-dev bash-completion python3
  clang-format
  libsimde-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
