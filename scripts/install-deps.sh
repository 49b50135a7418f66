#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing,
# and those named as arguments (clang, say, for the builds that need it).
set -euo pipefail

# bindfs (which brings FUSE and fusermount) mounts a folder for the test that
# records on a file system without the rename flags of local disks.
# The Python module needs pybind11 and numpy; its tests pytest, its example
# matplotlib, its benchmark h5py; numpy and pytest also run the test of the
# block reader in tools/read_block.py. The network server and its client
# module need Cap'n Proto, libsodium (password hashes) and OpenSSL (TLS).
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libsqlite3-dev zlib1g-dev libbenchmark-dev libcli11-dev libcairo2-dev libfontconfig-dev pkg-config bindfs
  python3-dev pybind11-dev python3-numpy python3-pytest python3-matplotlib python3-h5py
  capnproto libcapnp-dev libsodium-dev libssl-dev "$@")

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
