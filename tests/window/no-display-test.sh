#!/usr/bin/env bash
# Without a display `lumora` says how to get one and exits 2 before Qt
# starts; offscreen it paints its first frame at the device's scale.
set -uo pipefail
lumora=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM LUMORA_HOME="$work/home" "$lumora" 2>&1)
rc=$?
[[ $rc == 2 ]] || { echo "FAIL: exit $rc without a display"; exit 1; }
for word in "no display" desktop xvfb-run offscreen; do
  [[ $out == *"$word"* ]] || { echo "FAIL: the message does not name '$word': $out"; exit 1; }
done
[[ $out != *QStandardPaths* && $out != *qt.qpa* ]] || { echo "FAIL: Qt started: $out"; exit 1; }
# The virtual display it offers holds the window beside its panel (220
# pixels), upright (750x1334 phone) and turned (1334x750).
[[ $out =~ -screen\ 0\ ([0-9]+)x([0-9]+)x24 ]] || { echo "FAIL: no screen size in: $out"; exit 1; }
(( BASH_REMATCH[1] >= 1334 + 220 && BASH_REMATCH[2] >= 1334 )) ||
  { echo "FAIL: a ${BASH_REMATCH[1]}x${BASH_REMATCH[2]} screen does not hold the window"; exit 1; }

QT_QPA_PLATFORM=offscreen LUMORA_HOME="$work/home" "$lumora" --device 375x667 --screenshot "$work/shot.png" \
  >/dev/null 2>&1 || { echo "FAIL: offscreen screenshot"; exit 1; }
size=$(od -An -tu1 -j16 -N8 "$work/shot.png" | awk '{print $3*256+$4 "x" $7*256+$8}')
[[ $size == 750x1334 ]] || { echo "FAIL: screenshot is $size, not 750x1334"; exit 1; }
echo "ok"
