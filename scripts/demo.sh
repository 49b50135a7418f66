#!/usr/bin/env bash
# The main job. Builds Release, installs under build-demo/root, and runs
# `orvo demo`: it records a block of made-up brain signals through the
# library into our own tank engine, reads it back, prints a summary and
# draws pictures into build-demo/demo-output. The machine registry is a file
# of its own, build-demo/registry.db, so nothing outside build-demo changes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-demo
root=$build/root
output=$build/demo-output

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVO_SANITIZE=OFF \
  -DORVO_BUILD_TESTS=OFF -DORVO_BUILD_BENCHMARKS=OFF -DCMAKE_INSTALL_PREFIX="$root"
cmake --build "$build" -j "$(nproc)"
cmake --install "$build" >/dev/null

export ORVO_REGISTRY=$build/registry.db
rm -rf "$output"
"$root/bin/orvo" demo "$output"
