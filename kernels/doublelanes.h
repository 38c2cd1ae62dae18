// The forms in doubles of several moduli at once, one modulus a lane,
// written once over a vector file's registers: the modular products, the
// base-2 Fermat test, the strike of a base list, the order search's powers,
// the solutions' check and the root walks of a batch.
//
// x*y mod p for |x|, |y| < p: h = x*y rounded and l = fma(x, y, -h) give
// x*y = h + l exactly; q is x*y/p rounded to an integer by an fma against
// 1.5*2^52, from either h*(1/p) or, for a fixed y = u, x*(u/p). Each
// estimate is less than 1 from the true quotient (1/2 for the rounding,
// about 1/4 for each rounded factor below 2^51), so r = fma(-q, p, h) + l
// is exact (|r - l| < 2^53) and lies in (-p, p): exact for odd moduli
// 3 <= p < 2^51 with values kept in (-p, p), brought to [0, p) only where
// they are written out. Needs round-to-nearest in MXCSR, which the job
// start checks, and no contraction of the products written here into FMAs
// (the vector files are compiled with -ffp-contract=off).
//
// A vector file (AVX2, AVX-512) gives its registers R: Reg and Ints (a
// register of doubles and of as many 64-bit words, whose +, -, * and / are
// the lanes' own), and
//   Set(v); Fma(a, b, c) = a*b + c rounded once; Abs, Min, Max;
//   Le, Ge, Eq: bit l of the result for lane l;
//   Words(v): kWidth words below 2^52 as doubles; Bases(v, left): the first
//   left (up to kWidth) 32-bit entries as doubles, 0 past them;
//   Store(out, x): the doubles, aligned; StoreWords(out, x): integral
//   x in [0, 2^52) as words; Lift(x, p): x + p where x < 0;
//   LoadInts(v); Where(e, bit, y, x): y in the lanes whose e has bit set.
// DoubleLanes<R> adds the products; the forms take it as L.
// Internal linkage on purpose (see rootwriter.h).
#pragma once
#include <cstdint>

#include "kernels/forms.h"
#include "kernels/rootwriter.h"

namespace varnesk {
namespace {  // NOLINT(google-build-namespaces): one copy per file, see above

constexpr double kRoundMagic = 6755399441055744.0;  // 1.5 * 2^52

template <class R>
struct DoubleLanes : R {
    using Reg = typename R::Reg;
    static constexpr int kWidth = sizeof(Reg) / sizeof(double);
    // p, 1/p and the rounding constant, per lane or one for all.
    struct Modulus {
        Reg p, pinv, magic;
        Modulus() = default;
        explicit Modulus(uint64_t modulus)
            : p(R::Set(static_cast<double>(modulus))),
              pinv(R::Set(1.0 / static_cast<double>(modulus))),
              magic(R::Set(kRoundMagic)) {}
        // One modulus a lane (each exact as a double, below 2^51).
        explicit Modulus(Reg moduli) : p(moduli), pinv(R::Set(1.0) / moduli), magic(R::Set(kRoundMagic)) {}
    };
    // x*u mod p for a fixed u, with w = u/p: result in (-p, p).
    static Reg MulFixed(Reg x, Reg u, Reg w, const Modulus& m) {
        const Reg h = x * u, l = R::Fma(x, u, -h);
        const Reg q = R::Fma(x, w, m.magic) - m.magic;
        return R::Fma(-q, m.p, h) + l;
    }
    // x*y mod p for |x|, |y| < p: result in (-p, p).
    static Reg Mul(Reg x, Reg y, const Modulus& m) {
        const Reg h = x * y, l = R::Fma(x, y, -h);
        const Reg q = R::Fma(h, m.pinv, m.magic) - m.magic;
        return R::Fma(-q, m.p, h) + l;
    }
    static Reg Square(Reg x, const Modulus& m) { return Mul(x, x, m); }
    // x in (-p, p) to [0, p) as words.
    static void StoreResidues(uint64_t* out, Reg x, const Modulus& m) { R::StoreWords(out, R::Lift(x, m.p)); }
};

// Base-2 Fermat test of kRegs registers of odd moduli 3 <= p < 2^50: bit i
// set when 2^(p[i] - 1) = 1 (mod p[i]). Left to right over the bits of
// p - 1 with the doubling folded into the product, x <- x * (2x or x): the
// second factor is below 2p, so the quotient estimate stays within
// 1/2 + p/2^51 of the truth, below 1 for p < 2^50, and every step is exact
// with x in (-p, p). The registers run side by side: one chain is
// latency-bound.
template <class L, int kRegs>
uint64_t FermatLanes(const uint64_t* moduli) {
    using Reg = typename L::Reg;
    constexpr int kLanes = L::kWidth * kRegs;
    uint64_t bits = 0;
    for (int l = 0; l < kLanes; ++l) bits |= moduli[l];
    typename L::Modulus m[kRegs];
    typename L::Ints exponent[kRegs];  // p - 1 has the bits of odd p but the lowest
    Reg x[kRegs];
#pragma GCC unroll 8
    for (int r = 0; r < kRegs; ++r) {
        m[r] = typename L::Modulus(L::Words(moduli + L::kWidth * r));
        exponent[r] = L::LoadInts(moduli + L::kWidth * r);
        x[r] = L::Set(1.0);
    }
    for (int bit = 63 - __builtin_clzll(bits); bit > 0; --bit)
#pragma GCC unroll 8
        for (int r = 0; r < kRegs; ++r) x[r] = L::Mul(x[r], L::Where(exponent[r], bit, x[r] + x[r], x[r]), m[r]);
    const Reg one = L::Set(1.0);
    uint64_t passed = 0;
#pragma GCC unroll 8
    for (int r = 0; r < kRegs; ++r) {
        x[r] = L::Square(x[r], m[r]);
        passed |= static_cast<uint64_t>(L::Eq(x[r], one) | L::Eq(x[r], one - m[r].p)) << (L::kWidth * r);
    }
    return passed;
}

// Sets bit 31 of every entry b (below 2^31) with b^(2^n) = -1 (mod p), p odd
// with 3 <= p < 2^51, kRegs registers of bases at a time; returns how many.
template <class L, int kRegs>
int32_t StrikeLanes(uint32_t* list, int32_t count, uint64_t p, int32_t n) {
    using Reg = typename L::Reg;
    constexpr int kBlock = L::kWidth * kRegs;
    const typename L::Modulus m(p);
    const Reg minusOne = L::Set(-1.0), pMinusOne = L::Set(static_cast<double>(p - 1));
    int32_t marked = 0;
    for (int32_t i = 0; i < count; i += kBlock) {
        const int32_t len = count - i < kBlock ? count - i : kBlock;
        Reg x[kRegs];
        for (int z = 0; z < kRegs; ++z) {
            // Lanes past the end hold 0, which never matches.
            const int32_t from = L::kWidth * z < len ? L::kWidth * z : len;
            const Reg b = L::Bases(list + i + from, len - from);
            // b may exceed a small p: one rounded quotient brings it to (-p, p).
            const Reg q = L::Fma(b, m.pinv, m.magic) - m.magic;
            x[z] = L::Fma(-q, m.p, b);
        }
        for (int32_t step = 0; step < n; ++step)
            for (int z = 0; z < kRegs; ++z) x[z] = L::Square(x[z], m);
        for (int z = 0; z < kRegs && L::kWidth * z < len; ++z)
            for (unsigned hits = L::Eq(x[z], minusOne) | L::Eq(x[z], pMinusOne); hits; hits &= hits - 1) {
                list[i + L::kWidth * z + __builtin_ctz(hits)] |= 0x80000000u;
                ++marked;
            }
    }
    return marked;
}

constexpr int kManyLanes = 16;  // the order search's and the check's primes

// a = q^k (mod p) and r = 1, -1 or 2 as a^(2^n) is 1, -1 or another value,
// for sixteen primes. Right to left over the bits of k: the squarings of q
// and the products into a are two chains, so a bit costs one product's
// latency, not two.
template <class L>
void OrderPowersLanes(const OrderSearch& s) {
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
        L::StoreResidues(s.a + L::kWidth * r, x[r], m[r]);
        const unsigned isOne = L::Eq(y, one) | L::Eq(y, one - m[r].p);
        const unsigned isMinusOne = L::Eq(y, minusOne) | L::Eq(y, m[r].p - one);
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
        passed |= (L::Eq(x[r], minusOne) | L::Eq(x[r], m[r].p - one)) << (L::kWidth * r);
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
void EnumerateBatchLanes(const RootBatch& b) {
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
        w[g] = step / m[g].p;
        high[g] = m[g].p - limit;
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
void EnumerateBatchChains(const RootBatch& b) {
    if constexpr (kChains > 1)
        if (b.odd < static_cast<uint32_t>(kChains)) return EnumerateBatchChains<L, kGroups, kChains / 2>(b);
    EnumerateBatchLanes<L, kGroups, kChains>(b);
}

// As many groups as the batch needs.
template <class L>
void EnumerateBatchOf(const RootBatch& b) {
    if constexpr (L::kWidth == 4)
        if (b.count > 8) return EnumerateBatchChains<L, 4>(b);
    if (b.count > L::kWidth) return EnumerateBatchChains<L, 2>(b);
    EnumerateBatchChains<L, 1>(b);
}

}  // namespace
}  // namespace varnesk
