#include <cstdlib>
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
bool CpuHasAvx2Fma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

constexpr KernelPath kPaths[] = {KernelPath::Scalar, KernelPath::Avx2, KernelPath::Avx512};
}  // namespace

const char* KernelPathName(KernelPath path) {
    switch (path) {
    case KernelPath::Avx2: return "avx2";
    case KernelPath::Avx512: return "avx512";
    case KernelPath::Scalar: break;
    }
    return "scalar";
}

bool KernelPathAvailable(KernelPath path) {
    switch (path) {
    case KernelPath::Scalar: return true;
    case KernelPath::Avx2:
#ifdef VARNESK_HAVE_AVX2
        return CpuHasAvx2Fma();
#else
        return false;
#endif
    case KernelPath::Avx512:
#ifdef VARNESK_HAVE_AVX512
        return CpuHasAvx512Ifma();
#else
        return false;
#endif
    }
    return false;
}

KernelPath BestKernelPath() {
    if (KernelPathAvailable(KernelPath::Avx512)) return KernelPath::Avx512;
    if (KernelPathAvailable(KernelPath::Avx2)) return KernelPath::Avx2;
    return KernelPath::Scalar;
}

KernelPath ResolveKernelPath(const std::string& request, std::string* error) {
    error->clear();
    if (request == "auto") return BestKernelPath();
    for (KernelPath path : kPaths) {
        if (request != KernelPathName(path)) continue;
        if (KernelPathAvailable(path)) return path;
        std::string have;
        for (KernelPath p : kPaths)
            if (KernelPathAvailable(p)) have += std::string(have.empty() ? "" : ", ") + KernelPathName(p);
        *error = "kernel '" + request + "' is not available on this CPU or in this build (available: " + have + ")";
        return KernelPath::Scalar;
    }
    *error = "kernel '" + request + "' is none of scalar, avx2, avx512, auto";
    return KernelPath::Scalar;
}

std::string KernelEnvironmentError() {
    const char* env = std::getenv("VARNESK_KERNEL");
    if (env == nullptr || *env == 0) return {};
    std::string error;
    ResolveKernelPath(env, &error);
    return error.empty() ? error : "VARNESK_KERNEL: " + error;
}

KernelPath DetectKernelPath() {
    const char* env = std::getenv("VARNESK_KERNEL");
    if (env == nullptr || *env == 0) return BestKernelPath();
    std::string error;
    const KernelPath path = ResolveKernelPath(env, &error);
    return error.empty() ? path : BestKernelPath();
}

void KernelContext::SetWheelTablesA(uint32_t* t1, uint32_t* t2, uint32_t* t3, uint32_t* t4) {
    wheel[0] = t1;
    wheel[1] = t2;
    wheel[2] = t3;
    wheel[3] = t4;
}

void KernelContext::SetWheelTablesB(uint32_t* t5, uint32_t* t6) {
    wheel[4] = t5;
    wheel[5] = t6;
}

int32_t KernelContext::AssemblyInit() {
    for (int t = 0; t < kWheelTables; ++t) {
        for (int j = 0; kWheelPrimes[t][j] != 0; ++j) {
            int32_t q = kWheelPrimes[t][j];
            for (int32_t r = 0; r < kWheelModuli[t]; r += q) BitTestAndClear(r, wheel[t]);
        }
    }
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
