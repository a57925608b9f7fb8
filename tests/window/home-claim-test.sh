#!/usr/bin/env bash
# One lumora per app home: while another process holds the home, or a copy
# of it made with hard links, the window (even for a screenshot) and --demo
# say so and exit 1, before any work and changing nothing; a copy started
# once the home is free is a home of its own, or, when its files cannot be
# made its own (a full disk), says so and leaves both homes as they were.
set -uo pipefail
lumora=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
home="$work/home"
copy="$work/copy"
mkdir -p "$home/Library/Preferences" "$home/Documents" "$home/Media/PhotoData"

# A used home: its preferences, its stores (the library's catalogue, copied
# after the rest, larger than the disk holds below), and a write of the
# running app under way (its temporary).
printf x >"$home/Library/Preferences/app.plist"
printf x >"$home/Library/Preferences/.app.plist.Ab12Cd"
chmod 644 "$home/Library/Preferences/app.plist" "$home/Library/Preferences/.app.plist.Ab12Cd"
head -c 4096 /dev/urandom >"$home/Documents/lumora.db"
head -c 65536 /dev/urandom >"$home/Media/PhotoData/Photos.sqlite"
flock -n "$home/.lumora.lock" true || { echo "FAIL: the home is held before the test"; exit 1; }
cp -al "$home" "$copy"

# Every file of a home with its mode, its number of names and its bytes.
state() {
  (cd "$1" && find . -type f -printf '%p %m %n\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha1sum)
}

refused() {  # what, app home, command...
  local what=$1 at=$2
  shift 2
  local before
  before=$(state "$home"; state "$copy")
  # Said in words in the user's language, never as an error code.
  for lang in C.UTF-8 zh_CN.UTF-8; do
    out=$(flock -n "$home/.lumora.lock" env LANG=$lang LC_ALL= LUMORA_HOME="$at" \
      LUMORA_CLOUD_URL=http://127.0.0.1:9 "$@" 2>&1 </dev/null)
    rc=$?
    [[ $rc == 1 ]] || { echo "FAIL: $what beside another lumora exits $rc: $out"; exit 1; }
    [[ $lang == C.UTF-8 ]] && words="Another Lumora is using this app home or a copy of it" ||
      words="另一个 Lumora 正在使用这个应用目录或它的副本"
    [[ $out == *"$words"* && $out == *"$at"* && $out == *LUMORA_HOME* ]] ||
      { echo "FAIL: $what ($lang) does not say why and what to do: $out"; exit 1; }
    [[ $out != *Domain* && $out != *"temporarily unavailable"* ]] ||
      { echo "FAIL: $what ($lang) tells an error code: $out"; exit 1; }
  done
  [[ $(state "$home"; state "$copy") == "$before" ]] || { echo "FAIL: $what, refused, changed a file"; exit 1; }
}
refused "the window" "$home" env QT_QPA_PLATFORM=offscreen "$lumora" --screenshot "$work/shot.png"
[[ ! -e $work/shot.png ]] || { echo "FAIL: the refused window painted"; exit 1; }
refused "--demo" "$home" "$lumora" --demo
# The copy's lock file is the home's: held there (as a running lumora or an
# earlier version holds it), the copy waits its turn.
refused "--demo on a copy" "$copy" "$lumora" --demo

# A disk too full for the copies of the shared files: told, both homes as
# they were but for the dead write the copy took along (a leftover, cleared
# before any copy is made so as to give it room), no copy left behind.
leftover=Library/Preferences/.app.plist.Ab12Cd
before=$( (state "$home"; state "$copy") | grep -v -F "$leftover")
out=$( (trap '' XFSZ; ulimit -f 16; exec env LUMORA_HOME="$copy" LUMORA_CLOUD_URL=http://127.0.0.1:9 \
  "$lumora" --demo) 2>&1 </dev/null)
rc=$?
[[ $rc == 1 && $out == *"could not be made its own"* && $out == *"Free space on its disk"* ]] ||
  { echo "FAIL: a full disk while the copy is made its own exits $rc: $out"; exit 1; }
[[ $( (state "$home"; state "$copy") | grep -v -F "$leftover") == "$before" ]] ||
  { echo "FAIL: a failed copy changed a file"; exit 1; }
[[ ! -e $copy/$leftover && -e $home/$leftover ]] || { echo "FAIL: the copy's leftover was not cleared"; exit 1; }

# Free, the copy becomes a home of its own: no file of it has another name,
# and the home it was copied from keeps its bytes and modes. Copies this
# small take no moment, and nothing is said of them.
home_files=$(cd "$home" && find . -type f -printf '%p %m\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha1sum)
out=$(LUMORA_HOME="$copy" LUMORA_CLOUD_URL=http://127.0.0.1:9 "$lumora" --demo 2>&1 </dev/null)
[[ -z $(find "$copy" -type f -links +1) ]] || { echo "FAIL: the copy shares files after its start"; exit 1; }
[[ $out != *"Making the files"* ]] || { echo "FAIL: a small copy is told: $out"; exit 1; }
[[ $(cd "$home" && find . -type f -printf '%p %m\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha1sum) == "$home_files" ]] ||
  { echo "FAIL: the copy's start changed the home it was copied from"; exit 1; }

# A copy of a large store takes a moment: the start says what it does first.
big="$work/big"
mkdir -p "$big/Documents"
head -c 40000000 /dev/zero >"$big/Documents/lumora.db"
cp -al "$big" "$big-copy"
out=$(LANG=C.UTF-8 LC_ALL= LUMORA_HOME="$big-copy" LUMORA_CLOUD_URL=http://127.0.0.1:9 "$lumora" --demo 2>&1 </dev/null)
[[ $out == *"Making the files this app home shares with a copy of it (made with hard links) its own: 40 MB to copy"* ]] ||
  { echo "FAIL: a long copy is not told: $out"; exit 1; }
[[ -z $(find "$big-copy" -type f -links +1) ]] || { echo "FAIL: the large copy shares files after its start"; exit 1; }
rm -rf "$big" "$big-copy"

# Free again, the window takes the home.
QT_QPA_PLATFORM=offscreen LUMORA_HOME="$home" "$lumora" --screenshot "$work/shot.png" >/dev/null 2>&1 ||
  { echo "FAIL: the window on a free home"; exit 1; }
echo "ok"
