#!/bin/bash
# Speed of the sample converters, of the ASIO host's buffer switch and of the crossover
# (silence after a loud burst against noise: no denormal slowdown), short runs: the
# native Google Benchmark programs (an optimised build without sanitizers) and the timing
# harnesses of the Windows build under Wine. Each converter row shows the routine beside
# memcpy of the same output bytes; the switch shows its share of the block period; the
# effect call of a switch is timed with and without restoring the floating-point words; the
# resampler's cost per block; the effect bridge's exchange per block.
#   bench.sh [filter]   e.g. bench.sh Int16LSB
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
filter=${1:-}

bash "$ROOT/scripts/setup.sh"

echo "== native (Google Benchmark)"
cmake -S "$ROOT" -B "$BUILD/bench-native" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD/bench-native" -j "$JOBS" --target asio_convert_benchmark \
  asio_host_switch_benchmark crossover_benchmark vst_host_effect_call_benchmark \
  resampler_harness vst_bridge_exchange_harness >/dev/null
"$BUILD/bench-native/bin/asio_convert_benchmark" --benchmark_min_time=0.01 \
  ${filter:+--benchmark_filter="$filter"}
"$BUILD/bench-native/bin/asio_host_switch_benchmark" --benchmark_min_time=0.1
"$BUILD/bench-native/bin/crossover_benchmark" --benchmark_min_time=0.2
"$BUILD/bench-native/bin/vst_host_effect_call_benchmark" --benchmark_min_time=0.1
"$BUILD/bench-native/bin/resampler_harness" 15
"$BUILD/bench-native/bin/vst_bridge_exchange_harness" "" 400

echo "== windows (timing harness under Wine)"
configure_windows
cmake --build "$WINDOWS_BUILD" -j "$JOBS" --target asio_convert_harness \
  asio_host_switch_harness vst_host_effect_call_harness resampler_harness \
  vst_bridge_exchange_harness >/dev/null
bash "$ROOT/cmake/wine.sh" "$WINEPREFIX_DIR" warm
env WINEPREFIX="$WINEPREFIX_DIR" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  wine "$WINDOWS_BUILD/bin/asio_convert_harness.exe" 30 "$filter" </dev/null
env WINEPREFIX="$WINEPREFIX_DIR" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  wine "$WINDOWS_BUILD/bin/asio_host_switch_harness.exe" 15 </dev/null
env WINEPREFIX="$WINEPREFIX_DIR" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  wine "$WINDOWS_BUILD/bin/vst_host_effect_call_harness.exe" 15 </dev/null
env WINEPREFIX="$WINEPREFIX_DIR" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  wine "$WINDOWS_BUILD/bin/resampler_harness.exe" 15 </dev/null
env WINEPREFIX="$WINEPREFIX_DIR" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  wine "$WINDOWS_BUILD/bin/vst_bridge_exchange_harness.exe" "" 400 </dev/null
bash "$ROOT/cmake/wine.sh" "$WINEPREFIX_DIR" stop
