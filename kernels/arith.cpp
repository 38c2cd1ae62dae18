#include "kernels/generic.h"
#include "kernels/kernels.h"
#include "kernels/modmath.h"

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
    return TestDivisor(Montgomery(up), ua, n);
}

int32_t KernelContext::StrikeBaseList(int64_t p, int32_t n) {
    const int32_t count = *baseCount;
    uint32_t* list = baseList;
    const uint64_t up = static_cast<uint64_t>(p);
    if (table.strike.Takes(up)) return table.strike.fn(list, count, up, n);
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

uint32_t KernelContext::FermatTestMany(const int64_t* p, int count) const {
    // Even moduli and those below 3 fail; a stand-in 3 takes their lane.
    uint64_t moduli[16];
    uint32_t usable = 0;
    uint64_t top = 0;
    for (int i = 0; i < 16; ++i) {
        const uint64_t m = i < count ? static_cast<uint64_t>(p[i]) : 3;
        const bool odd = (m & 1) && m >= 3;
        usable |= odd ? 1u << i : 0;
        moduli[i] = odd ? m : 3;
        top = moduli[i] > top ? moduli[i] : top;
    }
    const uint32_t wanted = (count >= 16 ? 0xFFFFu : (1u << count) - 1) & usable;
    if (table.fermat16.Takes(top)) return table.fermat16.fn(moduli) & wanted;
    if (table.fermatDigits16.Takes(top)) return table.fermatDigits16.fn(moduli) & wanted;
    if (table.fermatWide16.Takes(top)) {
        const uint64_t high[16] = {};
        return table.fermatWide16.fn(moduli, high) & wanted;
    }
    // Four scalar chains already keep the multiplier busy.
    uint32_t passed = 0;
    for (int g = 0; g < count; g += 4) passed |= FermatBase2Lanes<Montgomery, 4>(moduli + g) << g;
    return passed & wanted;
}

}  // namespace varnesk
