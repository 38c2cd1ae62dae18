// Vector forms of the hot kernels for AVX2 and FMA, internal to the kernels
// library. Built only when the compiler takes those flags
// (VARNESK_HAVE_AVX2); the Avx2 path's KernelTable (dispatch.cpp) holds them
// with the bound each names.
//
// avx2.cpp is compiled with AVX2 flags, so it takes everything as plain
// values and calls no inline function of the portable headers (see
// avx512.h).
#pragma once
#include <cstdint>

#include "kernels/forms.h"

namespace varnesk::avx2 {

// Running odd powers per block: two passes of sixteen in eight registers.
inline constexpr int kRootLanes = 32;

// The one-word walk (forms.h) for odd 3 <= p < kRootBound. The split
// scheme cuts p into signed 32-bit words: from 2^63 - 2^32 on its high word
// reaches 2^31 and no longer fits.
inline constexpr uint64_t kRootBound = (1ULL << 63) - (1ULL << 32);
int32_t EnumerateRoots(const RootSearch& search);

// As avx512::StrikeBases for p < kStrikeBound. Above it a general product
// costs more in 32-bit pieces than the scalar Montgomery squaring.
inline constexpr uint64_t kStrikeBound = 1ULL << 51;
int32_t StrikeBases(uint32_t* list, int32_t count, uint64_t p, int32_t n);

// As avx512::FermatBase2x16, sixteen moduli below kFermatBound: four
// chains side by side.
inline constexpr uint64_t kFermatBound = 1ULL << 50;
unsigned FermatBase2x16(const uint64_t* p);

// The same for sixty-four moduli: bit i for p[i].
uint64_t FermatBase2x64(const uint64_t* p);

// As the AVX-512 forms of the same names, for p below kOrderBound (doubles
// only): the order search's powers and the solutions' check of sixteen
// primes, and the root walks of up to sixteen primes at once.
inline constexpr uint64_t kOrderBound = 1ULL << 51;
void OrderPowers16(const OrderSearch& search);
unsigned DivisorChecks16(const uint64_t* p, const uint64_t* a, int32_t n);
inline constexpr uint64_t kRootBatchBound = 1ULL << 51;
void EnumerateRootsBatch(const RootBatch& batch);

// Base-2 Fermat test of sixteen odd moduli 3 <= p < 2^96 given as two words
// (low[i], high[i]) in 28-bit limbs: three limbs while every p is below
// 2^kFermat3LimbsBits, else four. Bit i set when 2^(p - 1) = 1 (mod p).
inline constexpr int kFermat3LimbsBits = 81;
unsigned FermatBase2Limbs16(const uint64_t* low, const uint64_t* high);

// The walk beyond one word (RootSearchWideLanes), exact for
// kWideRootsLow <= p < 2^96 (from the split scheme's bound on), lanes as
// 28-bit limbs.
inline constexpr uint64_t kWideRootsLow = kRootBound;
int32_t EnumerateRootsWide(const RootSearchWideLanes& search);

}  // namespace varnesk::avx2
