#!/usr/bin/env bash
# test-shuffle.sh BUILD_DIR REPEAT JOBS: every test binary of BUILD_DIR in
# one process, in random order, REPEAT times over, JOBS binaries at a time
# (the longest first, so that it does not run alone at the end). They run in
# the build's tests folder, as CTest runs them. Each binary's output is
# shown whole when it fails, its summary line otherwise.
set -uo pipefail
build=$1 repeat=$2 jobs=$3
cd "$build/tests" || exit 1
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

run_one() {
  local binary=$1 log="$logs/${1#./}.log"
  if "$binary" --gtest_shuffle --gtest_repeat="$repeat" --gtest_brief=1 >"$log" 2>&1; then
    echo "$binary --gtest_shuffle --gtest_repeat=$repeat: passed"
  else
    echo "$binary --gtest_shuffle --gtest_repeat=$repeat FAILED:"
    cat "$log"
    return 1
  fi
}
export -f run_one
export logs repeat

binaries=()
[[ -x ./integration_tests ]] && binaries+=(./integration_tests)
for binary in ./*_tests; do
  [[ $binary == ./integration_tests ]] || binaries+=("$binary")
done
printf '%s\n' "${binaries[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$1"' _ {}
