#!/usr/bin/env bash
# Runs the demo: starts the local cloud on a free loopback port with a fresh
# data directory and the demo account, points the client at it, runs the
# client's main job, and stops the cloud again.
set -euo pipefail
build_dir=${1:-build}
cloud="$build_dir/server/lumora-cloud"
client="$build_dir/src/lumora"
port=${LUMORA_DEMO_PORT:-0}   # 0: any free port

work=$(mktemp -d "${TMPDIR:-/tmp}/lumora-demo.XXXXXX")
cloud_pid=""
cleanup() {
  if [ -n "$cloud_pid" ]; then kill "$cloud_pid" 2>/dev/null || true; wait "$cloud_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "==> starting the local cloud"
"$cloud" --port "$port" --data "$work/cloud" --seed-demo >"$work/cloud.log" 2>&1 &
cloud_pid=$!
for _ in $(seq 1 100); do
  if grep -q "listening on" "$work/cloud.log" 2>/dev/null; then break; fi
  if ! kill -0 "$cloud_pid" 2>/dev/null; then cat "$work/cloud.log"; exit 1; fi
  sleep 0.1
done
sed 's/^/    /' "$work/cloud.log"
url=$(grep -o 'http://[0-9.:]*' "$work/cloud.log" | head -n 1)
if [ -z "$url" ]; then echo "the local cloud did not start"; exit 1; fi

echo "==> running the client against it"
# The device console (the store's change listings) goes to a file: the
# steps and the progress bar stay readable.
if ! LUMORA_HOME="$work/home" LUMORA_CLOUD_URL="$url" "$client" --demo 2>"$work/console.log"; then
  echo "==> the client's console (last lines):"
  tail -n 20 "$work/console.log" | cut -c1-300
  exit 1
fi

# The same app in its window, on the same local cloud and app home, when
# there is a display to open it on.
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "==> opening the window on the same local cloud (close it to finish)"
  LUMORA_HOME="$work/home" LUMORA_CLOUD_URL="$url" "$client" --device "${LUMORA_DEVICE:-375x667}" \
    2>>"$work/console.log" || true
else
  echo "==> no display here: the window opens from a desktop session with"
  echo "    LUMORA_CLOUD_URL=<a running local cloud> $client --device 375x667"
  echo "    (or under a virtual display: xvfb-run -a $client --screenshot shot.png)"
fi
