// The one place that names the vector files' functions: each is built only
// when the compiler takes its flags, and runs only where the CPU has them.
#include "kernels/dispatch.h"

#include "kernels/avx2.h"
#include "kernels/avx512.h"
#include "kernels/kernels.h"

namespace varnesk {

namespace {
constexpr UInt128 kTwoTo63 = UInt128{1} << 63;
constexpr UInt128 kTwoTo64 = UInt128{1} << 64;
constexpr UInt128 kTwoTo96 = UInt128{1} << 96;

// Independent chains of the scalar walk: enough to hide the product's
// latency, few enough to stay in registers. Measured: sixteen are about 12%
// faster than eight on an Intel Xeon (Sapphire Rapids), eight 15-20% faster
// than sixteen on an AMD EPYC (Zen).
bool ScalarWalkPrefersEightChains() {
    __builtin_cpu_init();
    return __builtin_cpu_is("amd") != 0;
}
// Scalar chains beside the AVX2 lanes pay where the vector and the scalar
// multipliers are separate units (AMD: 0.32 to 0.265 ns per root measured
// with four chains beside the split-integer lanes); on Intel the two share
// ports.
bool ScalarBesideVectorPays() { return ScalarWalkPrefersEightChains(); }
// The one-prime vector walks set up their lanes with scalar products; below
// N = 256 that costs more than the scalar walk's whole run (AMD EPYC, Zen 4,
// p = 2^60, ns a prime: N = 64, 85 scalar, 117 AVX2, 180 AVX-512; N = 128,
// 128, 140, 160; N = 256, 214, 162, 176). Below 2^51 the batched walks take
// small N anyway.
constexpr int32_t kOnePrimeWalkFrom = 256;
}  // namespace

KernelTable KernelTableFor(KernelPath path, KernelTuning tuning) {
    KernelTable t;
    t.scalarChains = tuning.scalarChains == 8 || tuning.scalarChains == 16 ? tuning.scalarChains
                     : ScalarWalkPrefersEightChains()                        ? 8
                                                                             : 16;
    if (!KernelPathAvailable(path)) return t;
    t.path = path;
    switch (path) {
    case KernelPath::Avx512:
#ifdef VARNESK_HAVE_AVX512
        t.strike = {3, kTwoTo63, 0, avx512::StrikeBases};
        t.fermat16 = {3, avx512::kFermatBound, 0, avx512::FermatBase2x16};
        t.fermat64 = {3, avx512::kFermatBound, 0, avx512::FermatBase2x64};
        t.fermatDigits16 = {avx512::kFermatBound, avx512::kFermatDigitsBound, 0, avx512::FermatBase2Digits16};
        t.fermatDigits64 = {avx512::kFermatBound, avx512::kFermatDigitsBound, 0, avx512::FermatBase2Digits64};
        t.fermatWide16 = {avx512::kFermatDigitsBound, kTwoTo96, 0, avx512::FermatBase2Wide16};
        t.orders16 = {3, avx512::kOrderBound, 0, avx512::OrderPowers16};
        t.divisors16 = {3, avx512::kOrderBound, 0, avx512::DivisorChecks16};
        t.ordersWide16 = {kTwoTo63, kTwoTo96, 0, avx512::OrderPowersWide16};
        t.divisorsWide16 = {kTwoTo63, kTwoTo96, 0, avx512::DivisorChecksWide16};
        t.roots = {3, kTwoTo63, kOnePrimeWalkFrom, avx512::EnumerateRoots};
        t.rootLanes = avx512::kRootLanes;
        // Up to N = 8192 by measurement (AMD EPYC, Zen 4, p = 10^15): 11
        // against 153 ns a prime at N = 64, 89 against 210 at 1024, 680
        // against 730 at 8192; at 65536, 5.3 against 4.9 us.
        t.rootsBatch = {3, avx512::kRootBatchBound, 2, avx512::EnumerateRootsBatch};
        t.rootsBatchUpTo = 1 << 13;
        t.rootsIfma = {kTwoTo63, kTwoTo96, 32, avx512::EnumerateRootsWide};
#endif
        break;
    case KernelPath::Avx2:
#ifdef VARNESK_HAVE_AVX2
        t.strike = {3, avx2::kStrikeBound, 0, avx2::StrikeBases};
        t.fermat16 = {3, avx2::kFermatBound, 0, avx2::FermatBase2x16};
        t.fermat64 = {3, avx2::kFermatBound, 0, avx2::FermatBase2x64};
        t.orders16 = {3, avx2::kOrderBound, 0, avx2::OrderPowers16};
        t.divisors16 = {3, avx2::kOrderBound, 0, avx2::DivisorChecks16};
        t.rootsBatch = {3, avx2::kRootBatchBound, 2, avx2::EnumerateRootsBatch};
        t.rootsBatchUpTo = 1 << 13;
        // From 2^64 on only: below it the scalar one-word test was faster
        // (AMD EPYC, Zen 4: 73-96 against 87-113 ns per candidate from 2^50
        // to 2^63); beyond it the limbs are 3.6 times the two-word scalar.
        t.fermatWide16 = {kTwoTo64, kTwoTo96, 0, avx2::FermatBase2Limbs16};
        t.roots = {3, avx2::kRootBound, kOnePrimeWalkFrom, avx2::EnumerateRoots};
        t.rootLanes = avx2::kRootLanes;
        t.rootsScalarBeside = tuning.scalarBeside > 0 || (tuning.scalarBeside == 0 && ScalarBesideVectorPays());
        // N a power of two from 2 kLanes on fills whole blocks.
        t.rootsAvx2Wide = {avx2::kWideRootsLow, kTwoTo96, 2 * RootSearchWideLanes::kLanes, avx2::EnumerateRootsWide};
#endif
        break;
    case KernelPath::Scalar: break;
    }
    return t;
}

}  // namespace varnesk
