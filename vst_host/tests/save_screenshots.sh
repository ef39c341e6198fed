#!/bin/bash
# save_screenshots.sh FOLDER COMMAND...: empties FOLDER, runs COMMAND with FOLDER as the
# current directory and "." as its last argument (a program that saves BMP pictures there),
# then turns every picture into a PNG with ImageMagick.
set -u
folder=$1
shift
rm -rf "$folder" && mkdir -p "$folder" && cd "$folder" || exit 1
"$@" . || exit 1
pictures=0
for bmp in *.bmp; do
  [ -e "$bmp" ] || continue
  # Another program called convert may come first in PATH.
  /usr/bin/convert "$bmp" "${bmp%.bmp}.png" || exit 1
  pictures=$((pictures + 1))
done
echo "$pictures pictures in $folder"
[ "$pictures" -gt 0 ]
