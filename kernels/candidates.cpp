#include <initializer_list>

#include "kernels/kernels.h"
#include "kernels/modmath.h"

namespace varnesk {

namespace {
// floor(2^64 / M) for each wheel modulus: p mod M by one high product, one
// low product and one correction, exact for every 64-bit p.
struct WheelReciprocals {
    uint64_t inv[kWheelTables];
    constexpr WheelReciprocals() : inv() {
        for (int t = 0; t < kWheelTables; ++t)
            inv[t] = static_cast<uint64_t>((static_cast<u128>(1) << 64) / static_cast<uint64_t>(kWheelModuli[t]));
    }
};
constexpr WheelReciprocals kReciprocals;

inline uint32_t WheelResidue(uint64_t p, int t) {
    uint64_t m = static_cast<uint64_t>(kWheelModuli[t]);
    uint64_t r = p - MulHi(p, kReciprocals.inv[t]) * m;
    return static_cast<uint32_t>(r >= m ? r - m : r);
}
}  // namespace

bool IsWheelPrime(uint64_t p) {
    for (uint64_t q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73})
        if (p == q) return true;
    return false;
}

void KernelContext::NextCandidateBatch() {
    if (queueCount < 4) {
        const uint64_t step = 2 * static_cast<uint64_t>(*exponent64);
        int64_t k = *kCursor + 1;
        for (;;) {
            for (int i = 0; i < 6; ++i) {
                const int64_t kk = k + i;
                const uint64_t p = static_cast<uint64_t>(kk) * step + 1;
                bool pass = true;
                for (int t = 0; t < kWheelTables && pass; ++t) pass = WheelBit(WheelResidue(p, t), wheel[t]);
                // The wheel's own primes (17, 41, 73, ... for N <= 8) are primes
                // of the form k*2N + 1 too; dropping them would miss factors.
                if (!pass && p <= 73) pass = IsWheelPrime(p);
                if (pass && queueCount < 8) {
                    queueP[queueCount] = static_cast<int64_t>(p);
                    queueK[queueCount] = kk;
                    ++queueCount;
                }
            }
            if (queueCount >= 4) {
                *kCursor = k + 5;
                break;
            }
            k += 6;
        }
    }
    // Hand the first four over and keep the rest in order.
    for (int i = 0; i < 4; ++i) {
        batchP[i] = queueP[i];
        batchK[i] = queueK[i];
    }
    for (uint32_t i = 4; i < queueCount; ++i) {
        queueP[i - 4] = queueP[i];
        queueK[i - 4] = queueK[i];
    }
    queueCount -= 4;
}

}  // namespace varnesk
