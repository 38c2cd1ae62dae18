// Exact 64-bit modular arithmetic used by every kernel, with the plain
// references that the tests hold the fast forms against.
//
// Bounds: Montgomery and Shoup forms are exact for every odd modulus
// 3 <= p < 2^64 with operands in [0, p) (Shoup's single correction needs
// p < 2^63). The sieves never hand over a p of 2^63 or more.
#pragma once
#include <cstdint>

namespace varnesk {

using u128 = unsigned __int128;

inline uint64_t MulHi(uint64_t a, uint64_t b) { return static_cast<uint64_t>((static_cast<u128>(a) * b) >> 64); }

// References: slow, obviously right.
inline uint64_t MulModRef(uint64_t a, uint64_t b, uint64_t p) {
    return static_cast<uint64_t>((static_cast<u128>(a) * b) % p);
}
inline uint64_t PowModRef(uint64_t base, uint64_t e, uint64_t p) {
    uint64_t r = 1 % p, b = base % p;
    while (e) {
        if (e & 1) r = MulModRef(r, b, p);
        b = MulModRef(b, b, p);
        e >>= 1;
    }
    return r;
}

// p^-1 mod 2^64 for odd p by Newton's iteration (each step doubles the bits).
inline uint64_t InverseMod2_64(uint64_t p) {
    uint64_t x = p;  // right to 3 bits: p*p = 1 (mod 8)
    for (int i = 0; i < 5; ++i) x *= 2 - p * x;
    return x;
}

// 2^64 mod p from an extended-precision reciprocal, so that per-candidate
// set-up needs no integer division.
inline uint64_t TwoTo64ModP(uint64_t p) {
    long double q = 18446744073709551616.0L / static_cast<long double>(p);
    uint64_t qi = q >= 18446744073709551615.0L ? ~0ULL : static_cast<uint64_t>(q);
    __int128 t = (static_cast<__int128>(1) << 64) - static_cast<__int128>(static_cast<u128>(qi) * p);
    while (t < 0) t += p;
    while (t >= static_cast<__int128>(p)) t -= p;
    return static_cast<uint64_t>(t);
}

// Montgomery arithmetic with R = 2^64; values in [0, p).
struct Montgomery {
    using Value = uint64_t;
    uint64_t p;
    uint64_t pinv;  // p^-1 mod 2^64
    uint64_t one;   // R mod p, the form of 1

    explicit Montgomery(uint64_t modulus) : p(modulus), pinv(InverseMod2_64(modulus)), one(TwoTo64ModP(modulus)) {}

    // t / R mod p for t < p * 2^64.
    uint64_t Reduce(u128 t) const {
        uint64_t m = static_cast<uint64_t>(t) * pinv;
        uint64_t hi = static_cast<uint64_t>(t >> 64);
        uint64_t mp = MulHi(m, p);
        uint64_t r = hi - mp;
        return hi < mp ? r + p : r;
    }
    uint64_t Mul(uint64_t a, uint64_t b) const { return Reduce(static_cast<u128>(a) * b); }
    uint64_t Sqr(uint64_t a) const { return Reduce(static_cast<u128>(a) * a); }
    uint64_t Add(uint64_t a, uint64_t b) const {
        const uint64_t s = a + b;  // wraps only for p > 2^63, and then s - p is right
        return (s < a || s >= p) ? s - p : s;
    }
    // a*R mod p; one division per call, never inside a loop over values.
    uint64_t To(uint64_t a) const { return static_cast<uint64_t>((static_cast<u128>(a % p) << 64) % p); }
    uint64_t From(uint64_t a) const { return Reduce(a); }
    uint64_t MinusOne() const { return p - one; }
};

// Shoup multiplication by a fixed w: w' = floor(w * 2^64 / p) once, then
// x*w mod p with two low products, one high product and one correction.
struct ShoupConst {
    uint64_t w, wq;
    ShoupConst() : w(0), wq(0) {}
    ShoupConst(uint64_t value, uint64_t p) : w(value), wq(static_cast<uint64_t>((static_cast<u128>(value) << 64) / p)) {}
};
inline uint64_t ShoupMul(uint64_t x, const ShoupConst& c, uint64_t p) {
    uint64_t q = MulHi(x, c.wq);
    uint64_t r = x * c.w - q * p;
    return r >= p ? r - p : r;
}

}  // namespace varnesk
