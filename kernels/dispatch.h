// The kernels' vector forms as one table, chosen once per job from its
// path: for each kernel the moduli its vector form takes and the function,
// or none. Every kernel falls back to its portable form outside that range,
// so a table without entries (the scalar path's) is always right.
#pragma once
#include <cstdint>

#include "kernels/forms.h"
#include "platform/numparse.h"

namespace varnesk {

// Which arithmetic the vectorisable kernels use. Scalar is always there.
enum class KernelPath { Scalar, Avx2, Avx512 };

// One kernel's vector form: taken for odd moduli in [low, high) and
// exponents N from minExponent on; fn is null when the path has none.
template <class Fn>
struct VectorForm {
    UInt128 low = 0, high = 0;
    int32_t minExponent = 0;
    Fn fn = nullptr;

    bool Takes(UInt128 p, int32_t exponent = 0) const {
        return fn != nullptr && low <= p && p < high && exponent >= minExponent;
    }
};

struct KernelTable {
    KernelPath path = KernelPath::Scalar;
    // StrikeBaseList.
    VectorForm<int32_t (*)(uint32_t*, int32_t, uint64_t, int32_t)> strike;
    // Base-2 Fermat test of sixteen one-word moduli (bit i for p[i]), the
    // short form (doubles) and, beyond it, the one-word digits. Each is
    // exact for every odd modulus from 3 up to its high bound, so the
    // largest of the sixteen picks the form.
    VectorForm<unsigned (*)(const uint64_t*)> fermat16;
    VectorForm<unsigned (*)(const uint64_t*)> fermatDigits16;
    // The short form and the digits for sixty-four moduli (bit i for p[i]).
    VectorForm<uint64_t (*)(const uint64_t*)> fermat64;
    VectorForm<uint64_t (*)(const uint64_t*)> fermatDigits64;
    // The same below 2^96, moduli as (low, high) words.
    VectorForm<unsigned (*)(const uint64_t*, const uint64_t*)> fermatWide16;
    // The order search's powers q^k and their check for sixteen primes.
    VectorForm<void (*)(const OrderSearch&)> orders16;
    // The check of sixteen solutions, each against its own prime.
    VectorForm<unsigned (*)(const uint64_t*, const uint64_t*, int32_t)> divisors16;
    // The same two beyond one word, values as (low, high) words.
    VectorForm<void (*)(const OrderSearchWide&)> ordersWide16;
    VectorForm<unsigned (*)(const uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*, int32_t)>
        divisorsWide16;
    // The one-word root walk; rootLanes running powers per pass block.
    VectorForm<int32_t (*)(const RootSearch&)> roots;
    int rootLanes = 0;
    // The one-word root walks of up to sixteen primes at once, for N up to
    // rootsBatchUpTo (beyond it the one-prime walk's set-up is paid for).
    VectorForm<void (*)(const RootBatch&)> rootsBatch;
    int32_t rootsBatchUpTo = 0;
    // The AVX2 walk with scalar chains beside its vector lanes.
    bool rootsScalarBeside = false;
    // The two-word root walks (one of them per path).
    VectorForm<int32_t (*)(const RootSearchWide&)> rootsIfma;
    VectorForm<int32_t (*)(const RootSearchWideLanes&)> rootsAvx2Wide;
    // Chains of the portable one-word root walk: 8 or 16.
    int scalarChains = 16;
};

// Tuning that tests and benchmarks may force; 0 leaves it to the CPU.
struct KernelTuning {
    int scalarChains = 0;  // 8 or 16
    int scalarBeside = 0;  // 1 on, -1 off (AVX2 only)
};

// The table of `path`; the scalar table when this CPU or build lacks it.
KernelTable KernelTableFor(KernelPath path, KernelTuning tuning = {});

}  // namespace varnesk
