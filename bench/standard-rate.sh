#!/usr/bin/env bash
# Standard-math sieve speed: primes per second over a packed K sequence with
# 100,000 candidates (b = 2, 4, ..., 200000) at N = 8192, p from 10^12.
# Builds the sequence first (for --build-seconds), then sieves it for
# --sieve-seconds and reads the average rate that varnesk-cli prints.
#
# Usage: bench/standard-rate.sh [--cli PATH] [--build-seconds S] [--sieve-seconds S]
#                               [--threads T]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${VARNESK_CLI:-$here/../build/release/cli/varnesk-cli}
seconds=1
sieveSeconds=20
threads=1
while [ $# -gt 0 ]; do
    case $1 in
    --cli) cli=$2; shift 2 ;;
    --build-seconds) seconds=$2; shift 2 ;;
    --sieve-seconds) sieveSeconds=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    -h | --help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "standard-rate.sh: unexpected argument '$1'" >&2; exit 2 ;;
    esac
done
[ -x "$cli" ] || { echo "standard-rate.sh: varnesk-cli not found; build it or pass --cli PATH" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/standard-rate.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/pk"

"$cli" build-packed-k --dir "$work/pk" -N 8192 --start-p 1000000000000 -q 2>"$work/build.txt" &
builder=$!
sleep "$seconds"
kill -INT "$builder"
wait "$builder" || true

# The sequence starts at 10^12, so the sieve resumes a candidate file whose
# resume point is there (a new sieve would start at 0 and is refused).
{
    echo 'ABC $a^$b+1 // 1000000000000'
    seq 2 2 200000 | sed 's/$/ 8192/'
} >"$work/o.txt"
"$cli" resume --input "$work/o.txt" --output "$work/o.txt" --standard --packed-k "$work/pk" \
    --factors "$work/f.txt" --threads "$threads" --tick-seconds 1 -q 2>"$work/err.txt" &
sieve=$!
sleep "$sieveSeconds"
kill -INT "$sieve" 2>/dev/null || true
wait "$sieve" || true
line=$(grep '^Average from P ' "$work/err.txt" || true)
echo "standard sieve, N = 8192, 100,000 candidates, $threads thread(s): ${line:-no average (run it longer)}"
