// A block of the wide sieve: a run of k, (kFrom, kTo], and the probable
// primes p = k*2N + 1 found in it, a slot each, in order. Whoever fills one
// builds its slots through AddSlot and ends the run with AddLimitSlot; the
// ring asks the block itself which slots the ordered pass must see and
// which primes are still to be completed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/sieve_job.h"

namespace varnesk {

struct PrimeSlot {
    UInt128 p = 0, k = 0;
    // kBeyond: p is 2^96 or more, where the sieve ends; not sieved.
    // kPrime: a probable prime whose solution and roots are still to be
    // found; the ring has a backstop complete it (CompletePrime) before the
    // block is handed to the sieve.
    enum Outcome : uint8_t { kNothing, kRoots, kInvalidA0, kListFull, kBeyond, kPrime } outcome = kNothing;
    UInt128 a = 0;
    std::vector<uint32_t> roots;
    int32_t rootCount = 0;
};

// Solutions beyond this many per prime are listed again by the ordered pass
// with the job's full list, so that slots stay small for large N.
inline constexpr int32_t kSlotRoots = 4096;

// The roots a slot holds for exponent N (the job's list holds N + 4).
inline size_t SlotRoots(int32_t exponent) {
    return static_cast<size_t>(exponent + 4 < kSlotRoots ? exponent + 4 : kSlotRoots);
}

// The last k whose p = k*2N + 1 lies below 2^96, where the sieve ends.
inline UInt128 LastSieveK(UInt128 twoN) { return (kWideLimitP - 2) / twoN; }

struct Segment {
    UInt128 kFrom = 0, kTo = 0;
    std::vector<PrimeSlot> slots;  // the first `count` are the block's; the rest are kept for reuse
    int count = 0;
    // The slots the ordered pass must look at one by one (roots to strike,
    // a failure, the end of the sieve), in order; the others strike
    // nothing. Listed by ListActive once the block is filled.
    std::vector<int32_t> active;

    // The end of the run that holds primes to sieve: kTo, or LastSieveK.
    UInt128 SieveEnd(UInt128 twoN) const;
    // The next slot, emptied, its root list at least slotRoots long (a slot
    // that last held a block from elsewhere may be short).
    PrimeSlot& AddSlot(size_t slotRoots);
    // A run that reaches past LastSieveK ends with a kBeyond slot that says
    // so; others get nothing.
    void AddLimitSlot(UInt128 twoN, size_t slotRoots);

    // Lists `active`; true when some prime is still to be completed.
    bool ListActive();
    // The k of the primes still to be completed, in order.
    void UnfinishedK(std::vector<UInt128>& out) const;
    // Puts the slots of `done`, the primes of UnfinishedK completed in the
    // same order, in their places (`done` gets the old ones back). False,
    // with nothing changed, when they are not those primes or not complete.
    bool TakeFinished(Segment& done);
};

}  // namespace varnesk
