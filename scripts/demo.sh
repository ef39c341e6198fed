#!/bin/bash
# The main job: builds the Windows build and plays a generated programme (a log sweep, pink
# noise, four tones) under Wine through the player stand-in -> out_partiloom.dll -> the
# Partiloom.dll crossover (2 inputs, 8 outputs: four bands x left/right) -> the capturing test
# driver (eight outputs), in real time. Writes into one folder the 8-channel capture, a plot
# of each output's spectrum, a screenshot of the plug-in's window with the crossover's editor
# and a short summary, and prints where they are.
#   demo.sh                          18 s of programme into build/demo
#   PARTILOOM_DEMO_SECONDS=10 demo.sh
#   PARTILOOM_DEMO_OUT=/tmp/x demo.sh
set -eu -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SECONDS_OF_PROGRAMME=${PARTILOOM_DEMO_SECONDS:-18}
OUT=${PARTILOOM_DEMO_OUT:-$BUILD/demo}
DRIVER_NAME="Partiloom Demo ASIO"
DRIVER_ID="{5D3E0A71-2C4B-4F18-9E6A-7B1C0D2E3F40}"
BLOCK=256

if ! [[ "$SECONDS_OF_PROGRAMME" =~ ^[0-9]+([.][0-9]+)?$ ]] ||
  ! awk -v s="$SECONDS_OF_PROGRAMME" 'BEGIN { exit !(s >= 2 && s <= 20) }'; then
  echo "PARTILOOM_DEMO_SECONDS wants 2 to 20 seconds" >&2
  exit 2
fi

bash "$ROOT/scripts/setup.sh"
start_x_server
use_wine_prefix
log=$OUT/harness.log
cleanup() {
  forget_player_settings
  remove_left_driver "$DRIVER_NAME" "$DRIVER_ID" "$log"
  stop_x_server
}
trap cleanup EXIT

echo "== building the Windows build: out_partiloom.dll, Partiloom.dll, the test driver, the player stand-in"
configure_windows
cmake --build "$WINDOWS_BUILD" -j "$JOBS" --target player_harness crossover_effect >/dev/null

echo "== preparing the Wine prefix: the player's settings name Partiloom.dll"
mkdir -p "$OUT"
rm -f "$OUT"/{capture.wav,spectra.png,spectra.txt,config-asio.png,summary.txt,harness.log}
work=$OUT/work
rm -rf "$work" && mkdir -p "$work"
bash "$ROOT/cmake/wine.sh" "$WINEPREFIX_DIR" warm
capture=$(win_path "$OUT/capture.wav")
store_effect_only "$WINDOWS_BUILD/bin/Partiloom.dll"

# The driver is registered for this run only (other programs list every installed driver).
# Effect output k goes to driver channel k - 1; the window is shown and caught mid-programme.
script=$work/demo-script.txt
shot_after_ms=$(awk -v s="$SECONDS_OF_PROGRAMME" 'BEGIN { printf "%d", s * 1000 / 2 }')
{
  echo "asio-install \"$DRIVER_NAME\" $DRIVER_ID outputs=8 type=19 block=$BLOCK capture=\"$capture\""
  echo "init"
  driver_and_identity_routing_steps "$DRIVER_NAME"
  echo "config"
  echo "move \"Config ASIO\" 8 8"
  echo "window"
  echo "play"
  echo "sleep $shot_after_ms"
  echo "capture \"Config ASIO\" \"$(win_path "$work/config-asio.bmp")\""
  echo "wait"
  echo "stop"
  echo "asio-switches $DRIVER_ID"
  echo "quit"
  echo "analyze \"$capture\" driver=\"$DRIVER_NAME\""
  echo "spectrum \"$capture\" \"$(win_path "$OUT/spectra.txt")\""
  echo "asio-uninstall \"$DRIVER_NAME\" $DRIVER_ID"
} >"$script"

echo "== playing $SECONDS_OF_PROGRAMME s of programme in real time (left channel; the right 6 dB lower)"
status=0
(cd "$work" && wine "$WINDOWS_BUILD/bin/player_harness.exe" --programme "$SECONDS_OF_PROGRAMME" \
  --script "$(win_path "$script")" </dev/null 2>/dev/null | tr -d '\r' >"$log") || status=$?

band_of() { echo "band $(((($1) + 1) / 2)) $([ $((($1) % 2)) -eq 1 ] && echo left || echo right)"; }

grep -E ' (error|msgbox) ' "$log" | sed 's/^/   /' || true
if [ "$status" -ne 0 ] || ! [ -s "$OUT/spectra.txt" ]; then
  echo "== the player stand-in reported a failure (log: $log)"
  exit 1
fi

# The spectra: one curve per routed output, the band's colour, left solid and right dashed.
colours=("#dc322f" "#3ca03c" "#266ed2" "#e68c14")
plot=""
while read -r line; do
  index=$(field index "$line")
  for k in $(field outputs "$line" | tr ',' ' '); do
    b=$(((k - 1) / 2))
    dash=$([ $(((k - 1) % 2)) -eq 0 ] && echo 1 || echo 2)
    plot+="${plot:+, }'$OUT/spectra.txt' using 1:$((index + 2)) with lines lw 2 dt $dash"
    plot+=" lc rgb '${colours[$b]}' title 'output $k: $(band_of "$k") (channel $index)'"
  done
done < <(grep -E '^[0-9]+ channel ' "$log")
gnuplot <<EOF
set terminal pngcairo size 1200,720 font "DejaVu Sans,11"
set output '$OUT/spectra.png'
set title "What each output of Partiloom.dll played through the driver: $SECONDS_OF_PROGRAMME s of sweep, pink noise and tones"
set logscale x
set xrange [20:20000]
set yrange [-110:-20]
set xtics ("20" 20, "50" 50, "100" 100, "200" 200, "500" 500, "1k" 1000, "2k" 2000, "5k" 5000, "10k" 10000, "20k" 20000)
set mxtics 10
set grid xtics mxtics ytics lc rgb "#d8d8d8"
set xlabel "frequency (Hz)"
set ylabel "level per 2.7 Hz bin, 1/12-octave mean (dBFS)"
set key outside right top
plot $plot
EOF
convert "$work/config-asio.bmp" "$OUT/config-asio.png"

# The summary: what the driver's eight channels received, and how the blocks went.
switches=$(grep -E '^[0-9]+ asio-switches ' "$log" || true)
{
  echo "Partiloom demo: $SECONDS_OF_PROGRAMME s of programme through out_partiloom.dll and Partiloom.dll"
  echo "(crossovers 80 Hz, 500 Hz, 3 kHz) to \"$DRIVER_NAME\", 8 x Float32LSB, $BLOCK frames at 44100 Hz"
  echo
  printf '%-16s %-28s %10s %10s\n' "driver channel" "effect output" "peak dBFS" "RMS dBFS"
  while read -r line; do
    index=$(field index "$line")
    routed=""
    for k in $(field outputs "$line" | tr ',' ' '); do routed+="${routed:+, }$k ($(band_of "$k"))"; done
    printf '%-16s %-28s %10s %10s\n' "$index - Output $((index + 1))" "${routed:-none}" \
      "$(field peak_dbfs "$line")" "$(field rms_dbfs "$line")"
  done < <(grep -E '^[0-9]+ channel ' "$log")
  echo
  echo "blocks played: $(field count "$switches")"
  echo "late blocks (output not ready when the next block was due): $(field late "$switches")" \
    "(callbacks longer than a block by themselves: $(field overlong "$switches"))"
  echo "callback time: longest $(field longest_us "$switches") us, 99.9th percentile" \
    "$(field p999_us "$switches") us, of a $(field period_us "$switches") us block period"
} >"$OUT/summary.txt"
rm -rf "$work"

sed 's/^/   /' "$OUT/summary.txt"
echo "== written to $OUT"
echo "   capture.wav       the driver's eight channels, 32-bit float"
echo "   spectra.png       the spectrum of each routed output (spectra.txt: the numbers)"
echo "   config-asio.png   the \"Config ASIO\" window with the crossover's editor"
echo "   summary.txt       the table above; harness.log: the player stand-in's log"
