#!/bin/bash
# The main job: builds the Windows build and plays a few seconds of a generated stereo signal
# under Wine through the player stand-in -> out_partiloom.dll -> the router test effect
# (2 inputs, 8 outputs, output k = k x input (k - 1) mod 2) -> the capturing test driver
# (eight outputs), then shows what each driver channel received.
set -eu -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SECONDS_OF_SIGNAL=${PARTILOOM_DEMO_SECONDS:-3}
DRIVER_NAME="Partiloom Demo ASIO"
DRIVER_ID="{5D3E0A71-2C4B-4F18-9E6A-7B1C0D2E3F40}"
DEMO_DIR=$BUILD/demo

bash "$ROOT/scripts/setup.sh"
start_x_server
trap stop_x_server EXIT

echo "== building the Windows build: out_partiloom.dll, the test effects and drivers, the player stand-in"
configure_windows
cmake --build "$WINDOWS_BUILD" -j "$JOBS" >/dev/null

export WINEPREFIX="$WINEPREFIX_DIR" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_quiet() { "$@" </dev/null >/dev/null 2>&1; }

echo "== preparing the Wine prefix: the player's settings name the router effect"
mkdir -p "$DEMO_DIR"
rm -f "$DEMO_DIR/capture.wav" "$DEMO_DIR/out_partiloom.fxp"
bash "$ROOT/cmake/wine.sh" "$WINEPREFIX_DIR" warm
effect=$(winepath -w "$WINDOWS_BUILD/bin/partiloom_effect_router.dll" 2>/dev/null)
capture=$(winepath -w "$DEMO_DIR/capture.wav" 2>/dev/null)
wine_quiet wine reg delete 'HKCU\Software\WinAmp\Partiloom' /f || true
wine_quiet wine reg add 'HKCU\Software\WinAmp\Partiloom' /v 'VST Plugin' /d "$effect" /f

# The driver is registered for this run only (other programs list every installed driver).
script=$DEMO_DIR/demo-script.txt
{
  echo "asio-install \"$DRIVER_NAME\" $DRIVER_ID outputs=8 type=19 capture=\"$capture\""
  echo "init"
  echo "select CBDriver \"$DRIVER_NAME\""
  echo "window"
  echo "press BtRouting"
  for k in 1 2 3 4 5 6 7 8; do echo "select CBOutput$k \"$((k - 1)) - Output $k\""; done
  echo "close \"Audio Routing\""
  echo "play"
  echo "wait"
  echo "stop"
  echo "asio-switches $DRIVER_ID"
  echo "quit"
  echo "analyze \"$capture\" driver=\"$DRIVER_NAME\""
  echo "asio-uninstall \"$DRIVER_NAME\" $DRIVER_ID"
} >"$script"

echo "== playing $SECONDS_OF_SIGNAL s of 440 Hz (left, -20 dBFS) and 660 Hz (right, -26 dBFS)"
log=$DEMO_DIR/harness.log
status=0
(cd "$DEMO_DIR" && wine "$WINDOWS_BUILD/bin/player_harness.exe" --tone "$SECONDS_OF_SIGNAL" \
  --script "$(winepath -w "$script" 2>/dev/null)" </dev/null 2>/dev/null | tr -d '\r' >"$log") || status=$?
wine_quiet wine reg delete 'HKCU\Software\WinAmp\Partiloom' /f || true

# field NAME LINE: the value of NAME=... in a log line (quoted values without their quotes)
field() { sed -nE "s/.* $1=(\"([^\"]*)\"|([^ ]*)).*/\2\3/p" <<<"$2"; }

grep -E ' (loaded|window|open|played|msgbox|error) ' "$log" | sed 's/^/   /' || true
echo "== what the driver's eight outputs received (levels over the sounding part)"
printf '   %-22s %-28s %12s %12s\n' "driver channel" "routed effect output" "peak dBFS" "RMS dBFS"
while read -r line; do
  index=$(field index "$line")
  outputs=$(field outputs "$line")
  routed="none"
  if [ -n "$outputs" ]; then
    routed=""
    for k in ${outputs//,/ }; do
      side=$([ $(((k - 1) % 2)) -eq 0 ] && echo left || echo right)
      routed+="${routed:+, }$k ($k x $side)"
    done
  fi
  printf '   %-22s %-28s %12s %12s\n' "$index - Output $((index + 1))" "$routed" \
    "$(field peak_dbfs "$line")" "$(field rms_dbfs "$line")"
done < <(grep -E '^[0-9]+ channel ' "$log")
switches=$(grep -E '^[0-9]+ asio-switches ' "$log" || true)
echo "   blocks played: $(field count "$switches") (of 256 frames at 44100 Hz)"
if [ "$status" -ne 0 ]; then
  echo "== the player stand-in reported a failure (log: $log)"
  exit "$status"
fi
