// What the kernels' vector forms take: the records of the root walks and
// of the order search, one set for every vector file (avx2.cpp,
// avx512.cpp), the table that holds their functions (dispatch.h) and the
// call sites that fill them. Plain values only: the vector files are
// compiled with other instruction sets and call no inline function of a
// portable header (see rootwriter.h).
#pragma once
#include <cstdint>

namespace varnesk {

// The one-word root walk: the roots up to the limit in the order of the
// sixteen-lane scheme (a^1, p - a^1, a^3, ..., pass after pass). Returns
// how many were stored, or -1 as soon as the output is full (checked after
// every store). A form holds `lanes` running powers (the table's
// rootLanes, at most kMostRootLanes).
inline constexpr int kMostRootLanes = 64;
struct RootSearch {
    const uint64_t* start;  // a^1, a^3, ..., a^(2 lanes - 1), each in [0, p)
    uint64_t step;          // a^(2 lanes) mod p
    uint64_t p;             // odd
    uint32_t passes;        // N / 32, at least 1
    uint64_t limit;
    uint32_t* out;
    int32_t capacity;
    // Walk the last part of the odd powers with scalar chains beside the
    // vector ones (AVX2, where the CPU runs both at once).
    bool scalarBeside = false;
};

// The same walk beyond one word, values as two 64-bit words (low, high),
// from the first eight odd powers: the form makes the others itself. stride
// and step are a^16 and a^(2 kLanes) times 2^104 mod p (the form the
// two-digit Montgomery product takes).
struct RootSearchWide {
    static constexpr int kStart = 8, kLanes = 64;
    const uint64_t* startLow;  // a^1, a^3, ..., a^15, each in [0, p)
    const uint64_t* startHigh;
    uint64_t strideLow, strideHigh;
    uint64_t stepLow, stepHigh;
    uint64_t pLow, pHigh;
    uint32_t passes;  // N / 32, at least 1
    uint64_t limit;   // below 2^32
    uint32_t* out;
    int32_t capacity;
};

// The same walk from every lane's first power, all in normal form.
struct RootSearchWideLanes {
    static constexpr int kLanes = 32;
    const uint64_t* startLow;  // a^1, a^3, ..., a^(2 kLanes - 1), each in [0, p)
    const uint64_t* startHigh;
    uint64_t stepLow, stepHigh;  // a^(2 kLanes) mod p
    uint64_t pLow, pHigh;
    uint32_t blocks;  // N / (2 kLanes), at least 1
    uint64_t limit;   // below 2^32
    uint32_t* out;
    int32_t capacity;
};

// The one-word walks of up to kRootBatchPrimes primes at once, each in the
// order of its own walk: found[i] is prime i's count in out[i], or -1 once
// its list held capacity (checked after every store). For short walks
// (small N), where the one-prime walk's set-up is most of its cost.
inline constexpr int kRootBatchPrimes = 16;
struct RootBatch {
    const uint64_t* p;  // odd
    const uint64_t* a;  // a solution of order 2N of each, in [0, p)
    int count;          // 1 to kRootBatchPrimes
    uint32_t odd;       // N / 2, a power of two
    uint64_t limit;     // below 2^32
    uint32_t* const* out;
    int32_t capacity;  // at least 1
    int32_t* found;
};

// The order search's powers for sixteen primes at once: a[i] = q[i]^k[i]
// mod p[i] (normal form) and r[i] = 1, -1 or 2 as a[i]^(2^n) is 1, -1 or
// another value; p odd, q < p and below 2^24.
struct OrderSearch {
    const uint64_t* p;
    const uint64_t* q;
    const uint64_t* k;
    int32_t n;
    uint64_t* a;
    int8_t* r;
};

// The same beyond one word, values as (low, high) words: k below 2^127, q
// below 2^32.
struct OrderSearchWide {
    const uint64_t* pLow;
    const uint64_t* pHigh;
    const uint64_t* q;
    const uint64_t* kLow;
    const uint64_t* kHigh;
    int32_t n;
    uint64_t* aLow;
    uint64_t* aHigh;
    int8_t* r;
};

}  // namespace varnesk
