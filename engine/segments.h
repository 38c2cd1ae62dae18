// The wide sieve's parallel part: runs of k (segments), the primes found in
// each with their roots up to bMax, and the ring that computes a window of
// segments on every core while one thread takes them back in order. Other
// processes (another machine's cores) join in through a SegmentLink; their
// results travel as the compact bytes of EncodeSegment.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/sieve_job.h"
#include "kernels/wide.h"

namespace varnesk {

struct PrimeSlot {
    UInt128 p = 0, k = 0;
    // kBeyond: p is 2^96 or more, where the sieve ends; not sieved.
    enum Outcome : uint8_t { kNothing, kRoots, kInvalidA0, kListFull, kBeyond } outcome = kNothing;
    UInt128 a = 0;
    std::vector<uint32_t> roots;
    int32_t rootCount = 0;
};

// Solutions beyond this many per prime are listed again by the ordered pass
// with the job's full list, so that slots stay small for large N.
inline constexpr int32_t kSlotRoots = 4096;

// A run of k, (kFrom, kTo], and the primes found in it, in order.
struct Segment {
    UInt128 kFrom = 0, kTo = 0;
    std::vector<PrimeSlot> slots;
    int count = 0;
};

// A segment's primes as bytes: k by differences, the outcome, the roots of
// those with roots and the solution of those whose roots are listed again
// (about three bytes a prime without roots). Decode gives back the same
// slots for the same 2N; false on bytes that are no segment.
void EncodeSegment(const Segment& seg, std::vector<uint8_t>& out);
bool DecodeSegment(const uint8_t* data, size_t size, UInt128 twoN, Segment& seg);

// k per segment for about `primes` primes: p = k*2N + 1 is prime with odds
// about 2 / ln p.
int64_t BatchSpan(UInt128 k, int64_t twoN, int primes);

// What a process needs to compute a job's segments.
struct SegmentJobInfo {
    int32_t exponent = 0;  // N
    int32_t exponentLog2 = 0;
    int32_t bMin = 0;
    int32_t bMax = 0;
};

class SegmentRing;

// Segments computed elsewhere: the ring's pump thread calls Pump over and
// over; Pump hands out assigned segments (TakeForRemote) as far as the other
// side has room and completes those that came back (Complete). All of a
// link's calls come from that one thread.
class SegmentLink {
public:
    virtual ~SegmentLink() = default;
    // Segments the other side may hold at once (added to the ring's window).
    virtual int Capacity() const = 0;
    virtual void Begin(const SegmentJobInfo& info) = 0;
    // One round; false when nothing happened (the pump then pauses briefly).
    virtual bool Pump(SegmentRing& ring) = 0;
    // The other side stops; results still on their way are taken and dropped.
    virtual void End() = 0;
};

struct PrimeStream;

// A window of segments in flight. One thread hands out runs of k in order
// and takes the results back in order; every thread, that one included
// while it waits, works on the oldest segment nobody has taken. No barrier:
// a thread that is slow or descheduled holds up only the segment it has.
// With a link, the window grows by the link's capacity, and the segments
// beyond the first `window` from the oldest are offered to the link first:
// far enough ahead that their round trip is hidden. This process's threads,
// which would otherwise take every segment before the link's pump comes
// round, take one there only after a round of the pump has left it.
class SegmentRing {
public:
    enum State : int { kFree, kAssigned, kTaken, kReady };

    // `threads` compute here; a link adds its capacity to the window and a
    // pump thread. `stop`, when given, ends a Wait for a segment that is away.
    SegmentRing(int window, const KernelContext& base, int64_t twoN, int threads, int32_t n, size_t slotRoots,
                SegmentLink* link = nullptr, const SegmentJobInfo* info = nullptr,
                const std::atomic<int32_t>* stop = nullptr);
    ~SegmentRing();
    SegmentRing(const SegmentRing&) = delete;
    SegmentRing& operator=(const SegmentRing&) = delete;

    int Window() const { return static_cast<int>(slots_.size()); }

    // Hands out (kFrom, kTo] as the segment at position `index`.
    void Assign(int64_t index, UInt128 kFrom, UInt128 kTo);
    // The segment at `index`, once done; this thread works meanwhile. Null
    // when the stop flag was raised while the segment was away.
    const Segment* Wait(int64_t index);
    void Release(int64_t index);

    // For a link: takes the oldest assigned segment of its part of the window.
    bool TakeForRemote(int64_t* index, UInt128* kFrom, UInt128* kTo);
    // For a link: the segment it took, to be filled, then marked done.
    Segment& Taken(int64_t index) { return At(index).seg; }
    void Complete(int64_t index);
    // For a link: whether it could take more segments now.
    void SetLinkRoom(bool room) { linkRoom_.store(room, std::memory_order_relaxed); }

private:
    struct Slot {
        Segment seg;
        std::atomic<int> state{kFree};
        std::atomic<uint64_t> round{0};  // the pump's rounds when assigned
    };
    Slot& At(int64_t index) { return slots_[static_cast<size_t>(index % Window())]; }
    // Assigned to taken, for one taker only.
    static bool Claim(Slot& slot);
    bool TakeOne(PrimeStream& stream);
    void HelperLoop(PrimeStream& stream);
    void PumpLoop(SegmentJobInfo info);

    std::vector<Slot> slots_;
    int localWindow_;
    std::vector<std::unique_ptr<PrimeStream>> streams_;
    std::vector<std::thread> helpers_;
    std::thread pump_;
    SegmentLink* link_ = nullptr;
    const std::atomic<int32_t>* stop_ = nullptr;
    std::atomic<int64_t> head_{0};
    std::atomic<uint64_t> pumpRounds_{0};
    std::atomic<bool> linkRoom_{true};
    std::atomic<unsigned> work_{0};
    std::atomic<bool> quit_{false};
    int32_t n_;
    size_t slotRoots_;
};

// A process's share of another's job: its own kernels and ring, fed with
// segments by position. For the processes behind a SegmentLink.
class SegmentWorker {
public:
    // path: the kernels this process uses (the files do not depend on it).
    SegmentWorker(const SegmentJobInfo& info, int threads, KernelPath path);
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
    std::unique_ptr<SegmentRing> ring_;
};

}  // namespace varnesk
