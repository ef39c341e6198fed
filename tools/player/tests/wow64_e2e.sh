#!/bin/bash
# The 32-bit plug-in in a win64 prefix (WoW64), as on a 64-bit Windows:
#   wow64_e2e.sh PREFIX WIN32_BIN EFFECT64 WORK HELPER64
# 1. the test driver registers through the 32-bit regsvr32 into the 32-bit registry view;
# 2. the 32-bit player stand-in plays a tone through out_partiloom.dll and the 32-bit
#    Partiloom.dll (settings written with the 32-bit reg.exe) into a capturing test driver,
#    and every routed channel sounds;
# 3. with the 64-bit Partiloom.dll (EFFECT64) chosen, the plug-in runs it in the 64-bit
#    helper (HELPER64) installed beside it, and the driver gets the same samples as in 2.
set -u
PREFIX=$1 WIN32_BIN=$2 EFFECT64=$3 WORK=$4 HELPER64=$5
export WINEPREFIX=$PREFIX WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
SETTINGS='HKCU\Software\WinAmp\Partiloom'
DRIVER_NAME="Partiloom WoW64 Test ASIO"
DRIVER_ID="{7A4C2E19-5B3D-4E8F-A1C6-0D9E8F7B6A52}"
SYSWOW64='C:\windows\syswow64'

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
quiet() { "$@" </dev/null >/dev/null 2>&1; }
reg32() { quiet wine "$SYSWOW64\\reg.exe" "$@"; }
# The 64-bit reg.exe, by the 64-bit loader: Debian's wine starts programs with the 32-bit one,
# which would run the 32-bit reg.exe even from system32.
reg64() { quiet /usr/lib/wine/wine64 reg "$@"; }
win() { winepath -w "$1" 2>/dev/null; }

rm -rf "$WORK" && mkdir -p "$WORK/plugins"
# The plug-in as installed: its library with both helpers beside it.
cp "$WIN32_BIN/out_partiloom.dll" "$WIN32_BIN/partiloom-bridge-x86.exe" "$HELPER64" "$WORK/plugins/"
cleanup() {
  reg32 delete "$SETTINGS" /f
  quiet wine "$SYSWOW64\\regsvr32.exe" /s /u "$(win "$WIN32_BIN/asio_test_driver.dll")"
  reg32 delete 'HKLM\Software\ASIO\'"$DRIVER_NAME" /f
  reg32 delete 'HKLM\Software\Classes\CLSID\'"$DRIVER_ID" /f
  reg32 delete 'HKLM\Software\PartiloomTestAsioDriver\'"$DRIVER_ID" /f
}
trap cleanup EXIT

# 1. Registration lands in the 32-bit view only, where the 32-bit plug-in looks.
quiet wine "$SYSWOW64\\regsvr32.exe" /s "$(win "$WIN32_BIN/asio_test_driver.dll")" ||
  fail "the 32-bit regsvr32 did not register the test driver"
reg32 query 'HKLM\Software\ASIO\Partiloom Test ASIO' /v CLSID ||
  fail "the test driver is not in the 32-bit registry view"
reg64 query 'HKLM\Software\ASIO\Partiloom Test ASIO' /v CLSID &&
  fail "the 32-bit driver's registration reached the 64-bit view"

# run NAME EFFECT STEPS...: the stand-in with the settings naming EFFECT; its log in WORK/NAME.log
run() {
  local name=$1 effect=$2
  shift 2
  reg32 delete "$SETTINGS" /f
  reg32 add "$SETTINGS" /v 'VST Plugin' /d "$(win "$effect")" /f || fail "$name: settings not written"
  printf '%s\n' "$@" >"$WORK/$name.txt"
  (cd "$WORK" && wine "$WIN32_BIN/player_harness.exe" --tone 1 \
    --plugin "$(win "$WORK/plugins/out_partiloom.dll")" --script "$(win "$WORK/$name.txt")" \
    </dev/null 2>/dev/null | tr -d '\r' >"$WORK/$name.log")
}

# play NAME EFFECT: the tone through EFFECT, its four bands of each side on eight channels,
# captured into WORK/NAME.wav.
routing=()
for k in 1 2 3 4 5 6 7 8; do routing+=("select CBOutput$k \"$((k - 1)) - Output $k\""); done
play() {
  local name=$1 capture=$WORK/$1.wav
  run "$name" "$2" \
    "asio-install \"$DRIVER_NAME\" $DRIVER_ID outputs=8 type=19 block=256 capture=\"$(win "$capture")\"" \
    init "select CBDriver \"$DRIVER_NAME\"" "press BtRouting" "${routing[@]}" 'close "Audio Routing"' \
    play wait stop quit "analyze \"$(win "$capture")\" driver=\"$DRIVER_NAME\"" \
    "asio-uninstall \"$DRIVER_NAME\" $DRIVER_ID" || fail "$name: the stand-in reported a failure"
  grep -E ' (error|msgbox) ' "$WORK/$name.log" && fail "$name: errors or message boxes"
}
# The samples of a capture from its data chunk on.
samples_offset() { echo $(($(grep -abo data "$1" | head -n 1 | cut -d: -f1) + 8)); }

# 2. The 32-bit crossover in the player's process.
play play32 "$WIN32_BIN/Partiloom.dll"
sounding=$(grep -cE '^[0-9]+ channel .* peak_dbfs=-?([0-9]|[1-5][0-9])\.' "$WORK/play32.log")
[ "$sounding" -ge 2 ] || fail "play32: $sounding channels sounded (log: $WORK/play32.log)"

# 3. The 64-bit crossover through the 64-bit helper: the same samples on every channel for the
# tone's second and the ring's silence before it. A block whose answer came too late for the
# driver is silence (two busy cores may cause that): at most two such blocks, nothing else.
play play64 "$EFFECT64"
a=$WORK/play32.wav b=$WORK/play64.wav
frame_bytes=$((8 * 4)) block_frames=256
compared=$(((8192 + 44100) * frame_bytes))
late_blocks=0
if [ -s "$a" ] && [ -s "$b" ] && [ "$(stat -c %s "$b")" -ge "$compared" ]; then
  # cmp -l: the byte's position (from 1) and both bytes in octal, a line per difference.
  verdict=$(cmp -l -i "$(samples_offset "$a"):$(samples_offset "$b")" -n "$compared" "$a" "$b" |
    awk -v fb="$frame_bytes" -v bf="$block_frames" '
      $3 != 0 { other++ }
      { blocks[int(($1 - 1) / fb / bf)] = 1 }
      END { n = 0; for (k in blocks) n++; print n + 0, other + 0 }')
  read -r late_blocks other <<<"$verdict"
  [ "$other" -eq 0 ] || fail "play64: the bridged 64-bit crossover's samples differ from the 32-bit one's"
  [ "$late_blocks" -le 2 ] || fail "play64: $late_blocks blocks were late"
else
  fail "play64: no capture, or a short one"
fi

if [ "$failures" -eq 0 ]; then
  echo "passed: $sounding channels sounded; the 64-bit crossover through its helper gave the same samples ($late_blocks blocks late)"
  rm -rf "$WORK"
fi
[ "$failures" -eq 0 ]
