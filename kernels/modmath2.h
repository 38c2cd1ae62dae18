// Exact two-word modular arithmetic for the wide sieve beyond 2^64, with the
// plain schoolbook reference that the tests hold it against.
//
// Bounds: Montgomery2 (R = 2^128) is exact for every odd modulus
// 3 <= p < 2^127 with operands in [0, p): the product is below p^2 < p*R,
// the reduction adds m*p with m < R, so (t + m*p) / R < 2p < 2^128 and one
// conditional subtraction ends in [0, p). The products are inline asm
// (mul/adc chains and a cmov), x86-64 only as the rest of the kernels.
// The sieve hands over p < 2^96 only; the prover goes up to 2^127.
#pragma once
#include <x86intrin.h>

#include <cstdint>

#include "kernels/modmath.h"

namespace varnesk {

// The 256-bit product of two 128-bit values, least significant word first.
struct Words4 {
    uint64_t w[4];
};
inline Words4 Mul128x128(u128 a, u128 b) {
    const uint64_t a0 = static_cast<uint64_t>(a), a1 = static_cast<uint64_t>(a >> 64);
    const uint64_t b0 = static_cast<uint64_t>(b), b1 = static_cast<uint64_t>(b >> 64);
    const u128 p00 = static_cast<u128>(a0) * b0, p01 = static_cast<u128>(a0) * b1;
    const u128 p10 = static_cast<u128>(a1) * b0, p11 = static_cast<u128>(a1) * b1;
    Words4 t;
    t.w[0] = static_cast<uint64_t>(p00);
    const u128 mid = (p00 >> 64) + static_cast<uint64_t>(p01) + static_cast<uint64_t>(p10);
    t.w[1] = static_cast<uint64_t>(mid);
    const u128 high = (mid >> 64) + (p01 >> 64) + (p10 >> 64) + static_cast<uint64_t>(p11);
    t.w[2] = static_cast<uint64_t>(high);
    t.w[3] = static_cast<uint64_t>(high >> 64) + static_cast<uint64_t>(p11 >> 64);
    return t;
}

// Reference: a*b mod p by shifting the 256-bit product in bit by bit.
// Slow, obviously right; p odd below 2^127.
inline u128 MulModRef128(u128 a, u128 b, u128 p) {
    const Words4 t = Mul128x128(a, b);
    u128 r = 0;
    for (int word = 3; word >= 0; --word) {
        for (int bit = 63; bit >= 0; --bit) {
            r = (r << 1) | ((t.w[word] >> bit) & 1);  // r < p < 2^127: no wrap
            if (r >= p) r -= p;
        }
    }
    return r;
}
inline u128 PowModRef128(u128 base, u128 e, u128 p) {
    u128 r = 1 % p, b = base % p;
    while (e) {
        if (e & 1) r = MulModRef128(r, b, p);
        b = MulModRef128(b, b, p);
        e >>= 1;
    }
    return r;
}

// x 2^96 = q p + r, a bit at a time: r is x in the device's three-limb
// Montgomery form (R = 2^96) and, for x < p, q < 2^96 is the Shoup quotient
// floor(x 2^96 / p) of its 80-bit walk. p below 2^127: r < p doubles
// without wrapping.
struct Shift96 {
    u128 q, r;
};
inline Shift96 ShiftDivRef96(u128 x, u128 p) {
    Shift96 out{0, x % p};
    for (int i = 0; i < 96; ++i) {
        out.r <<= 1;
        out.q <<= 1;
        if (out.r >= p) {
            out.r -= p;
            out.q |= 1;
        }
    }
    return out;
}

// The hand-written products need the registers of an optimised build
// without instrumentation; other builds take their plain forms.
#if defined(__OPTIMIZE__) && !defined(VARNESK_NO_INLINE_ASM)
#define VARNESK_INLINE_ASM 1
#else
#define VARNESK_INLINE_ASM 0
#endif

// Montgomery arithmetic with R = 2^128; values in [0, p). Same interface as
// Montgomery, so that the wide kernels are written once for both.
struct Montgomery2 {
    using Value = u128;
    u128 p = 0;
    uint64_t ninv = 0;      // -p^-1 mod 2^64 (also what FixedTwoWord takes)
    uint64_t ninvHigh = 0;  // -p^-1 mod 2^128 is ninvHigh 2^64 + ninv
    u128 one = 0;           // R mod p
    u128 r2 = 0;            // R^2 mod p, for To

    Montgomery2() = default;  // a placeholder for a shared context that holds no modulus yet
    explicit Montgomery2(u128 modulus) : p(modulus), ninv(0 - InverseMod2_64(static_cast<uint64_t>(modulus))) {
        const u128 inverse = static_cast<u128>(0 - ninv);
        ninvHigh = static_cast<uint64_t>((0 - inverse * (2 - p * inverse)) >> 64);  // a Newton step to 128 bits
        one = (0 - p) % p;  // 2^128 mod p: one division
        // R^2 mod p without a loop of doublings (which cost more than the
        // order search's products): below 2^96 four 32-bit steps fit in 128
        // bits; above, seven squarings of 2R give R 2^128.
        if (p >> 96 == 0) {
            u128 x = one;
            for (int i = 0; i < 4; ++i) x = (x << 32) % p;
            r2 = x;
        } else {
            u128 x = Add(one, one);
            for (int i = 0; i < 7; ++i) x = Sqr(x);
            r2 = x;
        }
    }

    // t / R mod p for t < p * R.
    u128 Reduce(Words4 t) const { return ReduceWords(t.w[0], t.w[1], t.w[2], t.w[3]); }
    // By hand, as FixedTwoWord: g++ spilled the 128-bit partial sums of the
    // carry-intrinsic form and branched on the final subtraction. Operands
    // may sit in memory, where registers are short.
    u128 Mul(u128 a, u128 b) const {
#if !VARNESK_INLINE_ASM
        return Reduce(Mul128x128(a, b));
#else
        const uint64_t a0 = static_cast<uint64_t>(a), a1 = static_cast<uint64_t>(a >> 64);
        const uint64_t b0 = static_cast<uint64_t>(b), b1 = static_cast<uint64_t>(b >> 64);
        uint64_t t0, t1, t2, t3, rax, rdx;
        asm("mov %[a0], %%rax\n\t"
            "mulq %[b0]\n\t"
            "mov %%rax, %[t0]\n\t"
            "mov %%rdx, %[t1]\n\t"
            "mov %[a0], %%rax\n\t"
            "mulq %[b1]\n\t"
            "xor %[t3], %[t3]\n\t"
            "add %%rax, %[t1]\n\t"
            "adc $0, %%rdx\n\t"
            "mov %%rdx, %[t2]\n\t"
            "mov %[a1], %%rax\n\t"
            "mulq %[b0]\n\t"
            "add %%rax, %[t1]\n\t"
            "adc %%rdx, %[t2]\n\t"
            "adc $0, %[t3]\n\t"
            "mov %[a1], %%rax\n\t"
            "mulq %[b1]\n\t"
            "add %%rax, %[t2]\n\t"
            "adc %%rdx, %[t3]"
            : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), "=&a"(rax), "=&d"(rdx)
            : [a0] "rm"(a0), [a1] "rm"(a1), [b0] "rm"(b0), [b1] "rm"(b1)
            : "cc");
        (void)rax;
        (void)rdx;
        return ReduceWords(t0, t1, t2, t3);
#endif
    }
    // Three word products instead of four: the cross product is doubled.
    u128 Sqr(u128 a) const {
#if !VARNESK_INLINE_ASM
        return Reduce(Mul128x128(a, a));
#else
        const uint64_t a0 = static_cast<uint64_t>(a), a1 = static_cast<uint64_t>(a >> 64);
        uint64_t t0, t1, t2, t3, rax, rdx;
        asm("mov %[a0], %%rax\n\t"
            "mulq %[a1]\n\t"
            "mov %%rax, %[t1]\n\t"
            "mov %%rdx, %[t2]\n\t"
            "xor %[t3], %[t3]\n\t"
            "add %[t1], %[t1]\n\t"
            "adc %[t2], %[t2]\n\t"
            "adc $0, %[t3]\n\t"
            "mov %[a0], %%rax\n\t"
            "mulq %%rax\n\t"
            "mov %%rax, %[t0]\n\t"
            "add %%rdx, %[t1]\n\t"
            "adc $0, %[t2]\n\t"
            "adc $0, %[t3]\n\t"
            "mov %[a1], %%rax\n\t"
            "mulq %%rax\n\t"
            "add %%rax, %[t2]\n\t"
            "adc %%rdx, %[t3]"
            : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), "=&a"(rax), "=&d"(rdx)
            : [a0] "rm"(a0), [a1] "rm"(a1)
            : "cc");
        (void)rax;
        (void)rdx;
        return ReduceWords(t0, t1, t2, t3);
#endif
    }
    u128 Add(u128 a, u128 b) const {
        const u128 s = a + b;  // a, b < p < 2^127: no wrap
        return s >= p ? s - p : s;
    }
    u128 To(u128 a) const { return Mul(a < p ? a : a % p, r2); }
    u128 From(u128 a) const { return ReduceWords(static_cast<uint64_t>(a), static_cast<uint64_t>(a >> 64), 0, 0); }
    u128 MinusOne() const { return p - one; }

private:
    // (t0 t1 t2 t3) / R mod p for t < p R, in the registers the product
    // left it in. m = t (-p^-1) mod R in one step rather than word by word
    // shortens the dependent chain: t + m p is 0 mod R, so its upper half
    // is t's upper half plus that of m p plus 1 when t mod R is not 0, and
    // it is below 2p; one conditional subtraction (a cmov) ends in [0, p).
    u128 ReduceWords(uint64_t t0, uint64_t t1, uint64_t t2, uint64_t t3) const {
#if !VARNESK_INLINE_ASM
        // The same steps in plain 128-bit arithmetic.
        const u128 low = static_cast<u128>(t1) << 64 | t0;
        const u128 m = low * (static_cast<u128>(ninvHigh) << 64 | ninv);  // mod R
        const Words4 mp = Mul128x128(m, p);
        const u128 r = (static_cast<u128>(t3) << 64 | t2) + (static_cast<u128>(mp.w[3]) << 64 | mp.w[2]) + (low != 0);
        return r >= p ? r - p : r;
#else
        const uint64_t p0 = static_cast<uint64_t>(p), p1 = static_cast<uint64_t>(p >> 64);
        uint64_t m0, m1, s0, s1, rax, rdx;
        asm("mov %[t0], %%rax\n\t"
            "mulq %[n0]\n\t"             // t0 n0
            "mov %%rax, %[m0]\n\t"
            "mov %%rdx, %[m1]\n\t"
            "mov %[t0], %%rax\n\t"
            "imul %[n1], %%rax\n\t"
            "add %%rax, %[m1]\n\t"
            "mov %[t1], %%rax\n\t"
            "imul %[n0], %%rax\n\t"
            "add %%rax, %[m1]\n\t"       // m = t (-p^-1) mod R
            "or %[t1], %[t0]\n\t"
            "neg %[t0]\n\t"               // carry: t mod R is not 0
            "adc $0, %[t2]\n\t"
            "adc $0, %[t3]\n\t"
            "mov %[m0], %%rax\n\t"
            "mulq %[p0]\n\t"
            "mov %%rdx, %[t1]\n\t"       // the word below the upper half
            "mov %[m0], %%rax\n\t"
            "mulq %[p1]\n\t"
            "add %%rax, %[t1]\n\t"
            "adc %%rdx, %[t2]\n\t"
            "adc $0, %[t3]\n\t"
            "mov %[m1], %%rax\n\t"
            "mulq %[p0]\n\t"
            "add %%rax, %[t1]\n\t"
            "adc %%rdx, %[t2]\n\t"
            "adc $0, %[t3]\n\t"
            "mov %[m1], %%rax\n\t"
            "mulq %[p1]\n\t"
            "add %%rax, %[t2]\n\t"
            "adc %%rdx, %[t3]\n\t"       // below 2p < 2^128: no carry out
            "mov %[t2], %[s0]\n\t"
            "mov %[t3], %[s1]\n\t"
            "sub %[p0], %[s0]\n\t"
            "sbb %[p1], %[s1]\n\t"
            "cmovae %[s0], %[t2]\n\t"
            "cmovae %[s1], %[t3]"
            : [t0] "+&r"(t0), [t1] "+&r"(t1), [t2] "+&r"(t2), [t3] "+&r"(t3), [m0] "=&r"(m0), [m1] "=&r"(m1),
              [s0] "=&r"(s0), [s1] "=&r"(s1), "=&a"(rax), "=&d"(rdx)
            : [n0] "rm"(ninv), [n1] "rm"(ninvHigh), [p0] "rm"(p0), [p1] "rm"(p1)
            : "cc");
        (void)rax;
        (void)rdx;
        return static_cast<u128>(t3) << 64 | t2;
#endif
    }
};

// x*c mod p for a fixed c and 2^64 < p < kFixedTwoWordEnd with one
// Montgomery word, for the root walk: with x = x0 + 2^64 x1, A = c 2^64 mod
// p and B = c 2^128 mod p, t = x0*A + x1*B = x c 2^64 (mod p) and
// t / 2^64 mod p = x c. For x < p (1 + 2^-31): t < p 2^64 + 2^33 p, so
// (t + m p) / 2^64 < p (2 + 2^-31), and after one subtraction below
// p (1 + 2^-31) again. A value may so stay v + p for a residue v < p / 2^31:
// the hit count takes every value from p - limit on as a possible hit, and
// the caller brings written values to [0, p). The end keeps x below 2^96,
// so x1 < 2^32 and, with B < 2^96, x1*B1 < 2^64 is one low product.

constexpr u128 kFixedTwoWordEnd = (u128{1} << 96) - (u128{1} << 66);

struct FixedTwoWord {
    uint64_t p0, p1, ninv, a0, a1, b0, b1;
    // x is a possible hit unless (x - limit - 1) mod 2^128 < p - 2 limit - 1.
    uint64_t above, span0, span1;

    FixedTwoWord(const Montgomery2& mont, u128 c, uint32_t limit) {
        p0 = static_cast<uint64_t>(mont.p);
        p1 = static_cast<uint64_t>(mont.p >> 64);
        ninv = mont.ninv;
        const u128 b = mont.To(c);                                // c 2^128
        const u128 a = mont.Mul(b, (u128{1} << 64) % mont.p);     // c 2^64
        a0 = static_cast<uint64_t>(a);
        a1 = static_cast<uint64_t>(a >> 64);
        b0 = static_cast<uint64_t>(b);
        b1 = static_cast<uint64_t>(b >> 64);
        above = uint64_t{limit} + 1;
        const u128 span = mont.p - 2 * u128{limit} - 1;
        span0 = static_cast<uint64_t>(span);
        span1 = static_cast<uint64_t>(span >> 64);
    }

    // x = x c, and misses counts one up when x is surely no hit. By hand:
    // the compiler spilled the 128-bit partial sums, chose a branch for the
    // final subtraction (taken half of the time) and passed each value
    // through the stack to the hit test. The constants stay in memory
    // (loads are cheap, registers are not); mul fixes rax and rdx, which
    // the renamer makes free.
    void Mul(uint64_t& x0, uint64_t& x1, uint64_t& misses) const {
#if VARNESK_INLINE_ASM
        uint64_t t0, r0, r1, m, rax, rdx;
        asm("mov %[x0], %%rax\n\t"
            "mulq %[a1]\n\t"              // x0 a1, below 2^96
            "mov %%rax, %[r0]\n\t"
            "mov %%rdx, %[r1]\n\t"
            "mov %[x0], %%rax\n\t"
            "mulq %[a0]\n\t"              // x0 a0
            "mov %%rax, %[t0]\n\t"
            "add %%rdx, %[r0]\n\t"
            "adc $0, %[r1]\n\t"
            "mov %[x1], %%rax\n\t"
            "mulq %[b0]\n\t"              // x1 b0, below 2^96
            "add %%rax, %[t0]\n\t"
            "adc %%rdx, %[r0]\n\t"
            "adc $0, %[r1]\n\t"
            "imul %[b1], %[x1]\n\t"       // x1 b1, below 2^64
            "add %[x1], %[r0]\n\t"
            "adc $0, %[r1]\n\t"
            "mov %[t0], %%rax\n\t"
            "imul %[ninv], %%rax\n\t"
            "mov %%rax, %[m]\n\t"
            "mulq %[p0]\n\t"
            "add %[t0], %%rax\n\t"        // 0, with a carry when t0 is not 0
            "adc %%rdx, %[r0]\n\t"
            "adc $0, %[r1]\n\t"
            "mov %[m], %%rax\n\t"
            "mulq %[p1]\n\t"
            "add %%rax, %[r0]\n\t"
            "adc %%rdx, %[r1]\n\t"
            "mov %[r0], %[x0]\n\t"
            "mov %[r1], %[x1]\n\t"
            "sub %[p0], %[r0]\n\t"
            "sbb %[p1], %[r1]\n\t"
            "cmovae %[r0], %[x0]\n\t"
            "cmovae %[r1], %[x1]\n\t"
            "mov %[x0], %[r0]\n\t"
            "mov %[x1], %[r1]\n\t"
            "sub %[above], %[r0]\n\t"
            "sbb $0, %[r1]\n\t"
            "cmp %[span0], %[r0]\n\t"
            "sbb %[span1], %[r1]\n\t"     // borrow: surely no hit
            "adc $0, %[misses]"
            : [x0] "+&r"(x0), [x1] "+&r"(x1), [misses] "+&r"(misses), [t0] "=&r"(t0), [r0] "=&r"(r0),
              [r1] "=&r"(r1), [m] "=&r"(m), "=&a"(rax), "=&d"(rdx)
            : [a0] "m"(a0), [a1] "m"(a1), [b0] "m"(b0), [b1] "m"(b1), [ninv] "m"(ninv), [p0] "m"(p0),
              [p1] "m"(p1), [above] "m"(above), [span0] "m"(span0), [span1] "m"(span1)
            : "cc");
        (void)rax;
        (void)rdx;
#else
        // The same steps in plain 128-bit arithmetic.
        const u128 p00 = static_cast<u128>(x0) * a0;
        const u128 p10 = static_cast<u128>(x1) * b0;  // below 2^96
        const u128 low = static_cast<u128>(static_cast<uint64_t>(p00)) + static_cast<uint64_t>(p10);
        const uint64_t t0 = static_cast<uint64_t>(low);
        u128 r = (p00 >> 64) + (p10 >> 64) + (low >> 64) + static_cast<u128>(x0) * a1 + u128{x1 * b1};
        const uint64_t m = t0 * ninv;
        // t0 + (m p0 mod 2^64) is 0 mod 2^64, with a carry unless t0 is 0.
        r += ((static_cast<u128>(m) * p0) >> 64) + (t0 != 0) + static_cast<u128>(m) * p1;
        const u128 p = static_cast<u128>(p1) << 64 | p0;
        if (r >= p) r -= p;
        x0 = static_cast<uint64_t>(r);
        x1 = static_cast<uint64_t>(r >> 64);
        const u128 span = static_cast<u128>(span1) << 64 | span0;
        misses += static_cast<u128>(r - above) < span;
#endif
    }
};

}  // namespace varnesk
