#!/usr/bin/env bash
# The window under a virtual X display; skipped (77) where xvfb is missing.
set -uo pipefail
lumora=$1
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not installed: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
env -u QT_QPA_PLATFORM LUMORA_HOME="$work/home" timeout 60 xvfb-run -a "$lumora" --device 320x568 \
  --screenshot "$work/shot.png" || { echo "FAIL: lumora under xvfb"; exit 1; }
[[ -s $work/shot.png ]] || { echo "FAIL: no screenshot"; exit 1; }
echo "ok"
