// Exact two-word modular arithmetic for the wide sieve beyond 2^64, with the
// plain schoolbook reference that the tests hold it against.
//
// Bounds: Montgomery2 (R = 2^128) is exact for every odd modulus
// 3 <= p < 2^127 with operands in [0, p): the product is below p^2 < p*R,
// the reduction adds m*p with m < R, so (t + m*p) / R < 2p < 2^128 and one
// conditional subtraction ends in [0, p). The product is formed word by
// word with explicit carries (a 64x64-bit product and add-with-carry), which
// compilers turn into mul/adc chains without the spills of 128-bit sums.
// The sieve hands over p < 2^96 only.
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

// Montgomery arithmetic with R = 2^128; values in [0, p). Same interface as
// Montgomery, so that the wide kernels are written once for both.
// The full 128-bit product of two words, as the carry chains want it.
inline unsigned long long MulWide(uint64_t a, uint64_t b, unsigned long long* high) {
    const u128 x = static_cast<u128>(a) * b;
    *high = static_cast<uint64_t>(x >> 64);
    return static_cast<uint64_t>(x);
}

struct Montgomery2 {
    using Value = u128;
    u128 p;
    uint64_t ninv;  // -p^-1 mod 2^64: one word of the reduction at a time
    u128 one;       // R mod p
    u128 r2;        // R^2 mod p, for To

    explicit Montgomery2(u128 modulus) : p(modulus), ninv(0 - InverseMod2_64(static_cast<uint64_t>(modulus))) {
        one = (~u128{0} % p + 1) % p;  // once per modulus
        u128 x = one;
        for (int i = 0; i < 128; ++i) x = Add(x, x);  // R * 2^128
        r2 = x;
    }

    // t / R mod p for t < p * R.
    u128 Reduce(Words4 t) const {
        const uint64_t p0 = static_cast<uint64_t>(p), p1 = static_cast<uint64_t>(p >> 64);
        unsigned long long w0 = t.w[0], w1 = t.w[1], w2 = t.w[2], w3 = t.w[3];
        ReduceWord(w0, w1, w2, w3, p0, p1);
        ReduceWord(w1, w2, w3, w0, p0, p1);  // w0 is 0 now: the word above w3
        return Final(w2, w3);
    }
    u128 Mul(u128 a, u128 b) const {
        const uint64_t a0 = static_cast<uint64_t>(a), a1 = static_cast<uint64_t>(a >> 64);
        const uint64_t b0 = static_cast<uint64_t>(b), b1 = static_cast<uint64_t>(b >> 64);
        const uint64_t p0 = static_cast<uint64_t>(p), p1 = static_cast<uint64_t>(p >> 64);
        unsigned long long h, l, t1, t2, t3;
        unsigned long long t0 = MulWide(a0, b0, &h);
        l = MulWide(a0, b1, &t2);
        unsigned char c = _addcarry_u64(0, l, h, &t1);
        _addcarry_u64(c, t2, 0, &t2);
        l = MulWide(a1, b0, &h);
        c = _addcarry_u64(0, t1, l, &t1);
        c = _addcarry_u64(c, t2, h, &t2);
        t3 = c;
        l = MulWide(a1, b1, &h);
        c = _addcarry_u64(0, t2, l, &t2);
        _addcarry_u64(c, t3, h, &t3);
        unsigned long long spare = 0;
        ReduceWord(t0, t1, t2, t3, p0, p1);
        ReduceWord(t1, t2, t3, spare, p0, p1);
        return Final(t2, t3);
    }
    u128 Sqr(u128 a) const { return Mul(a, a); }
    u128 Add(u128 a, u128 b) const {
        const u128 s = a + b;  // a, b < p < 2^127: no wrap
        return s >= p ? s - p : s;
    }
    u128 To(u128 a) const { return Mul(a % p, r2); }
    u128 From(u128 a) const { return Reduce(Words4{{static_cast<uint64_t>(a), static_cast<uint64_t>(a >> 64), 0, 0}}); }
    u128 MinusOne() const { return p - one; }

private:
    // Adds m*p to the words (w0 w1 w2 w3) for m = w0 * ninv, which clears w0;
    // the sum stays below 2^256 since t < p*R and m*p < p*R.
    void ReduceWord(unsigned long long& w0, unsigned long long& w1, unsigned long long& w2,
                    unsigned long long& w3, uint64_t p0, uint64_t p1) const {
        const uint64_t m = w0 * ninv;
        unsigned long long h0, h1;
        const unsigned long long l0 = MulWide(m, p0, &h0);
        unsigned char c = _addcarry_u64(0, w0, l0, &w0);
        c = _addcarry_u64(c, w1, h0, &w1);
        unsigned char c2 = c;
        const unsigned long long l1 = MulWide(m, p1, &h1);
        c = _addcarry_u64(0, w1, l1, &w1);
        c = _addcarry_u64(c, w2, h1, &w2);
        _addcarry_u64(c, w3, 0, &w3);
        c2 = _addcarry_u64(c2, w2, 0, &w2);
        _addcarry_u64(c2, w3, 0, &w3);
    }
    // (w2 w3) < 2p brought to [0, p).
    u128 Final(unsigned long long w2, unsigned long long w3) const {
        unsigned long long d0, d1;
        unsigned char b = _subborrow_u64(0, w2, static_cast<uint64_t>(p), &d0);
        b = _subborrow_u64(b, w3, static_cast<uint64_t>(p >> 64), &d1);
        return b ? (static_cast<u128>(w3) << 64 | w2) : (static_cast<u128>(d1) << 64 | d0);
    }
};

}  // namespace varnesk
