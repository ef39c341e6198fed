#!/bin/bash
# Runs the hosts against the hostile modes of the test driver and the test effect for many
# seeds, natively with AddressSanitizer and UndefinedBehaviorSanitizer:
# `scripts/hostile.sh [SEEDS] [FIRST_SEED]` (defaults 5000 and 1; the effect side runs the
# seeds for every behaviour alone and all together). Any crash, sanitizer report or hang (PARTILOOM_HOSTILE_TIMEOUT
# seconds, default 3600) fails the run; the failing seed is in the output.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SEEDS=${1:-5000}
FIRST_SEED=${2:-1}
TIMEOUT=${PARTILOOM_HOSTILE_TIMEOUT:-3600}
NATIVE=$BUILD/native

cmake -S "$ROOT" -B "$NATIVE" -G Ninja -DPL_SANITIZE=address,undefined >/dev/null
cmake --build "$NATIVE" --target asio_host_hostile_tests asio_test_driver \
  vst_hostile_tests partiloom_effect_hostile -j "$JOBS" >/dev/null

# run_hostile DESCRIPTION TEST_BINARY [FILTER]: one step per side of the hostile tests, same
# seeds (case 0 of the driver side runs all the chosen seeds).
run_hostile() {
  echo "== hostile: $1, seeds $FIRST_SEED to $((FIRST_SEED + SEEDS - 1))"
  (cd "$NATIVE/bin" &&
    PARTILOOM_HOSTILE_SEEDS=$SEEDS PARTILOOM_HOSTILE_FIRST_SEED=$FIRST_SEED \
      timeout "$TIMEOUT" "./$2" --gtest_brief=1 --gtest_filter="${3:-*/0}")
}

run_hostile "ASIO host against the driver" asio_host_hostile_tests
run_hostile "VST host against the effect" vst_hostile_tests "*"
echo "== hostile: no finding"
