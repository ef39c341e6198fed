#!/bin/bash
# Runs the capture test with its pictures kept in the working folder, then converts them to
# PNG for a person to look at. Arguments: the command that runs the test program.
set -eu
PARTILOOM_UI_CAPTURE=ui_controls.bmp "$@" --gtest_filter=UiScreen.*
for picture in ui_controls ui_controls_dropped; do
  /usr/bin/convert "$picture.bmp" "$picture.png"
done
