// GMP as an independent reference for 128-bit arithmetic in tests.
#pragma once
#include <gmp.h>

#include "platform/numparse.h"

namespace varnesk::testsupport {

// A GMP integer that converts to and from 128 bits.
struct Big {
    mpz_t v;
    Big() { mpz_init(v); }
    explicit Big(UInt128 x) {
        mpz_init(v);
        Set(x);
    }
    ~Big() { mpz_clear(v); }
    Big(const Big&) = delete;
    Big& operator=(const Big&) = delete;
    void Set(UInt128 x) {
        mpz_set_ui(v, static_cast<unsigned long>(x >> 64));
        mpz_mul_2exp(v, v, 64);
        mpz_add_ui(v, v, static_cast<unsigned long>(static_cast<uint64_t>(x)));
    }
    UInt128 Get() const {
        Big hi;
        mpz_fdiv_q_2exp(hi.v, v, 64);
        const UInt128 low = static_cast<uint64_t>(mpz_getlimbn(v, 0));
        return (static_cast<UInt128>(mpz_get_ui(hi.v)) << 64) | low;
    }
};

inline UInt128 PowModGmp(UInt128 base, UInt128 e, UInt128 p) {
    Big b(base), x(e), m(p), r;
    mpz_powm(r.v, b.v, x.v, m.v);
    return r.Get();
}

inline bool IsPrimeGmp(UInt128 p) {
    Big b(p);
    return mpz_probab_prime_p(b.v, 30) != 0;
}

}  // namespace varnesk::testsupport
