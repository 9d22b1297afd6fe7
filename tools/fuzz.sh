#!/usr/bin/env bash
# Runs the libFuzzer targets (the fuzz preset, clang-14) for a bounded time each, two at a time,
# starting from their seed corpus in tests/fuzz/corpus/TARGET and what earlier runs in this
# build tree kept in build/fuzz/corpus/TARGET.
#
#   bash tools/fuzz.sh [SECONDS [TARGET...]]     default: 60 s each, every target
#
# Writes RELIABILITY_COUNTS_DIR/fuzz-TARGET.counts (default build/reliability) with the line
# "cases N", N being the inputs libFuzzer ran. A finding fails the run and leaves its input in
# build/fuzz/findings/; replay it with build/fuzz/fuzz_TARGET FILE.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(splitter image_path child_command)
counts_dir=${RELIABILITY_COUNTS_DIR:-$PWD/build/reliability}
mkdir -p "$counts_dir" build/fuzz/findings

cmake --preset fuzz > /tmp/tolvard-configure-fuzz.log 2>&1 \
    || { cat /tmp/tolvard-configure-fuzz.log; exit 1; }
cmake --build --preset fuzz -j 2 || exit 1

fuzz_one() {
    local target=$1 log=build/fuzz/$1.log
    mkdir -p "build/fuzz/corpus/$target"
    # New inputs go to the first directory only: the seed corpus stays as committed.
    "build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="build/fuzz/findings/$target-" \
        "build/fuzz/corpus/$target" "tests/fuzz/corpus/$target" > "$log" 2>&1
    local rc=$?
    local runs
    runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log")
    [ -n "$runs" ] || runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log")
    echo "cases ${runs:-0}" > "$counts_dir/fuzz-$target.counts"
    if [ $rc -ne 0 ] || [ -z "$runs" ]; then
        echo "fuzz $target: FAILED (exit $rc) after ${runs:-?} cases"
        grep -A 3 '^FINDING' "$log"
        grep -E -A 2 '^==[0-9]+==ERROR' "$log"
        grep -E 'SUMMARY: |Test unit written' "$log"
        return 1
    fi
    echo "fuzz $target: $runs cases in $seconds s, no finding"
}

failed=0
running=0
for target in "${targets[@]}"; do
    if [ $running -ge 2 ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
    fuzz_one "$target" &
    running=$((running + 1))
done
while [ $running -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done
exit $failed
