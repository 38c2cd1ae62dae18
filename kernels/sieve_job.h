// The record of the running job and the flags that a front end writes while
// it runs. The kernel context holds addresses of several fields, so a job
// record never moves while its worker runs.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/numparse.h"

namespace varnesk {

// The wide sieve ends below 2^96; the standard sieve and packed K files
// (k in 63 bits) below 2^63.
inline constexpr UInt128 kWideLimitP = UInt128{1} << 96;
inline constexpr UInt128 kStandardLimitP = UInt128{1} << 63;

class TextSink;

struct SieveJob {
    // Parameters from the front end.
    std::string factorFileName;
    std::string inputFileName;
    std::string outputFileName;
    int32_t command = 0;  // 0 new sieve, 1 resume, 31 packed K build
    int32_t bMin = 0;
    int32_t bMax = 0;
    int32_t exponent = 0;      // N
    int32_t exponentLog2 = 0;  // n, N = 2^n
    TextSink* form = nullptr;  // where every worker text goes
    int32_t wideMath = 0;
    int32_t saveIntervalSeconds = 0;
    std::string packedKPath;

    // Progress state. kCursor feeds the 64-bit candidate streams (standard
    // sieve, packed K build); the wide sieve goes on from kCursorWide, which
    // holds the same k but does not saturate.
    int64_t kCursor = 0;
    UInt128 kCursorWide = 0;
    UInt128 currentP = 0;
    int64_t currentK = 0;
    int64_t exponent64 = 0;
    int32_t candidateCount = 0;
    std::vector<uint32_t> candidateBitmap;  // empty: not allocated
    std::vector<uint32_t> candidateList;
    std::vector<uint32_t> rootList;
    int32_t rootCapacity = 0;
    int32_t rootCount = 0;
    int32_t lastTick = 0;
    int64_t lastSaveTime = 0;

    // The wheel tables (the candidate stream's). The slots before them
    // carried primes from the kernels before the candidate stream handed
    // them over itself; only the worker's start still sets them.
    int32_t firstPrime = 999;
    int64_t primeP[4] = {0, 0, 0, 0};
    int64_t primeK[4] = {0, 0, 0, 0};
    std::vector<uint32_t> wheel[6];  // empty: not allocated
};

// What the front end writes while a job runs. The two atomics may be written
// until the front end has handled the end marker, so whoever owns them keeps
// them alive until then.
struct WorkerFlags {
    std::atomic<int32_t> m_stopRequest{0};
    std::atomic<int32_t> m_tickCount{0};
    int32_t m_useStartStop = 0;
    UInt128 m_startP = 0;
    UInt128 m_stopP = 0;
};

// Bases must stay below this so that (bMax + 31) and the step b + 2 cannot
// overflow a 32-bit value.
inline constexpr int32_t kMaxBase = 2147483647 - 64;

// The exponent test of every front end and reader: n with 2^n = N for n from
// 1 to 30, else 0.
constexpr int32_t ExponentLog2(int64_t exponent) {
    for (int32_t n = 1; n <= 30; ++n)
        if ((int64_t{1} << n) == exponent) return n;
    return 0;
}

// True when b^(2^n) + 1 is p itself. A prime of that form divides its own
// number but is no proper factor: striking the base would drop the very
// prime a user hunts for. Only small N can get there below 2^96.
constexpr bool IsOwnGfn(int64_t b, int32_t n, UInt128 p) {
    if (b < 2 || p < 3 || n < 1) return false;
    UInt128 v = static_cast<UInt128>(b);
    const UInt128 target = p - 1;
    for (int32_t i = 0; i < n; ++i) {
        if (v > target / v) return false;  // v * v would pass p - 1
        v *= v;
    }
    return v == target;
}

}  // namespace varnesk
