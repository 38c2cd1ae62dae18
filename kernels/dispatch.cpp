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

// A form exact for odd p in [low, high) and N from minExponent on, taken
// there whole until narrowed.
template <class Fn>
VectorForm<Fn> Form(Fn fn, UInt128 low, UInt128 high, int32_t minExponent = 0) {
    const FormRange exact{low, high, minExponent};
    return {fn, exact, exact};
}
// The part the job takes, within the exact range: p from low on, N from
// or up to an exponent, where the portable form was measured faster
// outside it.
template <class Fn>
VectorForm<Fn> From(VectorForm<Fn> form, UInt128 low) {
    form.taken.low = low > form.taken.low ? low : form.taken.low;
    return form;
}
template <class Fn>
VectorForm<Fn> FromExponent(VectorForm<Fn> form, int32_t exponent) {
    form.taken.minExponent = exponent > form.taken.minExponent ? exponent : form.taken.minExponent;
    return form;
}
template <class Fn>
VectorForm<Fn> UpToExponent(VectorForm<Fn> form, int32_t exponent) {
    form.taken.maxExponent = exponent < form.taken.maxExponent ? exponent : form.taken.maxExponent;
    return form;
}

// The one-prime vector walks set up their lanes with scalar products; below
// N = 256 that costs more than the scalar walk's whole run (AMD EPYC, Zen 4,
// p = 2^60, ns a prime: N = 64, 85 scalar, 117 AVX2, 180 AVX-512; N = 128,
// 128, 140, 160; N = 256, 214, 162, 176). Below 2^51 the batched walks take
// small N anyway.
constexpr int32_t kOnePrimeWalkFrom = 256;
// The batched walks up to N = 8192 by measurement (AMD EPYC, Zen 4,
// p = 10^15, AVX-512): 11 against 153 ns a prime at N = 64, 89 against 210
// at 1024, 680 against 730 at 8192; at 65536, 5.3 against 4.9 us.
constexpr int32_t kBatchWalkUpTo = 1 << 13;
// Every walk takes N from one pass of sixteen odd powers on.
constexpr int32_t kOnePass = 32;
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
        t.strike = Form(avx512::StrikeBases, 3, kTwoTo63);
        t.fermat16 = Form(avx512::FermatBase2x16, 3, avx512::kFermatBound);
        t.fermat64 = Form(avx512::FermatBase2x64, 3, avx512::kFermatBound);
        // The digits are exact from 3 on, the doubles faster below their
        // bound; the two-digit forms likewise where the one-word ones end.
        t.fermatDigits16 = From(Form(avx512::FermatBase2Digits16, 3, avx512::kFermatDigitsBound), avx512::kFermatBound);
        t.fermatDigits64 = From(Form(avx512::FermatBase2Digits64, 3, avx512::kFermatDigitsBound), avx512::kFermatBound);
        t.fermatWide16 = From(Form(avx512::FermatBase2Wide16, 3, kTwoTo96), avx512::kFermatDigitsBound);
        t.orders16 = Form(avx512::OrderPowers16, 3, avx512::kOrderBound);
        t.divisors16 = Form(avx512::DivisorChecks16, 3, avx512::kOrderBound);
        t.ordersWide16 = From(Form(avx512::OrderPowersWide16, 3, kTwoTo96), avx512::kOrderBound);
        t.divisorsWide16 = From(Form(avx512::DivisorChecksWide16, 3, kTwoTo96), avx512::kOrderBound);
        t.roots = FromExponent(Form(avx512::EnumerateRoots, 3, kTwoTo63, kOnePass), kOnePrimeWalkFrom);
        t.rootLanes = avx512::kRootLanes;
        t.rootsBatch = UpToExponent(Form(avx512::EnumerateRootsBatch, 3, avx512::kRootBatchBound, 2), kBatchWalkUpTo);
        t.rootsIfma = Form(avx512::EnumerateRootsWide, kTwoTo63, kTwoTo96, kOnePass);
#endif
        break;
    case KernelPath::Avx2:
#ifdef VARNESK_HAVE_AVX2
        t.strike = Form(avx2::StrikeBases, 3, avx2::kStrikeBound);
        t.fermat16 = Form(avx2::FermatBase2x16, 3, avx2::kFermatBound);
        t.fermat64 = Form(avx2::FermatBase2x64, 3, avx2::kFermatBound);
        t.orders16 = Form(avx2::OrderPowers16, 3, avx2::kOrderBound);
        t.divisors16 = Form(avx2::DivisorChecks16, 3, avx2::kOrderBound);
        t.rootsBatch = UpToExponent(Form(avx2::EnumerateRootsBatch, 3, avx2::kRootBatchBound, 2), kBatchWalkUpTo);
        // From 2^64 on only: below it the scalar one-word test was faster
        // (AMD EPYC, Zen 4: 73-96 against 87-113 ns per candidate from 2^50
        // to 2^63); beyond it the limbs are 3.6 times the two-word scalar.
        t.fermatWide16 = From(Form(avx2::FermatBase2Limbs16, 3, kTwoTo96), kTwoTo64);
        t.roots = FromExponent(Form(avx2::EnumerateRoots, 3, avx2::kRootBound, kOnePass), kOnePrimeWalkFrom);
        t.rootLanes = avx2::kRootLanes;
        t.rootsScalarBeside = tuning.scalarBeside > 0 || (tuning.scalarBeside == 0 && ScalarBesideVectorPays());
        // From 2^64 on likewise: below it the one-word scalar walk was
        // faster (about 0.6 against 1.2 ns a root). N from two passes of
        // its lanes on fills whole blocks.
        t.rootsAvx2Wide = From(
            Form(avx2::EnumerateRootsWide, avx2::kWideRootsLow, kTwoTo96, 2 * RootSearchWideLanes::kLanes), kTwoTo64);
#endif
        break;
    case KernelPath::Scalar: break;
    }
    return t;
}

}  // namespace varnesk
