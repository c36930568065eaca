#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, only what is missing.
# Needs root (apt-get). Safe to run again: a machine that has everything does nothing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-14 libclang-rt-14-dev python3 googletest
  g++-mingw-w64-x86-64-posix wine wine64 libboost-dev
  xvfb xdotool x11-utils procps util-linux clang-format
  llvm-14 lld-14 zip unzip
  nsis osslsigncode openssl x11-apps netpbm
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  # Without recommended packages, so `wine` must be named for /usr/bin/wine and the server.
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
