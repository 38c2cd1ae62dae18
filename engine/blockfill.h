// The CPU's fill of a block: the probable primes of a run of k from the
// job's candidate stream, each one's solution of order 2N, its check and
// its roots up to bMax. The job's threads fill their blocks this way, a
// backstop completes others' primes with it, and a producer that checks
// another's blocks holds them against it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/producer.h"
#include "kernels/kernels.h"
#include "kernels/ksieve.h"
#include "kernels/sieve_job.h"
#include "kernels/wide.h"

namespace varnesk {

// k per segment for about `primes` primes: p = k*2N + 1 is prime with odds
// about 2 / ln p.
int64_t BatchSpan(UInt128 k, int64_t twoN, int primes);

struct PrimeStream;

// The CPU's completion of one probable prime: the solution of order 2N, its
// check and the roots up to bMax (kernels.rootExponent, rootLimit), into
// the slot's roots (at least SlotRoots long). Any producer that finds only
// primes leaves this step to a backstop. done: the solution and its check
// when already done for several primes at once, else null.
struct FoundOrder {
    WideOrder order;
    bool divides = false;  // order.a^N = -1 (mod p), when order.r is -1
    // The roots' count when they are listed in the slot already (-1: the
    // list filled), else kNotWalked.
    static constexpr int32_t kNotWalked = -2;
    int32_t walked = kNotWalked;
};
void CompletePrime(PrimeSlot& slot, KernelContext& kernels, int32_t n, const FoundOrder* done = nullptr);

// One thread's means of filling blocks: its own candidate stream over the
// job's shared tables.
class BlockSieve {
public:
    // shared: the sieve over k of all the job's threads (null: its own).
    BlockSieve(const KernelContext& base, int64_t twoN, int32_t n, size_t slotRoots,
               std::shared_ptr<SharedKSieve> shared = nullptr);
    ~BlockSieve();
    BlockSieve(const BlockSieve&) = delete;
    BlockSieve& operator=(const BlockSieve&) = delete;

    // The probable primes of (seg.kFrom, seg.kTo], the same as the job's own
    // stream gives there, with their roots.
    void Fill(Segment& seg);
    // Completes the block's kPrime slots.
    void Finish(Segment& seg);
    // Between blocks: work a shared sieve may do ahead of need.
    void PrepareAhead();

private:
    std::unique_ptr<PrimeStream> stream_;
    int32_t n_;
    size_t slotRoots_;
};

// Sets up job and kernels to fill blocks of another's job, as a process of
// its own would (path: the kernels used here; the files do not depend on
// it). False when the kernels would not start.
bool StartBlockKernels(const SegmentJobInfo& info, KernelPath path, SieveJob& job, KernelContext& kernels);

}  // namespace varnesk
