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

#include "kernels/forms.h"

namespace varnesk::avx512 {

// Running odd powers per block: four passes of sixteen.
inline constexpr int kRootLanes = 64;

// The one-word walk (forms.h) for odd 3 <= p < 2^63.
int32_t EnumerateRoots(const RootSearch& search);

// The walk for 2^63 <= p < 2^96 (RootSearchWide).
int32_t EnumerateRootsWide(const RootSearchWide& search);

// The walks of several primes at once (RootBatch) for p < kRootBatchBound.
inline constexpr uint64_t kRootBatchBound = 1ULL << 51;
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

// The order search's powers for sixteen primes (OrderSearch), p odd,
// 3 <= p < kOrderBound: in doubles while every p is below
// kOrderDoubleBound, else in 52-bit digits.
inline constexpr uint64_t kOrderBound = 1ULL << 63;
inline constexpr uint64_t kOrderDoubleBound = 1ULL << 51;
void OrderPowers16(const OrderSearch& search);

// The same search and check for sixteen odd 3 <= p < 2^96 in two 52-bit
// digits (OrderSearchWide).
void OrderPowersWide16(const OrderSearchWide& search);
// Bit i set when a[i]^(2^n) = -1 (mod p[i]), a[i] < p[i] < 2^96.
unsigned DivisorChecksWide16(const uint64_t* pLow, const uint64_t* pHigh, const uint64_t* aLow,
                             const uint64_t* aHigh, int32_t n);

// Bit i set when a[i]^(2^n) = -1 (mod p[i]), for sixteen odd
// 3 <= p[i] < kOrderBound and a[i] < p[i]; in doubles, as the search, while
// every p is below kOrderDoubleBound.
unsigned DivisorChecks16(const uint64_t* p, const uint64_t* a, int32_t n);

}  // namespace varnesk::avx512
