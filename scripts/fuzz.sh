#!/usr/bin/env bash
# One command: builds the fuzzers with clang and the sanitizers into
# build-fuzz/ and runs each for FUZZ_SECONDS (default 60), printing one line
# per target and a last line "N passed, N failed". A target's corpus grows in
# build-fuzz/fuzz-runs/<target>/, beside its log and any crash input.
#   -j N     runs N targets at a time (default 1)
#   --merge  then minimizes each target's corpus into fuzz/corpus/<target>/,
#            which otherwise is only read
# Names given as arguments pick targets. Exits non-zero when a fuzzer fails;
# a failure of a harness's own work says "harness error", not a fault.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVO_FUZZ_BUILD:-$top/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
# An input that runs longer counts as a hang. The limit is in wall-clock
# seconds, and a shared machine can hold a busy process off the processor for
# seconds at a time; a real hang still shows well within it.
input_seconds=${FUZZ_INPUT_SECONDS:-60}
jobs=1
merge=0
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    -j) jobs=$2; shift 2 ;;
    -j*) jobs=${1#-j}; shift ;;
    --merge) merge=1; shift ;;
    *) targets+=("$1"); shift ;;
  esac
done

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
                    [fuzz_block_files]=4096 [fuzz_data_path]=512 [fuzz_wire_values]=4096
                    [fuzz_engine_messages]=8192)
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_filter_desc fuzz_block_notes fuzz_save_events fuzz_block_files fuzz_data_path
                                     fuzz_wire_values fuzz_engine_messages)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The client object of a harness registers the engine; never in the user's registry.
export ORVO_REGISTRY=$scratch/registry.db

# Runs one target and writes its result line to <out>/result.
fuzz_one() {
  local target=$1 out=$build/fuzz-runs/$1 status=0 done_line
  mkdir -p "$out/corpus"
  rm -f "$out/result"
  TMPDIR=$scratch "$build/bin/$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -timeout="$input_seconds" -print_final_stats=1 -artifact_prefix="$out/" \
    "$out/corpus" "$top/fuzz/corpus/$target" >"$out/log" 2>&1 || status=$?
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$out/log" | tail -1 || true)
  if [ "$status" -eq 0 ] && [ -n "$done_line" ]; then
    echo "$target: ok, $(echo "$done_line" | sed -E 's/^#([0-9]+).*cov: ([0-9]+) ft: ([0-9]+) corp: ([^ ]+).*exec\/s: ([0-9]+).*/\1 runs, cov \2, ft \3, corpus \4, \5 exec\/s/')" >"$out/result"
  else
    local what
    what=$(grep -m1 -E 'harness error' "$out/log" || grep -m1 -E 'ERROR|runtime error|expected' "$out/log" || echo 'see log')
    echo "$target: FAILED (exit $status): $what; log $out/log; input $(ls "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-* 2>/dev/null | head -1)" >"$out/result"
  fi
}

running=0
for target in "${targets[@]}"; do
  [ -n "${max_len[$target]:-}" ] || { echo "no fuzz target \"$target\"" >&2; exit 2; }
  fuzz_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

passed=0
failed=0
for target in "${targets[@]}"; do
  result=$(cat "$build/fuzz-runs/$target/result" 2>/dev/null || echo "$target: FAILED: the run left no result")
  echo "$result"
  if [[ $result == "$target: ok, "* ]]; then
    passed=$((passed + 1))
    if [ "$merge" -eq 1 ]; then
      mkdir -p "$top/fuzz/corpus/$target"
      TMPDIR=$scratch "$build/bin/$target" -merge=1 -max_len="${max_len[$target]}" \
        "$top/fuzz/corpus/$target" "$build/fuzz-runs/$target/corpus" >"$build/fuzz-runs/$target/merge.log" 2>&1
    fi
  else
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
