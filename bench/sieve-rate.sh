#!/usr/bin/env bash
# Wide-sieve speed at a given n, b range and starting p: primes per second
# and P per day (the rise of p per day in units of 10^15).
#
# For each row it writes a candidate file whose header holds the starting p
# and which lists every base that the sieve walks (bmin, bmin+2, ... bmax),
# resumes it with varnesk-cli over a fixed p range and reads the average rate
# that varnesk-cli prints between its first and last progress record, so that
# loading and saving the candidate file are not counted.
#
# Usage: bench/sieve-rate.sh [--cli PATH] [--range R] [--kernel scalar|auto]
#                            [n:bmin:bmax:p ...]
# Default rows: 16:2:1000000:10^15 and 22:2:100000000:10^15, range 10^12.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${VARNESK_CLI:-}
range=1000000000000
kernel=auto
rows=()

while [ $# -gt 0 ]; do
    case $1 in
    --cli) cli=$2; shift 2 ;;
    --range) range=$2; shift 2 ;;
    --kernel) kernel=$2; shift 2 ;;
    -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *:*:*:*) rows+=("$1"); shift ;;
    *) echo "sieve-rate.sh: unexpected argument '$1'" >&2; exit 2 ;;
    esac
done
if [ ${#rows[@]} -eq 0 ]; then
    rows=("16:2:1000000:1000000000000000" "22:2:100000000:1000000000000000")
fi
if [ -z "$cli" ]; then
    for candidate in "$here/../build/release/cli/varnesk-cli" "$here/../build-cli/cli/varnesk-cli"; do
        if [ -x "$candidate" ]; then cli=$candidate; break; fi
    done
fi
if [ -z "$cli" ] || [ ! -x "$cli" ]; then
    echo "sieve-rate.sh: varnesk-cli not found; build it or pass --cli PATH" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sieve-rate.XXXXXX")
trap 'rm -rf "$work"' EXIT

printf '%-4s %-24s %-18s %14s %12s %10s\n' n "b range" "p from" "primes/s" "P/day" "wall s"
for row in "${rows[@]}"; do
    IFS=: read -r n bmin bmax start <<<"$row"
    exponent=$((1 << n))
    end=$((start + range))

    { printf 'ABC $a^$b+1 // %s\n' "$start"; seq "$bmin" 2 "$bmax" | sed "s/\$/ $exponent/"; } >"$work/in.txt"
    rm -f "$work/out.txt" "$work/factors.txt"

    t0=$(date +%s.%N)
    if ! "$cli" resume --input "$work/in.txt" --output "$work/out.txt" --factors "$work/factors.txt" \
        --start-p "$start" --end-p "$end" --tick-seconds 1 --kernel "$kernel" -q 2>"$work/err.txt"; then
        echo "sieve-rate.sh: varnesk-cli failed for row $row:" >&2
        cat "$work/err.txt" >&2
        exit 1
    fi
    t1=$(date +%s.%N)

    # "Average from P a to P b over T s: X primes/s, Y P/day"
    line=$(grep '^Average from P ' "$work/err.txt" || true)
    if [ -z "$line" ]; then
        echo "sieve-rate.sh: row $row ended before two progress records; use a larger --range" >&2
        exit 1
    fi
    primes=$(sed -E 's/.*: ([^ ]+) primes\/s.*/\1/' <<<"$line")
    perday=$(sed -E 's/.*, ([^ ]+) P\/day.*/\1/' <<<"$line")
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
    printf '%-4s %-24s %-18s %14s %12s %10s\n' "$n" "[$bmin, $bmax]" "$start" "$primes" "$perday" "$wall"
    rm -f "$work/in.txt" "$work/out.txt"
done
