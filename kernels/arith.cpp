#include "kernels/kernels.h"
#include "kernels/modmath.h"
#ifdef VARNESK_HAVE_AVX512
#include "kernels/avx512.h"
#endif
#ifdef VARNESK_HAVE_AVX2
#include "kernels/avx2.h"
#endif

namespace varnesk {

namespace {
// Moduli that Montgomery form cannot take (even, or below 3) go the slow way;
// the sieves never produce them, but the powering routines are general.
bool MontgomeryFits(uint64_t m) { return (m & 1) && m >= 3; }

uint64_t PowModUnsigned(uint64_t base, uint64_t e, uint64_t m) {
    if (!MontgomeryFits(m)) return PowModRef(base, e, m);
    Montgomery mont(m);
    uint64_t r = mont.one, b = mont.To(base);
    while (e > 1) {
        if (e & 1) r = mont.Mul(r, b);
        e >>= 1;
        b = mont.Sqr(b);
    }
    r = mont.Mul(r, b);
    return mont.From(r);
}
}  // namespace

void PowMod(int64_t base, int64_t exponent, int64_t m, int64_t* result) {
    *result = static_cast<int64_t>(PowModUnsigned(static_cast<uint64_t>(base), static_cast<uint64_t>(exponent),
                                                  static_cast<uint64_t>(m)));
}

void PowModSigned(int64_t base, int64_t exponent, int64_t m, int64_t* result) {
    uint64_t um = static_cast<uint64_t>(m);
    uint64_t r = PowModUnsigned(static_cast<uint64_t>(base), static_cast<uint64_t>(exponent), um);
    *result = r > um / 2 ? static_cast<int64_t>(r - um) : static_cast<int64_t>(r);
}

int TestGfnDivisor(int64_t a, int32_t n, int64_t p) {
    uint64_t up = static_cast<uint64_t>(p);
    uint64_t ua = a < 0 ? up - (static_cast<uint64_t>(-(a + 1)) % up) - 1 : static_cast<uint64_t>(a);
    if (!MontgomeryFits(up)) {
        uint64_t x = ua % up;
        for (int32_t i = 0; i < n; ++i) x = MulModRef(x, x, up);
        return x == (up - 1) % up ? 1 : 0;
    }
    Montgomery mont(up);
    uint64_t x = mont.To(ua);
    for (int32_t i = 0; i < n; ++i) x = mont.Sqr(x);
    return x == mont.MinusOne() ? 1 : 0;
}

int32_t KernelContext::StrikeBaseList(int64_t p, int32_t n) {
    const int32_t count = *baseCount;
    uint32_t* list = baseList;
    const uint64_t up = static_cast<uint64_t>(p);
    const bool vector = (up & 1) && up >= 3;
#ifdef VARNESK_HAVE_AVX512
    if (path == KernelPath::Avx512 && vector && (up >> 63) == 0) return avx512::StrikeBases(list, count, up, n);
#endif
#ifdef VARNESK_HAVE_AVX2
    if (path == KernelPath::Avx2 && vector && up < avx2::kStrikeBound) return avx2::StrikeBases(list, count, up, n);
#endif
    (void)vector;
    const Montgomery mont(static_cast<uint64_t>(p));
    // Squaring raw values in Montgomery form gives f(x) = x^2 / R, so after n
    // steps b becomes b^(2^n) / R^(2^n - 1): no conversion per base, and the
    // target -1 becomes -(1 / R^(2^n - 1)), which is f applied n times to 1.
    uint64_t g = 1;
    for (int32_t s = 0; s < n; ++s) g = mont.Sqr(g);
    const uint64_t target = g == 0 ? 0 : mont.p - g;

    int32_t marked = 0;
    int32_t i = 0;
    constexpr int kLanes = 8;  // independent chains keep the multiplier busy
    for (; i + kLanes <= count; i += kLanes) {
        uint64_t x[kLanes];
        for (int l = 0; l < kLanes; ++l) x[l] = list[i + l];
        for (int32_t s = 0; s < n; ++s)
            for (int l = 0; l < kLanes; ++l) x[l] = mont.Sqr(x[l]);
        for (int l = 0; l < kLanes; ++l) {
            if (x[l] == target) {
                list[i + l] |= 0x80000000u;
                ++marked;
            }
        }
    }
    for (; i < count; ++i) {
        uint64_t x = list[i];
        for (int32_t s = 0; s < n; ++s) x = mont.Sqr(x);
        if (x == target) {
            list[i] |= 0x80000000u;
            ++marked;
        }
    }
    return marked;
}

namespace {
// Bit l set when 2^(p_l - 1) = 1 (mod p_l) and p_l is odd, for kLanes moduli.
template <int kLanes>
unsigned FermatScalar(const int64_t* batch) {
    // 2^(p-1) mod p for every lane in lockstep, left to right: a doubling
    // replaces the multiplication by the base. Leading zero bits of a shorter
    // exponent leave its lane at 1, so one bit count serves all.
    uint64_t p[kLanes], pinv[kLanes], one[kLanes], e[kLanes], r[kLanes];
    uint64_t all = 0;
    for (int l = 0; l < kLanes; ++l) {
        const Montgomery mont(static_cast<uint64_t>(batch[l]) | 1);
        p[l] = mont.p;
        pinv[l] = mont.pinv;
        one[l] = mont.one;
        e[l] = static_cast<uint64_t>(batch[l]) - 1;
        r[l] = mont.one;
        all |= e[l];
    }
    int top = all ? 63 - __builtin_clzll(all) : -1;
    for (int bit = top; bit >= 0; --bit) {
        for (int l = 0; l < kLanes; ++l) {
            const u128 t = static_cast<u128>(r[l]) * r[l];
            const uint64_t m = static_cast<uint64_t>(t) * pinv[l];
            const uint64_t hi = static_cast<uint64_t>(t >> 64), mp = MulHi(m, p[l]);
            const uint64_t x = hi < mp ? hi - mp + p[l] : hi - mp;
            const uint64_t d = x + x;
            // x < p; the sum may wrap only when p > 2^63
            const uint64_t dbl = (d < x || d >= p[l]) ? d - p[l] : d;
            r[l] = ((e[l] >> bit) & 1) ? dbl : x;
        }
    }
    unsigned passed = 0;
    for (int l = 0; l < kLanes; ++l)
        if (r[l] == one[l] && (batch[l] & 1)) passed |= 1u << l;
    return passed;
}
}  // namespace

uint32_t KernelContext::FermatTestMany(const int64_t* p, int count) const {
    int64_t padded[16];
    uint64_t top = 0;
    bool odd = true;
    for (int i = 0; i < 16; ++i) {
        padded[i] = i < count ? p[i] : 3;
        const uint64_t m = static_cast<uint64_t>(padded[i]);
        odd = odd && (m & 1) && m >= 3;
        top = m > top ? m : top;
    }
    const uint32_t wanted = count >= 16 ? 0xFFFFu : (1u << count) - 1;
    const uint64_t* moduli = reinterpret_cast<const uint64_t*>(padded);
#ifdef VARNESK_HAVE_AVX512
    if (path == KernelPath::Avx512 && odd && top < avx512::kFermatBound) return avx512::FermatBase2x16(moduli) & wanted;
#endif
#ifdef VARNESK_HAVE_AVX2
    if (path == KernelPath::Avx2 && odd && top < avx2::kFermatBound) return avx2::FermatBase2x16(moduli) & wanted;
#endif
    (void)moduli;
    (void)odd;
    // Four scalar chains already keep the multiplier busy.
    uint32_t passed = 0;
    for (int g = 0; g < count; g += 4) passed |= FermatScalar<4>(padded + g) << g;
    return passed & wanted;
}

void KernelContext::FermatTestBatch() {
    // The vector tests take four odd moduli below their bound.
    uint64_t moduli[4];
    uint64_t top = 0;
    bool odd = true;
    for (int l = 0; l < 4; ++l) {
        moduli[l] = static_cast<uint64_t>(batchP[l]);
        odd = odd && (moduli[l] & 1) && moduli[l] >= 3;
        top = moduli[l] > top ? moduli[l] : top;
    }
    unsigned passed;
#ifdef VARNESK_HAVE_AVX512
    if (path == KernelPath::Avx512 && odd && top < avx512::kFermatBound)
        passed = avx512::FermatBase2(moduli);
    else
#endif
#ifdef VARNESK_HAVE_AVX2
    if (path == KernelPath::Avx2 && odd && top < avx2::kFermatBound)
        passed = avx2::FermatBase2(moduli);
    else
#endif
        passed = FermatScalar<4>(batchP);
    (void)odd;
    (void)top;
    int32_t slot = 4;
    for (int l = 3; l >= 0; --l) {
        if (passed & (1u << l)) {
            --slot;
            primeP[slot] = batchP[l];
            primeK[slot] = batchK[l];
        }
    }
    *firstPrime = slot;
}

}  // namespace varnesk
