// Arithmetic kernels of the sieve: wheel tables, modular powering, the divisibility test, the bulk strike of a base list
// and the enumeration of all b <= limit with b^N = -1 (mod p).
//
// Bounds: every modulus is odd and below 2^63 (the wide sieve takes its
// primes from 2^63 to 2^96 to the kernels of wide.h); exact for any odd
// modulus below 2^64 in fact, except the AVX2 root walk (below 2^63 - 2^32).
// The probable-prime stream is candidates.h; which vector form a kernel
// takes is the job's KernelTable (dispatch.h).
// Bases and list entries are below 2^31. No kernel divides inside a loop
// over roots, bases or candidates: per-modulus constants are computed once
// per call.
#pragma once
#include <cstdint>
#include <string>

#include "kernels/dispatch.h"

namespace varnesk {

inline constexpr int kWheelTables = 6;
inline constexpr int32_t kWheelModuli[kWheelTables] = {15015, 7429, 33263, 82861, 190747, 347261};
inline constexpr int32_t kWheelBytes[kWheelTables] = {1888, 944, 4168, 10368, 23856, 43416};
inline constexpr int32_t kWheelSetBits[kWheelTables] = {5760, 6336, 30240, 77280, 180960, 332640};

// Bit i of a word array is bit (i mod 32) of word i / 32. Each returns the
// bit's previous value. Indices are not checked.
int BitTest(int32_t index, const uint32_t* words);
int BitTestAndSet(int32_t index, uint32_t* words);
int BitTestAndClear(int32_t index, uint32_t* words);
// The wheel's own primes 3 to 73, which are of the form k*2N + 1 for small N
// although the wheel strikes them.
bool IsWheelPrime(uint64_t p);

// CPUID leaves 0 and 1. vendor receives 12 characters and a zero byte.
// Returns family (0 when leaf 1 is not available).
int32_t GetCpuId(char* vendor, int32_t* family, int32_t* model, int32_t* stepping);

// Which arithmetic the vectorisable kernels use (dispatch.h).
const char* KernelPathName(KernelPath path);
// Built into this program and supported by this CPU.
bool KernelPathAvailable(KernelPath path);
// The fastest available path.
KernelPath BestKernelPath();
// "scalar", "avx2", "avx512" or "auto" (the best): the path, or Scalar with
// a message in error for a name that is unknown or a path this CPU lacks.
KernelPath ResolveKernelPath(const std::string& request, std::string* error);
// VARNESK_KERNEL when it names an available path, else the best. Front ends
// refuse a bad VARNESK_KERNEL first (KernelEnvironmentError).
KernelPath DetectKernelPath();
// Empty, or why VARNESK_KERNEL cannot be used.
std::string KernelEnvironmentError();

// One per job (and a copy per thread of a job). Plain record: the
// registration calls store pointers and the kernels read and write through
// them.
struct KernelContext {
    // The wheel tables, filled by AssemblyInit; the candidate stream sieves
    // over k on its own (ksieve.h), and the tests read these as its reference.
    uint32_t* wheel[kWheelTables] = {};
    // Root search.
    int32_t rootExponent = 0;
    uint32_t rootLimit = 0;
    uint32_t* rootOutput = nullptr;
    int32_t rootCapacity = 0;
    int32_t* rootCountOut = nullptr;
    // Base list.
    int32_t* baseCount = nullptr;
    uint32_t* baseList = nullptr;
    // Cycle timers.
    uint64_t timerStart[5] = {};
    uint64_t timerTotal[5] = {};
    // The vector forms of this job's path (SelectKernels).
    KernelTable table = KernelTableFor(KernelPath::Scalar);

    // Chooses the kernels' path for the job (the scalar one where this CPU
    // or build lacks it); tuning only for tests and benchmarks.
    void SelectKernels(KernelPath path, KernelTuning tuning = {}) { table = KernelTableFor(path, tuning); }
    KernelPath Path() const { return table.path; }

    void SetWheelTablesA(uint32_t* t1, uint32_t* t2, uint32_t* t3, uint32_t* t4);
    void SetWheelTablesB(uint32_t* t5, uint32_t* t6);

    // Fills the wheel tables and returns the SSE rounding field
    // (MXCSR & 0x6000); anything but 0 means the job must not run.
    int32_t AssemblyInit();

    // Base-2 Fermat test of count <= 16 moduli at once: bit i set when p[i]
    // is odd, at least 3, and 2^(p[i] - 1) = 1 (mod p[i]). Exact below 2^64.
    uint32_t FermatTestMany(const int64_t* p, int count) const;

    void SetRootSearch(int32_t exponent, int32_t limit);
    void SetRootOutput(int32_t* count, uint32_t* output, int32_t capacity);
    // a: a normalised solution of a^N = -1 (mod p). 1 = complete (count
    // stored), 0 = output full (count not stored).
    int EnumerateGfnRoots(int64_t a, int64_t p);

    void SetBaseList(int32_t* count, uint32_t* list);
    // Marks (bit 31) every entry b with b^(2^n) = -1 (mod p); returns how many.
    int32_t StrikeBaseList(int64_t p, int32_t n);

    void ResetCycleTimers();
    void StartCycleTimer(int timer);
    void StopCycleTimer(int timer);
    uint64_t ReadCycleTimer(int timer) const;
};

// EnumerateGfnRoots of count <= 16 primes at once where the table has the
// batch form for them all (exponent N a power of two, each p odd and a[i] <
// p[i]): found[i] is prime i's count in out[i], or -1 where its list filled
// (EnumerateGfnRoots' 0). False, with nothing done, where it has none.
bool EnumerateGfnRootsBatch(const KernelTable& table, const uint64_t* p, const uint64_t* a, int count,
                            int32_t exponent, uint32_t limit, uint32_t* const* out, int32_t capacity,
                            int32_t* found);

// base^exponent mod m with exponent >= 1 and base in [0, m).
void PowMod(int64_t base, int64_t exponent, int64_t m, int64_t* result);        // [0, m)
void PowModSigned(int64_t base, int64_t exponent, int64_t m, int64_t* result);  // balanced
// 1 when a^(2^n) = -1 (mod p); a may exceed p while below 2^31 (or any a >= 0).
int TestGfnDivisor(int64_t a, int32_t n, int64_t p);

}  // namespace varnesk
