// The forms of several primes at once in doubles, one prime a lane, written
// once over a vector file's registers: the order search's powers, the
// solutions' check and the root walks of a batch. Exact for odd moduli
// 3 <= p < 2^51 with values kept in (-p, p): the products are the vector
// file's own, whose bounds open that file.
//
// A vector file (AVX2, AVX-512) instantiates these with its Lanes: Reg and
// Ints (a register of doubles and of 64-bit words), kWidth lanes a
// register, its Modulus (p per lane as Reg p), and
//   Words(v): kWidth words below 2^52 as doubles; StoreWords(out, x, m): x
//   in (-p, p) to [0, p) as words; Store(out, x): the doubles, aligned;
//   Set, Sub, Div; Mul(x, y, m), Square(x, m), MulFixed(x, u, u/p, m);
//   Abs, Min, Max; Le, Ge, Eq: bit l of the result for lane l;
//   LoadInts(v), Where(e, bit, y, x): y in the lanes whose e has bit set.
// Internal linkage on purpose (see rootwriter.h).
#pragma once
#include <cstdint>

#include "kernels/avx512.h"
#include "kernels/rootwriter.h"

namespace varnesk {
namespace {  // NOLINT(google-build-namespaces): one copy per file, see above

constexpr int kManyLanes = 16;  // the order search's and the check's primes

// a = q^k (mod p) and r = 1, -1 or 2 as a^(2^n) is 1, -1 or another value,
// for sixteen primes. Right to left over the bits of k: the squarings of q
// and the products into a are two chains, so a bit costs one product's
// latency, not two.
template <class L>
void OrderPowersLanes(const avx512::OrderSearch& s) {
    using Reg = typename L::Reg;
    constexpr int kRegs = kManyLanes / L::kWidth;
    uint64_t bits = 0;
    for (int l = 0; l < kManyLanes; ++l) bits |= s.k[l];
    const int top = bits ? 63 - __builtin_clzll(bits) : -1;
    typename L::Modulus m[kRegs];
    Reg x[kRegs], b[kRegs];
    typename L::Ints e[kRegs];
    for (int r = 0; r < kRegs; ++r) {
        m[r] = typename L::Modulus(L::Words(s.p + L::kWidth * r));
        b[r] = L::Words(s.q + L::kWidth * r);
        e[r] = L::LoadInts(s.k + L::kWidth * r);
        x[r] = L::Set(1.0);
    }
    for (int bit = 0; bit <= top; ++bit)
        for (int r = 0; r < kRegs; ++r) {
            x[r] = L::Where(e[r], bit, L::Mul(x[r], b[r], m[r]), x[r]);
            if (bit < top) b[r] = L::Square(b[r], m[r]);
        }
    const Reg one = L::Set(1.0), minusOne = L::Set(-1.0);
    for (int r = 0; r < kRegs; ++r) {
        Reg y = x[r];
        for (int32_t i = 0; i < s.n; ++i) y = L::Square(y, m[r]);
        L::StoreWords(s.a + L::kWidth * r, x[r], m[r]);
        const unsigned isOne = L::Eq(y, one) | L::Eq(y, L::Sub(one, m[r].p));
        const unsigned isMinusOne = L::Eq(y, minusOne) | L::Eq(y, L::Sub(m[r].p, one));
        for (int l = 0; l < L::kWidth; ++l)
            s.r[L::kWidth * r + l] = static_cast<int8_t>((isOne >> l) & 1 ? 1 : (isMinusOne >> l) & 1 ? -1 : 2);
    }
}

// Bit i set when a[i]^(2^n) = -1 (mod p[i]), for sixteen primes.
template <class L>
unsigned DivisorChecksLanes(const uint64_t* p, const uint64_t* a, int32_t n) {
    using Reg = typename L::Reg;
    constexpr int kRegs = kManyLanes / L::kWidth;
    typename L::Modulus m[kRegs];
    Reg x[kRegs];
    for (int r = 0; r < kRegs; ++r) {
        m[r] = typename L::Modulus(L::Words(p + L::kWidth * r));
        x[r] = L::Words(a + L::kWidth * r);
    }
    for (int32_t i = 0; i < n; ++i)
        for (int r = 0; r < kRegs; ++r) x[r] = L::Square(x[r], m[r]);
    const Reg one = L::Set(1.0), minusOne = L::Set(-1.0);
    unsigned passed = 0;
    for (int r = 0; r < kRegs; ++r)
        passed |= (L::Eq(x[r], minusOne) | L::Eq(x[r], L::Sub(m[r].p, one))) << (L::kWidth * r);
    return passed;
}

// The walks of several primes at once, one prime a lane (a short walk
// costs the one-prime form more in its set-up than in its steps). kWidth
// primes make a group; its kChains registers hold a^1, a^3, ...,
// a^(2 kChains - 1) of each and step by a^(2 kChains), so step t of
// register c is odd power t*kChains + c, and the registers read in order
// give each prime's powers in increasing order, as the one-prime walk lists
// them. The group's registers share their moduli and step, and as in that
// walk the smallest and largest |r| across them tell whether any holds a
// root.
template <class L, int kGroups, int kChains>
void EnumerateBatchLanes(const avx512::RootBatch& b) {
    using Reg = typename L::Reg;
    constexpr int kWidth = L::kWidth, kRegs = kGroups * kChains;
    const Reg limit = L::Set(static_cast<double>(b.limit));
    typename L::Modulus m[kGroups];
    Reg x[kRegs], u[kGroups], w[kGroups], high[kGroups];
    unsigned valid[kGroups];
#pragma GCC unroll 4
    for (int g = 0; g < kGroups; ++g) {
        alignas(64) uint64_t pl[kWidth], al[kWidth];
        const int from = kWidth * g, left = b.count - from, in = left < 0 ? 0 : left < kWidth ? left : kWidth;
        for (int l = 0; l < kWidth; ++l) {
            pl[l] = l < in ? b.p[from + l] : 3;  // a stand-in past the primes, never read
            al[l] = l < in ? b.a[from + l] : 1;
        }
        valid[g] = (1u << in) - 1;
        m[g] = typename L::Modulus(L::Words(pl));
        const Reg a = L::Words(al);
        const Reg a2 = L::Square(a, m[g]);
        x[kChains * g] = a;
#pragma GCC unroll 8
        for (int c = 1; c < kChains; ++c) x[kChains * g + c] = L::Mul(x[kChains * g + c - 1], a2, m[g]);
        Reg step = a2;
        for (int c = 1; c < kChains; c *= 2) step = L::Square(step, m[g]);
        u[g] = step;
        w[g] = L::Div(step, m[g].p);
        high[g] = L::Sub(m[g].p, limit);
    }
    for (int i = 0; i < b.count; ++i) b.found[i] = 0;
    for (uint32_t t = 0, steps = b.odd / kChains;;) {
#pragma GCC unroll 4
        for (int g = 0; g < kGroups; ++g) {
            // A lane holds a root within the limit (r or p - r, r taken mod
            // p) exactly when |r| <= limit or |r| >= p - limit.
            Reg smallest = L::Abs(x[kChains * g]), largest = smallest;
#pragma GCC unroll 8
            for (int c = 1; c < kChains; ++c) {
                const Reg v = L::Abs(x[kChains * g + c]);
                smallest = L::Min(smallest, v);
                largest = L::Max(largest, v);
            }
            if (!((L::Le(smallest, limit) | L::Ge(largest, high[g])) & valid[g])) continue;
            // Out of the registers first: indexed from a loop they would
            // live in memory throughout.
            alignas(64) double values[kChains * kWidth];
#pragma GCC unroll 8
            for (int c = 0; c < kChains; ++c) L::Store(values + kWidth * c, x[kChains * g + c]);
            ListBatchHits<kWidth>(b, kWidth * g, values, kChains, valid[g]);
        }
        if (++t == steps) break;
#pragma GCC unroll 4
        for (int g = 0; g < kGroups; ++g)
#pragma GCC unroll 8
            for (int c = 0; c < kChains; ++c)
                x[kChains * g + c] = L::MulFixed(x[kChains * g + c], u[g], w[g], m[g]);
    }
}

// Eight registers where the walk is long enough (one product's latency
// hidden behind the others), fewer chains where N is smaller.
template <class L, int kGroups, int kChains = 8 / kGroups>
void EnumerateBatchChains(const avx512::RootBatch& b) {
    if constexpr (kChains > 1)
        if (b.odd < static_cast<uint32_t>(kChains)) return EnumerateBatchChains<L, kGroups, kChains / 2>(b);
    EnumerateBatchLanes<L, kGroups, kChains>(b);
}

// As many groups as the batch needs.
template <class L>
void EnumerateBatchOf(const avx512::RootBatch& b) {
    if constexpr (L::kWidth == 4)
        if (b.count > 8) return EnumerateBatchChains<L, 4>(b);
    if (b.count > L::kWidth) return EnumerateBatchChains<L, 2>(b);
    EnumerateBatchChains<L, 1>(b);
}

}  // namespace
}  // namespace varnesk
