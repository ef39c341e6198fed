#!/bin/bash
# Builds the configurations and runs every test: the native build (with AddressSanitizer
# and UndefinedBehaviorSanitizer), the Windows build under Wine, the 64-bit Windows build in a
# win64 Wine prefix (with the 32-bit plug-in there too), and the test programs about
# threads in a native build with ThreadSanitizer. Ends with one line
# 'N passed, N failed'; exits non-zero when anything failed.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$ROOT/scripts/setup.sh" || { echo "0 passed, 1 failed"; exit 1; }
start_x_server || { echo "0 passed, 1 failed"; exit 1; }
trap stop_x_server EXIT

passed=0
failed=0
mkdir -p "$BUILD"

# The test programs of the ThreadSanitizer build (those whose tests carry the label tsan).
TSAN_TARGETS=(
  output_module_thread_tests
  crossover_realtime_tests
)

# run_suite NAME BUILD_DIR CONFIGURE_COMMAND...
# SUITE_TARGETS (space-separated) limits what is built, SUITE_LABEL what ctest runs.
run_suite() {
  local name=$1 dir=$2
  shift 2
  local build_args=() test_args=()
  [ -n "${SUITE_TARGETS:-}" ] && build_args=(--target ${SUITE_TARGETS})
  [ -n "${SUITE_LABEL:-}" ] && test_args=(-L "$SUITE_LABEL")
  echo "== $name: configure and build"
  if ! "$@" || ! cmake --build "$dir" -j "$JOBS" "${build_args[@]}" >"$BUILD/$name-build.log" 2>&1; then
    tail -n 40 "$BUILD/$name-build.log" 2>/dev/null
    echo "== $name: build FAILED"
    failed=$((failed + 1))
    return
  fi
  echo "== $name: tests"
  local log=$BUILD/$name-tests.log
  (cd "$dir" && ctest -j "$JOBS" --output-on-failure --timeout 300 "${test_args[@]}") >"$log" 2>&1
  grep -E '^\s*[0-9]+/[0-9]+ Test|tests passed|\*\*\*|Failed|Timeout' "$log" | grep -vE ' Passed ' | tail -n 60
  local summary total bad
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "== $name: ctest gave no summary"
    failed=$((failed + 1))
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")
  echo "== $name: $summary"
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

run_suite native "$BUILD/native" \
  cmake -S "$ROOT" -B "$BUILD/native" -G Ninja -DPL_SANITIZE=address,undefined
run_suite windows "$WINDOWS_BUILD" configure_windows
# The 64-bit side in its win64 prefix, which also runs the Windows build's 32-bit programs.
run_suite win64 "$WIN64_BUILD" configure_win64
# Threads sharing data without locks, under ThreadSanitizer: only the programs that test that.
SUITE_TARGETS="${TSAN_TARGETS[*]}" SUITE_LABEL=tsan run_suite tsan "$BUILD/tsan" \
  cmake -S "$ROOT" -B "$BUILD/tsan" -G Ninja -DPL_SANITIZE=thread

# The preset reader under libFuzzer for a bounded time: one step, passed or failed.
echo "== fuzz: preset reader"
if bash "$ROOT/scripts/fuzz.sh" >"$BUILD/fuzz.log" 2>&1; then
  echo "== fuzz: $(grep -E '^Done [0-9]+ runs' "$BUILD/fuzz.log"), no finding"
  passed=$((passed + 1))
else
  tail -n 40 "$BUILD/fuzz.log"
  echo "== fuzz: FAILED"
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
