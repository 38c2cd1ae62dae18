// The wide sieve's parallel part: blocks of k (segments), the primes found
// in each with their roots up to bMax, and the ring that keeps a window of
// blocks in flight among the job's producers while one thread takes them
// back in order. This process's threads are the producer CpuProducer;
// results that cross between processes travel as the bytes of
// EncodeSegment.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/producer.h"
#include "kernels/kernels.h"
#include "kernels/ksieve.h"
#include "kernels/sieve_job.h"
#include "kernels/wide.h"

namespace varnesk {

// A segment's primes as bytes: k by differences, the outcome, the roots of
// those with roots and the solution of those whose roots are listed again
// (about three bytes a prime without roots, or whose roots are yet to be
// found). Decode gives back the same slots for the same 2N; false on bytes
// that are no segment.
void EncodeSegment(const Segment& seg, std::vector<uint8_t>& out);
bool DecodeSegment(const uint8_t* data, size_t size, UInt128 twoN, Segment& seg);

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

// This process's threads as a producer: a backstop, four blocks a thread
// (one when a single thread works alone, unless lookAhead: a rank serving
// another's blocks is sent that many), short blocks so that a stop is
// answered quickly.
class CpuProducer : public BlockProducer {
public:
    CpuProducer(const KernelContext& base, int64_t twoN, int32_t n, size_t slotRoots, int threads,
                bool lookAhead = false);
    ~CpuProducer() override;

    std::string Name() const override { return "this process's threads"; }
    BlockPolicy Policy() const override;
    bool Begin(const SegmentJobInfo&, std::string*) override { return true; }
    bool Pump(BlockDesk& desk, int thread) override;
    void End() override {}

private:
    std::vector<std::unique_ptr<BlockSieve>> sieves_;
    bool lookAhead_;
    size_t slotRoots_;
    bool batchedOrders_;  // the kernels search sixteen primes' orders at once
};

// A window of blocks in flight. One thread (the host) hands out runs of k in
// order and takes the results back in order. The window is laid out by
// producer, in the order given: the blocks nearest the oldest belong to the
// first (the job's own threads, whose results come soonest), those further
// ahead to the next, so that a producer far away gets blocks whose round
// trip is hidden. A producer takes from its own part; a backstop also takes
// from the others' parts what they leave (BlockPolicy::yieldAfterRounds)
// and everything of one that failed. No barrier: a thread that is slow or
// descheduled holds up only the block it has.
class SegmentRing {
public:
    // Producers not owned; each must outlive the ring. Those that decline in
    // Begin take no part. `stop`, when given, ends a Wait for a block that
    // is away with a producer that is polled.
    SegmentRing(const std::vector<BlockProducer*>& producers, const SegmentJobInfo& info,
                const std::atomic<int32_t>* stop = nullptr);
    ~SegmentRing();
    // Ends the producers' threads and the producers; the notes they left
    // stay to be taken. The destructor does it too.
    void Close();
    SegmentRing(const SegmentRing&) = delete;
    SegmentRing& operator=(const SegmentRing&) = delete;

    int Window() const { return static_cast<int>(slots_.size()); }
    // Primes a block should hold for exponent N: the most any producer asks.
    int PrimesPerBlock(int64_t exponent) const;

    // Hands out (kFrom, kTo] as the block at position `index`.
    void Assign(int64_t index, UInt128 kFrom, UInt128 kTo);
    // The block at `index`, once done; a backstop works meanwhile on this
    // thread. Null when the stop flag was raised while the block was away,
    // or when no producer is left to finish it or one halted the job (Orphaned).
    const Segment* Wait(int64_t index);
    void Release(int64_t index);

    // Texts for the job's log since the last call (a producer declined or
    // failed, none is left), in the order they happened.
    std::vector<std::string> TakeNotes();
    bool Orphaned() const { return orphaned_.load(std::memory_order_acquire); }

private:
    class Lane;
    struct Slot {
        Segment seg;
        int64_t index = -1;
        std::atomic<int> state{0};
        // The lane whose part it was offered in (high byte) and that lane's
        // rounds then.
        std::atomic<uint64_t> stamp{0};
        std::atomic<int64_t> takenAt{0};  // steady ns, for deadlines
        bool finishing = false;           // taken to complete its primes
    };
    Slot& At(int64_t index) { return slots_[static_cast<size_t>(index % Window())]; }
    int LaneOfOffset(int64_t offset) const;
    uint64_t StampFor(int lane) const;
    bool TakeFor(Lane& lane, BlockTask* task);
    bool Claim(Slot& slot, int expected, Lane& lane, BlockTask* task);
    void Done(Slot& slot);
    void FailLane(Lane& lane, const std::string& reason);
    void Note(std::string text);
    void Orphan(const char* text);
    void Run(Lane& lane, int thread);
    void Kick();

    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<Lane>> lanes_;
    Lane* waiter_ = nullptr;  // the backstop whose thread 0 is the host's
    const std::atomic<int32_t>* stop_ = nullptr;
    std::atomic<int64_t> head_{0};
    std::atomic<unsigned> work_{0};
    std::atomic<bool> quit_{false};
    std::atomic<bool> orphaned_{false};
    std::atomic<bool> orphanNoted_{false};
    bool closed_ = false;
    std::atomic<bool> notesWaiting_{false};
    std::mutex notesMutex_;
    std::vector<std::string> notes_;
};

// Sets up job and kernels to fill blocks of another's job, as a process of
// its own would (path: the kernels used here; the files do not depend on
// it). False when the kernels would not start.
bool StartBlockKernels(const SegmentJobInfo& info, KernelPath path, SieveJob& job, KernelContext& kernels);

// A process's share of another's job: its own kernels and ring, fed with
// blocks by position. For the processes behind another's producer.
class SegmentWorker {
public:
    // path: the kernels this process uses (the files do not depend on it).
    // extra: producers beside its threads (a device), not owned.
    SegmentWorker(const SegmentJobInfo& info, int threads, KernelPath path,
                  const std::vector<BlockProducer*>& extra = {});
    ~SegmentWorker();
    SegmentWorker(const SegmentWorker&) = delete;
    SegmentWorker& operator=(const SegmentWorker&) = delete;

    // False when the kernels would not start.
    bool Ready() const { return ring_ != nullptr; }
    int Window() const { return ring_->Window(); }
    void Assign(int64_t index, UInt128 kFrom, UInt128 kTo) { ring_->Assign(index, kFrom, kTo); }
    const Segment& Wait(int64_t index) { return *ring_->Wait(index); }
    void Release(int64_t index) { ring_->Release(index); }

private:
    SieveJob job_;
    KernelContext kernels_;
    std::unique_ptr<CpuProducer> cpu_;
    std::unique_ptr<SegmentRing> ring_;
};

}  // namespace varnesk
