// The self-test of the wide sieve's block fill, as GPU users run a trial
// factoring program's after installing a card or changing its clocks:
// runs of k at every size of p, whose probable primes, solutions of order
// 2N and bases b <= bMax with b^N = -1 (mod p) the plain references list
// (schoolbook products, no kernel of any path), among them known factors
// p | b^N + 1 found by dividing b^N + 1 itself; then each kernel path's
// blocks (and a device's, gpu/selftest.h) held against them.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/producer.h"
#include "kernels/dispatch.h"
#include "platform/numparse.h"

namespace varnesk {

// The sizes of p, each below its bound: where the kernels change their
// arithmetic (doubles, Shoup, one-word Montgomery, two words, and the
// device's walks below 2^63, 2^64, 2^80 and beyond).
inline constexpr int kSelfTestSizes = 6;
inline constexpr int kSelfTestSizeBits[kSelfTestSizes] = {32, 52, 63, 64, 79, 96};
// The size of p (the last for p of 2^96 or more).
int SelfTestSizeOf(UInt128 p);

// A probable prime of a run as the plain reference sees it.
struct ReferenceSlot {
    UInt128 k = 0, p = 0;
    // Proven prime: its solution and bases are checked. A base-2
    // pseudoprime must be listed, but what the kernels make of it is theirs.
    bool prime = false;
    UInt128 a = 0;                // q^k for the first q of 2 (N = 2), 3, 5, 7, 9, ... with q^(kN) = -1
    std::vector<uint32_t> roots;  // a^1, p - a^1, a^3, ... within bMax, the walk's order
};

// A run of k, (kFrom, kTo], as the reference fills it.
struct ReferenceBlock {
    UInt128 kFrom = 0, kTo = 0;
    std::vector<ReferenceSlot> slots;
    bool beyond = false;  // the run reaches 2^96: a last slot says the sieve ends there
};

struct SelfTestCase {
    SegmentJobInfo info;
    std::vector<ReferenceBlock> blocks;
    // The factor the case was built around, p | b^N + 1 (p = 0: a run where
    // bases come by their density).
    UInt128 factorP = 0;
    int32_t factorB = 0;
    std::string Describe() const;  // "N = 4, p from ... to ..."
};

struct SelfTestPlan {
    std::vector<SelfTestCase> cases;
    // What the reference holds at each size.
    int64_t primes[kSelfTestSizes] = {};
    int64_t factors[kSelfTestSizes] = {};
    int64_t known[kSelfTestSizes] = {};  // cases built around a factor
    std::vector<int32_t> exponents[kSelfTestSizes];  // ascending
};

// quick: the short form (a few seconds a path, for the tests); else a
// larger set, about a minute for the CPU's paths and a device together.
SelfTestPlan MakeSelfTestPlan(bool quick);

// The first difference between a filled block and the reference, or
// empty; where: the p it concerns.
std::string CompareWithReference(const SelfTestCase& c, const ReferenceBlock& want, const Segment& got,
                                 UInt128* where = nullptr);

// One path's or device's results at each size.
struct SelfTestCell {
    int64_t primes = 0, factors = 0;  // as it listed them
    bool ran = false, agrees = true;
};
struct SelfTestRow {
    std::string name;
    SelfTestCell cells[kSelfTestSizes];
    std::string firstDisagreement;  // empty when every block agreed
    std::string note;               // what the filler left to others, or empty
    double seconds = 0;
    bool Agrees() const { return firstDisagreement.empty(); }
};

// Fills a case's blocks (kFrom and kTo set) as the sieve's producers do;
// false with why (every size the case touches then disagrees).
using SelfTestFill = std::function<bool(const SelfTestCase&, std::vector<Segment>& blocks, std::string* why)>;

// Every case through fill, every block against the reference. flipOne
// changes the first base the row lists after its fill (the tests' hook,
// SelfTestFault), so that the comparison is seen to catch a wrong result.
SelfTestRow RunSelfTestRow(const std::string& name, const SelfTestPlan& plan, const SelfTestFill& fill,
                           bool flipOne = false);

// A CPU path's row: its blocks as the job's threads fill them (BlockSieve).
SelfTestRow RunCpuSelfTest(KernelPath path, const SelfTestPlan& plan, bool flipOne = false);

// The row whose results are changed on purpose ("scalar", "avx2",
// "avx512" or "device"), from VARNESK_SELFTEST_FAULT; empty: none.
std::string SelfTestFault();

}  // namespace varnesk
