# Shared by the scripts: paths, the X server for window tests, the two build configurations.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${PARTILOOM_BUILD_DIR:-$ROOT/build}
WINDOWS_BUILD=$BUILD/windows
WINEPREFIX_DIR=$WINDOWS_BUILD/wineprefix
JOBS=$(nproc)

XVFB_PID=
start_x_server() {
  # Wine's server must start with DISPLAY set, or later window tests break.
  bash "$ROOT/cmake/wine.sh" "$WINEPREFIX_DIR" stop
  local display
  for display in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ] && continue
    Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
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
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
  fi
  return 0
}

configure_windows() {
  cmake -S "$ROOT" -B "$WINDOWS_BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw32.cmake" >/dev/null
}
