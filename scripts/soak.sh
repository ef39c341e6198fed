#!/bin/bash
# A benchmark, not a test: plays the demonstration programme (log sweep, pink noise, tones)
# for a while under Wine through the player stand-in -> out_partiloom.dll -> the crossover
# effect (Partiloom.dll, 2 inputs, 8 outputs) -> the test driver (eight Float32LSB outputs,
# routed 1:1) at one driver block length, then prints how the plug-in's buffer switch
# callbacks kept time: blocks played, blocks that missed their deadline, the longest callback
# and the 99.9th percentile.
#   soak.sh [SECONDS] [BLOCK]   defaults 120 and 64 (frames; a power of two, 64..4096)
#
# A soak of the driver's reopenings: while it plays, the test driver asks its host
#   SOAK_RESET_MS=N    for a reset every N ms
#   SOAK_RESIZE_MS=N   for a buffer-size change every N ms, its preferred size going between
#                      BLOCK and SOAK_SIZE2 (default 512, or 256 when BLOCK is 512)
#   SOAK_RATE_MS=N     reports its sample rate (unchanged) every N ms
# Any of them, or SOAK_EXACT=1, plays a counter instead (every frame's samples tell its
# number) through the router test effect (output k is k times input (k - 1) mod 2) into a
# captured driver, and then compares the capture with the programme, channel by channel:
# frames lost (never captured), repeated, out of order, and silent gaps (the reopenings'
# silence, expected and counted apart), with the places where the stream jumped and the
# driver's request before each. The capture (about 1.4 MB a second) is removed afterwards
# unless SOAK_KEEP_CAPTURE=1. Late blocks are then also counted over every driver start, those
# among a start's first four blocks apart.
#   SOAK_RESET_MS=5000 SOAK_RESIZE_MS=30000 bash scripts/soak.sh 600 256
# SOAK_OWN_PROCESS=1 runs the effect in the helper process beside the plug-in ("Own process"),
# so that the late blocks show what the exchange with the helper costs.
set -eu -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SECONDS_OF_SIGNAL=${1:-120}
BLOCK=${2:-64}
if ! [[ "$SECONDS_OF_SIGNAL" =~ ^[0-9]+$ ]] || [ "$SECONDS_OF_SIGNAL" -lt 1 ]; then
  echo "usage: soak.sh [SECONDS] [BLOCK]: SECONDS a whole number from 1" >&2
  exit 2
fi
# The test driver offers 64..4096 frames in powers of two.
power_of_two_block() {
  [[ "$1" =~ ^[0-9]+$ ]] && [ "$1" -ge 64 ] && [ "$1" -le 4096 ] && [ $(($1 & ($1 - 1))) -eq 0 ]
}
if ! power_of_two_block "$BLOCK"; then
  echo "usage: soak.sh [SECONDS] [BLOCK]: BLOCK a power of two from 64 to 4096" >&2
  exit 2
fi
RESET_MS=${SOAK_RESET_MS:-0}
RESIZE_MS=${SOAK_RESIZE_MS:-0}
RATE_MS=${SOAK_RATE_MS:-0}
SIZE2=${SOAK_SIZE2:-$([ "$BLOCK" = 512 ] && echo 256 || echo 512)}
for interval in "$RESET_MS" "$RESIZE_MS" "$RATE_MS"; do
  if ! [[ "$interval" =~ ^[0-9]+$ ]] || [ "$interval" -gt 3600000 ]; then
    echo "soak.sh: SOAK_RESET_MS, SOAK_RESIZE_MS and SOAK_RATE_MS are milliseconds (0: never)" >&2
    exit 2
  fi
done
if ! power_of_two_block "$SIZE2"; then
  echo "soak.sh: SOAK_SIZE2 a power of two from 64 to 4096" >&2
  exit 2
fi
EXACT=${SOAK_EXACT:-0}
OWN_PROCESS=${SOAK_OWN_PROCESS:-0}
[ "$RESET_MS$RESIZE_MS$RATE_MS" != 000 ] && EXACT=1
DRIVER_NAME="Partiloom Soak ASIO"
DRIVER_ID="{3F8B2D64-71A9-4C05-B2E7-5A1D9C4E6F83}"
SOAK_DIR=$BUILD/soak

bash "$ROOT/scripts/setup.sh"
start_x_server
trap stop_x_server EXIT

echo "== building the Windows build: out_partiloom.dll, the effects, the test driver, the player stand-in"
configure_windows
cmake --build "$WINDOWS_BUILD" -j "$JOBS" --target player_harness crossover_effect \
  partiloom_effect_router vst_bridge_helper >/dev/null

use_wine_prefix

mkdir -p "$SOAK_DIR"
bash "$ROOT/cmake/wine.sh" "$WINEPREFIX_DIR" warm
capture=$SOAK_DIR/capture.wav
# The plug-in keeps its effect's preset in the current folder: one of the other effect would
# be refused with a message box. Each soak starts from the effect's defaults.
rm -f "$capture" "$SOAK_DIR/out_partiloom.fxp"
if [ "$EXACT" = 1 ]; then
  echo "== preparing the Wine prefix: the player's settings name the router effect"
  store_effect_only "$WINDOWS_BUILD/bin/partiloom_effect_router.dll"
  source_option=(--counter "$SECONDS_OF_SIGNAL")
  driver_options="capture=\"$(win_path "$capture")\" reset=$RESET_MS resize=$RESIZE_MS size2=$SIZE2 rate=$RATE_MS"
else
  echo "== preparing the Wine prefix: the player's settings name the crossover"
  store_effect_only "$WINDOWS_BUILD/bin/Partiloom.dll"
  source_option=(--programme "$SECONDS_OF_SIGNAL")
  # Nothing captured, so that only the plug-in's work is timed.
  driver_options=
fi

if [ "$OWN_PROCESS" = 1 ]; then
  echo "== the effect runs in its own process (the helper beside the plug-in)"
  wine_quiet wine reg add 'HKCU\Software\WinAmp\Partiloom' /v 'Own Process' /t REG_DWORD /d 1 /f
fi

# The driver is registered for this run only.
script=$SOAK_DIR/soak-script.txt
{
  echo "asio-install \"$DRIVER_NAME\" $DRIVER_ID outputs=8 type=19 block=$BLOCK $driver_options"
  echo "init"
  driver_and_identity_routing_steps "$DRIVER_NAME"
  echo "volume 255"
  echo "play"
  echo "wait"
  echo "stop"
  echo "asio-switches $DRIVER_ID"
  echo "quit"
  [ "$EXACT" = 1 ] && echo "counter-check \"$(win_path "$capture")\" driver=\"$DRIVER_NAME\""
  echo "asio-uninstall \"$DRIVER_NAME\" $DRIVER_ID"
} >"$script"

if [ "$EXACT" = 1 ]; then
  echo "== playing $SECONDS_OF_SIGNAL s of the counter at $BLOCK frames a block; requests:" \
    "reset every ${RESET_MS} ms, buffer size ($BLOCK/$SIZE2) every ${RESIZE_MS} ms," \
    "rate every ${RATE_MS} ms (0: never)"
else
  echo "== playing $SECONDS_OF_SIGNAL s of programme at $BLOCK frames a block"
fi
log=$SOAK_DIR/harness-$BLOCK.log
status=0
(cd "$SOAK_DIR" && wine "$WINDOWS_BUILD/bin/player_harness.exe" "${source_option[@]}" \
  --script "$(win_path "$script")" </dev/null 2>/dev/null | tr -d '\r' >"$log") || status=$?
forget_player_settings
remove_left_driver "$DRIVER_NAME" "$DRIVER_ID" "$log"
[ "${SOAK_KEEP_CAPTURE:-0}" = 1 ] || rm -f "$capture"

# share PART WHOLE: PART as a percentage of WHOLE
share() { awk -v part="$1" -v whole="$2" 'BEGIN { printf "%.1f", (whole > 0 ? 100 * part / whole : 0) }'; }

grep -E ' (loaded|open|played|msgbox|error) ' "$log" | sed 's/^/   /' || true
switches=$(grep -E '^[0-9]+ asio-switches ' "$log" || true)
if [ -z "$switches" ]; then
  echo "== no timing from the driver (log: $log)"
  exit 1
fi
period=$(field period_us "$switches")
longest=$(field longest_us "$switches")
p999=$(field p999_us "$switches")
echo "== callback timing at $BLOCK frames (44100 Hz), $SECONDS_OF_SIGNAL s of programme"
echo "   block period:           $period us"
blocks=$(field timed "$switches")
starts=$(field starts "$switches")
if [ "$starts" = 1 ]; then
  echo "   blocks played:          $blocks"
else
  echo "   blocks played:          $blocks (since the last of $starts driver starts; $(field count "$switches") in all)"
fi
echo "   missed their deadline:  $(field late "$switches")" \
  "(of them, callbacks longer than a block period by themselves: $(field overlong "$switches"))"
echo "   longest callback:       $longest us ($(share "$longest" "$period") % of the period)"
echo "   99.9th percentile:      $p999 us ($(share "$p999" "$period") % of the period)"
if [ "$starts" != 1 ]; then
  late_all=$(field all_late "$switches")
  late_at_starts=$(field all_late_at_starts "$switches")
  echo "   over all $(field starts_timed "$switches") starts:   $(field all_blocks "$switches") blocks," \
    "$late_all late ($late_at_starts among a start's first four blocks," \
    "$((late_all - late_at_starts)) outside), $(field all_overlong "$switches") longer than a period"
fi

if [ "$EXACT" = 1 ]; then
  requests=$(grep -E '^[0-9]+ asio-request ' "$log" || true)
  echo "== requests the driver sent: $(grep -c ' what=reset ' <<<"$requests" || true) resets," \
    "$(grep -c ' what=buffer-size ' <<<"$requests" || true) buffer-size changes," \
    "$(grep -c ' what=rate ' <<<"$requests" || true) rate reports"
  counters=$(grep -E '^[0-9]+ counter ' "$log" || true)
  if [ -z "$counters" ]; then
    echo "== no comparison of the capture (log: $log)"
    exit 1
  fi
  echo "== the capture against the programme ($((SECONDS_OF_SIGNAL * 44100)) frames), channel by channel"
  printf '   %-8s %-7s %-10s %-8s %-9s %-13s %-9s %-13s %-6s %s\n' channel output heard lost repeated \
    out-of-order unplayed unrecognised jumps "gaps (frames)"
  while read -r line; do
    printf '   %-8s %-7s %-10s %-8s %-9s %-13s %-9s %-13s %-6s %s\n' "$(field channel "$line")" \
      "$(field output "$line")" "$(field heard "$line")" "$(field lost "$line")" \
      "$(field repeated "$line")" "$(field out_of_order "$line")" "$(field unplayed "$line")" \
      "$(field unrecognised "$line")" "$(field jumps "$line")" \
      "$(field gaps "$line") ($(field gap_frames "$line"))"
  done <<<"$counters"
  jumps=$(grep -E '^[0-9]+ counter-jump ' "$log" || true)
  if [ -n "$jumps" ]; then
    echo "== where channel 0 jumped (capture frame: programme frame before -> at, silence before;" \
      "the driver's last request before it, at its capture frame)"
    while read -r line; do
      at=$(field at "$line")
      last=$(awk -v at="$at" '{
          what = ""; frame = -1
          for (i = 1; i <= NF; ++i) {
            if ($i ~ /^what=/) what = substr($i, 6)
            if ($i ~ /^value=/) value = substr($i, 7)
            if ($i ~ /^frame=/) frame = substr($i, 7) + 0
          }
          if (frame <= at) found = what " " value " at " frame
        } END { print (found == "" ? "none" : found) }' <<<"$requests")
      echo "   $at: $(field from "$line") -> $(field to "$line"), $(field silence "$line") silent; after $last"
    done <<<"$jumps"
  fi
fi
if [ "$status" -ne 0 ]; then
  echo "== the player stand-in reported a failure (log: $log)"
  exit "$status"
fi
