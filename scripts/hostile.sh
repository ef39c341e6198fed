#!/bin/bash
# Runs the host against the test driver's hostile mode for many seeds, natively with
# AddressSanitizer and UndefinedBehaviorSanitizer: `scripts/hostile.sh [SEEDS] [FIRST_SEED]`
# (defaults 5000 and 1). Any crash, sanitizer report or hang (PARTILOOM_HOSTILE_TIMEOUT
# seconds, default 3600) fails the run; the failing seed is in the output.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SEEDS=${1:-5000}
FIRST_SEED=${2:-1}
TIMEOUT=${PARTILOOM_HOSTILE_TIMEOUT:-3600}
NATIVE=$BUILD/native

cmake -S "$ROOT" -B "$NATIVE" -G Ninja -DPL_SANITIZE=address,undefined >/dev/null
cmake --build "$NATIVE" --target asio_host_hostile_tests asio_test_driver -j "$JOBS" >/dev/null

# Each side of the project's hostile tests: one step per binary, same seeds.
run_hostile() {
  local name=$1
  echo "== hostile: $name, seeds $FIRST_SEED to $((FIRST_SEED + SEEDS - 1))"
  (cd "$(dirname "$NATIVE/$2")" &&
    PARTILOOM_HOSTILE_SEEDS=$SEEDS PARTILOOM_HOSTILE_FIRST_SEED=$FIRST_SEED \
      timeout "$TIMEOUT" "$NATIVE/$2" --gtest_brief=1)
}

run_hostile "ASIO host against the driver" asio_host/asio_host_hostile_tests
echo "== hostile: no finding"
