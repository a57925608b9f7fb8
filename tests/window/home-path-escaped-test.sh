#!/usr/bin/env bash
# The app home's path is the user's: a start that cannot have its home (in
# use by another process, or no folder) tells the path with its control
# characters escaped, so that it neither acts on the terminal nor splits
# the message.
set -uo pipefail
lumora=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
odd=$'home\e]0;owned\a\nnext'
shown='home\x1b]0;owned\x07\nnext'

told() {  # what, command...
  local what=$1
  shift
  out=$("$@" 2>&1 </dev/null)
  rc=$?
  [[ $rc == 1 ]] || { echo "FAIL: $what exits $rc: $out"; exit 1; }
  [[ $out == *"$shown"* ]] || { echo "FAIL: $what does not show the path escaped: $out"; exit 1; }
  [[ $out != *$'\e'* && $out != *$'\a'* ]] || { echo "FAIL: $what prints a control character: $out"; exit 1; }
}

mkdir "$work/$odd"
told "a home in use" flock -n "$work/$odd" env LANG=C.UTF-8 LUMORA_HOME="$work/$odd" \
  LUMORA_CLOUD_URL=http://127.0.0.1:9 "$lumora" --demo
rmdir "$work/$odd" && : >"$work/$odd"
told "a home that is a file" env LANG=C.UTF-8 LUMORA_HOME="$work/$odd" LUMORA_CLOUD_URL=http://127.0.0.1:9 \
  "$lumora" --demo
echo "ok"
