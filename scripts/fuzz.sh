#!/bin/bash
# Fuzzes the preset reader for a bounded time (PARTILOOM_FUZZ_SECONDS, default 60) with
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer. Any finding fails the run.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

OUT=$BUILD/fuzz
SECONDS_TO_RUN=${PARTILOOM_FUZZ_SECONDS:-60}
mkdir -p "$OUT/corpus" "$OUT/findings"

clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$ROOT" "$ROOT/vst_host/preset_format.cpp" "$ROOT/vst_host/tests/preset_fuzzer.cpp" \
  -o "$OUT/preset_fuzzer"

# Seeds: one preset of each form for the fuzzed effect ("PlPr", 8 parameters).
{
  printf 'CcnK\x00\x00\x00\x3cFxCk\x00\x00\x00\x01PlPr\x00\x00\x00\x01\x00\x00\x00\x03'
  printf 'Init'; head -c 24 /dev/zero
  printf '\x3f\x00\x00\x00\x3e\x80\x00\x00\x3f\x80\x00\x00'
} >"$OUT/corpus/seed-parameters"
{
  printf 'CcnK\x00\x00\x00\x38FPCh\x00\x00\x00\x01PlPr\x00\x00\x00\x01\x00\x00\x00\x00'
  printf 'Chunk'; head -c 23 /dev/zero
  printf '\x00\x00\x00\x04\x01\x02\x03\x04'
} >"$OUT/corpus/seed-chunk"

"$OUT/preset_fuzzer" -max_total_time="$SECONDS_TO_RUN" -malloc_limit_mb=256 -max_len=8192 \
  -artifact_prefix="$OUT/findings/" -print_final_stats=1 "$OUT/corpus"
