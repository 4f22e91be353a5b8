#!/usr/bin/env bash
# Builds the fuzz targets and their seed corpora, replays the corpora, then
# fuzzes each target in turn; any crash, leak, sanitizer report or timeout
# fails the run.
#   tests/fuzz/run.sh smoke   9 s per target, under a minute in all (FUZZ_SECONDS overrides)
#   tests/fuzz/run.sh long    FUZZ_SECONDS per target, default 1800
# Corpora grow in build/fuzz/corpus/<target>/, crash inputs land in
# build/fuzz/artifacts/<target>/, logs in build/fuzz/logs/.
set -euo pipefail

mode=${1:-smoke}
case "$mode" in
  smoke) seconds=${FUZZ_SECONDS:-9} ;;
  long) seconds=${FUZZ_SECONDS:-1800} ;;
  *) echo "usage: $0 smoke|long" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build/fuzz
bin=$build/tests/fuzz
targets=(fuzz_index fuzz_package fuzz_pe fuzz_uninstall_record fuzz_manifest fuzz_inspect)
declare -A max_len=([fuzz_index]=16384 [fuzz_package]=8192 [fuzz_pe]=4096 [fuzz_uninstall_record]=4096 [fuzz_manifest]=4096 [fuzz_inspect]=65536)

cd "$root"
[[ -f $build/CMakeCache.txt ]] || cmake --preset fuzz >/dev/null
cmake --build "$build" -j 2 --target fuzz_seeds "${targets[@]}"
"$bin/fuzz_seeds" "$build/corpus"
mkdir -p "$build/logs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Runs a target with the common options; its output goes to a log file.
fuzz() {
  local target=$1 log=$2
  shift 2
  mkdir -p "$build/artifacts/$target"
  if ! "$bin/$target" -rss_limit_mb=2048 -timeout=20 -max_len="${max_len[$target]}" \
      -dict="$root/tests/fuzz/$target.dict" -artifact_prefix="$build/artifacts/$target/" \
      "$@" "$build/corpus/$target" >"$log" 2>&1; then
    echo "FAIL $target (see $log):" >&2
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" >&2 || tail -n 30 "$log" >&2
    return 1
  fi
}

failed=0
total=0
for target in "${targets[@]}"; do
  replay_log=$build/logs/$target-replay.log
  fuzz_log=$build/logs/$target-$mode.log
  inputs=$(find "$build/corpus/$target" -type f | wc -l)
  if ! fuzz "$target" "$replay_log" -runs=0; then
    failed=1
    continue
  fi
  if ! fuzz "$target" "$fuzz_log" -max_total_time="$seconds" -print_final_stats=1; then
    failed=1
    continue
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$fuzz_log" | tail -n 1)
  corpus=$(find "$build/corpus/$target" -type f | wc -l)
  printf '%-21s replayed %5d inputs, fuzzed %3d s: %10d runs, corpus now %d\n' \
    "$target" "$inputs" "$seconds" "${runs:-0}" "$corpus"
  total=$((total + ${runs:-0}))
done
echo "fuzz $mode: $total executions in total"
if [[ $failed != 0 ]]; then
  echo "fuzz $mode: FAILED" >&2
  exit 1
fi
echo "fuzz $mode: no crashes"
