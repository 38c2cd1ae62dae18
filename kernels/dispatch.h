// The kernels' vector forms as one table, chosen once per job from its
// path: for each kernel its vector form's function, or none, with the
// moduli and exponents where it is exact and those where the job takes
// it. Every rule for taking a form lives here: a call site asks Takes and
// falls back to its portable form otherwise, so a table without entries
// (the scalar path's) is always right.
#pragma once
#include <cstdint>
#include <limits>

#include "kernels/forms.h"
#include "platform/numparse.h"

namespace varnesk {

// Which arithmetic the vectorisable kernels use. Scalar is always there.
enum class KernelPath { Scalar, Avx2, Avx512 };

// Odd moduli in [low, high) and exponents N from minExponent to
// maxExponent, each a power of two (0 for a kernel without one).
struct FormRange {
    UInt128 low = 0, high = 0;
    int32_t minExponent = 0, maxExponent = std::numeric_limits<int32_t>::max();

    bool Holds(UInt128 p, int32_t exponent = 0) const {
        return (p & 1) && low <= p && p < high && exponent >= minExponent && exponent <= maxExponent &&
               (exponent & (exponent - 1)) == 0;
    }
    bool Within(const FormRange& r) const {
        return low >= r.low && high <= r.high && minExponent >= r.minExponent && maxExponent <= r.maxExponent;
    }
};

// One kernel's vector form: exact (it gives what the portable form gives)
// over the bounds its vector header states; taken by the job over a part
// of those, narrower where the portable form was measured faster. fn is
// null where the path has none.
template <class Fn>
struct VectorForm {
    Fn fn = nullptr;
    FormRange exact, taken;

    bool Takes(UInt128 p, int32_t exponent = 0) const { return fn != nullptr && taken.Holds(p, exponent); }
};

struct KernelTable {
    KernelPath path = KernelPath::Scalar;
    // StrikeBaseList.
    VectorForm<int32_t (*)(uint32_t*, int32_t, uint64_t, int32_t)> strike;
    // Base-2 Fermat test of sixteen one-word moduli (bit i for p[i]), the
    // short form (doubles) and, beyond it, the one-word digits. Each is
    // exact for every odd modulus from 3 up to its bound, so the largest of
    // the sixteen picks the form.
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
    // The one-word root walks of up to sixteen primes at once (short
    // walks, where the one-prime walk's set-up is most of its cost).
    VectorForm<void (*)(const RootBatch&)> rootsBatch;
    // The AVX2 walk with scalar chains beside its vector lanes.
    bool rootsScalarBeside = false;
    // The two-word root walks (one of them per path).
    VectorForm<int32_t (*)(const RootSearchWide&)> rootsIfma;
    VectorForm<int32_t (*)(const RootSearchWideLanes&)> rootsAvx2Wide;
    // Chains of the portable one-word root walk: 8 or 16.
    int scalarChains = 16;

    // Every form with its name, for what treats them all alike (the tests
    // hold each against its reference).
    template <class Visit>
    void ForEachForm(Visit&& visit) const {
        visit("strike", strike);
        visit("fermat16", fermat16);
        visit("fermatDigits16", fermatDigits16);
        visit("fermat64", fermat64);
        visit("fermatDigits64", fermatDigits64);
        visit("fermatWide16", fermatWide16);
        visit("orders16", orders16);
        visit("divisors16", divisors16);
        visit("ordersWide16", ordersWide16);
        visit("divisorsWide16", divisorsWide16);
        visit("roots", roots);
        visit("rootsBatch", rootsBatch);
        visit("rootsIfma", rootsIfma);
        visit("rootsAvx2Wide", rootsAvx2Wide);
    }
};

// Tuning that tests and benchmarks may force; 0 leaves it to the CPU.
struct KernelTuning {
    int scalarChains = 0;  // 8 or 16
    int scalarBeside = 0;  // 1 on, -1 off (AVX2 only)
};

// The table of `path`; the scalar table when this CPU or build lacks it.
KernelTable KernelTableFor(KernelPath path, KernelTuning tuning = {});

}  // namespace varnesk
