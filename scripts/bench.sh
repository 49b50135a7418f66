#!/usr/bin/env bash
# One command: builds Release without sanitizers into build-bench/ and runs
# every benchmark program (bin/*_bench). Each case runs for at least 2 s,
# three times, and reports mean, median and spread, which steadies the
# figures on a small shared machine. Baselines run in the same program just
# before the cases they measure, so ratios come from one run (engine_bench
# reports them as x_baseline). Extra arguments go to the benchmark programs;
# latency_bench, which times single calls of a paced recording and a reader
# process, takes only its own (--seconds=N) and prints the machine's load.
# Then the Python module's stream read runs beside h5py and numpy.fromfile.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVO_BENCH_BUILD:-$top/build-bench}

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVO_SANITIZE=OFF \
  -DORVO_BUILD_TESTS=OFF -DORVO_BUILD_BENCHMARKS=ON
cmake --build "$build" -j "$(nproc)" --target benchmarks

for program in "$build"/bin/*_bench; do
  "$program" --benchmark_min_time=2 --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true "$@"
done

# The Python module's read beside h5py and numpy, when the module was built.
python=$(sed -n 's/^Python3_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")
site=$(sed -n 's/^ORVO_PYTHON_INSTALL_DIR:PATH=//p' "$build/CMakeCache.txt")
if [ -n "$site" ] && [ -e "$build/$site" ]; then
  PYTHONPATH="$build/$site" "$python" "$top/bench/python_stream_bench.py"
fi
