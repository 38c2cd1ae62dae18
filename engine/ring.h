// The ring that keeps a window of the wide sieve's blocks in flight among
// the job's producers while one thread takes them back in order. Of a
// block it knows the run of k and what the block says of itself (which
// slots the ordered pass must see, which primes are still to be
// completed); what a slot holds is the producers' and the sieve's.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/producer.h"

namespace varnesk {

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
    // is away with a producer that is polled. served: its blocks come from
    // another's ring, as many as every producer's hold, whoever is alone.
    SegmentRing(const std::vector<BlockProducer*>& producers, const SegmentJobInfo& info,
                const std::atomic<int32_t>* stop = nullptr, bool served = false);
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

}  // namespace varnesk
