#!/usr/bin/env bash
# A standard output or error that nobody reads any more ends nothing: a
# write there fails and the work goes on, and the exit status is that of
# the work, never death by SIGPIPE (141 in the shell). Tried where it was
# seen: the notice of a long start (32 MB or more to copy) in the window
# and the demo, the demo's own lines (as once `head` of `lumora --demo |
# head -n 3` has ended), and the local cloud, whose starter stopped reading
# its output once it had the address.
set -uo pipefail
lumora=$1
cloud=$2
# shellcheck source=local-cloud.sh
source "$(dirname "$0")/local-cloud.sh"
work=$(mktemp -d)
cloud_pid=
trap '[[ -n $cloud_pid ]] && kill "$cloud_pid" 2>/dev/null; rm -rf "$work"' EXIT

# Opens file descriptor 3 as a pipe whose reader is gone (the reader's end
# opened with it, then closed), so that a write to it fails with EPIPE
# (or ends the writer by SIGPIPE).
mkfifo "$work/pipe"
exec 4<>"$work/pipe" 3>"$work/pipe"
exec 4<&-

# A home copied with hard links whose stores the start copies (40 MB).
big_copy() {
  rm -rf "$work/big" "$work/copy"
  mkdir -p "$work/big/Documents"
  head -c 40000000 /dev/zero >"$work/big/Documents/lumora.db"
  cp -al "$work/big" "$work/copy"
}
made_own() {
  [[ -z $(find "$work/copy" -type f -links +1) ]] || { echo "FAIL: $1: the copy still shares files"; exit 1; }
}

# The notice to a closed standard error: the start goes on, makes the copy
# its own and ends as its work does (4: the cloud cannot be reached; 0: the
# window's first frame painted).
big_copy
LUMORA_HOME="$work/copy" LUMORA_CLOUD_URL=http://127.0.0.1:9 "$lumora" --demo 2>&3 >/dev/null </dev/null
rc=$?
[[ $rc == 4 ]] || { echo "FAIL: --demo with a long start and a closed standard error exits $rc"; exit 1; }
made_own "--demo"
big_copy
QT_QPA_PLATFORM=offscreen LUMORA_HOME="$work/copy" "$lumora" --screenshot "$work/shot.png" 2>&3 >/dev/null
rc=$?
[[ $rc == 0 && -s $work/shot.png ]] ||
  { echo "FAIL: the window with a long start and a closed standard error exits $rc"; exit 1; }
made_own "the window"
rm -rf "$work/big" "$work/copy"

# The local cloud: what it says before it serves (its usage) into a closed
# output, and then its output a pipe read for the address only.
"$cloud" --help >&3
rc=$?
[[ $rc == 0 ]] || { echo "FAIL: lumora-cloud --help into a closed standard output exits $rc"; exit 1; }
start_local_cloud || { echo "FAIL: the cloud says no address: $line"; exit 1; }

# The demo's lines into a closed standard output: its exit status is that
# of its work (3: the sign-in refused), and what it tells on standard error
# is told.
LUMORA_HOME="$work/home" LUMORA_CLOUD_URL=$url LUMORA_PASSWORD=wrong "$lumora" --demo --login demo \
  >&3 2>"$work/demo-err" </dev/null
rc=$?
[[ $rc == 3 ]] || { echo "FAIL: --demo into a closed standard output exits $rc: $(cat "$work/demo-err")"; exit 1; }
grep -q "sign-in was refused" "$work/demo-err" ||
  { echo "FAIL: the refused sign-in is not told: $(cat "$work/demo-err")"; exit 1; }

# The cloud stops cleanly although its last line has nobody to read it.
kill -TERM "$cloud_pid"
wait "$cloud_pid"
rc=$?
cloud_pid=
[[ $rc == 0 ]] || { echo "FAIL: the cloud with its output unread exits $rc: $(cat "$work/cloud-err")"; exit 1; }
echo "ok"
