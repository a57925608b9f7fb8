#!/usr/bin/env bash
# One lumora per app home: while another process holds the home, the window
# (even for a screenshot) and --demo say so and exit 1, before any work.
set -uo pipefail
lumora=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
home="$work/home"
mkdir -p "$home"

refused() {  # what, command...
  local what=$1
  shift
  out=$(flock -n "$home/.lumora.lock" true 2>&1) || { echo "FAIL: the home is held before $what"; exit 1; }
  # Said in words in the user's language, never as an error code.
  for lang in C.UTF-8 zh_CN.UTF-8; do
    out=$(flock -n "$home/.lumora.lock" env LANG=$lang LC_ALL= LUMORA_HOME="$home" \
      LUMORA_CLOUD_URL=http://127.0.0.1:9 "$@" 2>&1 </dev/null)
    rc=$?
    [[ $rc == 1 ]] || { echo "FAIL: $what beside another lumora exits $rc: $out"; exit 1; }
    [[ $lang == C.UTF-8 ]] && words="Another Lumora is using this app home" || words="另一个 Lumora 正在使用这个应用目录"
    [[ $out == *"$words"* && $out == *"$home"* && $out == *LUMORA_HOME* ]] ||
      { echo "FAIL: $what ($lang) does not say why and what to do: $out"; exit 1; }
    [[ $out != *Domain* && $out != *"temporarily unavailable"* ]] ||
      { echo "FAIL: $what ($lang) tells an error code: $out"; exit 1; }
  done
}
refused "the window" env QT_QPA_PLATFORM=offscreen "$lumora" --screenshot "$work/shot.png"
[[ ! -e $work/shot.png ]] || { echo "FAIL: the refused window painted"; exit 1; }
refused "--demo" "$lumora" --demo

# Free again, the window takes the home.
QT_QPA_PLATFORM=offscreen LUMORA_HOME="$home" "$lumora" --screenshot "$work/shot.png" >/dev/null 2>&1 ||
  { echo "FAIL: the window on a free home"; exit 1; }
echo "ok"
