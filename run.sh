#!/usr/bin/env bash
# Varnesk: installs what it needs, builds, then starts the program or tests it.
#   ./run.sh          build and start the desktop program (a command-line
#                     demonstration when there is no display)
#   ./run.sh test     build and run every test (release, then the engine
#                     tests under the address and undefined sanitizers)
#   ./run.sh bench    build and run the benchmarks
#   ./run.sh fuzz [S] build the libFuzzer targets and run each for S seconds
#                     (default 600)
#   ./run.sh package  build the Debian packages (build/release/varnesk*.deb)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev xvfb xauth
          clang libclang-rt-14-dev groff-base man-db dpkg-dev file libgmp-dev libopenmpi-dev openmpi-bin
          ocl-icd-opencl-dev opencl-headers pocl-opencl-icd oclgrind clinfo imagemagick)

install_packages() {
    local missing=()
    for p in "${PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q || true
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
}

build() {  # preset
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$JOBS"
}

demo() {
    local cli="$ROOT/build/release/cli/varnesk-cli"
    mkdir -p "$ROOT/demo"
    echo "Demonstration: N = 65536, b from 2 to 1,000,000, end P 10^9, files in ./demo/"
    if [ -f "$ROOT/demo/candidates.txt" ]; then
        "$cli" resume --input "$ROOT/demo/candidates.txt" --output "$ROOT/demo/candidates.txt" \
            --factors "$ROOT/demo/factors.txt" --end-p 1000000000 --log "$ROOT/demo/varnesk.log" "$@"
    else
        "$cli" sieve -N 65536 --bmin 2 --bmax 1000000 --factors "$ROOT/demo/factors.txt" \
            --output "$ROOT/demo/candidates.txt" --end-p 1000000000 --log "$ROOT/demo/varnesk.log" "$@"
    fi
}

case "${1:-run}" in
run)
    install_packages
    build release
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x build/release/ui/varnesk ]; then
        exec build/release/ui/varnesk
    fi
    demo
    ;;
test)
    install_packages
    build release
    ctest --preset release -j "$JOBS"
    # The self-test's short form on every kernel path of this CPU and on the
    # OpenCL device here (PoCL without a card).
    VARNESK_OPENCL_CPU=1 VARNESK_CL_CACHE="$ROOT/build/release/cl-cache" \
        build/release/cli/varnesk-cli selftest --quick --device gpu
    build asan
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j "$JOBS"
    for script in tests/scripts/*.sh; do
        [ -e "$script" ] || continue
        echo "== $script"
        bash "$script" "$ROOT/build/release"
    done
    # The threaded sieves and the worker/front-end hand-over under the
    # thread sanitizer (the test preset picks those tests).
    build tsan
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --preset tsan -j "$JOBS"
    # A short bounded run of every fuzz target from its seeds.
    build fuzz
    fuzz/run-fuzzers.sh "$ROOT/build/fuzz" "${VARNESK_FUZZ_SECONDS:-20}"
    ;;
bench)
    install_packages
    build release
    build/release/bench/bench_kernels
    [ -x build/release/bench/bench_packedk ] && build/release/bench/bench_packedk
    bench/gpu-isa.sh || echo "run.sh: bench/gpu-isa.sh failed (its message above says why)" >&2
    [ -x bench/sieve-rate.sh ] && bench/sieve-rate.sh
    ;;
package)
    install_packages
    build release
    (cd build/release && cpack -G DEB)
    ls -1 "$ROOT"/build/release/varnesk*.deb
    ;;
fuzz)
    install_packages
    build fuzz
    fuzz/run-fuzzers.sh "$ROOT/build/fuzz" "${2:-600}"
    ;;
*)
    echo "usage: ./run.sh [test|bench|package|fuzz [SECONDS]]" >&2
    exit 2
    ;;
esac
