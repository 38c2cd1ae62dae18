#!/usr/bin/env bash
# Kills a sieve and a packed K build with SIGKILL at random moments and
# resumes them each time; the end result must be that of one run that was
# never interrupted.
#
# Sieve: saves at every progress report (--save-minutes 0, a tick of 0.05 s).
# Most runs are killed at a random moment just after their saves have passed
# the next of twelve points spread over the p range, so that the kills are
# as many on any machine, however fast or loaded; now and then one is killed
# at a random moment soon after its start, saved or not.
# After each kill the candidate file must be absent (a new sieve before its
# first save) or parse (a header, then "b N" lines): never cut or empty. At the end the candidate file equals,
# byte for byte, that of an uninterrupted run to the same end P, the factor
# lines form the same set (a kill repeats the lines written since the last
# save) and `varnesk-cli verify` proves every one of them.
#
# Background saves: a bigger file, killed again and again while saves of it
# are being written beside the sieve; each kill leaves the last whole file.
# The killed runs sieve past their last save: verify holds the lines found
# there, and a run past the last of them leaves no line beyond the file.
#
# Packed K build: killed at random moments, stopped cleanly now and then,
# extended each time; its values equal those of an uninterrupted build up to
# the shorter of the two (no gap, no repeat).
#
# Usage: crash_test.sh BUILD_DIR [SEED]
set -euo pipefail

build=${1:?usage: crash_test.sh BUILD_DIR [SEED]}
cli=$build/cli/varnesk-cli
pkv=$build/tests/tools/pkk_values
for tool in "$cli" "$pkv"; do
    [ -x "$tool" ] || { echo "crash_test: $tool is missing (build first)" >&2; exit 1; }
done
seed=${2:-$(( $(date +%s) % 32768 ))}
RANDOM=$seed
work=$(mktemp -d "${TMPDIR:-/tmp}/varnesk-crash.XXXXXX")
pid=
cleanup() {
    if [ -n "$pid" ]; then kill -9 "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
echo "crash_test: seed $seed (rerun with: $0 $build $seed)"

fail() {
    echo "crash_test: FAIL: $*" >&2
    exit 1
}
now() { date +%s.%N; }
# A random pause in seconds from $1 to $2 (two decimals).
pause() { awk -v lo="$1" -v hi="$2" -v r="$RANDOM" 'BEGIN { printf "%.2f", lo + (hi - lo) * r / 32767 }'; }
# Waits while process $1 runs until the count of lines of log $2 that hold
# $3 exceeds $4; false when the process ended first. Fails after five
# minutes: a bound for a hung run, not for a slow one.
wait_log() {
    local i c
    for i in $(seq 1 15000); do
        c=$(grep -c -- "$3" "$2" 2>/dev/null || true)
        [ "${c:-0}" -gt "$4" ] && return 0
        kill -0 "$1" 2>/dev/null || return 1
        sleep 0.02
    done
    fail "waited five minutes in vain for '$3' in $2"
}

# A candidate file as a save leaves it: the header, then "b N" lines, each
# ended by a newline.
check_candidates() {
    local file=$1 exponent=$2
    [ -s "$file" ] || return 1
    [ "$(tail -c 1 "$file" | od -An -c | tr -d ' ')" = '\n' ] || return 1
    awk -v n="$exponent" '
        NR == 1 { if ($0 !~ /^ABC \$a\^\$b\+1 \/\/ [0-9]+$/) exit 1; next }
        { if ($0 !~ "^[0-9]+ " n "$") exit 1 }
    ' "$file"
}
header_p() { head -n 1 "$1" | awk '{ print $NF }'; }
# The largest p of the factor lines of file $1 (0 without one).
last_factor_p() { grep -E '^[0-9]+ \| ' "$1" | cut -d' ' -f1 | sort -n | tail -n 1 | grep . || echo 0; }
factor_set() { grep -E '^[0-9]+ \| [0-9]+\^[0-9]+\+1$' "$1" | sort -u; }

# ------------------------------------------------------------------ sieve

N=1024
BMAX=300000
ENDP=300000000000
TICK=0.05
common=(--save-minutes 0 --tick-seconds "$TICK" -q)

start=$(now)
"$cli" sieve -N $N --bmin 2 --bmax $BMAX --factors "$work/whole-f" --output "$work/whole-o" \
    --end-p $ENDP "${common[@]}" 2>"$work/whole.log" || fail "uninterrupted sieve: exit $?"
whole=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
grep -q 'Terminal P value reached.' "$work/whole.log" || fail "uninterrupted sieve did not reach its end P"
echo "crash_test: uninterrupted sieve to P $ENDP took $whole s"

# The random part of a kill's moment: a fiftieth of the uninterrupted run.
# Only where a kill lands depends on it, never how many there are.
short=$(awk -v t="$whole" 'BEGIN { printf "%.2f", t / 50 }')
targets=12
f=$work/f
o=$work/o
log=$work/log
kills=0
runs=0
last_p=0
next=1
finished=0
# Waits while process $1 runs until the candidate file's resume point is $2
# or more; false when the process ended first.
wait_saved_past() {
    local i p
    for i in $(seq 1 15000); do
        p=$(header_p "$o" 2>/dev/null || true)
        [ "${p:-0}" -ge "$2" ] && return 0
        kill -0 "$1" 2>/dev/null || return 1
        sleep 0.02
    done
    fail "waited five minutes in vain for a save past P $2"
}
while [ $finished -eq 0 ]; do
    if ! grep -q 'p value written to' "$log" 2>/dev/null; then
        # Nothing saved yet: start again from scratch, as a user would.
        last_p=0
        "$cli" sieve -N $N --bmin 2 --bmax $BMAX --factors "$f" --output "$o" --end-p $ENDP --force \
            "${common[@]}" --log "$log" 2>/dev/null &
    else
        "$cli" resume --input "$o" --output "$o" --factors "$f" --end-p $ENDP "${common[@]}" --log "$log" \
            2>/dev/null &
    fi
    pid=$!
    runs=$((runs + 1))
    # After the last point, or past 40 kills, the run is left to finish.
    if [ $next -le $targets ] && [ $kills -lt 40 ]; then
        if [ $((RANDOM % 4)) -eq 0 ]; then
            sleep "$(pause 0 "$short")"
        elif wait_saved_past "$pid" $((ENDP / (targets + 1) * next)); then
            next=$((next + 1))
            sleep "$(pause 0 "$short")"
        fi
        kill -9 "$pid" 2>/dev/null || true
    fi
    rc=0
    wait "$pid" 2>/dev/null || rc=$?
    pid=
    # 137: killed; 0: the run had reached its end P before the kill.
    if [ $rc -eq 137 ]; then
        kills=$((kills + 1))
        # Absent only before a new sieve's first save; never empty or cut.
        if [ -e "$o" ] || grep -q 'p value written to' "$log" 2>/dev/null; then
            check_candidates "$o" $N || fail "after kill $kills the candidate file is cut or empty: $(wc -c <"$o") bytes"
            p=$(header_p "$o")
            [ "$p" -ge "$last_p" ] || fail "after kill $kills the resume point went back from $last_p to $p"
            last_p=$p
        fi
    else
        [ $rc -eq 0 ] || fail "a run ended with exit status $rc"
        finished=1
    fi
done
echo "crash_test: sieve killed $kills times in $runs runs, resume points up to $last_p"
[ $kills -ge 8 ] || fail "only $kills kills; the run was too short"
grep -q 'Terminal P value reached.' "$log" || fail "the resumed sieve did not reach its end P"
if grep -E '^(Unable to|Consistency error|Factor )' "$log" >/dev/null; then
    fail "a failure was logged: $(grep -E '^(Unable to|Consistency error|Factor )' "$log" | head -n 1)"
fi
cmp -s "$o" "$work/whole-o" || fail "the candidate file differs from the uninterrupted run's"
[ ! -e "$o.tmp" ] || fail "a temporary file of a save was left behind"
factor_set "$f" >"$work/set"
factor_set "$work/whole-f" >"$work/whole-set"
cmp -s "$work/set" "$work/whole-set" ||
    fail "factor lines differ: $(comm -3 "$work/set" "$work/whole-set" | head -n 3 | tr '\n' ' ')"
lines=$(grep -cE '^[0-9]+ \| ' "$f" || true)
echo "crash_test: candidate files equal; $(wc -l <"$work/set") distinct factor lines ($lines with repeats)"
"$cli" verify --factors "$f" --candidates "$o" >"$work/verify.out" ||
    fail "verify: $(grep -v '^  N =' "$work/verify.out" | head -n 5)"
grep -E "^All [0-9]+ factor lines hold.$" "$work/verify.out"

# ------------------------------------------------------------------ background saves

# Two million bases: a save takes long enough that kills land while one is
# being written beside the sieve (its temporary file is then left behind,
# for the next run to remove);
# the kills go on past 24 until one has, since on a fast disk a save is
# short.
# Each kill must leave the last whole file in place: a header and ascending
# "b N" lines, never part of the new one, and no resume point below the
# last. At the end every factor line is proved against the file.
BN=64
BBMAX=4000000
bo=$work/bo
bf=$work/bf
blog=$work/blog
"$cli" sieve -N $BN --bmin 2 --bmax $BBMAX --factors "$bf" --output "$bo" --end-p 20000 "${common[@]}" \
    --log "$blog" 2>/dev/null || fail "background saves: the first run: exit $?"
check_candidates "$bo" $BN || fail "background saves: the first run's file is not whole"
b_last=$(header_p "$bo")
b_kills=0
in_save=0
b_temps=
for cycle in $(seq 1 80); do
    [ "$cycle" -gt 24 ] && [ "$in_save" -ge 1 ] && break
    started=$(grep -c 'Wide math algorithm selected.' "$blog" || true)
    "$cli" resume --input "$bo" --output "$bo" --factors "$bf" --end-p 100000000000000 "${common[@]}" \
        --log "$blog" 2>/dev/null &
    pid=$!
    # A random moment once the sieve runs, however long reading the file took.
    wait_log "$pid" "$blog" 'Wide math algorithm selected.' "$started" || fail "background saves: a run ended early"
    sleep "$(pause 0.05 0.9)"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
    b_kills=$((b_kills + 1))
    # A new temporary file beside the output: the kill came during a save.
    # It stays until the next run's start removes it.
    for t in "$bo".varnesk-tmp-??????; do
        [ -e "$t" ] || continue
        case " $b_temps " in *" $t "*) continue ;; esac
        in_save=$((in_save + 1))
        b_temps="$b_temps $t"
    done
    check_candidates "$bo" $BN || fail "background saves: after kill $b_kills the file is cut or empty"
    sort -n -c -u <(tail -n +2 "$bo" | cut -d' ' -f1) 2>/dev/null ||
        fail "background saves: after kill $b_kills the bases are not whole ascending lines"
    p=$(header_p "$bo")
    [ "$p" -ge "$b_last" ] || fail "background saves: after kill $b_kills the resume point went back from $b_last to $p"
    b_last=$p
done
saves=$(grep -c 'p value written to' "$blog" || true)
echo "crash_test: background saves: $b_kills kills, $in_save during a save, $saves saves logged, resume point $b_last"
[ "$in_save" -ge 1 ] || fail "background saves: no kill came during a save"
# The kills' runs sieved on past their last saves; the lines they found
# there hold, their bases still listed, and are counted apart.
b_top=$(last_factor_p "$bf")
"$cli" verify --factors "$bf" --candidates "$bo" >"$work/bverify.out" ||
    fail "background saves: verify after the kills: $(grep -v '^  N =' "$work/bverify.out" | head -n 5)"
if [ "$b_top" -gt "$b_last" ]; then
    grep -q "^[0-9]* factor lines lie beyond the candidate file's resume point $b_last: found after its last save; the next resume removes their bases$" \
        "$work/bverify.out" || fail "background saves: verify does not count the lines beyond P $b_last: $(cat "$work/bverify.out")"
fi
# A run that ends normally leaves no temporary file, its own or the kills'.
# It goes past the last factor line, so that every line is then compared.
b_end=$(( (b_top > b_last ? b_top : b_last) + 1000000 ))
"$cli" resume --input "$bo" --output "$bo" --factors "$bf" --end-p "$b_end" "${common[@]}" \
    --log "$blog" 2>/dev/null || fail "background saves: the run after the kills: exit $?"
for t in "$bo".varnesk-tmp-??????; do
    [ -e "$t" ] && fail "background saves: $t is still there after a whole run"
done
"$cli" verify --factors "$bf" --candidates "$bo" >"$work/bverify.out" ||
    fail "background saves: verify: $(grep -v '^  N =' "$work/bverify.out" | head -n 5)"
! grep -q 'beyond' "$work/bverify.out" ||
    fail "background saves: lines beyond the resume point $(header_p "$bo") after a run to P $b_end"
echo "crash_test: background saves: the kills left factor lines up to P $b_top; all hold, also after a run to P $b_end"

# ------------------------------------------------------------------ packed K

PN=8192
Pn=13
mkdir -p "$work/whole-pk" "$work/pk"
"$cli" build-packed-k --dir "$work/whole-pk" -N $PN --tick-seconds "$TICK" -q 2>/dev/null &
pid=$!
sleep 3
kill -INT "$pid"
wait "$pid" || fail "uninterrupted packed K build: exit $?"
pid=
"$pkv" "$work/whole-pk" $Pn >"$work/whole-k" || fail "the uninterrupted build's files do not read"

pk_kills=0
stops=0
for cycle in $(seq 1 14); do
    started=$(grep -c '^Using exponent' "$work/pklog" 2>/dev/null || true)
    "$cli" build-packed-k --dir "$work/pk" -N $PN --tick-seconds "$TICK" -q --log "$work/pklog" 2>/dev/null &
    pid=$!
    # A random moment once the build runs.
    wait_log "$pid" "$work/pklog" '^Using exponent' "${started:-0}" || true
    sleep "$(pause 0.1 0.5)"
    # Every third run is stopped the way a user stops it, which stores the
    # header; the others are killed and lose what they appended.
    if [ $((cycle % 3)) -eq 0 ]; then
        kill -INT "$pid"
        wait "$pid" || fail "packed K build stopped in cycle $cycle: exit $?"
        stops=$((stops + 1))
    else
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        pk_kills=$((pk_kills + 1))
    fi
    pid=
    "$pkv" "$work/pk" $Pn >"$work/k" || fail "after cycle $cycle the sequence does not read"
done
count=$(wc -l <"$work/k")
whole_count=$(wc -l <"$work/whole-k")
[ "$count" -gt 1 ] || fail "the interrupted builds stored no values"
shorter=$((count < whole_count ? count : whole_count))
cmp -s <(head -n "$shorter" "$work/k") <(head -n "$shorter" "$work/whole-k") ||
    fail "packed K values differ from the uninterrupted build's within the first $shorter"
echo "crash_test: packed K build killed $pk_kills times and stopped $stops times; $count values," \
    "the first $shorter equal to the uninterrupted build's $whole_count"
echo "crash_test: OK"
