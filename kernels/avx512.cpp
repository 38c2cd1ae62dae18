// AVX-512 forms of the root enumeration, the base-list strike, the
// base-2 Fermat test and the order search with its check.
//
// Two exact schemes, chosen by the size of p:
//
// p < 2^51, doubles: the products of doublelanes.h, values in (-p, p).
//
// p < 2^63, IFMA with 52-bit digits. Squaring is Montgomery with R = 2^104
// (two reduction digits), r = x^2 / R mod p, below 2p and brought to [0, p)
// with one subtraction. A product by a fixed u is one reduction digit:
// x = x0 + 2^52 x1 (x1 < 2^11), t = x0*(u 2^52 mod p) + x1*(u 2^104 mod p) is
// x*u*2^52 mod p, and t / 2^52 mod p by one Montgomery digit is x*u mod p.
// That result is below 2p + p/2^41, so after one subtraction a lane may hold
// v + p for a residue v < 2^22: the next product takes it unchanged, the hit
// test sees it as a possible hit, and the walk subtracts p again. The
// Fermat test, the order search's powers and the solutions' check use the
// squaring (and its two-factor form) with a modulus per lane.
//
// 2^63 <= p < 2^96, IFMA with two full 52-bit digits (root walk only).
// Values are x = x0 + 2^52 x1 in [0, p), x1 < 2^44. The product by the
// fixed step is Montgomery with R = 2^104: x*c' for c' = c 2^104 mod p is
// below p^2 < 2^192, its digits t0..t3 gather at most five 52-bit parts
// each (below 2^55, no lane overflows), and two reduction digits give
// r = (x c' + m p) / 2^104 < p^2 / 2^104 + p < p (1 + 2^-8) since
// p < 2^96: one subtraction ends in [0, p), so values are always exact.
// A lane can hold a hit only if its high digit is 0 or reaches that of
// p - limit; a block with such a lane is checked value by value. The
// base-2 Fermat test squares with the same product (per-lane moduli) and
// doubles by shifting the product's digits before the reduction.

// GCC 12 warns inside its own intrinsics (the self-initialised
// _mm512_undefined_* values, GCC bug 105593); the warning points into the
// header, so switching it off for the header is enough.
#pragma GCC diagnostic push
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>
#include <initializer_list>

#include "kernels/avx512.h"
#include "kernels/doublelanes.h"
#include "kernels/rootwriter.h"

namespace varnesk::avx512 {
namespace {

using u128 = unsigned __int128;

constexpr uint64_t kDigitMask = (1ULL << 52) - 1;
constexpr int kPassesPerBlock = kRootLanes / 16;
constexpr int kRootRegs = kRootLanes / 8;
static_assert(kRootLanes == RootSearchWide::kLanes && kRootLanes <= kMostRootLanes);

// -p^-1 mod 2^52 for odd p (Newton's iteration doubles the good bits).
uint64_t NegInverse52(uint64_t p) {
    uint64_t x = p;  // right to 3 bits
    for (int i = 0; i < 5; ++i) x *= 2 - p * x;
    return (0 - x) & kDigitMask;
}

// ---- doubles, p < 2^51 ----

// The registers of the forms in doublelanes.h, eight lanes a register.
struct Regs {
    using Reg = __m512d;
    using Ints = __m512i;
    static Reg Set(double v) { return _mm512_set1_pd(v); }
    static Reg Fma(Reg a, Reg b, Reg c) { return _mm512_fmadd_pd(a, b, c); }
    static Reg Abs(Reg x) { return _mm512_abs_pd(x); }
    static Reg Min(Reg a, Reg b) { return _mm512_min_pd(a, b); }
    static Reg Max(Reg a, Reg b) { return _mm512_max_pd(a, b); }
    static unsigned Le(Reg a, Reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static unsigned Ge(Reg a, Reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static unsigned Eq(Reg a, Reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static Reg Words(const uint64_t* v) { return _mm512_cvtepu64_pd(_mm512_loadu_si512(v)); }
    static Reg Bases(const uint32_t* v, int32_t left) {
        const __mmask8 in = static_cast<__mmask8>(left >= 8 ? 0xFF : (1u << left) - 1);
        return _mm512_cvtepu32_pd(_mm256_maskz_loadu_epi32(in, v));
    }
    static void Store(double* out, Reg x) { _mm512_store_pd(out, x); }
    static void StoreWords(uint64_t* out, Reg x) { _mm512_storeu_si512(out, _mm512_cvtpd_epu64(x)); }
    static Reg Lift(Reg x, Reg p) {
        return _mm512_mask_add_pd(x, _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_LT_OQ), x, p);
    }
    static Ints LoadInts(const uint64_t* v) { return _mm512_loadu_si512(v); }
    static Reg Where(Ints e, int bit, Reg y, Reg x) {
        const __m512i at = _mm512_set1_epi64(static_cast<long long>(1ULL << bit));
        return _mm512_mask_mov_pd(x, _mm512_test_epi64_mask(e, at), y);
    }
};
using Lanes = DoubleLanes<Regs>;

int32_t EnumerateDouble(const RootSearch& s) {
    const Lanes::Modulus m(s.p);
    const __m512d u = _mm512_set1_pd(static_cast<double>(s.step));
    // u/p to nearest double (two roundings stay within the quotient bound).
    const __m512d w = _mm512_set1_pd(static_cast<double>(static_cast<long double>(s.step) / s.p));
    __m512d x[kRootRegs];
    for (int z = 0; z < kRootRegs; ++z) x[z] = Regs::Words(s.start + 8 * z);

    // A lane r holds a root within the limit (r or p - r, r taken mod p)
    // exactly when |r| <= limit or |r| >= p - limit; the block's smallest
    // and largest |r| decide. With limit >= p/2 every block is walked.
    const bool everyBlock = 2 * static_cast<u128>(s.limit) + 1 >= s.p;
    const __m512d low = _mm512_set1_pd(static_cast<double>(s.limit));
    const __m512d high = _mm512_set1_pd(everyBlock ? 0.0 : static_cast<double>(s.p - s.limit));
    RootWriter out{s.out, s.capacity, s.limit, 0};
    uint32_t left = s.passes;
    for (;;) {
        bool walk = everyBlock;
        if (!walk) {
            __m512d smallest = _mm512_range_pd(x[0], x[1], 0x0A);  // min |.|
            __m512d largest = _mm512_range_pd(x[0], x[1], 0x0B);   // max |.|
            for (int z = 2; z < kRootRegs; ++z) {
                smallest = _mm512_range_pd(smallest, x[z], 0x0A);
                largest = _mm512_range_pd(largest, x[z], 0x0B);
            }
            walk = (_mm512_cmp_pd_mask(smallest, low, _CMP_LE_OQ) | _mm512_cmp_pd_mask(largest, high, _CMP_GE_OQ)) != 0;
        }
        if (walk) {
            alignas(64) uint64_t v[kRootLanes];
            for (int z = 0; z < kRootRegs; ++z) Lanes::StoreResidues(v + 8 * z, x[z], m);
            const uint32_t passes = left < kPassesPerBlock ? left : kPassesPerBlock;
            if (!out.Walk(v, static_cast<int>(16 * passes), s.p)) return -1;
        }
        if (left <= kPassesPerBlock) break;
        left -= kPassesPerBlock;
        for (int z = 0; z < kRootRegs; ++z) x[z] = Lanes::MulFixed(x[z], u, w, m);
    }
    return out.found;
}

// ---- IFMA, p < 2^63 ----

struct DigitModulus {
    __m512i p, p0, p1, mu;
    DigitModulus() = default;
    explicit DigitModulus(uint64_t modulus)
        : p(_mm512_set1_epi64(static_cast<long long>(modulus))),
          p0(_mm512_set1_epi64(static_cast<long long>(modulus & kDigitMask))),
          p1(_mm512_set1_epi64(static_cast<long long>(modulus >> 52))),
          mu(_mm512_set1_epi64(static_cast<long long>(NegInverse52(modulus)))) {}
};

// t0 + 2^52 t1 + 2^104 t2 (digits not carried) / 2^104 mod p in [0, p): two
// Montgomery digits. The first makes t0 + m0 p = 0 mod 2^52 and carries its
// top into t1; the second does the same on t1 (m1 reads t1 mod 2^52).
inline __m512i ReduceDigits(__m512i t0, __m512i t1, __m512i t2, const DigitModulus& m) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i m0 = _mm512_madd52lo_epu64(zero, t0, m.mu);
    t1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(t1, m0, m.p0), m0, m.p1);
    t2 = _mm512_madd52hi_epu64(t2, m0, m.p1);
    t1 = _mm512_add_epi64(t1, _mm512_srli_epi64(_mm512_madd52lo_epu64(t0, m0, m.p0), 52));
    const __m512i m1 = _mm512_madd52lo_epu64(zero, t1, m.mu);
    t2 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(t2, m1, m.p0), m1, m.p1);
    const __m512i t3 = _mm512_madd52hi_epu64(zero, m1, m.p1);
    t2 = _mm512_add_epi64(t2, _mm512_srli_epi64(_mm512_madd52lo_epu64(t1, m1, m.p0), 52));
    const __m512i r = _mm512_add_epi64(t2, _mm512_slli_epi64(t3, 52));
    return _mm512_min_epu64(r, _mm512_sub_epi64(r, m.p));
}

// x^2 / 2^104 mod p in [0, p) for x in [0, p). The multipliers read only the
// low 52 bits of their operands, so x itself serves as its low digit.
inline __m512i SquareMont(__m512i x, const DigitModulus& m) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i x1 = _mm512_srli_epi64(x, 52);
    const __m512i x1d = _mm512_add_epi64(x1, x1);
    // x^2 = t0 + 2^52 t1 + 2^104 t2 (digits not carried)
    const __m512i t0 = _mm512_madd52lo_epu64(zero, x, x);
    __m512i t1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(zero, x, x), x, x1d);
    __m512i t2 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(zero, x, x1d), x1, x1);
    return ReduceDigits(t0, t1, t2, m);
}

// x*y / 2^104 mod p in [0, p) for x, y in [0, p): SquareMont with two
// different factors (x1*y1 < 2^22 has no high part).
inline __m512i MulMont(__m512i x, __m512i y, const DigitModulus& m) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i x1 = _mm512_srli_epi64(x, 52), y1 = _mm512_srli_epi64(y, 52);
    const __m512i t0 = _mm512_madd52lo_epu64(zero, x, y);
    __m512i t1 = _mm512_madd52lo_epu64(_mm512_madd52lo_epu64(_mm512_madd52hi_epu64(zero, x, y), x, y1), x1, y);
    __m512i t2 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(_mm512_madd52hi_epu64(zero, x, y1), x1, y), x1, y1);
    return ReduceDigits(t0, t1, t2, m);
}

// Multiplication by a fixed u: a = u 2^52 mod p and b = u 2^104 mod p in
// digits.
struct FixedFactor {
    __m512i a0, a1, b0, b1;
    FixedFactor(uint64_t u, uint64_t p) {
        const uint64_t a = static_cast<uint64_t>((static_cast<u128>(u) << 52) % p);
        const uint64_t b = static_cast<uint64_t>((static_cast<u128>(a) << 52) % p);
        a0 = _mm512_set1_epi64(static_cast<long long>(a & kDigitMask));
        a1 = _mm512_set1_epi64(static_cast<long long>(a >> 52));
        b0 = _mm512_set1_epi64(static_cast<long long>(b & kDigitMask));
        b1 = _mm512_set1_epi64(static_cast<long long>(b >> 52));
    }
};

inline __m512i MulFixed(__m512i x, const FixedFactor& f, const DigitModulus& m) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i x1 = _mm512_srli_epi64(x, 52);
    // t = x0*a + x1*b = t0 + 2^52 d1 + 2^104 d2; x1*b1 < 2^23 has no high part.
    const __m512i t0 = _mm512_madd52lo_epu64(_mm512_madd52lo_epu64(zero, x, f.a0), x1, f.b0);
    __m512i d1 = _mm512_madd52hi_epu64(zero, x, f.a0);
    d1 = _mm512_madd52lo_epu64(d1, x, f.a1);
    d1 = _mm512_madd52hi_epu64(d1, x1, f.b0);
    d1 = _mm512_madd52lo_epu64(d1, x1, f.b1);
    __m512i d2 = _mm512_madd52hi_epu64(zero, x, f.a1);
    const __m512i q = _mm512_madd52lo_epu64(zero, t0, m.mu);
    d1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(d1, q, m.p0), q, m.p1);
    d2 = _mm512_madd52hi_epu64(d2, q, m.p1);
    d1 = _mm512_add_epi64(d1, _mm512_srli_epi64(_mm512_madd52lo_epu64(t0, q, m.p0), 52));
    const __m512i r = _mm512_add_epi64(d1, _mm512_slli_epi64(d2, 52));
    return _mm512_min_epu64(r, _mm512_sub_epi64(r, m.p));
}

int32_t EnumerateDigits(const RootSearch& s) {
    const DigitModulus m(s.p);
    const FixedFactor f(s.step, s.p);
    __m512i x[kRootRegs];
    for (int z = 0; z < kRootRegs; ++z) x[z] = _mm512_loadu_si512(s.start + 8 * z);

    // x and p - x are both above the limit exactly when
    // (x - limit - 1) mod 2^64 < p - 2 limit - 1; a lane holding v + p
    // (see above) always fails that and is walked.
    const bool everyBlock = 2 * static_cast<u128>(s.limit) + 1 >= s.p;
    const __m512i shift = _mm512_set1_epi64(static_cast<long long>(s.limit + 1));
    const __m512i span = _mm512_set1_epi64(static_cast<long long>(everyBlock ? 0 : s.p - 2 * s.limit - 1));
    RootWriter out{s.out, s.capacity, s.limit, 0};
    uint32_t left = s.passes;
    for (;;) {
        bool walk = everyBlock;
        if (!walk) {
            __m512i far = _mm512_sub_epi64(x[0], shift);
            for (int z = 1; z < kRootRegs; ++z) far = _mm512_max_epu64(far, _mm512_sub_epi64(x[z], shift));
            walk = _mm512_cmpge_epu64_mask(far, span) != 0;
        }
        if (walk) {
            alignas(64) uint64_t v[kRootLanes];
            for (int z = 0; z < kRootRegs; ++z)
                _mm512_store_si512(v + 8 * z, _mm512_min_epu64(x[z], _mm512_sub_epi64(x[z], m.p)));
            const uint32_t passes = left < kPassesPerBlock ? left : kPassesPerBlock;
            if (!out.Walk(v, static_cast<int>(16 * passes), s.p)) return -1;
        }
        if (left <= kPassesPerBlock) break;
        left -= kPassesPerBlock;
        for (int z = 0; z < kRootRegs; ++z) x[z] = MulFixed(x[z], f, m);
    }
    return out.found;
}

int32_t StrikeDigits(uint32_t* list, int32_t count, uint64_t p, int32_t n) {
    const DigitModulus m(p);
    // Raw squarings give f(b) = b^2 / R, so b^(2^n) = -1 exactly when
    // f^n(b) = -f^n(1) = p - f^n(1) (never 0: R is a unit mod odd p).
    __m512i one = _mm512_set1_epi64(1);
    for (int32_t step = 0; step < n; ++step) one = SquareMont(one, m);
    const __m512i target = _mm512_sub_epi64(m.p, one);
    constexpr int kRegs = 4;
    int32_t marked = 0;
    for (int32_t i = 0; i < count; i += 8 * kRegs) {
        const int32_t len = count - i < 8 * kRegs ? count - i : 8 * kRegs;
        __m512i x[kRegs];
        for (int z = 0; z < kRegs; ++z) {
            const int32_t from = 8 * z < len ? 8 * z : len;
            const __mmask8 in = static_cast<__mmask8>(len - from >= 8 ? 0xFF : (1u << (len - from)) - 1);
            x[z] = _mm512_cvtepu32_epi64(_mm256_maskz_loadu_epi32(in, list + i + from));  // b < 2^31 < p
        }
        for (int32_t step = 0; step < n; ++step)
            for (int z = 0; z < kRegs; ++z) x[z] = SquareMont(x[z], m);
        // Lanes past the end hold 0, which never matches.
        for (int z = 0; z < kRegs && 8 * z < len; ++z) {
            unsigned hits = _mm512_cmpeq_epu64_mask(x[z], target);
            for (; hits; hits &= hits - 1) {
                list[i + 8 * z + __builtin_ctz(hits)] |= 0x80000000u;
                ++marked;
            }
        }
    }
    return marked;
}

// ---- IFMA, 2^63 <= p < 2^96: two full digits ----

struct WideDigits {
    __m512i p0, p1, mu, mask;
    WideDigits() = default;
    WideDigits(uint64_t pLow, uint64_t pHigh) {
        const u128 p = static_cast<u128>(pHigh) << 64 | pLow;
        p0 = _mm512_set1_epi64(static_cast<long long>(static_cast<uint64_t>(p) & kDigitMask));
        p1 = _mm512_set1_epi64(static_cast<long long>(static_cast<uint64_t>(p >> 52)));
        mu = _mm512_set1_epi64(static_cast<long long>(NegInverse52(pLow)));
        mask = _mm512_set1_epi64(static_cast<long long>(kDigitMask));
    }
};

// One Montgomery digit: m = d0 * mu makes d0 + m p = 0 mod 2^52; m p goes
// into d1 and d2 and d0's carry into d1 (m reads d0 mod 2^52).
inline void ReduceDigit(__m512i& d0, __m512i& d1, __m512i& d2, const WideDigits& m) {
    const __m512i q = _mm512_madd52lo_epu64(_mm512_setzero_si512(), d0, m.mu);
    d0 = _mm512_madd52lo_epu64(d0, q, m.p0);
    d1 = _mm512_madd52hi_epu64(d1, q, m.p0);
    d1 = _mm512_madd52lo_epu64(d1, q, m.p1);
    d2 = _mm512_madd52hi_epu64(d2, q, m.p1);
    d1 = _mm512_add_epi64(d1, _mm512_srli_epi64(d0, 52));
}

// r - p when that is not negative, else r, for r = r0 + 2^52 r1 with
// r0 < 2^52 and r < 2^116.
inline void SubtractIfAtLeast(__m512i r0, __m512i r1, const WideDigits& m, __m512i& x0, __m512i& x1) {
    const __m512i s0 = _mm512_sub_epi64(r0, m.p0);
    const __m512i s1 = _mm512_sub_epi64(_mm512_sub_epi64(r1, m.p1), _mm512_srli_epi64(s0, 63));
    const __mmask8 keep = _mm512_cmplt_epi64_mask(s1, _mm512_setzero_si512());
    x0 = _mm512_mask_blend_epi64(keep, _mm512_and_si512(s0, m.mask), r0);
    x1 = _mm512_mask_blend_epi64(keep, s1, r1);
}

// (x0 + 2^52 x1) * (c0 + 2^52 c1) / 2^104 mod p in [0, p), digits in and out.
inline void MulMont2(__m512i& x0, __m512i& x1, __m512i c0, __m512i c1, const WideDigits& m) {
    const __m512i zero = _mm512_setzero_si512();
    __m512i t0 = _mm512_madd52lo_epu64(zero, x0, c0);
    __m512i t1 = _mm512_madd52hi_epu64(zero, x0, c0);
    t1 = _mm512_madd52lo_epu64(t1, x0, c1);
    t1 = _mm512_madd52lo_epu64(t1, x1, c0);
    __m512i t2 = _mm512_madd52hi_epu64(zero, x0, c1);
    t2 = _mm512_madd52hi_epu64(t2, x1, c0);
    t2 = _mm512_madd52lo_epu64(t2, x1, c1);
    __m512i t3 = _mm512_madd52hi_epu64(zero, x1, c1);
    ReduceDigit(t0, t1, t2, m);  // first digit; its carry goes to t1
    ReduceDigit(t1, t2, t3, m);  // second digit, on t1
    SubtractIfAtLeast(_mm512_and_si512(t2, m.mask), _mm512_add_epi64(t3, _mm512_srli_epi64(t2, 52)), m, x0, x1);
}

// x*c (mod p) for a fixed c with one Montgomery digit instead of two: with
// x = x0 + 2^52 x1, A = c 2^52 mod p and B = c 2^104 mod p,
// t = x0*A + x1*B = x c 2^52 (mod p), and (t + q p) / 2^52 = x c (mod p).
// No final subtraction: for x < 3p and p < 2^96, x0*A < 2^52 p,
// x1*B < 3p 2^-8 2^52 and q p < 2^52 p, so the result is below
// p (2 + 3/256) again. A value v thus sits in a lane as v, v + p or v + 2p;
// the walk's hit test looks for all three. 12 products, where a two-digit
// Montgomery product takes 18 and its subtraction 8 more operations.
struct FixedWide {
    __m512i a0, a1, b0, b1;
    // b = c 2^104 mod p (the step as the two-digit Montgomery form gives it);
    // a = b / 2^52 mod p by halving, once per prime.
    FixedWide(u128 b, u128 p) {
        u128 a = b;
        for (int i = 0; i < 52; ++i) a = (a & 1) ? (a + p) >> 1 : a >> 1;  // p < 2^96: no wrap
        a0 = _mm512_set1_epi64(static_cast<long long>(static_cast<uint64_t>(a) & kDigitMask));
        a1 = _mm512_set1_epi64(static_cast<long long>(static_cast<uint64_t>(a >> 52)));
        b0 = _mm512_set1_epi64(static_cast<long long>(static_cast<uint64_t>(b) & kDigitMask));
        b1 = _mm512_set1_epi64(static_cast<long long>(static_cast<uint64_t>(b >> 52)));
    }

    void Mul(__m512i& x0, __m512i& x1, const WideDigits& m) const {
        const __m512i zero = _mm512_setzero_si512();
        __m512i t0 = _mm512_madd52lo_epu64(_mm512_madd52lo_epu64(zero, x0, a0), x1, b0);
        __m512i t1 = _mm512_madd52hi_epu64(zero, x0, a0);
        t1 = _mm512_madd52lo_epu64(t1, x0, a1);
        t1 = _mm512_madd52hi_epu64(t1, x1, b0);
        t1 = _mm512_madd52lo_epu64(t1, x1, b1);
        __m512i t2 = _mm512_madd52hi_epu64(zero, x0, a1);
        t2 = _mm512_madd52hi_epu64(t2, x1, b1);
        ReduceDigit(t0, t1, t2, m);
        x0 = _mm512_and_si512(t1, m.mask);
        x1 = _mm512_add_epi64(t2, _mm512_srli_epi64(t1, 52));
    }
};

// The lanes of a block that may hold a hit v <= limit as v, v + p or v + 2p
// (or p - v likewise): a value w (a digit, or the top bits of a lane) of 0, or
// within [near, near + width] (around p), or from far on (2p - limit).
struct HitWindows {
    __m512i near, width, far;
    HitWindows(u128 p, uint64_t limit, int shift)
        : near(_mm512_set1_epi64(static_cast<long long>(static_cast<uint64_t>((p - limit) >> shift)))),
          width(_mm512_set1_epi64(
              static_cast<long long>(static_cast<uint64_t>(((p + limit) >> shift) - ((p - limit) >> shift))))),
          far(_mm512_set1_epi64(static_cast<long long>(static_cast<uint64_t>((2 * p - limit) >> shift)))) {}
    // Any lane of the eight registers in a window: one minimum and one
    // maximum over the block keep this to a few operations per register.
    bool Any(const __m512i* w) const {
        __m512i low = w[0], high = w[0], mid = _mm512_sub_epi64(w[0], near);
        for (int z = 1; z < kRootRegs; ++z) {
            low = _mm512_min_epu64(low, w[z]);
            high = _mm512_max_epu64(high, w[z]);
            mid = _mm512_min_epu64(mid, _mm512_sub_epi64(w[z], near));
        }
        return (_mm512_cmpeq_epu64_mask(low, _mm512_setzero_si512()) | _mm512_cmpge_epu64_mask(high, far) |
                _mm512_cmple_epu64_mask(mid, width)) != 0;
    }
};

int32_t EnumerateWideDigits(const RootSearchWide& s) {
    const WideDigits m(s.pLow, s.pHigh);
    const u128 p = static_cast<u128>(s.pHigh) << 64 | s.pLow;
    const u128 step = static_cast<u128>(s.stepHigh) << 64 | s.stepLow;
    const FixedWide f(step, p);
    __m512i x0[kRootRegs], x1[kRootRegs];
    alignas(64) uint64_t lo[8], hi[8];
    for (int l = 0; l < 8; ++l) {
        const u128 v = static_cast<u128>(s.startHigh[l]) << 64 | s.startLow[l];
        lo[l] = static_cast<uint64_t>(v) & kDigitMask;
        hi[l] = static_cast<uint64_t>(v >> 52);
    }
    x0[0] = _mm512_load_si512(lo);
    x1[0] = _mm512_load_si512(hi);
    const FixedWide stride(static_cast<u128>(s.strideHigh) << 64 | s.strideLow, p);
    for (int z = 1; z < kRootRegs; ++z) {
        x0[z] = x0[z - 1];
        x1[z] = x1[z - 1];
        stride.Mul(x0[z], x1[z], m);
    }
    // The high digit alone lets a few blocks in a hundred through just above
    // 2^63, so those are tested again on the lanes' bits from 2^40 on
    // (limit < 2^32) before the slow scalar write-out.
    const HitWindows coarse(p, s.limit, 52), fine(p, s.limit, 40);
    BasicRootWriter<u128> out{s.out, s.capacity, s.limit};
    uint32_t left = s.passes;
    for (;;) {
        bool maybe = coarse.Any(x1);
        if (maybe) {
            __m512i top[kRootRegs];
            for (int z = 0; z < kRootRegs; ++z)
                top[z] = _mm512_or_si512(_mm512_slli_epi64(x1[z], 12), _mm512_srli_epi64(x0[z], 40));
            maybe = fine.Any(top);
        }
        if (maybe) {
            alignas(64) uint64_t lo[kRootLanes], hi[kRootLanes];
            for (int z = 0; z < kRootRegs; ++z) {
                _mm512_store_si512(lo + 8 * z, x0[z]);
                _mm512_store_si512(hi + 8 * z, x1[z]);
            }
            const uint32_t passes = left < kPassesPerBlock ? left : kPassesPerBlock;
            for (uint32_t i = 0; i < 16 * passes; ++i) {
                u128 v = static_cast<u128>(hi[i]) << 52 | lo[i];
                while (v >= p) v -= p;
                if (!out.Pair(v, p)) return -1;
            }
        }
        if (left <= kPassesPerBlock) break;
        left -= kPassesPerBlock;
        for (int z = 0; z < kRootRegs; ++z) f.Mul(x0[z], x1[z], m);
    }
    return out.found;
}

// Sixteen lanes' moduli below 2^96 as digits, and R = 2^104 mod p in
// digits, for the two-digit Montgomery products.
struct WideLanes {
    static constexpr int kRegs = 2, kLanes = 16;
    WideDigits m[kRegs];
    alignas(64) uint64_t one0[kLanes], one1[kLanes];
    WideLanes(const uint64_t* low, const uint64_t* high) {
        alignas(64) uint64_t p0[kLanes], p1[kLanes], mu[kLanes];
        for (int l = 0; l < kLanes; ++l) {
            const u128 p = static_cast<u128>(high[l]) << 64 | low[l];
            p0[l] = static_cast<uint64_t>(p) & kDigitMask;
            p1[l] = static_cast<uint64_t>(p >> 52);
            mu[l] = NegInverse52(low[l]);
            // One 128/64-bit division where p has one word, else the long one.
            const u128 one = high[l] == 0 ? (static_cast<u128>(1) << 104) % low[l] : (static_cast<u128>(1) << 104) % p;
            one0[l] = static_cast<uint64_t>(one) & kDigitMask;
            one1[l] = static_cast<uint64_t>(one >> 52);
        }
        for (int r = 0; r < kRegs; ++r) {
            m[r].p0 = _mm512_load_si512(p0 + 8 * r);
            m[r].p1 = _mm512_load_si512(p1 + 8 * r);
            m[r].mu = _mm512_load_si512(mu + 8 * r);
            m[r].mask = _mm512_set1_epi64(static_cast<long long>(kDigitMask));
        }
    }
    // Lanes r*8 .. r*8 + 7 of x0 + 2^52 x1 equal to c0 + 2^52 c1.
    static __mmask8 Equal(__m512i x0, __m512i x1, __m512i c0, __m512i c1) {
        return _mm512_cmpeq_epu64_mask(x0, c0) & _mm512_cmpeq_epu64_mask(x1, c1);
    }
    // p - (c0 + 2^52 c1) in digits, for 0 < c < p.
    void Negate(int r, __m512i c0, __m512i c1, __m512i& n0, __m512i& n1) const {
        const __m512i d0 = _mm512_sub_epi64(m[r].p0, c0);
        n1 = _mm512_sub_epi64(_mm512_sub_epi64(m[r].p1, c1), _mm512_srli_epi64(d0, 63));
        n0 = _mm512_and_si512(d0, m[r].mask);
    }
};

// Words below 2^104 to two digits and back.
inline void ToDigits(const uint64_t* low, const uint64_t* high, __m512i& d0, __m512i& d1) {
    const __m512i lo = _mm512_loadu_si512(low), hi = _mm512_loadu_si512(high);
    d0 = _mm512_and_si512(lo, _mm512_set1_epi64(static_cast<long long>(kDigitMask)));
    d1 = _mm512_or_si512(_mm512_srli_epi64(lo, 52), _mm512_slli_epi64(hi, 12));
}
inline void FromDigits(__m512i d0, __m512i d1, uint64_t* low, uint64_t* high) {
    _mm512_storeu_si512(low, _mm512_or_si512(d0, _mm512_slli_epi64(d1, 52)));
    _mm512_storeu_si512(high, _mm512_srli_epi64(d1, 12));
}

// 2^(p - 1) mod p in lockstep for sixteen lanes, each with its own p below
// 2^96, left to right in Montgomery form (R = 2^104): a squaring per bit,
// doubled before its reduction where the bit is set (a shift of the product
// digits by 0 or 1: 2x^2 / R + p < p (1 + 2^-7), so the one subtraction
// still ends in [0, p)). Two registers side by side: one chain is
// latency-bound. Returns the lanes that end at 1.
unsigned FermatWideDigits(const uint64_t* low, const uint64_t* high) {
    constexpr int kRegs = WideLanes::kRegs, kLanes = WideLanes::kLanes;
    const WideLanes w(low, high);
    const WideDigits* m = w.m;
    const uint64_t* one0 = w.one0;
    const uint64_t* one1 = w.one1;
    alignas(64) uint64_t e0[kLanes], e1[kLanes];
    uint64_t topHigh = 0, topLow = 0;
    for (int l = 0; l < kLanes; ++l) {
        const u128 e = (static_cast<u128>(high[l]) << 64 | low[l]) - 1;
        e0[l] = static_cast<uint64_t>(e);
        e1[l] = static_cast<uint64_t>(e >> 64);
        topHigh |= e1[l];
        topLow |= e0[l];
    }
    __m512i x0[kRegs], x1[kRegs], eLow[kRegs], eHigh[kRegs];
    for (int r = 0; r < kRegs; ++r) {
        x0[r] = _mm512_load_si512(one0 + 8 * r);
        x1[r] = _mm512_load_si512(one1 + 8 * r);
        eLow[r] = _mm512_load_si512(e0 + 8 * r);
        eHigh[r] = _mm512_load_si512(e1 + 8 * r);
    }
    const __m512i zero = _mm512_setzero_si512();
    const int top = topHigh ? 127 - __builtin_clzll(topHigh) : (topLow ? 63 - __builtin_clzll(topLow) : -1);
    for (int bit = top; bit >= 0; --bit) {
        const __m512i at = _mm512_set1_epi64(bit & 63);
        for (int r = 0; r < kRegs; ++r) {
            // 0 or 1 per lane: the bit of the exponent.
            const __m512i d = _mm512_and_si512(_mm512_srlv_epi64(bit >= 64 ? eHigh[r] : eLow[r], at),
                                               _mm512_set1_epi64(1));
            __m512i t0 = _mm512_madd52lo_epu64(zero, x0[r], x0[r]);
            __m512i t1 = _mm512_madd52hi_epu64(zero, x0[r], x0[r]);
            // The doubled cross term on the high digit (below 2^45; the
            // multipliers read 52 bits only).
            const __m512i x1d = _mm512_add_epi64(x1[r], x1[r]);
            t1 = _mm512_madd52lo_epu64(t1, x0[r], x1d);
            __m512i t2 = _mm512_madd52hi_epu64(zero, x0[r], x1d);
            t2 = _mm512_madd52lo_epu64(t2, x1[r], x1[r]);
            __m512i t3 = _mm512_madd52hi_epu64(zero, x1[r], x1[r]);
            t0 = _mm512_sllv_epi64(t0, d);
            t1 = _mm512_sllv_epi64(t1, d);
            t2 = _mm512_sllv_epi64(t2, d);
            t3 = _mm512_sllv_epi64(t3, d);
            ReduceDigit(t0, t1, t2, m[r]);
            ReduceDigit(t1, t2, t3, m[r]);
            SubtractIfAtLeast(_mm512_and_si512(t2, m[r].mask), _mm512_add_epi64(t3, _mm512_srli_epi64(t2, 52)), m[r],
                              x0[r], x1[r]);
        }
    }
    unsigned passed = 0;
    for (int r = 0; r < kRegs; ++r)
        passed |= static_cast<unsigned>(_mm512_cmpeq_epu64_mask(x0[r], _mm512_load_si512(one0 + 8 * r)) &
                                        _mm512_cmpeq_epu64_mask(x1[r], _mm512_load_si512(one1 + 8 * r)))
                  << (8 * r);
    return passed;
}

// q^k and (q^k)^(2^n) mod p for sixteen lanes of their own p < 2^96, right
// to left over the bits of k as the one-word forms, in Montgomery form
// (R = 2^104, MulMont2's bounds). q R mod p comes from one division a lane.
void OrderPowersWideDigits(const OrderSearchWide& s) {
    constexpr int kRegs = WideLanes::kRegs;
    const WideLanes w(s.pLow, s.pHigh);
    alignas(64) uint64_t b0[16], b1[16];
    uint64_t topLow = 0, topHigh = 0;
    for (int l = 0; l < 16; ++l) {
        const u128 p = static_cast<u128>(s.pHigh[l]) << 64 | s.pLow[l];
        const u128 one = static_cast<u128>(w.one1[l]) << 52 | w.one0[l];
        const u128 base = (one * s.q[l]) % p;  // below 2^128: one < 2^96, q < 2^32
        b0[l] = static_cast<uint64_t>(base) & kDigitMask;
        b1[l] = static_cast<uint64_t>(base >> 52);
        topLow |= s.kLow[l];
        topHigh |= s.kHigh[l];
    }
    __m512i x0[kRegs], x1[kRegs], q0[kRegs], q1[kRegs], eLow[kRegs], eHigh[kRegs];
    for (int r = 0; r < kRegs; ++r) {
        x0[r] = _mm512_load_si512(w.one0 + 8 * r);
        x1[r] = _mm512_load_si512(w.one1 + 8 * r);
        q0[r] = _mm512_load_si512(b0 + 8 * r);
        q1[r] = _mm512_load_si512(b1 + 8 * r);
        eLow[r] = _mm512_loadu_si512(s.kLow + 8 * r);
        eHigh[r] = _mm512_loadu_si512(s.kHigh + 8 * r);
    }
    const int top = topHigh ? 127 - __builtin_clzll(topHigh) : topLow ? 63 - __builtin_clzll(topLow) : -1;
    for (int bit = 0; bit <= top; ++bit) {
        const __m512i at = _mm512_set1_epi64(static_cast<long long>(1ULL << (bit & 63)));
        for (int r = 0; r < kRegs; ++r) {
            __m512i y0 = x0[r], y1 = x1[r];
            MulMont2(y0, y1, q0[r], q1[r], w.m[r]);
            const __mmask8 set = _mm512_test_epi64_mask(bit >= 64 ? eHigh[r] : eLow[r], at);
            x0[r] = _mm512_mask_mov_epi64(x0[r], set, y0);
            x1[r] = _mm512_mask_mov_epi64(x1[r], set, y1);
            if (bit < top) MulMont2(q0[r], q1[r], q0[r], q1[r], w.m[r]);
        }
    }
    const __m512i zero = _mm512_setzero_si512();
    for (int r = 0; r < kRegs; ++r) {
        __m512i y0 = x0[r], y1 = x1[r];
        for (int32_t i = 0; i < s.n; ++i) MulMont2(y0, y1, y0, y1, w.m[r]);
        const __m512i o0 = _mm512_load_si512(w.one0 + 8 * r), o1 = _mm512_load_si512(w.one1 + 8 * r);
        __m512i m0, m1;
        w.Negate(r, o0, o1, m0, m1);
        const __mmask8 isOne = WideLanes::Equal(y0, y1, o0, o1);
        const __mmask8 isMinusOne = WideLanes::Equal(y0, y1, m0, m1);
        // Out of Montgomery form: a product by 1.
        MulMont2(x0[r], x1[r], _mm512_set1_epi64(1), zero, w.m[r]);
        FromDigits(x0[r], x1[r], s.aLow + 8 * r, s.aHigh + 8 * r);
        for (int l = 0; l < 8; ++l)
            s.r[8 * r + l] = static_cast<int8_t>((isOne >> l) & 1 ? 1 : (isMinusOne >> l) & 1 ? -1 : 2);
    }
}

// As DivisorChecks16 beyond one word: raw squarings of a and of 1 give
// a^(2^n) / R^(2^n - 1) and 1 / R^(2^n - 1), so a^(2^n) = -1 exactly when
// the first is p minus the second (never 0: R is prime to p).
unsigned DivisorChecksWideDigits(const uint64_t* pLow, const uint64_t* pHigh, const uint64_t* aLow,
                                 const uint64_t* aHigh, int32_t n) {
    constexpr int kRegs = WideLanes::kRegs;
    const WideLanes w(pLow, pHigh);
    unsigned passed = 0;
    for (int r = 0; r < kRegs; ++r) {
        __m512i x0, x1;
        ToDigits(aLow + 8 * r, aHigh + 8 * r, x0, x1);
        __m512i o0 = _mm512_set1_epi64(1), o1 = _mm512_setzero_si512();
        for (int32_t i = 0; i < n; ++i) {
            MulMont2(x0, x1, x0, x1, w.m[r]);
            MulMont2(o0, o1, o0, o1, w.m[r]);
        }
        __m512i m0, m1;
        w.Negate(r, o0, o1, m0, m1);
        passed |= static_cast<unsigned>(WideLanes::Equal(x0, x1, m0, m1)) << (8 * r);
    }
    return passed;
}

// The same for one-word moduli below 2^63 with one digit pair per value
// (SquareMont's bounds), the doubling again folded into the product's
// digits: 2x^2 / R + p < p (1 + 2^-40), so the one subtraction keeps [0, p).
// The digits of 2x^2 stay below 2^54 and a reduction digit reads its low 52
// bits only, so the carries come out as in SquareMont.
template <int kRegs>
uint64_t FermatDigits(const uint64_t* moduli) {
    constexpr int kLanes = 8 * kRegs;
    alignas(64) uint64_t mu[kLanes], one[kLanes];
    uint64_t bits = 0;
    for (int l = 0; l < kLanes; ++l) {
        mu[l] = NegInverse52(moduli[l]);
        one[l] = static_cast<uint64_t>((static_cast<u128>(1) << 104) % moduli[l]);  // one divq: 2^40 < p
        bits |= moduli[l] - 1;
    }
    DigitModulus m[kRegs];
    __m512i x[kRegs], e[kRegs], first[kRegs];
    for (int r = 0; r < kRegs; ++r) {
        m[r].p = _mm512_loadu_si512(moduli + 8 * r);
        m[r].p0 = _mm512_and_si512(m[r].p, _mm512_set1_epi64(static_cast<long long>(kDigitMask)));
        m[r].p1 = _mm512_srli_epi64(m[r].p, 52);
        m[r].mu = _mm512_load_si512(mu + 8 * r);
        e[r] = _mm512_sub_epi64(m[r].p, _mm512_set1_epi64(1));
        first[r] = x[r] = _mm512_load_si512(one + 8 * r);
    }
    const __m512i zero = _mm512_setzero_si512();
    for (int bit = 63 - __builtin_clzll(bits); bit >= 0; --bit) {
        const __m512i at = _mm512_set1_epi64(bit);
        for (int r = 0; r < kRegs; ++r) {
            const __m512i d = _mm512_and_si512(_mm512_srlv_epi64(e[r], at), _mm512_set1_epi64(1));
            const __m512i v = x[r];
            const __m512i v1 = _mm512_srli_epi64(v, 52);
            const __m512i v1d = _mm512_add_epi64(v1, v1);
            const __m512i t0 = _mm512_sllv_epi64(_mm512_madd52lo_epu64(zero, v, v), d);
            __m512i t1 = _mm512_sllv_epi64(_mm512_madd52lo_epu64(_mm512_madd52hi_epu64(zero, v, v), v, v1d), d);
            __m512i t2 = _mm512_sllv_epi64(_mm512_madd52lo_epu64(_mm512_madd52hi_epu64(zero, v, v1d), v1, v1), d);
            const __m512i m0 = _mm512_madd52lo_epu64(zero, t0, m[r].mu);
            t1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(t1, m0, m[r].p0), m0, m[r].p1);
            t2 = _mm512_madd52hi_epu64(t2, m0, m[r].p1);
            t1 = _mm512_add_epi64(t1, _mm512_srli_epi64(_mm512_madd52lo_epu64(t0, m0, m[r].p0), 52));
            const __m512i m1 = _mm512_madd52lo_epu64(zero, t1, m[r].mu);
            t2 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(t2, m1, m[r].p0), m1, m[r].p1);
            const __m512i t3 = _mm512_madd52hi_epu64(zero, m1, m[r].p1);
            t2 = _mm512_add_epi64(t2, _mm512_srli_epi64(_mm512_madd52lo_epu64(t1, m1, m[r].p0), 52));
            const __m512i s = _mm512_add_epi64(t2, _mm512_slli_epi64(t3, 52));
            x[r] = _mm512_min_epu64(s, _mm512_sub_epi64(s, m[r].p));
        }
    }
    uint64_t passed = 0;
    for (int r = 0; r < kRegs; ++r) passed |= static_cast<uint64_t>(_mm512_cmpeq_epu64_mask(x[r], first[r])) << (8 * r);
    return passed;
}

// q^k and (q^k)^(2^n) mod p for 16 lanes of their own p < 2^63, in two
// registers side by side, right to left over the bits of k: the squarings
// of q and the products into a are two chains, so a bit costs one
// product's latency, not two.
void OrderPowersDigits(const OrderSearch& s) {
    constexpr int kRegs = 2, kLanes = 16;
    alignas(64) uint64_t mu[kLanes], one[kLanes], base[kLanes];
    uint64_t bits = 0;
    for (int l = 0; l < kLanes; ++l) {
        mu[l] = NegInverse52(s.p[l]);
        // One divq each while q 2^40 < p.
        one[l] = static_cast<uint64_t>((static_cast<u128>(1) << 104) % s.p[l]);
        base[l] = static_cast<uint64_t>((static_cast<u128>(s.q[l]) << 104) % s.p[l]);
        bits |= s.k[l];
    }
    DigitModulus m[kRegs];
    __m512i x[kRegs], b[kRegs], e[kRegs];
    for (int r = 0; r < kRegs; ++r) {
        m[r].p = _mm512_loadu_si512(s.p + 8 * r);
        m[r].p0 = _mm512_and_si512(m[r].p, _mm512_set1_epi64(static_cast<long long>(kDigitMask)));
        m[r].p1 = _mm512_srli_epi64(m[r].p, 52);
        m[r].mu = _mm512_load_si512(mu + 8 * r);
        x[r] = _mm512_load_si512(one + 8 * r);
        b[r] = _mm512_load_si512(base + 8 * r);
        e[r] = _mm512_loadu_si512(s.k + 8 * r);
    }
    const int top = bits ? 63 - __builtin_clzll(bits) : -1;
    for (int bit = 0; bit <= top; ++bit) {
        const __m512i at = _mm512_set1_epi64(static_cast<long long>(1ULL << bit));
        for (int r = 0; r < kRegs; ++r) {
            x[r] = _mm512_mask_mov_epi64(x[r], _mm512_test_epi64_mask(e[r], at), MulMont(x[r], b[r], m[r]));
            if (bit < top) b[r] = SquareMont(b[r], m[r]);
        }
    }
    for (int r = 0; r < kRegs; ++r) {
        __m512i y = x[r];
        for (int32_t i = 0; i < s.n; ++i) y = SquareMont(y, m[r]);
        const __m512i o = _mm512_load_si512(one + 8 * r);
        _mm512_storeu_si512(s.a + 8 * r, MulMont(x[r], _mm512_set1_epi64(1), m[r]));
        const __mmask8 isOne = _mm512_cmpeq_epu64_mask(y, o);
        const __mmask8 isMinusOne = _mm512_cmpeq_epu64_mask(y, _mm512_sub_epi64(m[r].p, o));
        for (int l = 0; l < 8; ++l)
            s.r[8 * r + l] = (isOne >> l) & 1 ? 1 : (isMinusOne >> l) & 1 ? -1 : 2;
    }
}

}  // namespace

int32_t EnumerateRootsWide(const RootSearchWide& search) { return EnumerateWideDigits(search); }

unsigned FermatBase2Wide16(const uint64_t* low, const uint64_t* high) { return FermatWideDigits(low, high); }

void OrderPowersWide16(const OrderSearchWide& search) { OrderPowersWideDigits(search); }

unsigned DivisorChecksWide16(const uint64_t* pLow, const uint64_t* pHigh, const uint64_t* aLow,
                             const uint64_t* aHigh, int32_t n) {
    return DivisorChecksWideDigits(pLow, pHigh, aLow, aHigh, n);
}

unsigned FermatBase2Digits16(const uint64_t* p) { return static_cast<unsigned>(FermatDigits<2>(p)); }

uint64_t FermatBase2Digits64(const uint64_t* p) { return FermatDigits<4>(p) | FermatDigits<4>(p + 32) << 32; }

void OrderPowers16(const OrderSearch& search) {
    uint64_t top = 0;
    for (int l = 0; l < 16; ++l) top = search.p[l] > top ? search.p[l] : top;
    if (top < kOrderDoubleBound)
        OrderPowersLanes<Lanes>(search);
    else
        OrderPowersDigits(search);
}

// As StrikeDigits with one base per modulus: raw squarings give
// f^n(a) = a^(2^n) / R^(2^n - 1), which is -f^n(1) exactly when
// a^(2^n) = -1. No conversion, so no division per lane.
unsigned DivisorChecks16(const uint64_t* p, const uint64_t* a, int32_t n) {
    uint64_t top = 0;
    for (int l = 0; l < 16; ++l) top = p[l] > top ? p[l] : top;
    if (top < kOrderDoubleBound) return DivisorChecksLanes<Lanes>(p, a, n);
    constexpr int kRegs = 2;
    alignas(64) uint64_t mu[16];
    for (int l = 0; l < 16; ++l) mu[l] = NegInverse52(p[l]);
    DigitModulus m[kRegs];
    __m512i x[kRegs], one[kRegs];
    for (int r = 0; r < kRegs; ++r) {
        m[r].p = _mm512_loadu_si512(p + 8 * r);
        m[r].p0 = _mm512_and_si512(m[r].p, _mm512_set1_epi64(static_cast<long long>(kDigitMask)));
        m[r].p1 = _mm512_srli_epi64(m[r].p, 52);
        m[r].mu = _mm512_load_si512(mu + 8 * r);
        x[r] = _mm512_loadu_si512(a + 8 * r);
        one[r] = _mm512_set1_epi64(1);
    }
    for (int32_t i = 0; i < n; ++i)
        for (int r = 0; r < kRegs; ++r) {
            x[r] = SquareMont(x[r], m[r]);
            one[r] = SquareMont(one[r], m[r]);
        }
    unsigned passed = 0;
    for (int r = 0; r < kRegs; ++r)
        passed |= static_cast<unsigned>(_mm512_cmpeq_epu64_mask(x[r], _mm512_sub_epi64(m[r].p, one[r]))) << (8 * r);
    return passed;
}

int32_t EnumerateRoots(const RootSearch& search) {
    return search.p < (1ULL << 51) ? EnumerateDouble(search) : EnumerateDigits(search);
}

void EnumerateRootsBatch(const RootBatch& batch) { EnumerateBatchOf<Lanes>(batch); }

int32_t StrikeBases(uint32_t* list, int32_t count, uint64_t p, int32_t n) {
    return p < (1ULL << 51) ? StrikeLanes<Lanes, 4>(list, count, p, n) : StrikeDigits(list, count, p, n);
}

unsigned FermatBase2x16(const uint64_t* moduli) { return static_cast<unsigned>(FermatLanes<Lanes, 2>(moduli)); }

uint64_t FermatBase2x64(const uint64_t* moduli) { return FermatLanes<Lanes, 8>(moduli); }

}  // namespace varnesk::avx512
