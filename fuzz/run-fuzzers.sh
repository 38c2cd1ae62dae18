#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time, one after
# the other, starting from the committed seeds in fuzz/corpus/<target>/.
# New inputs go to a work corpus under the build folder (kept between runs),
# never into the committed seeds. Any crash, leak, timeout or broken property
# fails the run and names the input that caused it, which becomes a
# regression test in the tests/ folder of the code it hit.
#
# Usage: fuzz/run-fuzzers.sh BUILD_DIR SECONDS_PER_TARGET [TARGET...]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run-fuzzers.sh BUILD_DIR SECONDS [TARGET...]}
seconds=${2:?usage: run-fuzzers.sh BUILD_DIR SECONDS [TARGET...]}
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(candidates packedk cmdline numparse segment)

failed=()
total=0
for t in "${targets[@]}"; do
    bin=$build/fuzz/fuzz_$t
    [ -x "$bin" ] || { echo "fuzz: $bin is missing (build the fuzz preset)" >&2; exit 1; }
    work=$build/fuzz/work/$t
    artifacts=$build/fuzz/artifacts/$t
    mkdir -p "$work" "$artifacts"
    opts=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192
          -print_final_stats=1 -artifact_prefix="$artifacts/")
    [ -f "$here/$t.dict" ] && opts+=(-dict="$here/$t.dict")
    log=$build/fuzz/$t.log
    rc=0
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$bin" "${opts[@]}" "$work" "$here/corpus/$t" >"$log" 2>&1 || rc=$?
    runs=$(awk '/stat::number_of_executed_units/ { print $2 }' "$log" | tail -n 1)
    runs=${runs:-0}
    total=$((total + runs))
    if [ $rc -ne 0 ]; then
        crash=$(grep -o 'Test unit written to .*' "$log" | tail -n 1 | sed 's/Test unit written to //')
        echo "fuzz: $t FAILED after $runs runs (exit $rc); input: ${crash:-see log}; log: $log" >&2
        grep -E 'ERROR|property broken|runtime error|SUMMARY' "$log" | head -n 5 >&2 || true
        failed+=("$t")
    else
        cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1)
        echo "fuzz: $t: $runs runs in ${seconds} s, ${cov:-cov: ?}, nothing found"
    fi
done
echo "fuzz: $total runs in all"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: failures in: ${failed[*]}" >&2
    exit 1
fi
