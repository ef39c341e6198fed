#!/bin/bash
# The 32-bit plug-in in a win64 prefix (WoW64), as on a 64-bit Windows:
#   wow64_e2e.sh PREFIX WIN32_BIN EFFECT64 WORK
# 1. the test driver registers through the 32-bit regsvr32 into the 32-bit registry view;
# 2. the 32-bit player stand-in plays a tone through out_partiloom.dll and the 32-bit
#    Partiloom.dll (settings written with the 32-bit reg.exe) into a capturing test driver,
#    and every routed channel sounds;
# 3. with the 64-bit Partiloom.dll (EFFECT64) chosen, the plug-in says that it is a 64-bit
#    library instead of the generic failure.
set -u
PREFIX=$1 WIN32_BIN=$2 EFFECT64=$3 WORK=$4
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

rm -rf "$WORK" && mkdir -p "$WORK"
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
  (cd "$WORK" && wine "$WIN32_BIN/player_harness.exe" --tone 1 --script "$(win "$WORK/$name.txt")" \
    </dev/null 2>/dev/null | tr -d '\r' >"$WORK/$name.log")
}

# 2. Playing through the 32-bit crossover: its four bands of each side on eight channels.
capture=$WORK/capture.wav
routing=()
for k in 1 2 3 4 5 6 7 8; do routing+=("select CBOutput$k \"$((k - 1)) - Output $k\""); done
run play "$WIN32_BIN/Partiloom.dll" \
  "asio-install \"$DRIVER_NAME\" $DRIVER_ID outputs=8 type=19 block=256 capture=\"$(win "$capture")\"" \
  init "select CBDriver \"$DRIVER_NAME\"" "press BtRouting" "${routing[@]}" 'close "Audio Routing"' \
  play wait stop quit "analyze \"$(win "$capture")\" driver=\"$DRIVER_NAME\"" \
  "asio-uninstall \"$DRIVER_NAME\" $DRIVER_ID" || fail "play: the stand-in reported a failure"
grep -E ' (error|msgbox) ' "$WORK/play.log" && fail "play: errors or message boxes"
sounding=$(grep -cE '^[0-9]+ channel .* peak_dbfs=-?([0-9]|[1-5][0-9])\.' "$WORK/play.log")
[ "$sounding" -ge 2 ] || fail "play: $sounding channels sounded (log: $WORK/play.log)"

# 3. The 64-bit crossover is named as such.
run wide "$EFFECT64" init quit
grep -qF 'is a 64-bit (x64) effect: this version loads 32-bit (x86) effects only' "$WORK/wide.log" ||
  fail "wide: no message naming the width (log: $WORK/wide.log)"
grep -qF 'This is not a valid Vst Plugin!' "$WORK/wide.log" && fail "wide: the generic message"

if [ "$failures" -eq 0 ]; then
  echo "passed: $sounding channels sounded; the 64-bit library was named"
  rm -rf "$WORK"
fi
[ "$failures" -eq 0 ]
