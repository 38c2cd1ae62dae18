// Vector forms of the hot kernels (AVX-512 F, DQ, BW, VL and IFMA), internal
// to the kernels library. Built only when the compiler takes those flags
// (VARNESK_HAVE_AVX512); the Avx512 path's KernelTable (dispatch.cpp) holds
// them with the bound each names.
//
// avx512.cpp is compiled with AVX-512 flags, so it takes everything as plain
// values and calls no inline function of the portable headers: a copy of
// such a function compiled there could be the one the linker keeps for the
// portable callers too.
#pragma once
#include <cstdint>

namespace varnesk::avx512 {

// Running odd powers per block: four passes of sixteen.
inline constexpr int kRootLanes = 64;

struct RootSearch {
    const uint64_t* start;  // a^1, a^3, ..., a^(2*kRootLanes - 1), each in [0, p)
    uint64_t step;          // a^(2*kRootLanes) mod p
    uint64_t p;             // odd, 3 <= p < 2^63
    uint32_t passes;        // N / 32, at least 1
    uint64_t limit;
    uint32_t* out;
    int32_t capacity;
    // AVX2 only: walk the last part of the odd powers with scalar chains
    // beside the vector ones (where the CPU runs both at once).
    bool scalarBeside = false;
};

// The roots up to the limit in the order of the sixteen-lane scheme (a^1,
// p - a^1, a^3, ..., pass after pass). Returns how many were stored, or -1
// as soon as the output array is full (checked after every store).
int32_t EnumerateRoots(const RootSearch& search);

// The same search for 2^63 <= p < 2^96, values as two 64-bit words (low,
// high). The kernel makes the odd powers beyond the first eight itself;
// stride and step are a^16 and a^(2*kRootLanes) times 2^104 mod p (the form
// the two-digit Montgomery product takes).
struct RootSearchWide {
    const uint64_t* startLow;   // a^1, a^3, ..., a^15, each in [0, p)
    const uint64_t* startHigh;
    uint64_t strideLow, strideHigh;
    uint64_t stepLow, stepHigh;
    uint64_t pLow, pHigh;
    uint32_t passes;  // N / 32, a multiple of kRootLanes / 16
    uint64_t limit;   // below 2^32
    uint32_t* out;
    int32_t capacity;
};
inline constexpr uint64_t kWideRootsHighEnd = 1ULL << 32;  // p below 2^96
int32_t EnumerateRootsWide(const RootSearchWide& search);

// The root walks of up to kRootBatchPrimes primes at once, in the order of
// EnumerateRoots for each: found[i] is prime i's count in out[i], or -1
// once its list held capacity (checked after every store). For short walks
// (small N), where the one-prime walk's set-up is most of its cost.
inline constexpr int kRootBatchPrimes = 16;
inline constexpr uint64_t kRootBatchBound = 1ULL << 51;
struct RootBatch {
    const uint64_t* p;  // odd, 3 <= p < kRootBatchBound
    const uint64_t* a;  // a solution of order 2N of each, in [0, p)
    int count;          // 1 to kRootBatchPrimes
    uint32_t odd;       // N / 2, a power of two
    uint64_t limit;     // below 2^32
    uint32_t* const* out;
    int32_t capacity;   // at least 1
    int32_t* found;
};
void EnumerateRootsBatch(const RootBatch& batch);

// Base-2 Fermat test of sixteen odd moduli 3 <= p < 2^96 given as two words
// (low[i], high[i]): bit i set when 2^(p - 1) = 1 (mod p).
unsigned FermatBase2Wide16(const uint64_t* low, const uint64_t* high);

// Sets bit 31 of every entry b (below 2^31) with b^(2^n) = -1 (mod p), p odd
// with 3 <= p < 2^63; returns how many.
int32_t StrikeBases(uint32_t* list, int32_t count, uint64_t p, int32_t n);

// Base-2 Fermat test of sixteen odd moduli 3 <= p < kFermatBound (doubles):
// bit i of the result is set when 2^(p[i] - 1) = 1 (mod p[i]).
inline constexpr uint64_t kFermatBound = 1ULL << 50;
unsigned FermatBase2x16(const uint64_t* p);
// The same for sixty-four moduli: bit i for p[i]. The streams of small N
// have that many candidates at once, and eight chains hide the product's
// latency that two leave bare.
uint64_t FermatBase2x64(const uint64_t* p);

// The same for odd moduli 3 <= p < kFermatDigitsBound in 52-bit digits
// (one-word values); the job takes it from kFermatBound on, where the
// doubles end.
inline constexpr uint64_t kFermatDigitsBound = 1ULL << 63;
unsigned FermatBase2Digits16(const uint64_t* p);
// The same for sixty-four moduli: bit i for p[i].
uint64_t FermatBase2Digits64(const uint64_t* p);

// The order search's powers for sixteen primes at once: a[i] = q[i]^k[i]
// mod p[i] (normal form) and r[i] = 1, -1 or 2 as a[i]^(2^n) is 1, -1 or
// another value. p odd, 3 <= p < kOrderBound, q < p. In doubles while every
// p is below kOrderDoubleBound, else in 52-bit digits.
inline constexpr uint64_t kOrderBound = 1ULL << 63;
inline constexpr uint64_t kOrderDoubleBound = 1ULL << 51;
struct OrderSearch {
    const uint64_t* p;
    const uint64_t* q;
    const uint64_t* k;
    int32_t n;
    uint64_t* a;
    int8_t* r;
};
void OrderPowers16(const OrderSearch& search);

// The same search and check for sixteen odd 3 <= p < 2^96 in two 52-bit
// digits, values as (low, high) words: k below 2^127, q below 2^32.
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
void OrderPowersWide16(const OrderSearchWide& search);
// Bit i set when a[i]^(2^n) = -1 (mod p[i]), a[i] < p[i] < 2^96.
unsigned DivisorChecksWide16(const uint64_t* pLow, const uint64_t* pHigh, const uint64_t* aLow,
                             const uint64_t* aHigh, int32_t n);

// Bit i set when a[i]^(2^n) = -1 (mod p[i]), for sixteen odd
// 3 <= p[i] < kOrderBound and a[i] < p[i]; in doubles, as the search, while
// every p is below kOrderDoubleBound.
unsigned DivisorChecks16(const uint64_t* p, const uint64_t* a, int32_t n);

}  // namespace varnesk::avx512
