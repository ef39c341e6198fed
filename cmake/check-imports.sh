#!/bin/bash
# Fails when a Windows binary of the build imports anything but the system's own DLLs:
# the product and its tools must run without libstdc++, libgcc or libwinpthread beside them.
# The x86_64 objdump reads the binaries of both widths.
set -u
dir=$1
allowed='^(kernel32|user32|gdi32|advapi32|ole32|oleaut32|shell32|comdlg32|comctl32|msvcrt|winmm|uuid|version|shlwapi)\.dll$'
status=0
count=0
for binary in "$dir"/*.dll "$dir"/*.exe; do
  [ -e "$binary" ] || continue
  count=$((count + 1))
  while read -r name; do
    if ! grep -qiE "$allowed" <<<"$name"; then
      echo "$(basename "$binary") imports $name"
      status=1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^\s*DLL Name: //p')
done
echo "$count binaries checked"
[ "$count" -gt 0 ] && exit $status
exit 1
