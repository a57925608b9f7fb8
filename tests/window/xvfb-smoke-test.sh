#!/usr/bin/env bash
# The window on an X display (run by with-xvfb.sh): its first frame paints,
# and is the very frame the offscreen platform paints, to the pixel.
# Nothing in the layout or the painting may depend on the platform plugin
# (the screen's DPI least of all).
set -uo pipefail
lumora=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shoot() {  # platform file: the first frame, from a fresh app home
  rm -rf "$work/home"
  QT_QPA_PLATFORM=$1 LUMORA_HOME="$work/home" timeout 60 "$lumora" --device 320x568 --screenshot "$2" >/dev/null 2>&1
}
for attempt in 1 2; do  # twice: the status bar's minute may turn between the two shots
  shoot xcb "$work/x11.png" || { echo "FAIL: lumora on the X display"; exit 1; }
  [[ -s $work/x11.png ]] || { echo "FAIL: no screenshot"; exit 1; }
  shoot offscreen "$work/offscreen.png" || { echo "FAIL: lumora offscreen"; exit 1; }
  cmp -s "$work/x11.png" "$work/offscreen.png" && { echo "ok"; exit 0; }
done
cp "$work/x11.png" window-smoke-x11.png
cp "$work/offscreen.png" window-smoke-offscreen.png
echo "FAIL: the first frame on the X display differs from the offscreen one (window-smoke-*.png)"
exit 1
