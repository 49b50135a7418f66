#!/usr/bin/env bash
# One command: builds the fuzzers with clang and the sanitizers into
# build-fuzz/ and runs each, one after the other, for FUZZ_SECONDS (default
# 60), printing one line per target. A target's corpus grows in
# build-fuzz/fuzz-runs/<target>/, beside its log and any crash input; the
# seeds in fuzz/corpus/ are only read. Names given as arguments pick targets.
# Exits non-zero when a fuzzer fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVO_FUZZ_BUILD:-$top/build-fuzz}
seconds=${FUZZ_SECONDS:-60}

"$top/scripts/install-deps.sh" clang

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVO_SANITIZE=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  -DORVO_BUILD_TESTS=OFF -DORVO_BUILD_BENCHMARKS=OFF -DORVO_BUILD_FUZZERS=ON
cmake --build "$build" -j "$(nproc)" --target fuzzers

# Block files go to memory when it can: the block fuzzer writes them per input.
scratch=$(mktemp -d "$( [ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/orvo-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Longest input per target: enough for several records or items.
declare -A max_len=([fuzz_filter_desc]=256 [fuzz_block_notes]=4096 [fuzz_save_events]=2048
                    [fuzz_block_files]=4096 [fuzz_wire_values]=4096)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_filter_desc fuzz_block_notes fuzz_save_events fuzz_block_files fuzz_wire_values)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for target in "${targets[@]}"; do
  out=$build/fuzz-runs/$target
  mkdir -p "$out/corpus"
  status=0
  TMPDIR=$scratch "$build/bin/$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$out/" \
    "$out/corpus" "$top/fuzz/corpus/$target" >"$out/log" 2>&1 || status=$?
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$out/log" | tail -1 || true)
  if [ "$status" -eq 0 ] && [ -n "$done_line" ]; then
    echo "$target: ok, $(echo "$done_line" | sed -E 's/^#([0-9]+).*cov: ([0-9]+) ft: ([0-9]+) corp: ([^ ]+).*exec\/s: ([0-9]+).*/\1 runs, cov \2, ft \3, corpus \4, \5 exec\/s/')"
  else
    failed=1
    echo "$target: FAILED (exit $status): $(grep -m1 -E 'ERROR|runtime error|expected' "$out/log" || echo 'see log'); log $out/log; input $(ls "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-* 2>/dev/null | head -1)"
  fi
done
exit $failed
