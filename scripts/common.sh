# Shared by the scripts: paths, the X server for window tests, the two build configurations.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${PARTILOOM_BUILD_DIR:-$ROOT/build}
WINDOWS_BUILD=$BUILD/windows
WINEPREFIX_DIR=$WINDOWS_BUILD/wineprefix
# The 64-bit side (a helper's parts, 64-bit effects) and its win64 prefix, where the 32-bit
# plug-in of $WINDOWS_BUILD runs too (WoW64).
WIN64_BUILD=$BUILD/win64
WIN64_PREFIX_DIR=$WIN64_BUILD/wineprefix
# libsoxr built for the Windows build by setup.sh (headers and static library)
SOXR_WINDOWS_PREFIX=$BUILD/third-party/soxr/install
JOBS=$(nproc)

XVFB_PID=
start_x_server() {
  # Wine's server must start with DISPLAY set, or later window tests break.
  bash "$ROOT/cmake/wine.sh" "$WINEPREFIX_DIR" stop
  [ -d "$WIN64_PREFIX_DIR" ] && bash "$ROOT/cmake/wine.sh" "$WIN64_PREFIX_DIR" stop win64
  local display
  for display in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ] && continue
    # Tall enough for the whole "Config ASIO" window with its meters below the panel.
    Xvfb ":$display" -screen 0 1024x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 50); do
      [ -e "/tmp/.X11-unix/X$display" ] && break
      sleep 0.1
    done
    if kill -0 "$XVFB_PID" 2>/dev/null; then
      export DISPLAY=":$display"
      return 0
    fi
  done
  echo "could not start Xvfb" >&2
  return 1
}

stop_x_server() {
  bash "$ROOT/cmake/wine.sh" "$WINEPREFIX_DIR" stop
  [ -d "$WIN64_PREFIX_DIR" ] && bash "$ROOT/cmake/wine.sh" "$WIN64_PREFIX_DIR" stop win64
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
  fi
  return 0
}

configure_windows() {
  cmake -S "$ROOT" -B "$WINDOWS_BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw32.cmake" \
    -DPL_SOXR_WINDOWS_PREFIX="$SOXR_WINDOWS_PREFIX" >/dev/null
}

configure_win64() {
  cmake -S "$ROOT" -B "$WIN64_BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
    -DPL_WIN32_BUILD_DIR="$WINDOWS_BUILD" >/dev/null
}

# ---- playing through the player stand-in under Wine (demo.sh, soak.sh) --------------------
use_wine_prefix() {
  export WINEPREFIX="$WINEPREFIX_DIR" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}
wine_quiet() { "$@" </dev/null >/dev/null 2>&1; }
win_path() { winepath -w "$1" 2>/dev/null; }

forget_player_settings() {
  [ -d "$WINEPREFIX_DIR" ] || return 0
  wine_quiet wine reg delete 'HKCU\Software\WinAmp\Partiloom' /f || true
}
# The player's settings hold only "VST Plugin" = the effect library $1 (a Linux path).
store_effect_only() {
  forget_player_settings
  wine_quiet wine reg add 'HKCU\Software\WinAmp\Partiloom' /v 'VST Plugin' /d "$(win_path "$1")" /f
}

# Harness steps: choose the driver $1 and route effect output k to its channel k - 1.
driver_and_identity_routing_steps() {
  echo "select CBDriver \"$1\""
  echo "press BtRouting"
  for k in 1 2 3 4 5 6 7 8; do echo "select CBOutput$k \"$((k - 1)) - Output $k\""; done
  echo "close \"Audio Routing\""
}

# A test driver's registration ($1 name, $2 class id) that a stand-in ending early (before
# its asio-uninstall step, as harness log $3 tells) left behind.
remove_left_driver() {
  [ -f "$3" ] || return 0
  grep -qE '^[0-9]+ asio-uninstalled ' "$3" 2>/dev/null && return 0
  wine_quiet wine reg delete 'HKLM\Software\ASIO\'"$1" /f || true
  wine_quiet wine reg delete 'HKLM\Software\Classes\CLSID\'"$2" /f || true
  wine_quiet wine reg delete 'HKLM\Software\PartiloomTestAsioDriver\'"$2" /f || true
}

# field NAME LINE: the value of NAME=... in a harness log line (quoted values without quotes)
field() { sed -nE "s/.* $1=(\"([^\"]*)\"|([^ ]*)).*/\2\3/p" <<<"$2"; }
