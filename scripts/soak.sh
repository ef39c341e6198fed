#!/bin/bash
# A benchmark, not a test: plays the demonstration programme (log sweep, pink noise, tones)
# for a while under Wine through the player stand-in -> out_partiloom.dll -> the crossover
# effect (Partiloom.dll, 2 inputs, 8 outputs) -> the test driver (eight Float32LSB outputs,
# routed 1:1) at one driver block length, then prints how the plug-in's buffer switch
# callbacks kept time: blocks played, blocks that missed their deadline, the longest callback
# and the 99.9th percentile.
#   soak.sh [SECONDS] [BLOCK]   defaults 120 and 64 (frames; a power of two, 64..4096)
set -eu -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SECONDS_OF_SIGNAL=${1:-120}
BLOCK=${2:-64}
if ! [[ "$SECONDS_OF_SIGNAL" =~ ^[0-9]+$ ]] || [ "$SECONDS_OF_SIGNAL" -lt 1 ]; then
  echo "usage: soak.sh [SECONDS] [BLOCK]: SECONDS a whole number from 1" >&2
  exit 2
fi
# The test driver offers 64..4096 frames in powers of two.
if ! [[ "$BLOCK" =~ ^[0-9]+$ ]] || [ "$BLOCK" -lt 64 ] || [ "$BLOCK" -gt 4096 ] ||
  [ $((BLOCK & (BLOCK - 1))) -ne 0 ]; then
  echo "usage: soak.sh [SECONDS] [BLOCK]: BLOCK a power of two from 64 to 4096" >&2
  exit 2
fi
DRIVER_NAME="Partiloom Soak ASIO"
DRIVER_ID="{3F8B2D64-71A9-4C05-B2E7-5A1D9C4E6F83}"
SOAK_DIR=$BUILD/soak

bash "$ROOT/scripts/setup.sh"
start_x_server
trap stop_x_server EXIT

echo "== building the Windows build: out_partiloom.dll, the crossover, the test driver, the player stand-in"
configure_windows
cmake --build "$WINDOWS_BUILD" -j "$JOBS" --target player_harness crossover_effect >/dev/null

use_wine_prefix

echo "== preparing the Wine prefix: the player's settings name the crossover"
mkdir -p "$SOAK_DIR"
bash "$ROOT/cmake/wine.sh" "$WINEPREFIX_DIR" warm
store_effect_only "$WINDOWS_BUILD/bin/Partiloom.dll"

# The driver is registered for this run only; it captures nothing, so that only the
# plug-in's work is timed.
script=$SOAK_DIR/soak-script.txt
{
  echo "asio-install \"$DRIVER_NAME\" $DRIVER_ID outputs=8 type=19 block=$BLOCK"
  echo "init"
  driver_and_identity_routing_steps "$DRIVER_NAME"
  echo "play"
  echo "wait"
  echo "stop"
  echo "asio-switches $DRIVER_ID"
  echo "quit"
  echo "asio-uninstall \"$DRIVER_NAME\" $DRIVER_ID"
} >"$script"

echo "== playing $SECONDS_OF_SIGNAL s of programme at $BLOCK frames a block"
log=$SOAK_DIR/harness-$BLOCK.log
status=0
(cd "$SOAK_DIR" && wine "$WINDOWS_BUILD/bin/player_harness.exe" --programme "$SECONDS_OF_SIGNAL" \
  --script "$(win_path "$script")" </dev/null 2>/dev/null | tr -d '\r' >"$log") || status=$?
forget_player_settings
remove_left_driver "$DRIVER_NAME" "$DRIVER_ID" "$log"

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
if [ "$status" -ne 0 ]; then
  echo "== the player stand-in reported a failure (log: $log)"
  exit "$status"
fi
