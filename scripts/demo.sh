#!/usr/bin/env bash
# Builds the project, installs it under build-demo/root as its own base path,
# runs the example program against a registry of its own, and shows the log
# the program left.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-demo
root=$build/root

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVO_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX="$root"
cmake --build "$build" -j "$(nproc)"
cmake --install "$build" >/dev/null

export ORVO_REGISTRY=$build/registry.db
rm -rf "$root/exe.logs"
"$root/bin/orvo-tour" "$root"
echo "The log it left:"
cat "$root"/exe.logs/orvo-tour.*.log
