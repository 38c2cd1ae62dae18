#!/usr/bin/env bash
# Candidate files at big base ranges, in one run on one disk:
#   - the disk's own write rate (dd with conv=fsync), then a save and a load
#     of a candidate file of each size (bench_files: every even b from 2,
#     N = 2^22), in MB/s beside it;
#   - how long a resume of the largest size takes to start sieving (its
#     first progress record) and to end after one prime (its final save
#     included), with the reading lines it shows meanwhile;
#   - P/day of that resume over S seconds (default 180) with a save every minute,
#     and with none before the end: the saves are written beside the sieve.
#
# Usage: bench/file-rate.sh [--build DIR] [--dir FOLDER] [--sizes "1e7 1e8"] [--seconds S]
#                           [--pairs K] [--skip-files]
# --pairs K runs the two P/day runs K times in turn (other work on the
# machine then weighs on both alike); --skip-files leaves out dd and the
# save and load rates.
# The folder (default: a new one in $TMPDIR) needs room for two files of the
# largest size (about 1.7 GB each at 10^8 bases) and a large factor file.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build/release
base_dir=${TMPDIR:-/tmp}
sizes="10000000 100000000"
seconds=180
pairs=1
skip_files=0
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$2; shift 2 ;;
    --dir) base_dir=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --skip-files) skip_files=1; shift ;;
    *) echo "usage: $0 [--build DIR] [--dir FOLDER] [--sizes \"1e7 1e8\"] [--seconds S] [--pairs K] [--skip-files]" >&2
       exit 2 ;;
    esac
done
cli=$build/cli/varnesk-cli
files=$build/bench/bench_files
for tool in "$cli" "$files"; do
    [ -x "$tool" ] || { echo "file-rate: $tool is missing (build the release preset first)" >&2; exit 1; }
done
work=$(mktemp -d "$base_dir/varnesk-file-rate.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Folder: $work on $(df --output=source,fstype "$work" | tail -n 1 | tr -s ' ')"

as_int() { awk -v v="$1" 'BEGIN { printf "%d", v }'; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

largest=0
for size in $sizes; do
    bases=$(as_int "$size")
    [ "$bases" -gt "$largest" ] && largest=$bases
    [ $skip_files = 1 ] && continue
    # About 16 bytes a line at these sizes: dd writes as much, synced.
    mb=$(( bases * 17 / 1000000 + 1 ))
    dd_rate=$(dd if=/dev/zero of="$work/dd.bin" bs=1M count="$mb" conv=fsync 2>&1 | tail -n 1 |
        awk -F', ' '{ print $NF }')
    rm -f "$work/dd.bin"
    echo
    echo "== $bases bases; dd of $mb MB with conv=fsync: $dd_rate"
    "$files" "$bases" "$work"
done

# A resume of the largest size: the file that a first strike saves.
bases=$largest
N=4194304
echo
echo "== resume of $bases bases (N = $N)"
t0=$(now)
"$cli" sieve -N $N --bmin 2 --bmax $((2 * bases)) --factors "$work/f" --output "$work/o" --end-p 1000 \
    --tick-seconds 1 -q 2>"$work/first.err" || { cat "$work/first.err" >&2; exit 1; }
echo "new sieve, first prime and save: $(elapsed "$t0" "$(now)") s, file $(( $(stat -c %s "$work/o") / 1000000 )) MB"
resume_p=$(head -n 1 "$work/o" | awk '{ print $NF }')

t0=$(now)
first=
while IFS= read -r line; do
    t=$(now)
    case $line in
    reading*) echo "  $(elapsed "$t0" "$t") s: $line" ;;
    N=*) [ -z "$first" ] && first=$(elapsed "$t0" "$t") ;;
    esac
done < <("$cli" resume --input "$work/o" --output "$work/o2" --factors "$work/f" --end-p $((resume_p + 1)) \
    --tick-seconds 1 2>&1 >/dev/null)
echo "resume: sieving after ${first:-?} s (first progress record), ended after one prime and its save after $(elapsed "$t0" "$(now)") s"

# P/day with and without saves, from the same file and p.
for save in $(for _ in $(seq 1 "$pairs"); do echo 1 100000; done); do
    rm -f "$work/o3"
    cp "$work/f" "$work/f3"
    "$cli" resume --input "$work/o" --output "$work/o3" --factors "$work/f3" --save-minutes $save \
        --time-limit "${seconds}s" -q 2>"$work/run.err" || { cat "$work/run.err" >&2; exit 1; }
    rate=$(sed -n 's/^Average .*: \(.*\) primes\/s, \(.*\) P\/day$/\1 primes\/s, \2 P\/day/p' "$work/run.err")
    saved=$(grep -c 'p value written to' "$work/run.err" || true)
    label=$([ $save = 1 ] && echo "a save every minute" || echo "no save before the end")
    echo "${seconds} s, $label: $rate ($saved saves, the final one included)"
done
