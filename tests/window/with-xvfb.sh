#!/usr/bin/env bash
# with-xvfb.sh [--screen WxH] COMMAND...: runs COMMAND on a virtual X
# server of its own (1280 x 1400 unless --screen says otherwise, 24 bits, on
# the first free display) with Qt's X11 plugin, and stops the server after.
# Where no server can start (Xvfb missing, or it fails), says so and exits
# 77, which ctest counts as skipped.
set -uo pipefail
screen=1280x1400
if [[ ${1:-} == --screen ]]; then screen=$2; shift 2; fi
command -v Xvfb >/dev/null 2>&1 || { echo "skipped: Xvfb is not installed (make deps installs it)"; exit 77; }
work=$(mktemp -d)
server=""
cleanup() {
  if [[ -n $server ]]; then kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
# -displayfd: the server picks a free display and writes its number once it
# accepts connections.
Xvfb -displayfd 3 -screen 0 "${screen}x24" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
server=$!
for _ in $(seq 1 200); do
  [[ -s $work/display ]] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.05
done
if [[ ! -s $work/display ]]; then
  echo "skipped: Xvfb did not start: $(tail -n 3 "$work/xvfb.log")"
  exit 77
fi
DISPLAY=":$(head -n 1 "$work/display")" QT_QPA_PLATFORM=xcb "$@"
