#!/usr/bin/env bash
# What the OpenCL kernels cost on real GPUs, without a GPU: compiles the
# kernels as the driver gets them (gpu/opencl.cpp's build options, the source
# unchanged) to NVIDIA machine code for sm_75 (Turing), sm_86 (Ampere) and
# sm_89 (Ada) and to AMD's for gfx1030 (RDNA2) and gfx90a (CDNA2), finds each
# kernel's step loop and prints what one step costs by class, registers,
# spills, stack, occupancy and a throughput model; a line per walk kernel
# compares it with the target of the kernel work.
#
# Usage: bench/gpu-isa.sh [-v] [sieve.cl]      (default gpu/sieve.cl)
#   -v  list every loop of every kernel, the counted one starred
#
# Needs: clang-15 (apt-get install clang-15), ptxas from the CUDA toolkit
# (PATH, $CUDA_HOME/bin or /usr/local/cuda/bin; or PTXAS=...), python3. When
# cuobjdump and nvdisasm are not beside ptxas or on PATH, installs them from
# PyPI (nvidia-cuda-cuobjdump, nvidia-cuda-nvdisasm) into build/gpu-isa/tools.
# GPU_ISA_GROUP overrides the work-group size read from gpu/devicesieve.cpp;
# CLANG overrides clang-15. Work files go to build/gpu-isa/.
#
# The counts are a model: NVIDIA's and AMD's own OpenCL compilers are not
# clang. See README.md, "GPU kernels on real cards without a card".
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
HERE="$ROOT/bench/gpu-isa"
OUT="$ROOT/build/gpu-isa"
TOOLS="$OUT/tools"

VERBOSE=()
if [ "${1:-}" = "-v" ]; then
    VERBOSE=(--verbose)
    shift
fi
SRC=${1:-$ROOT/gpu/sieve.cl}
if [ ! -f "$SRC" ]; then
    echo "gpu-isa: no kernel source $SRC" >&2
    exit 2
fi

missing() {
    echo "gpu-isa: $1 is missing: $2" >&2
    exit 3
}

# ---------------------------------------------------------------- tools
command -v python3 >/dev/null || missing python3 "apt-get install python3"
CLANG=${CLANG:-clang-15}
command -v "$CLANG" >/dev/null || missing "$CLANG" "apt-get install clang-15 (or CLANG=/path/to/clang, 15 or later)"

if [ -z "${PTXAS:-}" ]; then
    for p in "$(command -v ptxas || true)" "${CUDA_HOME:-/usr/local/cuda}/bin/ptxas" /usr/local/cuda/bin/ptxas; do
        if [ -n "$p" ] && [ -x "$p" ]; then
            PTXAS=$p
            break
        fi
    done
fi
[ -n "${PTXAS:-}" ] && [ -x "$PTXAS" ] || missing ptxas \
    "it comes with the CUDA toolkit (NVIDIA's cuda-toolkit, or Debian's nvidia-cuda-toolkit from non-free); put it on PATH, in \$CUDA_HOME/bin, or set PTXAS=/path/to/ptxas"

# cuobjdump hands the disassembly to nvdisasm: both, from one place.
CUOBJDUMP=
for d in "$(dirname "$PTXAS")" "$(dirname "$(command -v cuobjdump || echo /nonexistent/x)")" "$TOOLS"/nvidia/cu*/bin; do
    if [ -x "$d/cuobjdump" ] && [ -x "$d/nvdisasm" ]; then
        CUOBJDUMP=$d/cuobjdump
        break
    fi
done
if [ -z "$CUOBJDUMP" ]; then
    python3 -m pip --version >/dev/null 2>&1 || missing "cuobjdump (and python3's pip, to fetch it)" \
        "apt-get install python3-pip, or install the CUDA toolkit's cuobjdump and nvdisasm beside ptxas"
    echo "gpu-isa: installing cuobjdump and nvdisasm from PyPI (nvidia-cuda-cuobjdump, nvidia-cuda-nvdisasm) into ${TOOLS#"$ROOT"/}"
    mkdir -p "$TOOLS"
    PIP_ROOT_USER_ACTION=ignore python3 -m pip install --quiet --disable-pip-version-check --target "$TOOLS" nvidia-cuda-cuobjdump nvidia-cuda-nvdisasm >&2 ||
        missing cuobjdump "pip could not install nvidia-cuda-cuobjdump and nvidia-cuda-nvdisasm into $TOOLS"
    for d in "$TOOLS"/nvidia/cu*/bin; do
        if [ -x "$d/cuobjdump" ] && [ -x "$d/nvdisasm" ]; then
            CUOBJDUMP=$d/cuobjdump
        fi
    done
    [ -n "$CUOBJDUMP" ] || missing cuobjdump "the PyPI packages installed no cuobjdump and nvdisasm under $TOOLS/nvidia"
fi

export PATH="$(dirname "$CUOBJDUMP"):$PATH"

# ---------------------------------------------------------------- what the host does
# The driver's build options, and the work-group size of every launch.
OPTIONS=$(sed -n 's/.*kBuildOptions *= *"\([^"]*\)".*/\1/p' "$ROOT/gpu/opencl.cpp" | head -n 1)
if [ -z "$OPTIONS" ]; then
    OPTIONS="-cl-std=CL1.2"
    echo "gpu-isa: no kBuildOptions in gpu/opencl.cpp; building with $OPTIONS" >&2
fi
FLAGS=()
for o in $OPTIONS; do
    case $o in
        -D* | -I* | -cl-std=* | -cl-mad-enable | -cl-fast-relaxed-math | -cl-no-signed-zeros | -cl-finite-math-only) FLAGS+=("$o") ;;
        *) echo "gpu-isa: build option $o is the driver's alone; clang does without it" >&2 ;;
    esac
done
GROUP=${GPU_ISA_GROUP:-}
if [ -z "$GROUP" ]; then
    GROUP=$(cat "$ROOT/gpu/devicesieve.cpp" "$ROOT/gpu/producer.cpp" 2>/dev/null |
        sed -n 's/.*kGroup *= *\([0-9][0-9]*\).*/\1/p' | head -n 1)
fi
if ! [[ "$GROUP" =~ ^[0-9]+$ ]] || [ "$GROUP" -lt 1 ] || [ "$GROUP" -gt 1024 ]; then
    echo "gpu-isa: no work-group size in gpu/devicesieve.cpp or gpu/producer.cpp (kGroup); set GPU_ISA_GROUP" >&2
    exit 2
fi

# ---------------------------------------------------------------- compile
mkdir -p "$OUT"
run() {
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        echo "gpu-isa: failed: $*" >&2
        cat "$log" >&2
        exit 1
    fi
}
CL=(-x cl "${FLAGS[@]}" -O3 -Xclang -finclude-default-header -include "$HERE/prelude.h")

# clang 15 knows no sm_89: Ada gets Ampere's PTX, as a driver given sm_86 PTX would.
for arch in sm_75 sm_86; do
    run "$OUT/clang.$arch.log" "$CLANG" -target nvptx64-nvidia-cuda "${CL[@]}" -Xclang -target-feature -Xclang +ptx75 \
        -Xclang -target-cpu -Xclang "$arch" -S -o "$OUT/sieve.$arch.ptx" "$SRC"
done
INPUTS=()
for arch in sm_75 sm_86 sm_89; do
    ptx=$OUT/sieve.$arch.ptx
    [ "$arch" = sm_89 ] && ptx=$OUT/sieve.sm_86.ptx
    run "$OUT/ptxas.$arch.log" "$PTXAS" -arch="$arch" -v "$ptx" -o "$OUT/sieve.$arch.cubin"
    run "$OUT/sieve.$arch.sass" "$CUOBJDUMP" -sass "$OUT/sieve.$arch.cubin"
    INPUTS+=("nv:$arch:$OUT/sieve.$arch.sass:$OUT/ptxas.$arch.log")
done
for cpu in gfx1030 gfx90a; do
    run "$OUT/clang.$cpu.log" "$CLANG" -target amdgcn-amd-amdhsa -mcpu="$cpu" -nogpulib "${CL[@]}" \
        -S -o "$OUT/sieve.$cpu.s" "$SRC"
    INPUTS+=("amd:$cpu:$OUT/sieve.$cpu.s")
done

echo "gpu-isa: ${SRC#"$ROOT"/} ($(sha256sum "$SRC" | cut -c1-12)), $(date -u +%Y-%m-%d); $("$CLANG" --version | head -n 1);" \
    "ptxas $("$PTXAS" --version | sed -n 's/.*release \([0-9.]*\).*/\1/p'); options ${FLAGS[*]}"
echo "One step: the shortest way once round the kernel's step loop (no hit, no correction), divided by its unroll;"
echo "steps/clk/SM = min(64 / IMAD, 64 / ALU, 128 / all). 'count' is how the loop's exit counter moves a round."
exec python3 "$HERE/count.py" --source "$SRC" --group "$GROUP" "${VERBOSE[@]}" "${INPUTS[@]}"
