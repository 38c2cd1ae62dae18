#!/usr/bin/env bash
# varnesk-mpi against varnesk-cli on the same jobs: any number of ranks
# writes the files of one varnesk-cli run byte for byte (the range record
# beside the factor file included); a stop by --stop-file and a resume under
# another rank count equal one run, and so does a stop by SIGTERM to mpirun
# (rank 0 saves before mpirun's SIGKILL); a rank killed with SIGKILL leaves a
# candidate file that resumes to the same result; a rank's bad block stops the
# job with its message and files that resume to one run's. (Not SIGUSR1 to mpirun:
# where hwloc loads an OpenCL driver built on LLVM, such as pocl, LLVM takes
# SIGUSR1 over in mpirun and it is never passed on.)
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
mpi=$build/mpi/varnesk-mpi
cli=$build/cli/varnesk-cli
if [ ! -x "$mpi" ] || ! command -v mpirun >/dev/null; then
    echo "mpi_test: SKIPPED: varnesk-mpi or mpirun is missing (no MPI library was found at build time)"
    exit 0
fi
# CI runs as root; the ranks of a test outnumber the cores.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_rmaps_base_oversubscribe=1
work=$(mktemp -d "${TMPDIR:-/tmp}/mpi_test.XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cd "$work"

fail() { echo "mpi_test: FAILED: $*" >&2; exit 1; }
# A killed job's lines since its last save come again from the resume.
factor_lines() { grep ' | ' "$1" | awk '!seen[$0]++'; }
job=(-N 1024 --bmin 2 --bmax 200000 --threads 1 -q)
end=20000000000

"$cli" sieve "${job[@]}" --factors one.f --output one.c --end-p "$end" 2>/dev/null
for n in 1 3 4; do
    mpirun -n "$n" "$mpi" sieve "${job[@]}" --factors "n$n.f" --output "n$n.c" --end-p "$end" 2>"n$n.err" ||
        fail "-n $n exited $?: $(cat "n$n.err")"
    cmp -s one.c "n$n.c" || fail "-n $n: candidate file differs from varnesk-cli's"
    cmp -s one.f "n$n.f" || fail "-n $n: factor file differs from varnesk-cli's"
    cmp -s one.f.range "n$n.f.range" || fail "-n $n: range record differs from varnesk-cli's"
done
echo "mpi_test: -n 1, 3 and 4 write varnesk-cli's files"

# A rank's failures reach rank 0 (VARNESK_MPI_TEST_FAULT, the tests' hook,
# has rank 1 fail): a block that does not read stops the job through its
# failure path, the message in its log and files that resume to one run's;
# a rank that cannot serve the job leaves its blocks to rank 0's threads.
if VARNESK_MPI_TEST_FAULT=garbled mpirun -n 2 "$mpi" sieve "${job[@]}" --factors bad.f --output bad.c \
    --end-p "$end" 2>bad.err; then
    fail "a rank's block that does not read did not stop the job"
fi
grep -q '^MPI rank 1 sent a block for k from [0-9]* to [0-9]* that does not read: its results cannot be trusted; stopping\.' \
    bad.err || fail "no message of the rank's bad block: $(cat bad.err)"
grep -q '^Stop request received\.' bad.err || fail "the job did not stop through its stop path: $(cat bad.err)"
if grep -q 'MPI_ABORT' bad.err; then fail "the job was ended by MPI_Abort: $(cat bad.err)"; fi
"$cli" resume --input bad.c --output bad.c --factors bad.f --end-p "$end" --threads 1 -q 2>/dev/null ||
    fail "the files left by a rank's bad block do not resume"
cmp -s one.c bad.c || fail "after a rank's bad block: candidate file differs from varnesk-cli's"
[ "$(factor_lines bad.f)" = "$(factor_lines one.f)" ] || fail "after a rank's bad block: factor lines differ"
VARNESK_MPI_TEST_FAULT=refuses mpirun -n 3 "$mpi" sieve "${job[@]}" --factors ref.f --output ref.c --end-p "$end" \
    2>ref.err || fail "with a rank that refuses the job, exited $?: $(cat ref.err)"
grep -q '^Block producer MPI ranks 1 to 2 failed (rank 1: told to refuse the job by VARNESK_MPI_TEST_FAULT); its blocks go back' \
    ref.err || fail "no line on the rank that refused: $(cat ref.err)"
cmp -s one.c ref.c || fail "with a rank that refuses: candidate file differs from varnesk-cli's"
cmp -s one.f ref.f || fail "with a rank that refuses: factor file differs from varnesk-cli's"
echo "mpi_test: a rank's bad block stops the job with its message and whole files; a refusal leaves it to rank 0"

# Every rank with its own device (OpenCL on the CPU will do) beside its thread.
if "$cli" devices | grep -q '^gpu:0:0 '; then
    VARNESK_CL_CACHE=$work/cl-cache mpirun -n 2 "$mpi" sieve "${job[@]}" --factors dev.f --output dev.c \
        --end-p "$end" --device gpu:0:0 2>dev.err || fail "with devices, exited $?: $(cat dev.err)"
    grep -q 'rank 1: the device .* sieves beside its threads' dev.err || fail "rank 1 took no device: $(cat dev.err)"
    cmp -s one.c dev.c || fail "with devices: candidate file differs from varnesk-cli's"
    cmp -s one.f dev.f || fail "with devices: factor file differs from varnesk-cli's"
    echo "mpi_test: ranks with their own devices write varnesk-cli's files"
    # Standard math gives the other ranks no job: rank 1 must not say that
    # its device sieves, and rank 0 says that the device is not used.
    mkdir pk
    "$cli" build-packed-k --dir pk -N 8192 --tick-seconds 0.1 --stop-file STOPK 2>pk.err &
    pid=$!
    for _ in $(seq 600); do grep -q "b's left" pk.err && break; sleep 0.1; done
    touch STOPK
    wait "$pid" || fail "the packed K build exited $?: $(cat pk.err)"
    mpirun -n 2 "$mpi" sieve -N 8192 --bmin 2 --bmax 2000 --threads 1 -q --factors std.f --output std.c --standard \
        --packed-k pk --end-p "$end" --device gpu:0:0 2>std.err || true
    grep -q 'Standard math runs on the CPU; --device gpu:0:0 is not used.' std.err ||
        fail "standard math with a device: $(cat std.err)"
    if grep -q 'rank 1: the device' std.err; then fail "rank 1 claims its device under standard math"; fi
    echo "mpi_test: under standard math no rank claims a device"
else
    echo "mpi_test: no OpenCL device here; the ranks' devices are not tried"
fi

# Three jobs towards an end P days away, each ended by what it tests: a stop
# file, SIGTERM to mpirun, a rank killed. Each then goes on to one end P,
# taken from the files (past every factor line any of them wrote), and must
# give the files of one varnesk-cli run to that P; so the test asks nothing
# of the sieve's speed.
far=3000000000000000
p_of() { head -1 "$1" | sed 's|.*// ||'; }
last_factor_p() { grep -E '^[0-9]+ \| ' "$1" | cut -d' ' -f1 | sort -n | tail -n 1 | grep . || echo 0; }
# Waits until the job of mpirun $1 has begun (rank 0's log in $2): its
# start, with every rank's look for a device, may take long on a loaded
# machine. Five minutes bound a hung start, not a slow one.
began() {
    for _ in $(seq 3000); do
        grep -q 'Wide math algorithm selected' "$2" && return 0
        kill -0 "$1" 2>/dev/null || fail "the job of $2 ended before it began: $(cat "$2")"
        sleep 0.1
    done
    fail "the job of $2 did not begin within five minutes"
}

# A stop by the stop file, a second into the job.
mpirun -n 3 "$mpi" sieve "${job[@]}" --factors stop.f --output stop.c --end-p "$far" --stop-file STOP 2>stop.err &
pid=$!
began "$pid" stop.err
sleep 1
touch STOP
wait "$pid" || fail "a stop by the stop file exited $?: $(cat stop.err)"
grep -q '^Stopped by the stop file STOP.$' stop.err || fail "the summary does not name the stop file: $(cat stop.err)"
mpirun -n 2 "$mpi" resume --input stop.c --output stop.c --factors stop.f --end-p "$far" --threads 1 -q \
    --stop-file STOP 2>/dev/null && fail "a resume was not refused while its stop file is there"
rm STOP

# SIGTERM to mpirun (a scheduler's stop, or Ctrl-C): Open MPI passes SIGTERM
# on after odls_base_sigkill_timeout seconds and sends SIGKILL as long after
# that; rank 0 saves within it. mpirun itself exits 1.
mpirun -n 3 "$mpi" sieve "${job[@]}" --factors term.f --output term.c --end-p "$far" 2>term.err &
pid=$!
began "$pid" term.err
sleep 1
kill -TERM "$pid"
wait "$pid" || true
grep -q '^Stopped by SIGTERM.$' term.err || fail "rank 0 did not stop on mpirun's SIGTERM: $(cat term.err)"

# SIGKILL a rank other than 0 a second into the job; its lines since the
# last save come again from the resume.
cp one.c kill.c
cp one.f kill.f
mpirun -n 3 "$mpi" resume --input kill.c --output kill.c --factors kill.f --end-p "$far" --threads 1 \
    --save-minutes 1 2>kill.err &
pid=$!
began "$pid" kill.err
sleep 1
victim=""
for child in $(pgrep -P "$pid"); do
    if tr '\0' '\n' <"/proc/$child/environ" 2>/dev/null | grep -qx 'OMPI_COMM_WORLD_RANK=[12]'; then
        victim=$child
        break
    fi
done
[ -n "$victim" ] || fail "no rank other than 0 found among mpirun's children"
kill -KILL "$victim"
if wait "$pid"; then fail "mpirun ended normally after a rank was killed"; fi

# One end P for all three, past each one's save and factor lines.
long=0
for x in stop term kill; do
    for p in "$(p_of "$x.c")" "$(last_factor_p "$x.f")"; do
        [ "$p" -le "$long" ] || long=$p
    done
done
long=$((long + 1000000000))
"$cli" sieve "${job[@]}" --factors long.f --output long.c --end-p "$long" 2>/dev/null

mpirun -n 2 "$mpi" resume --input stop.c --output stop.c --factors stop.f --end-p "$long" --threads 1 -q 2>/dev/null ||
    fail "the resume with two ranks failed"
cmp -s long.c stop.c || fail "stop and resume: candidate file differs from one run"
# The resume adds its continuation text to the factor file; the lines match.
[ "$(grep ' | ' stop.f)" = "$(grep ' | ' long.f)" ] || fail "stop and resume: factor lines differ from one run"
echo "mpi_test: stopped by the stop file, resumed with -n 2 to P $long: one run's files"

"$cli" resume --input term.c --output term.c --factors term.f --end-p "$long" --threads 2 -q 2>/dev/null ||
    fail "the file saved on SIGTERM does not resume"
cmp -s long.c term.c || fail "after SIGTERM: candidate file differs from one run"
echo "mpi_test: SIGTERM to mpirun saved a file that resumes to one run's files"

"$cli" resume --input kill.c --output kill.c --factors kill.f --end-p "$long" --threads 2 -q 2>/dev/null ||
    fail "the candidate file left by the killed job does not resume"
cmp -s long.c kill.c || fail "after a killed rank: candidate file differs from one run"
[ "$(factor_lines kill.f)" = "$(factor_lines long.f)" ] || fail "after a killed rank: factor lines differ from one run"
echo "mpi_test: a killed rank left a file that resumes to one run's files"
