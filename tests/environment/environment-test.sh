#!/usr/bin/env bash
# The tests' environment as run_in_test_environment (and every test binary)
# enters it: the user's variables do not reach the command, a temporary
# folder of its own goes when the command and what it left running have
# ended, and the command's exit status or signal comes back unchanged.
set -uo pipefail
run=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# The process running this script is itself in the environment: its marker
# goes, so that the launcher starts afresh.
hostile=(env -u LUMORA_TEST_SCRATCH TMPDIR="$work" LUMORA_HOME=/dev/null/home LUMORA_CLOUD_URL=http://lumora.invalid
         LUMORA_PASSWORD=x DISPLAY=:65535 QT_QPA_PLATFORM=none LANG=tr_TR.UTF-8 LC_ALL=tr_TR.UTF-8 LANGUAGE=tr
         TZ=Pacific/Kiritimati BlackboxSubmitReports=NO)

seen=$("${hostile[@]}" "$run" sh -c 'env; touch "$TMPDIR/left"; mkdir -p "$LUMORA_HOME"') || fail "exit $?"
for name in LUMORA_CLOUD_URL LUMORA_PASSWORD DISPLAY LC_ALL LANGUAGE BlackboxSubmitReports; do
  grep -q "^$name=" <<<"$seen" && fail "$name reached the command"
done
for setting in LANG=C.UTF-8 TZ=UTC QT_QPA_PLATFORM=offscreen "TMPDIR=$work/lumora-run-"; do
  grep -q "^$setting" <<<"$seen" || fail "no $setting"
done
[[ -z $(ls -A "$work") ]] || fail "left behind: $(ls -A "$work")"

"${hostile[@]}" "$run" sh -c 'exit 7'
[[ $? == 7 ]] || fail "exit status not passed on"
"${hostile[@]}" "$run" sh -c 'kill -SEGV $$'
[[ $? == $((128 + 11)) ]] || fail "signal not passed on"
start=$SECONDS
"${hostile[@]}" "$run" sh -c 'sleep 300 & echo $! > "$TMPDIR/pid"; exit 0' || fail "straggler run"
(( SECONDS - start < 60 )) || fail "waited for a process left running"
[[ -z $(ls -A "$work") ]] || fail "left behind after a crash or a straggler: $(ls -A "$work")"
echo "ok"
