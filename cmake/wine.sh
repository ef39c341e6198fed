#!/bin/bash
# Manages the Wine prefix a Windows build runs its programs in.
#   wine.sh PREFIX create   make the prefix (once), quiet and without crash dialogs
#   wine.sh PREFIX warm     start a persistent wineserver and Wine's services with all
#                           output sent away, so that no later test's pipe is inherited
#   wine.sh PREFIX stop     end the wineserver and everything of this prefix
# A third argument names the prefix's kind: win32 (the default) or win64, where 64-bit and,
# under WoW64, 32-bit programs run.
set -u
# The wineserver and Wine's services outlive this script: they must not keep any pipe of
# the build or of ctest open, or those wait for them forever.
for fd in $(ls /proc/$$/fd); do
  if [ "$fd" -gt 2 ]; then eval "exec $fd>&-"; fi
done 2>/dev/null
WINEPREFIX=$1
WINEARCH=${3:-win32}
export WINEPREFIX WINEARCH WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

case "$2" in
create)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1
    # An empty debugger: a crashing program exits with its fault instead of waiting
    # in (or being reported as passed by) Wine's debugger. A win64 prefix keeps this in
    # both registry views; Debian's wine runs the 32-bit reg.exe, the 64-bit loader the other.
    loaders=(wine)
    [ "$WINEARCH" = win64 ] && loaders+=(/usr/lib/wine/wine64)
    for loader in "${loaders[@]}"; do
      "$loader" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /d '' /f </dev/null >/dev/null 2>&1
      "$loader" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Auto /d 0 /f </dev/null >/dev/null 2>&1
    done
    # Without a window manager, unmanaged windows hide and close without a 2 s wait.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
    if [ -d /usr/share/wine/fonts ]; then
      cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
    fi
    wineserver -w </dev/null >/dev/null 2>&1
  fi
  ;;
warm)
  setsid wineserver -p </dev/null >/dev/null 2>&1
  setsid wine cmd /c exit </dev/null >/dev/null 2>&1
  ;;
stop)
  wineserver -k </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1
  ;;
*)
  echo "usage: wine.sh PREFIX create|warm|stop" >&2
  exit 2
  ;;
esac
exit 0
