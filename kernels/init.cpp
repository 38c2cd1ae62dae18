#include <cstdlib>
#include <cstring>
#include <xmmintrin.h>

#include "kernels/kernels.h"

namespace varnesk {

namespace {
// The primes of each wheel table, zero-terminated.
constexpr int32_t kWheelPrimes[kWheelTables][6] = {
    {3, 5, 7, 11, 13, 0}, {17, 19, 23, 0}, {29, 31, 37, 0}, {41, 43, 47, 0}, {53, 59, 61, 0}, {67, 71, 73, 0},
};

// Everything avx512.cpp is compiled for (every IFMA processor has DQ and BW
// as well, but the compiler may use any of them).
bool CpuHasAvx512Ifma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512ifma") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512bw");
}
}  // namespace

KernelPath DetectKernelPath() {
    const char* env = std::getenv("VARNESK_KERNEL");
    if (env && std::strcmp(env, "scalar") == 0) return KernelPath::Scalar;
#ifdef VARNESK_HAVE_AVX512
    if (CpuHasAvx512Ifma()) return KernelPath::Avx512;
#else
    (void)CpuHasAvx512Ifma;
#endif
    return KernelPath::Scalar;
}

const char* KernelPathName(KernelPath path) { return path == KernelPath::Avx512 ? "avx512" : "scalar"; }

void KernelContext::SetCandidateOutputs(int64_t* primePSlots, int32_t* firstPrimeIndex, int64_t* kCursorField,
                                        int64_t* exponent64Field) {
    primeP = primePSlots;
    firstPrime = firstPrimeIndex;
    kCursor = kCursorField;
    exponent64 = exponent64Field;
}

void KernelContext::SetWheelTablesA(uint32_t* t1, uint32_t* t2, uint32_t* t3, uint32_t* t4) {
    wheel[0] = t1;
    wheel[1] = t2;
    wheel[2] = t3;
    wheel[3] = t4;
}

void KernelContext::SetWheelTablesB(uint32_t* t5, uint32_t* t6, int64_t* primeKSlots) {
    wheel[4] = t5;
    wheel[5] = t6;
    primeK = primeKSlots;
}

int32_t KernelContext::AssemblyInit() {
    for (int t = 0; t < kWheelTables; ++t) {
        for (int j = 0; kWheelPrimes[t][j] != 0; ++j) {
            int32_t q = kWheelPrimes[t][j];
            for (int32_t r = 0; r < kWheelModuli[t]; r += q) BitTestAndClear(r, wheel[t]);
        }
    }
    queueCount = 0;
    // Extended precision, round to nearest; other control bits kept. The
    // exact kernels don't depend on it, but nothing else on this thread may
    // rely on another mode either.
    uint16_t cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    cw = static_cast<uint16_t>((cw & ~0x0F00u) | 0x0300u);
    __asm__ volatile("fldcw %0" : : "m"(cw));
    return static_cast<int32_t>(_mm_getcsr() & 0x6000u);
}

}  // namespace varnesk
