#!/bin/bash
# The main job: builds the Windows build and plays a generated programme (a log sweep, pink
# noise, four tones) under Wine through the player stand-in -> out_partiloom.dll -> the
# Partiloom.dll crossover (2 inputs, 8 outputs: four bands x left/right) -> the capturing test
# driver (eight outputs), in real time, as the player plays a playlist: three tracks, the
# first two consecutive parts of the programme at 44100 Hz that must join without a gap, the
# third the rest at 48000 Hz, a new stream. Writes into one folder the 8-channel capture, a
# plot of each output's spectrum, a screenshot of the plug-in's window with the crossover's
# editor and a short summary with the two joins, and prints where they are.
#   demo.sh                          18 s of programme (8 + 6 + 4) into build/demo
#   PARTILOOM_DEMO_SECONDS=10 demo.sh
#   PARTILOOM_DEMO_OUT=/tmp/x demo.sh
set -eu -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SECONDS_OF_PROGRAMME=${PARTILOOM_DEMO_SECONDS:-18}
OUT=${PARTILOOM_DEMO_OUT:-$BUILD/demo}
DRIVER_NAME="Partiloom Demo ASIO"
DRIVER_ID="{5D3E0A71-2C4B-4F18-9E6A-7B1C0D2E3F40}"
BLOCK=256
RATE=44100
THIRD_RATE=48000
# A frame is silent when every channel is below this: the crossover's filters ring on into a
# gap with tiny values, never exactly 0.
QUIET_DBFS=-120

if ! [[ "$SECONDS_OF_PROGRAMME" =~ ^[0-9]+([.][0-9]+)?$ ]] ||
  ! awk -v s="$SECONDS_OF_PROGRAMME" 'BEGIN { exit !(s >= 2 && s <= 20) }'; then
  echo "PARTILOOM_DEMO_SECONDS wants 2 to 20 seconds" >&2
  exit 2
fi

# The tracks, in frames of the programme at 44100 Hz: 4/9, 3/9 and the rest of it.
total_frames=$(awk -v s="$SECONDS_OF_PROGRAMME" -v r=$RATE 'BEGIN { printf "%d", s * r }')
first_frames=$((total_frames * 4 / 9))
second_frames=$((total_frames * 3 / 9))
third_from=$((first_frames + second_frames))
third_frames=$((total_frames - third_from))
seconds_of() { awk -v f="$1" -v r=$RATE 'BEGIN { printf "%.2f", f / r }'; }

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
# It runs 44100 Hz only, so that the capture, a file of one rate, holds all three tracks: the
# plug-in converts the third. Effect output k goes to driver channel k - 1; the window is
# shown and caught mid-programme. The tracks play as the player plays them (a decode thread
# each, the end mark, Close and Open); after the last one the player sits idle while it
# plays out.
script=$work/demo-script.txt
shot_after_ms=$(awk -v s="$SECONDS_OF_PROGRAMME" 'BEGIN { printf "%d", s * 1000 / 2 }')
{
  echo "asio-install \"$DRIVER_NAME\" $DRIVER_ID outputs=8 type=19 block=$BLOCK capture=\"$capture\" rates=$RATE"
  echo "init"
  echo "config"
  driver_and_identity_routing_steps "$DRIVER_NAME"
  echo "move \"Config ASIO\" 8 8"
  echo "window"
  echo "asio-switches $DRIVER_ID"
  echo "track frames=$first_frames"
  echo "track from=$first_frames frames=$second_frames"
  echo "track from=$third_from rate=$THIRD_RATE"
  echo "sleep $shot_after_ms"
  echo "capture \"Config ASIO\" \"$(win_path "$work/config-asio.bmp")\""
  echo "track-wait"
  echo "sleep 1000"
  echo "asio-switches $DRIVER_ID"
  echo "quit"
  echo "analyze \"$capture\" driver=\"$DRIVER_NAME\""
  echo "silences \"$capture\" below=$QUIET_DBFS"
  echo "spectrum \"$capture\" \"$(win_path "$OUT/spectra.txt")\""
  echo "asio-uninstall \"$DRIVER_NAME\" $DRIVER_ID"
} >"$script"

echo "== playing $SECONDS_OF_PROGRAMME s of programme in real time (left channel; the right 6 dB lower)" \
  "as three tracks: $(seconds_of $first_frames) s and $(seconds_of $second_frames) s at $RATE Hz," \
  "$(seconds_of $third_frames) s at $THIRD_RATE Hz"
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

# The joins. Silent runs (every channel below QUIET_DBFS) inside the capture's sounding part:
# those within half a second of where track 1 ends in the capture belong to the first join,
# those from half a second before where track 2 ends to a second after it to the second; the
# rest lie inside a track, or after the last one.
silences=$(grep -E '^[0-9]+ silences ' "$log" || true)
sounding_from=$(field sounding_from "$silences")
join1=$((sounding_from + first_frames))
first_join=0 second_join=0 elsewhere=0
while read -r line; do
  at=$(field at "$line")
  frames=$(field frames "$line")
  if [ $((at + frames)) -ge $((join1 - RATE / 2)) ] && [ "$at" -le $((join1 + RATE / 2)) ]; then
    first_join=$((first_join + frames))
  else
    join2=$((join1 + first_join + second_frames))
    if [ $((at + frames)) -ge $((join2 - RATE / 2)) ] && [ "$at" -le $((join2 + RATE)) ]; then
      second_join=$((second_join + frames))
    elif [ "$at" -lt $((join2 + second_join + third_frames)) ]; then
      elsewhere=$((elsewhere + frames))
    fi  # later: the filters ringing out after the last track
  fi
done < <(grep -E '^[0-9]+ silence ' "$log")
ms_of() { awk -v f="$1" -v r=$RATE 'BEGIN { printf "%.1f", f * 1000 / r }'; }
# Real time from the player's Close of track 2 until the Open of track 3 returned, and the
# driver's starts during the playlist.
close2=$(grep -E '^[0-9]+ track-closed index=1( |$)' "$log" | cut -d' ' -f1)
open3=$(grep -E '^[0-9]+ track-open index=2 ' "$log" | cut -d' ' -f1)
switch_lines=$(grep -E '^[0-9]+ asio-switches ' "$log" || true)
starts=$(($(field starts "$(tail -n 1 <<<"$switch_lines")") - $(field starts "$(head -n 1 <<<"$switch_lines")")))

# The summary: what the driver's eight channels received, the joins and how the blocks went.
switches=$(tail -n 1 <<<"$switch_lines")
{
  echo "Partiloom demo: $SECONDS_OF_PROGRAMME s of programme through out_partiloom.dll and Partiloom.dll"
  echo "(crossovers 80 Hz, 500 Hz, 3 kHz) to \"$DRIVER_NAME\", 8 x Float32LSB, $BLOCK frames at $RATE Hz,"
  echo "played as a playlist: $(seconds_of $first_frames) s and $(seconds_of $second_frames) s at $RATE Hz," \
    "then $(seconds_of $third_frames) s at $THIRD_RATE Hz (converted to the driver's $RATE Hz)"
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
  echo "join of tracks 1 and 2 (one format, one stream): $first_join silent frames (expected 0)"
  echo "join of tracks 2 and 3 ($RATE -> $THIRD_RATE Hz, a new stream): $second_join silent frames" \
    "($(ms_of "$second_join") ms); track 3's Open returned $((open3 - close2)) ms after track 2's" \
    "Close; the driver started $starts times during the playlist"
  echo "(silent: every channel below $QUIET_DBFS dBFS; silent frames elsewhere inside the programme: $elsewhere)"
  echo
  echo "blocks played: $(field all_blocks "$switches") over $(field starts_timed "$switches") driver starts"
  echo "late blocks (output not ready when the next block was due): $(field all_late "$switches")" \
    "(callbacks longer than a block by themselves: $(field all_overlong "$switches"))"
  echo "callback time since the last start: longest $(field longest_us "$switches") us, 99.9th" \
    "percentile $(field p999_us "$switches") us, of a $(field period_us "$switches") us block period"
} >"$OUT/summary.txt"
rm -rf "$work"

sed 's/^/   /' "$OUT/summary.txt"
echo "== written to $OUT"
echo "   capture.wav       the driver's eight channels, 32-bit float"
echo "   spectra.png       the spectrum of each routed output (spectra.txt: the numbers)"
echo "   config-asio.png   the \"Config ASIO\" window with the crossover's editor"
echo "   summary.txt       the table above; harness.log: the player stand-in's log"
