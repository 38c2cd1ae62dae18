#!/usr/bin/env bash
# Stops that come from outside the program, as the README gives them:
# timeout(1) with SIGINT and with SIGTERM (it signals the program, then its
# whole process group: two signals within milliseconds, one stop), a
# scheduler's SIGTERM followed by SIGKILL after a delay, --time-limit and
# --stop-file. Each must end with a save: the candidate file whole and past
# where the run began, the summary naming what stopped it, every factor line
# proven; what timeout -s INT saved resumes to the files of one run.
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
cli=$build/cli/varnesk-cli
[ -x "$cli" ] || { echo "stop_test: $cli is missing (build first)" >&2; exit 1; }
command -v timeout >/dev/null || { echo "stop_test: SKIPPED: timeout(1) is missing"; exit 0; }
work=$(mktemp -d "${TMPDIR:-/tmp}/stop_test.XXXXXX")
pid=
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

fail() { echo "stop_test: FAILED: $*" >&2; exit 1; }
header_p() { head -n 1 "$1" | sed 's|.*// ||'; }
# The candidate file as a save leaves it: the header, then "b N" lines.
whole() {
    [ -s "$1" ] && [ "$(tail -c 1 "$1" | od -An -c | tr -d ' ')" = '\n' ] &&
        awk 'NR == 1 { if ($0 !~ /^ABC \$a\^\$b\+1 \/\/ [0-9]+$/) exit 1; next } { if ($0 !~ /^[0-9]+ 1024$/) exit 1 }' "$1"
}

range=(-N 1024 --bmin 2 --bmax 200000)
run=(--threads 1 --tick-seconds 0.2)
far=3000000000000000  # days away: only a stop ends these runs

"$cli" sieve "${range[@]}" --factors base.f --output base.c --end-p 1000000000 -q 2>/dev/null
start=$(header_p base.c)

# A stopped run: whole, saved past its start, named in the summary, its
# factor lines proven.
stopped_ok() {  # name reason
    local name=$1 reason=$2 p
    whole "$name.c" || fail "$name: the candidate file is not whole"
    p=$(header_p "$name.c")
    [ "$p" -gt "$start" ] || fail "$name: nothing was saved (P $p)"
    grep -qx "Stopped by $reason." "$name.err" || fail "$name: the summary does not say 'Stopped by $reason.': $(cat "$name.err")"
    grep -q '^Stop request received. ' "$name.err" || fail "$name: no clean stop: $(cat "$name.err")"
    "$cli" verify --factors "$name.f" --candidates "$name.c" >/dev/null 2>&1 || fail "$name: verify refuses the files"
    echo "stop_test: $name stopped at P $p with a save"
}

# Waits until the job of process $1 has begun (its log in $2), for at most
# five minutes: a bound for a hung start, not for a slow one.
began() {
    local i
    for i in $(seq 1 3000); do
        grep -q '^Wide math algorithm selected. ' "$2" 2>/dev/null && return 0
        kill -0 "$1" 2>/dev/null || fail "the job of $2 ended before it began: $(cat "$2")"
        sleep 0.1
    done
    fail "the job of $2 did not begin within five minutes"
}
# timeout(1) with signal $1, its standard error to $2, then timeout's
# options (none: "-"), then the command. A signal that comes before the job
# began stops the program with nothing touched, which says nothing about a
# running job: on a machine so loaded that the job's start takes longer
# than the timeout, the timeout doubles, up to a minute. Sets rc.
timeout_job() {
    local sig=$1 err=$2 seconds=1
    local -a options=()
    [ "$3" = - ] || options=("$3")
    shift 3
    for _ in 1 2 3 4 5 6 7; do
        set +e
        timeout "${options[@]}" -s "$sig" "$seconds" "$@" 2>"$err"
        rc=$?
        set -e
        grep -q ' before the job began; no file was touched.$' "$err" || return 0
        seconds=$((seconds * 2))
    done
    fail "timeout -s $sig: the job did not begin within a minute: $(cat "$err")"
}

# timeout -s INT and timeout (SIGTERM): the program's status comes through
# with --preserve-status; without it timeout exits 124.
for sig in INT TERM; do
    cp base.c "t$sig.c"
    cp base.f "t$sig.f"
    timeout_job "$sig" "t$sig.err" --preserve-status "$cli" resume --input "t$sig.c" --output "t$sig.c" --factors "t$sig.f" --end-p "$far" "${run[@]}"
    [ "$rc" -eq 0 ] || fail "timeout -s $sig: exit $rc: $(cat "t$sig.err")"
    stopped_ok "t$sig" "SIG$sig"
done
# What timeout -s INT saved goes on to the very files of one run.
check=$(( $(header_p tINT.c) + 10000000000 ))
cp base.c one.c
cp base.f one.f
"$cli" resume --input one.c --output one.c --factors one.f --end-p "$check" -q 2>/dev/null
"$cli" resume --input tINT.c --output tINT.c --factors tINT.f --end-p "$check" -q 2>/dev/null ||
    fail "the file saved under timeout -s INT does not resume"
cmp -s one.c tINT.c || fail "timeout -s INT, then resume: the candidate file differs from one run"
[ "$(grep ' | ' tINT.f)" = "$(grep ' | ' one.f)" ] || fail "timeout -s INT, then resume: factor lines differ from one run"

# A new sieve under timeout -s INT saves too; timeout's own status is 124.
timeout_job INT new.err - "$cli" sieve "${range[@]}" "${run[@]}" --factors new.f --output new.c --end-p "$far"
[ "$rc" -eq 124 ] || fail "timeout -s INT of a new sieve: timeout exited $rc"
whole new.c || fail "timeout -s INT of a new sieve: the candidate file is not whole"
grep -qx 'Stopped by SIGINT.' new.err || fail "timeout -s INT of a new sieve: $(cat new.err)"
echo "stop_test: a new sieve under timeout -s INT saved at P $(header_p new.c)"

# A scheduler: SIGTERM, then SIGKILL after a grace time. The program must
# have saved and ended before the SIGKILL.
cp base.c sched.c
cp base.f sched.f
"$cli" resume --input sched.c --output sched.c --factors sched.f --end-p "$far" "${run[@]}" 2>sched.err &
pid=$!
began "$pid" sched.err
sleep 1
kill -TERM "$pid"
for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -KILL "$pid" 2>/dev/null; then fail "the program was still running 5 s after SIGTERM"; fi
wait "$pid" || fail "the program exited $? after SIGTERM"
pid=
stopped_ok sched SIGTERM

# A budget of time, and a stop file: no signal at all.
cp base.c limit.c
cp base.f limit.f
"$cli" resume --input limit.c --output limit.c --factors limit.f --end-p "$far" "${run[@]}" --time-limit 1s \
    2>limit.err || fail "--time-limit: exit $?: $(cat limit.err)"
stopped_ok limit "the time limit of 00:00:01"

cp base.c file.c
cp base.f file.f
"$cli" resume --input file.c --output file.c --factors file.f --end-p "$far" "${run[@]}" --stop-file STOP \
    2>file.err &
pid=$!
# Not before the job began: a stop file that is there at the start refuses it.
began "$pid" file.err
sleep 1
touch STOP
wait "$pid" || fail "--stop-file: exit $?: $(cat file.err)"
pid=
stopped_ok file "the stop file STOP"
