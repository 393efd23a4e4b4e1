#!/usr/bin/env bash
# Installs the Debian packages the build and the test suite need, when any is missing.
# Needs root (or sudo) only when something has to be installed.
set -euo pipefail
pkgs=(cmake ninja-build g++ googletest libbenchmark-dev clang libclang-rt-14-dev clang-format
      crossbuild-essential-armel qemu-user util-linux libmseed-dev libsqlite3-dev)
if [ "${1:-}" = "--host-only" ]; then
  pkgs=(cmake ninja-build g++ googletest)
fi
missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" || \
  $SUDO apt-get install -y -q "${missing[@]}"
