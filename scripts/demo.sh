#!/bin/bash
# The main job: builds the Windows plug-in and lets the player stand-in load it under Wine.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$ROOT/scripts/setup.sh"
start_x_server
trap stop_x_server EXIT

echo "== building the Windows build: out_partiloom.dll, the test effects and drivers, the player stand-in"
configure_windows
cmake --build "$WINDOWS_BUILD" -j "$JOBS" >/dev/null

echo "== the player loads out_partiloom.dll under Wine"
env WINEPREFIX="$WINEPREFIX_DIR" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  wine "$WINDOWS_BUILD/bin/player_harness.exe" </dev/null 2>/dev/null | tr -d '\r'
