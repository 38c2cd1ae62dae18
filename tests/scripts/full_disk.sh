#!/usr/bin/env bash
# A real full disk under a running sieve: its candidate file lives on a small
# tmpfs that is filled up after the first save and emptied again later.
# While the disk is full every save fails with "Unable to open output file
# %s." and the previous file stays as it was; the sieve goes on, saves again
# once there is room, and its files are those of a run that never met a full
# disk. Needs root to mount the tmpfs; elsewhere it is skipped (the engine
# test Durability.FullDiskKeepsThePreviousFileAndTheSieveGoesOn makes the
# saves fail through the test seam instead).
#
# Usage: full_disk.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: full_disk.sh BUILD_DIR}
cli=$build/cli/varnesk-cli
[ -x "$cli" ] || { echo "full_disk: $cli is missing (build first)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/varnesk-disk.XXXXXX")
disk=$work/disk
mkdir -p "$disk"
if ! mount -t tmpfs -o size=4m tmpfs "$disk" 2>/dev/null; then
    rm -rf "$work"
    echo "full_disk: skipped: no tmpfs can be mounted here (not root?)"
    exit 0
fi
pid=
cleanup() {
    if [ -n "$pid" ]; then kill -9 "$pid" 2>/dev/null || true; fi
    umount "$disk" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "full_disk: FAIL: $*" >&2
    exit 1
}
count() { local n; n=$(grep -c "$1" "$work/log" 2>/dev/null) || true; echo "${n:-0}"; }
# Waits until the log holds at least $2 lines with $1; five minutes bound a
# hung sieve, not a slow one.
wait_for() {
    for _ in $(seq 1 6000); do
        [ "$(count "$1")" -ge "$2" ] && return 0
        kill -0 "$pid" 2>/dev/null || fail "the sieve ended early"
        sleep 0.05
    done
    fail "waited in vain for '$1' (x$2)"
}

N=1024
o=$disk/o
written="p value written to $o."
unable="Unable to open output file $o."
# An end P days away: only the stop below ends the sieve, however fast it is.
"$cli" sieve -N $N --bmin 2 --bmax 200000 --factors "$work/f" --output "$o" --end-p 3000000000000000 \
    --save-minutes 0 --tick-seconds 0.05 -q --log "$work/log" 2>/dev/null &
pid=$!
wait_for "$written" 1

# Fill the disk to the last block.
dd if=/dev/zero of="$disk/fill" bs=4k 2>/dev/null || true
wait_for "$unable" 1
# Saves are written beside the sieve and logged once they have ended, in
# order: a save that went through before the disk filled may be logged after
# the fill, but never after the first failure.
before=$(count "$written")
kept=$(cksum <"$o")
wait_for "$unable" 4
[ "$(cksum <"$o")" = "$kept" ] || fail "a failed save changed the candidate file"
[ "$(count "$written")" -le "$before" ] || fail "a save went through on a full disk"
head -n 1 "$o" | grep -qE '^ABC \$a\^\$b\+1 // [0-9]+$' || fail "the kept candidate file has no header"
failures=$(count "$unable")

# Room again: the next save goes through, and the sieve has not stopped.
rm -f "$disk/fill"
wait_for "$written" $((before + 1))
kill -INT "$pid"
rc=0
wait "$pid" || rc=$?
pid=
[ $rc -le 1 ] || fail "exit status $rc"  # 1: the failed saves were logged
grep -q 'Stop request received.' "$work/log" || fail "the sieve did not take the stop path"
[ -z "$(ls "$disk" | grep -v -x -e o -e fill)" ] || fail "a file of a save was left behind: $(ls "$disk")"

# The same sieve to the same last prime, on a disk with room.
p=$(head -n 1 "$o" | awk '{ print $NF }')
"$cli" sieve -N $N --bmin 2 --bmax 200000 --factors "$work/wf" --output "$work/wo" --end-p $((p - 2)) -q \
    2>/dev/null || fail "the comparison run failed"
cmp -s "$o" "$work/wo" || fail "the candidate file differs from that of a run without a full disk"
cmp -s <(grep '|' "$work/f" | sort -u) <(grep '|' "$work/wf" | sort -u) || fail "the factor lines differ"
"$cli" verify --factors "$work/f" --candidates "$o" >/dev/null || fail "verify refused the files"
echo "full_disk: $failures saves failed on the full disk and left the file whole; the sieve went on to P $p: OK"

# A failed save says why, after its message.
grep -qF "Output file $o cannot be written: No space left on device." "$work/log" ||
    fail "a failed save did not give the system's reason"

# A resume in place on a disk with room for two copies of its candidate file
# but not three: each save frees the file it replaced (the input it read
# first), so every save goes through. (That every name of the output meets
# the job's lock at every save is Durability.EveryNameOfTheOutputMeetsThe-
# LockAndReplacedFilesAreLetGo.)
disk2=$work/disk2
mkdir -p "$disk2"
c=$disk2/c
# Far enough that the file hardly shrinks from one save to the next.
"$cli" sieve -N $N --bmin 2 --bmax 240000 --factors "$work/f2" --output "$work/c" --end-p 100000000000 -q 2>/dev/null ||
    fail "the sieve for the resume failed"
size=$(stat -c %s "$work/c")
mount -t tmpfs -o size=$((size * 5 / 2 / 4096 * 4096)) tmpfs "$disk2" || fail "no second tmpfs"
cleanup_disk2() {
    if [ -n "$pid" ]; then
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    pid=
    umount "$disk2" 2>/dev/null || true
    cleanup
}
trap cleanup_disk2 EXIT
cp "$work/c" "$c"
: >"$work/log"
"$cli" resume --input "$c" --output "$c" --factors "$work/f2" --end-p 1000000000000000 --save-minutes 0 \
    --tick-seconds 0.05 -q --log "$work/log" 2>/dev/null &
pid=$!
wait_for "p value written to $c." 6
kill -INT "$pid"
rc=0
wait "$pid" || rc=$?
pid=
[ $rc -eq 0 ] || fail "the resume in place exited $rc"
[ "$(count "Unable to open output file")" -eq 0 ] || fail "a save failed with room for two copies"
echo "full_disk: a resume in place saves again and again with room for two copies of its file: OK"
