#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing,
# and those named as arguments (clang, say, for the builds that need it).
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libsqlite3-dev zlib1g-dev libbenchmark-dev libcli11-dev libcairo2-dev libfontconfig-dev pkg-config capnproto libcapnp-dev libsodium-dev libssl-dev "$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
run_as_root=()
[ "$(id -u)" -eq 0 ] || run_as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${run_as_root[@]}" apt-get update -q
"${run_as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
