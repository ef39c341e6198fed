#!/bin/bash
# Runs the VST host against the hostile test effect for many seeds (the first argument, 2000
# by default, for every behaviour alone and all together), natively with AddressSanitizer and
# UndefinedBehaviorSanitizer. PARTILOOM_HOSTILE_FIRST_SEED moves the window of seeds. Any
# finding or failed seed fails the run; the failing seed is in the output.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SEEDS=${1:-2000}
NATIVE=$BUILD/native
cmake -S "$ROOT" -B "$NATIVE" -G Ninja -DPL_SANITIZE=address,undefined >/dev/null
cmake --build "$NATIVE" --target vst_hostile_tests -j"$JOBS" >/dev/null

PARTILOOM_HOSTILE_SEEDS=$SEEDS "$NATIVE/bin/vst_hostile_tests"
