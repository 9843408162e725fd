#!/usr/bin/env bash
# Runs fuzz targets for a bounded time each and fails on any finding.
# Usage: fuzz/run.sh <build-dir> <seconds-per-target> <target>...   (targets without the fuzz_ prefix)
# Seeds come from fuzz/make_corpus.py; the corpus grows in <build-dir>/corpus/<target> across runs, and
# findings (crash-, leak-, timeout-, oom- files) land in <build-dir>/findings.
set -uo pipefail
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)

# alloc_dealloc_mismatch=0: PCL's filters create their search objects inside the prebuilt PCL (built as
# C++14, where Eigen's aligned operator new is plain malloc), and the shared pointer releases them with the
# C++17 operator delete instantiated in this build; glibc treats both alike, AddressSanitizer does not.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:alloc_dealloc_mismatch=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$here/ubsan.supp
# The library logs through the process-wide logger; keep the fuzzers quiet and fast.
export SPDLOG_STDOUT=false SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info

# FUZZ_SEED=<n> fixes libFuzzer's random seed (-seed=<n>); otherwise each run draws its own. With a fixed
# seed a run that starts from the same corpus mutates the same way, so a finding can be replayed by
# running again (the number of executions in the time limit still depends on the machine's speed).
seed_arg=()
if [ -n "${FUZZ_SEED:-}" ]; then seed_arg=(-seed="$FUZZ_SEED"); fi

python3 "$here/make_corpus.py" "$build/corpus" > /dev/null
mkdir -p "$build/findings" "$build/logs"
passed=0
failed=0
for target in "$@"; do
  if [ ! -x "$build/fuzz/fuzz_$target" ]; then
    echo "fuzz_$target: not built in this tree (its code is not part of it), skipped"
    continue
  fi
  log="$build/logs/$target.log"
  "$build/fuzz/fuzz_$target" "$build/corpus/$target" -max_total_time="$seconds" -timeout=60 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/findings/$target-" "${seed_arg[@]}" \
    > "$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $status -eq 0 ]; then
    passed=$((passed + 1))
    echo "fuzz_$target: ${runs:-?} executions in ${seconds}s, no finding"
  else
    failed=$((failed + 1))
    echo "fuzz_$target: FINDING after ${runs:-?} executions (exit $status); log $log:"
    grep -v '^QH\|^ *- \|^#[0-9]' "$log" | tail -40
    ls "$build/findings" | grep "^$target-" || true
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
