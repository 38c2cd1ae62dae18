// The wide sieve's kernels beyond 2^63: the Fermat test, the order-2N
// solution, the divisibility test and the root walk for p up to 2^96.
//
// Bounds: exact for every odd p with 3 <= p < 2^127 (k*2N + 1 formed in 128
// bits without wrap for p < 2^127). One-word Montgomery (R = 2^64) below
// 2^64, where it is exact (Shoup's single correction is not from 2^63 on,
// so the root walk multiplies by a fixed Montgomery constant instead);
// two-word Montgomery (R = 2^128, modmath2.h) from 2^64 on, and for the
// root walk up to just below 2^96 a one-word reduction with split constants
// (FixedTwoWord, bound in modmath2.h); the vector walks (avx512.cpp,
// avx2.cpp) where the job's table takes them (dispatch.cpp).
// The batch forms (FindOrder2NMany, TestGfnDivisorMany) take the job's
// vector lanes where it has them and give what the one-prime forms give.
// Bases and list entries are below 2^31.
#pragma once
#include <cstdint>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/modmath2.h"
#include "platform/numparse.h"

namespace varnesk {

// Base-2 Fermat test of count <= 16 moduli: bit i set when p[i] is odd,
// at least 3, below 2^127, and 2^(p[i] - 1) = 1 (mod p[i]).
uint32_t FermatTestWide(const KernelContext& context, const UInt128* p, int count);

// One prime's two-word Montgomery constants, built once and shared by the
// order search, the divisor test and the walk's set-up (each would build its
// own otherwise). Below 2^64 the one-word form is cheap and stays per call;
// mont is then left empty.
struct WidePrime {
    UInt128 p;
    Montgomery2 mont;
    explicit WidePrime(UInt128 modulus);
};

// The first q of 2, 3, 5, 7, 9, ... whose a = q^k has a^N != 1 (mod p), with
// p = 2Nk + 1 and N = 2^n: r = -1 when a^N = -1 (a then has order 2N), else
// 2 (p is composite). a is normalised.
struct WideOrder {
    UInt128 a = 0;
    int r = 0;
};
WideOrder FindOrder2NWide(UInt128 p, UInt128 k, int32_t n);
WideOrder FindOrder2NWide(const WidePrime& prime, UInt128 k, int32_t n);

// FindOrder2NWide for count <= 16 primes p[i] = 2N k[i] + 1 at once, with
// the same results: the job's vector form computes the powers of the q
// where a prime's search ends (the lanes ending elsewhere, and batches
// beyond its bound, take the scalar search).
void FindOrder2NMany(const KernelTable& table, const UInt128* p, const UInt128* k, int count, int32_t n,
                     WideOrder* out);

// 1 when a^(2^n) = -1 (mod p); any a >= 0 (reduced first).
int TestGfnDivisorWide(UInt128 a, int32_t n, UInt128 p);
// The same for count <= 16 pairs (a[i] < p[i]) at once: bit i for pair i.
uint32_t TestGfnDivisorMany(const KernelTable& table, const UInt128* a, const UInt128* p, int count, int32_t n);
int TestGfnDivisorWide(UInt128 a, int32_t n, const WidePrime& prime);

// Every b <= limit with b^N = -1 (mod p) from a solution a of order 2N, in
// the order of EnumerateGfnRoots (a^1, p - a^1, a^3, ..., each only within
// the limit). Returns the count, or -1 as soon as the output is full (the
// check follows every store).
// kernels: the job's vector forms (the IFMA walk or the AVX2 walk, where
// the table takes p and N); the scalar walks take every other p.
// twoWord takes the two-word scalar form below 2^64 too (tests hold the
// forms against each other where hits are common).
int32_t EnumerateGfnRootsWide(UInt128 a, UInt128 p, int32_t exponent, uint32_t limit, uint32_t* out,
                              int32_t capacity, bool twoWord = false,
                              const KernelTable& kernels = KernelTable{});
int32_t EnumerateGfnRootsWide(UInt128 a, const WidePrime& prime, int32_t exponent, uint32_t limit, uint32_t* out,
                              int32_t capacity, bool twoWord = false,
                              const KernelTable& kernels = KernelTable{});

}  // namespace varnesk
