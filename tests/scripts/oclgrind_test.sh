#!/usr/bin/env bash
# The kernels of a small job under oclgrind's checks: out-of-bounds and
# uninitialised accesses, data races between work items, and misuse of the
# OpenCL API. Any report fails the test; without oclgrind it is skipped with
# a message.
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
test=$build/tests/gpu/gpu_test
[ -x "$test" ] || { echo "oclgrind_test: $test is missing (build first)" >&2; exit 1; }
command -v oclgrind >/dev/null || { echo "oclgrind_test: SKIPPED: oclgrind is not installed"; exit 0; }
work=$(mktemp -d "${TMPDIR:-/tmp}/oclgrind_test.XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

# A cache of its own: oclgrind's programs are not the other devices'.
if ! VARNESK_CL_CACHE=$work/cache oclgrind --check-api --data-races --uninitialized --log "$work/log" \
    "$test" --gtest_filter='GpuOclgrind.*' >"$work/out" 2>&1; then
    cat "$work/out" >&2
    echo "oclgrind_test: FAILED: the test failed under oclgrind" >&2
    exit 1
fi
grep -q "PASSED" "$work/out" || { cat "$work/out" >&2; echo "oclgrind_test: FAILED: no test ran" >&2; exit 1; }
if grep -q "Skipped:" "$work/out"; then
    cat "$work/out" >&2
    echo "oclgrind_test: FAILED: the test was skipped under oclgrind" >&2
    exit 1
fi
if [ -s "$work/log" ]; then
    cat "$work/log" >&2
    echo "oclgrind_test: FAILED: oclgrind reported the above" >&2
    exit 1
fi
echo "oclgrind_test: passed"
