#!/usr/bin/env bash
# The packed K build on a full disk: a sequence file whose space cannot be
# reserved ends the build the way a stop does ("Packed K file generation
# stopped."), with the values already stored kept and no new file left
# behind, and the build exits 1, as a failure; it never dies of SIGBUS in its
# mapping. Needs root to mount a small tmpfs; elsewhere it is skipped.
#
# Usage: packedk_full_disk.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: packedk_full_disk.sh BUILD_DIR}
cli=$build/cli/varnesk-cli
[ -x "$cli" ] || { echo "packedk_full_disk: $cli is missing (build first)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/varnesk-pkdisk.XXXXXX")
disk=$work/disk
mkdir -p "$disk"
if ! mount -t tmpfs -o size=8m tmpfs "$disk" 2>/dev/null; then
    rm -rf "$work"
    echo "packedk_full_disk: skipped: no tmpfs can be mounted here (not root?)"
    exit 0
fi
cleanup() {
    umount "$disk" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "packedk_full_disk: FAIL: $*" >&2
    exit 1
}

# A new sequence: file 0 cannot get its 100,000,000 bytes.
rc=0
"$cli" build-packed-k --dir "$disk" -N 8192 -q >"$work/out1" 2>&1 || rc=$?
[ $rc -eq 1 ] || fail "new sequence: exit status $rc, not 1: $(cat "$work/out1")"
grep -q "Error reserving the disk space of PackedPrimeDB file $disk/ln13pi00000.pkk" "$work/out1" ||
    fail "new sequence: no clear message: $(cat "$work/out1")"
grep -q "Packed K file generation stopped." "$work/out1" || fail "new sequence: no stopped ending"
[ -z "$(ls "$disk")" ] || fail "new sequence: a file was left behind: $(ls "$disk")"

# A file grown sparse by an older build: its values stay, the build stops.
f=$disk/ln13pi00000.pkk
python3 - "$f" <<'PY'
import struct, sys
with open(sys.argv[1], "wb") as out:
    out.write(struct.pack("<IIqqqq", 1, 0, 5, 8192, 5, 8192) + b"\0" * 8)
PY
truncate -s 100000000 "$f"
before=$(head -c 48 "$f" | od -An -tx1)
rc=0
"$cli" build-packed-k --dir "$disk" -N 8192 -q >"$work/out2" 2>&1 || rc=$?
[ $rc -eq 1 ] || fail "sparse file: exit status $rc, not 1: $(cat "$work/out2")"
grep -q "Sequence file $f could not be opened." "$work/out2" || fail "sparse file: no message: $(cat "$work/out2")"
grep -q "Packed K file generation stopped." "$work/out2" || fail "sparse file: no stopped ending"
[ "$(head -c 48 "$f" | od -An -tx1)" = "$before" ] || fail "sparse file: its stored values changed"
echo "packedk_full_disk: a build that cannot reserve its file's space stops cleanly, keeps its values and exits 1: OK"
