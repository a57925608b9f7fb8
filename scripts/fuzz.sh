#!/usr/bin/env bash
# Runs every fuzz target built in BUILD_DIR/fuzz, FUZZ_JOBS at a time, each
# for FUZZ_SECONDS seconds or, when FUZZ_RUNS is set, for that many inputs,
# then prints one line per target: inputs run, seconds, outcome. The seed
# corpus of a target is fuzz/corpus/<target>; what a run adds goes to
# BUILD_DIR/fuzz-corpus/<target>, findings (the input that broke a target)
# to BUILD_DIR/fuzz-findings/<target>/, the log to BUILD_DIR/fuzz-logs/.
# FUZZ_TARGETS picks targets by name (default: all). Exits non-zero when a
# target found something.
set -uo pipefail
build_dir=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
runs=${FUZZ_RUNS:-}
jobs=${FUZZ_JOBS:-4}
source_dir=$(cd "$(dirname "$0")/.." && pwd)

targets=${FUZZ_TARGETS:-$(cd "$build_dir/fuzz" && ls -1 | grep 'Fuzzer$' | sort)}
mkdir -p "$build_dir/fuzz-logs" "$build_dir/fuzz-corpus" "$build_dir/fuzz-findings"
# What the targets store (the local cloud's data, the app home) goes to
# memory when it can, and away at the end.
scratch_base=/tmp
[ -d /dev/shm ] && scratch_base=/dev/shm
LUMORA_FUZZ_SCRATCH=$(mktemp -d "$scratch_base/lumora-fuzz.XXXXXX")
export LUMORA_FUZZ_SCRATCH
trap 'rm -rf "$LUMORA_FUZZ_SCRATCH"' EXIT

run_one() {
  local target=$1
  local limit="-max_total_time=$seconds"
  [ -n "$runs" ] && limit="-runs=$runs"
  mkdir -p "$build_dir/fuzz-corpus/$target" "$build_dir/fuzz-findings/$target"
  # -timeout: an input running longer is a hang; -rss_limit_mb: one past it a
  # runaway allocation.
  UBSAN_OPTIONS=print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
    "$build_dir/fuzz/$target" $limit -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build_dir/fuzz-findings/$target/" \
    "$build_dir/fuzz-corpus/$target" "$source_dir/fuzz/corpus/$target" \
    >"$build_dir/fuzz-logs/$target.log" 2>&1
  echo $? >"$build_dir/fuzz-logs/$target.status"
}
export -f run_one
export build_dir seconds runs source_dir

printf '%s\n' $targets | xargs -P "$jobs" -I{} bash -c 'run_one {}'

failed=0
printf '%-22s %12s %9s  %s\n' target inputs seconds outcome
for target in $targets; do
  log="$build_dir/fuzz-logs/$target.log"
  count=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  status=$(cat "$build_dir/fuzz-logs/$target.status" 2>/dev/null || echo "?")
  outcome="ok"
  if [ "$status" != 0 ]; then
    outcome="FOUND: $(grep -m1 -E 'ERROR: |check failed|runtime error' "$log" || echo "exit $status"), see $log"
    failed=1
  fi
  printf '%-22s %12s %9s  %s\n' "$target" "${count:-?}" "${time:-?}" "$outcome"
done
exit $failed
