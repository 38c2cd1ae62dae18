#include "kernels/kernels.h"
#include "kernels/modmath.h"
#include "kernels/rootwriter.h"
#include "kernels/avx512.h"
#ifdef VARNESK_HAVE_AVX2
#include "kernels/avx2.h"
#endif

namespace varnesk {

void KernelContext::SetRootSearch(int32_t exponent, int32_t limit) {
    rootExponent = exponent;
    rootLimit = static_cast<uint32_t>(limit);
}

void KernelContext::SetRootOutput(int32_t* count, uint32_t* output, int32_t capacity) {
    rootCountOut = count;
    rootOutput = output;
    rootCapacity = capacity;
}

void KernelContext::SetBaseList(int32_t* count, uint32_t* list) {
    baseCount = count;
    baseList = list;
}

namespace {

#if defined(VARNESK_HAVE_AVX512) || defined(VARNESK_HAVE_AVX2)
// The vector forms hold more running powers than sixteen: extend the first
// sixteen (Montgomery form) by a^32, a^64, ... to `lanes` of them and hand
// them over normalised. The search record is the same for both forms.
int EnumerateVector(const Montgomery& mont, const uint64_t* first16, int lanes,
                    int32_t (*enumerate)(const avx512::RootSearch&), uint32_t passes, uint32_t limit,
                    uint32_t* out, int32_t capacity, int32_t* countOut, bool scalarBeside = false) {
    uint64_t x[avx512::kRootLanes];
    for (int j = 0; j < 16; ++j) x[j] = first16[j];
    uint64_t step = mont.Mul(first16[1], first16[14]);  // a^32
    for (int have = 16; have < lanes; have *= 2) {
        for (int j = 0; j < have; ++j) x[have + j] = mont.Mul(x[j], step);
        step = mont.Sqr(step);
    }
    for (int j = 0; j < lanes; ++j) x[j] = mont.From(x[j]);
    const avx512::RootSearch search{x, mont.From(step), mont.p, passes, limit, out, capacity, scalarBeside};
    const int32_t found = enumerate(search);
    if (found < 0) return 0;
    *countOut = found;
    return 1;
}
#endif

// kLanes running odd powers first[j] = a^(2j+1), advanced by a^(2 kLanes)
// per pass with Shoup products; false as soon as the output is full.
template <int kLanes>
bool WalkScalar(const uint64_t* first, uint64_t p, uint32_t passes, RootWriter& writer) {
    uint64_t x[kLanes];
    for (int j = 0; j < kLanes; ++j) x[j] = first[j];
    const ShoupConst u(MulModRef(x[1], x[kLanes - 2], p), p);  // once per call

    // x and p - x both lie above the limit exactly when
    // (x - limit - 1) mod 2^64 < p - 2*limit - 1; a pass is walked in order
    // only when some lane fails that.
    const uint64_t limit = writer.limit;
    const bool alwaysExact = static_cast<u128>(p) <= 2 * static_cast<u128>(limit) + 1;
    const uint64_t span = alwaysExact ? 0 : p - 2 * limit - 1;

    // The first pass is walked in order; every later one only when one of its
    // lanes may hold a hit, tested as the lane is advanced.
    for (int j = 0; j < kLanes; ++j)
        if (!writer.Pair(x[j], p)) return false;
    while (--passes != 0) {
        uint64_t miss = 1;
        for (int j = 0; j < kLanes; ++j) {
            const uint64_t y = ShoupMul(x[j], u, p);
            x[j] = y;
            miss &= (y - limit - 1) < span;
        }
        if (!miss || alwaysExact) {
            for (int j = 0; j < kLanes; ++j)
                if (!writer.Pair(x[j], p)) return false;
        }
    }
    return true;
}

// Independent chains of the scalar walk: enough to hide the product's
// latency, few enough to stay in registers. Measured: sixteen are about 12%
// faster than eight on an Intel Xeon (Sapphire Rapids), eight 15-20% faster
// than sixteen on an AMD EPYC (Zen).
bool ScalarWalkPrefersEightChains() {
    static const bool amd = [] {
        __builtin_cpu_init();
        return __builtin_cpu_is("amd") != 0;
    }();
    return amd;
}
// Scalar chains beside the AVX2 lanes pay where the vector and the scalar
// multipliers are separate units (AMD: 0.32 to 0.265 ns per root measured
// with four chains beside the split-integer lanes); on Intel the two share
// ports.
bool ScalarBesideVectorPays() { return ScalarWalkPrefersEightChains(); }
}  // namespace

int KernelContext::EnumerateGfnRoots(int64_t aValue, int64_t pValue) {
    const uint64_t p = static_cast<uint64_t>(pValue);
    const uint64_t a = static_cast<uint64_t>(aValue) % p;
    const Montgomery mont(p);
    RootWriter writer{rootOutput, rootCapacity, rootLimit};
    const uint64_t am = mont.To(a);
    const uint64_t sm = mont.Sqr(am);  // a^2

    if (rootExponent < 32) {
        // Fewer than sixteen odd powers: list a^1, a^3, ..., a^(N-1) and their
        // negatives directly.
        uint64_t x = am;
        for (int32_t j = 0; j < rootExponent / 2; ++j) {
            if (!writer.Pair(mont.From(x), p)) return 0;
            x = mont.Mul(x, sm);
        }
        *rootCountOut = writer.found;
        return 1;
    }

    // Sixteen running odd powers a^1, a^3, ..., a^31, advanced by a^32 per pass.
    constexpr int kLanes = 16;
    uint64_t x[kLanes];
    {
        const uint64_t tm = mont.Sqr(sm);  // a^4
        uint64_t xm[kLanes];
        xm[0] = am;
        xm[1] = mont.Mul(sm, am);
        for (int j = 2; j < kLanes; ++j) xm[j] = mont.Mul(xm[j - 2], tm);
        const uint32_t vectorPasses = static_cast<uint32_t>(rootExponent) >> 5;
#ifdef VARNESK_HAVE_AVX512
        if (path == KernelPath::Avx512 && (p >> 63) == 0)
            return EnumerateVector(mont, xm, avx512::kRootLanes, avx512::EnumerateRoots, vectorPasses, rootLimit,
                                   rootOutput, rootCapacity, rootCountOut);
#endif
#ifdef VARNESK_HAVE_AVX2
        if (path == KernelPath::Avx2 && (p >> 63) == 0)
            return EnumerateVector(mont, xm, avx2::kRootLanes, avx2::EnumerateRoots, vectorPasses, rootLimit,
                                   rootOutput, rootCapacity, rootCountOut,
                                   scalarBeside > 0 || (scalarBeside == 0 && ScalarBesideVectorPays()));
#endif
        for (int j = 0; j < kLanes; ++j) x[j] = mont.From(xm[j]);
    }
    const uint32_t pairs = static_cast<uint32_t>(rootExponent) / 2;  // odd powers in all
    const bool eight = scalarChains == 8 || (scalarChains == 0 && ScalarWalkPrefersEightChains());
    if (!(eight ? WalkScalar<8>(x, p, pairs / 8, writer)
                                         : WalkScalar<16>(x, p, pairs / 16, writer)))
        return 0;
    *rootCountOut = writer.found;
    return 1;
}

}  // namespace varnesk
