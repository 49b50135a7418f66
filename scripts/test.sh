#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite. Leaks and undefined behaviour fail the run. The
# Python module, which sanitized builds leave out, is built without them (in
# <build>-python) and its pytest suite runs there. Then
# the tests where clients of one engine run on several threads run again
# under ThreadSanitizer (in <build>-tsan), and clang checks the lock
# annotations in a build of their own (the thread-safety preset, in
# <build>-tsa); a race or a warning there fails the run too.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVO_TEST_BUILD:-$top/build-test}

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE=ON \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300

cmake -S "$top" -B "$build-python" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVO_BUILD_PYTHON=ON \
  -DORVO_BUILD_TOOLS=OFF -DORVO_BUILD_BENCHMARKS=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build-python" -j "$(nproc)" --target orvo_python
ctest --test-dir "$build-python" --output-on-failure --no-tests=error --timeout 300 -R '^python\.'

cmake -S "$top" -B "$build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE_THREAD=ON \
  -DORVO_BUILD_TOOLS=OFF -DORVO_BUILD_BENCHMARKS=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build-tsan" -j "$(nproc)" --target tank_engine_tests tank_frame_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$build-tsan" --output-on-failure -j "$(nproc)" --timeout 300 -R '^(EngineTest|EngineFrame)\.'

# Only this check needs clang, so the build above does not ask for it.
"$top/scripts/install-deps.sh" clang
(cd "$top" && cmake --preset thread-safety -B "$build-tsa" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
cmake --build "$build-tsa" -j "$(nproc)"
