#!/usr/bin/env bash
# Runs each fuzzing target for a bounded time under the fuzzing build in .venv-fuzz, starting from
# the seed corpus kept in fuzz/seeds/<target> plus what earlier runs found (build/fuzz-corpus/).
# Usage: scripts/run_fuzz.sh SECONDS TARGET...
# Prints one summary line per target; fails when any target found a crash.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=$1
shift
python=.venv-fuzz/bin/python
runtime_dir=$("$python" -c 'import atheris; print(atheris.path())')
failed=0
for target in "$@"; do
  corpus=build/fuzz-corpus/$target
  artifacts=build/fuzz-artifacts/$target
  log=build/fuzz-$target.log
  mkdir -p "$corpus" "$artifacts"
  LD_PRELOAD="$runtime_dir/asan_with_fuzzer.so" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$python" "fuzz/fuzz_$target.py" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=6144 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "fuzz/seeds/$target" >"$log" 2>&1
  status=$?
  runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
  coverage=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
  if [ "$status" -eq 0 ]; then
    echo "fuzz $target: ${runs:-?} executions in ${seconds}s, $coverage, no crash"
  else
    echo "fuzz $target: FAILED (exit $status) after ${runs:-?} executions; see $log and $artifacts/"
    grep -E -A30 'ERROR|Traceback|Uncaught|==[0-9]+==' "$log" | head -60
    failed=1
  fi
done
exit $failed
