#!/usr/bin/env bash
# Output that cannot be written (standard output on a full device) is told
# on standard error once the work is done, and the run ends 1 with its work
# kept: the demo's next run, printed to a file, finds every picture of the
# first in the cloud already. A run that failed keeps its own status, the
# output's failure told after its own; with standard error on the full
# device too, the run still ends, neither looping nor crashing. `--help` is
# told alike. A reader that is gone (a closed pipe) is no such failure:
# the run ends as its work does and says nothing of it.
set -uo pipefail
lumora=$1
cloud=$2
# shellcheck source=local-cloud.sh
source "$(dirname "$0")/local-cloud.sh"
work=$(mktemp -d)
cloud_pid=
trap '[[ -n $cloud_pid ]] && kill "$cloud_pid" 2>/dev/null; rm -rf "$work"' EXIT
told="lumora: cannot write the output: No space left on device"
fail() { echo "FAIL: $*"; exit 1; }

"$lumora" --help >/dev/full 2>"$work/help-err"
rc=$?
[[ $rc == 1 ]] || fail "--help into a full device exits $rc"
[[ $(cat "$work/help-err") == "$told" ]] || fail "--help into a full device says: $(cat "$work/help-err")"

# File descriptor 3: a pipe whose reader is gone (opened with it, then
# closed), so that a write to it fails with EPIPE.
mkfifo "$work/pipe"
exec 4<>"$work/pipe" 3>"$work/pipe"
exec 4<&-
"$lumora" --help >&3 2>"$work/help-err"
rc=$?
[[ $rc == 0 && ! -s $work/help-err ]] || fail "--help into a closed pipe exits $rc: $(cat "$work/help-err")"

# The local cloud, its output read for the address only.
start_local_cloud || fail "the cloud says no address: $line $(cat "$work/cloud-err")"

# lumora --demo on the test's home and cloud, with these arguments.
demo() {
  env LUMORA_HOME="$work/home" LUMORA_CLOUD_URL="$url" timeout 300 "$lumora" --demo "$@" </dev/null
}

# The whole demo into a full device: its work done, the output's loss told.
demo >/dev/full 2>"$work/err"
rc=$?
[[ $rc == 1 ]] || fail "--demo into a full device exits $rc: $(cat "$work/err")"
[[ $(cat "$work/err") == "$told" ]] || fail "--demo into a full device says: $(cat "$work/err")"
demo >"$work/out" 2>"$work/err"
rc=$?
[[ $rc == 0 ]] || fail "the next run exits $rc: $(cat "$work/out" "$work/err")"
grep -q "the library holds photos already" "$work/out" || fail "the first run added no pictures: $(cat "$work/out")"
grep -q "ok: 16 photos in the library; sent now: 0 photos in 0 of 0 uploads" "$work/out" ||
  fail "the first run did not back the pictures up: $(cat "$work/out")"
[[ ! -s $work/err ]] || fail "the next run says: $(cat "$work/err")"
demo >&3 2>"$work/err"
rc=$?
[[ $rc == 0 && ! -s $work/err ]] || fail "--demo into a closed pipe exits $rc: $(cat "$work/err")"

# A run that fails (its sign-in refused) keeps its status; both told.
LUMORA_PASSWORD=wrong demo --login demo >/dev/full 2>"$work/err"
rc=$?
[[ $rc == 3 ]] || fail "a refused sign-in into a full device exits $rc: $(cat "$work/err")"
grep -q "the sign-in was refused" "$work/err" || fail "the refused sign-in is not told: $(cat "$work/err")"
[[ $(tail -n 1 "$work/err") == "$told" ]] || fail "the output's loss is not told last: $(cat "$work/err")"

# Standard error on the full device as well: nothing to tell it on.
LUMORA_PASSWORD=wrong demo --login demo >/dev/full 2>&1
rc=$?
[[ $rc == 3 ]] || fail "a refused sign-in with both outputs on a full device exits $rc"
"$lumora" --help >/dev/full 2>&1
rc=$?
[[ $rc == 1 ]] || fail "--help with both outputs on a full device exits $rc"
echo "ok"
