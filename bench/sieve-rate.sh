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
# Each row runs once per configuration: by default the scalar kernels on one
# thread, then every vector path on every core and on one (a path the CPU
# lacks is skipped, with a line that says so); the ratio to the first run
# and each run's peak memory follow.
#
# With --mpi R every run is varnesk-mpi under mpirun with R ranks (T is
# then each rank's threads) and its line on blocks, bytes and rank 0's time
# per block follows the row.
#
# --device D (repeatable: cpu, gpu, gpu:P:D, auto; default cpu alone) runs
# every configuration once per device; with a device, its share of the
# range and its line on blocks, batches and launches follow the row.
#
# Usage: bench/sieve-rate.sh [--cli PATH] [--mpi R] [--range R] [--configs "K:T ..."]
#                            [--device D ...] [n:bmin:bmax:p[:range] ...]
# K is a kernel (scalar, avx2, avx512, auto), T a thread count or "all".
# p is decimal and may go up to 2^96 (the sieve's end); a row's own range
# (decimal) replaces --range for it. Default rows: 6, 10 and 13 with b in
# [2, 10^6] from 10^15 (ranges 10^10, 10^11 and 10^12: a few million primes
# each), 6 and 10 from 2^60 (ranges 10^11 and 10^12), 16:2:1000000:10^15,
# 22:2:100000000:10^15 and 16:2:1000000 from 2^60, 2^64 and 2^80, range
# 10^12.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${VARNESK_CLI:-}
range=1000000000000
rows=()
configs="scalar:1 avx2:1 avx2:all avx512:1 avx512:all"
launch=()
devices=()

while [ $# -gt 0 ]; do
    case $1 in
    --cli) cli=$2; shift 2 ;;
    --range) range=$2; shift 2 ;;
    --mpi) launch=(mpirun --oversubscribe -n "$2"); shift 2 ;;
    --configs) configs=$2; shift 2 ;;
    --device) devices+=("$2"); shift 2 ;;
    -h | --help) sed -n '2,32p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *:*:*:*) rows+=("$1"); shift ;;
    *) echo "sieve-rate.sh: unexpected argument '$1'" >&2; exit 2 ;;
    esac
done
if [ ${#rows[@]} -eq 0 ]; then
    rows=("6:2:1000000:1000000000000000:10000000000" "10:2:1000000:1000000000000000:100000000000"
          "13:2:1000000:1000000000000000:1000000000000"
          "6:2:1000000:1152921504606846976:100000000000" "10:2:1000000:1152921504606846976:1000000000000"
          "16:2:1000000:1000000000000000" "22:2:100000000:1000000000000000" "16:2:1000000:1152921504606846976"
          "16:2:1000000:18446744073709551616" "16:2:1000000:1208925819614629174706176")
fi

# a + b for decimal strings of any length (p goes beyond bash's 64 bits).
dec_add() {
    local a=$1 b=$2 sum="" carry=0 da db d
    while [ -n "$a" ] || [ -n "$b" ] || [ "$carry" -ne 0 ]; do
        if [ ${#a} -gt 9 ]; then da=${a:${#a}-9}; a=${a:0:${#a}-9}; else da=$a; a=""; fi
        if [ ${#b} -gt 9 ]; then db=${b:${#b}-9}; b=${b:0:${#b}-9}; else db=$b; b=""; fi
        d=$((10#${da:-0} + 10#${db:-0} + carry))
        carry=$((d / 1000000000))
        d=$((d % 1000000000))
        if [ -n "$a" ] || [ -n "$b" ] || [ "$carry" -ne 0 ]; then sum=$(printf '%09d' "$d")$sum; else sum=$d$sum; fi
    done
    echo "${sum:-0}"
}
[ ${#devices[@]} -gt 0 ] || devices=(cpu)
if [ -z "$cli" ]; then
    program=cli/varnesk-cli
    [ ${#launch[@]} -gt 0 ] && program=mpi/varnesk-mpi
    for candidate in "$here/../build/release/$program"; do
        if [ -x "$candidate" ]; then cli=$candidate; break; fi
    done
fi
if [ -z "$cli" ] || [ ! -x "$cli" ]; then
    echo "sieve-rate.sh: varnesk-cli not found; build it or pass --cli PATH" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sieve-rate.XXXXXX")
trap 'rm -rf "$work"' EXIT

cores=$(nproc)
printf '%-4s %-22s %-20s %-24s %12s %10s %9s %9s\n' n "b range" "p from" "device/kernels/threads" "primes/s" \
    "P/day" "peak MB" "ratio"
for row in "${rows[@]}"; do
    IFS=: read -r n bmin bmax start rowrange <<<"$row"
    exponent=$((1 << n))
    case $start in *[!0-9]* | "") echo "sieve-rate.sh: p '$start' of row $row is not a decimal number" >&2; exit 2 ;; esac
    rowrange=${rowrange:-$range}
    case $rowrange in *[!0-9]* | "") echo "sieve-rate.sh: range '$rowrange' of row $row is not a decimal number" >&2; exit 2 ;; esac
    end=$(dec_add "$start" "$rowrange")

    { printf 'ABC $a^$b+1 // %s\n' "$start"; seq "$bmin" 2 "$bmax" | sed "s/\$/ $exponent/"; } >"$work/in.txt"
    base=""
    for device in "${devices[@]}"; do
    for config in $configs; do
        IFS=: read -r kernel threads <<<"$config"
        [ "$threads" = all ] && threads=$cores
        rm -f "$work/out.txt" "$work/factors.txt"
        # The kernel check comes before any file is looked at.
        if VARNESK_KERNEL=$kernel "$cli" resume --input "$work/none" --output "$work/none" --factors "$work/none" 2>&1 |
            grep -q "kernel '$kernel' is"; then
            printf '%-4s %-22s %-20s %-24s %s\n' "$n" "[$bmin, $bmax]" "$start" "$device/$kernel/$threads" \
                "skipped: not on this CPU"
            continue
        fi
        if ! /usr/bin/time -f '%M' -o "$work/mem.txt" "${launch[@]}" "$cli" resume --input "$work/in.txt" --output "$work/out.txt" \
            --factors "$work/factors.txt" --start-p "$start" --end-p "$end" --tick-seconds 0.25 \
            --kernel "$kernel" --threads "$threads" --device "$device" -q 2>"$work/err.txt"; then
            echo "sieve-rate.sh: varnesk-cli failed for row $row:" >&2
            cat "$work/err.txt" >&2
            exit 1
        fi
        # "Average from P a to P b over T s: X primes/s, Y P/day"
        line=$(grep '^Average from P ' "$work/err.txt" || true)
        if [ -z "$line" ]; then
            echo "sieve-rate.sh: row $row ended before two progress records; use a larger --range" >&2
            exit 1
        fi
        primes=$(sed -E 's/.*: ([^ ]+) primes\/s.*/\1/' <<<"$line")
        perday=$(sed -E 's/.*, ([^ ]+) P\/day.*/\1/' <<<"$line")
        peak=$(awk '{ printf "%.0f", $1 / 1024 }' "$work/mem.txt")
        ratio=-
        if [ -n "$base" ]; then ratio=$(awk -v a="$perday" -v b="$base" 'BEGIN { printf "%.1fx", a / b }'); fi
        base=${base:-$perday}
        printf '%-4s %-22s %-20s %-24s %12s %10s %9s %9s\n' "$n" "[$bmin, $bmax]" "$start" "$device/$kernel/$threads" \
            "$primes" "$perday" "$peak" "$ratio"
        grep -E '^(varnesk-mpi: |Share: |The device )' "$work/err.txt" | sed 's/^/     /' || true
    done
    done
    rm -f "$work/in.txt" "$work/out.txt"
done
