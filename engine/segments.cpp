#include "engine/segments.h"

#include <immintrin.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>
#include <system_error>

#include "kernels/candidates.h"
#include "kernels/startup.h"
#include "platform/post.h"

namespace varnesk {

// One prime's share of the work that needs no shared state: the solution of
// order 2N and the list of solutions up to bMax.
void CompletePrime(PrimeSlot& slot, KernelContext& kernels, int32_t n, const FoundOrder* done) {
    slot.outcome = PrimeSlot::kNothing;
    // The solution of order 2N and its check, one word or two by the size of p;
    // the two-word constants are built once for the search, check and walk.
    const WidePrime prime(slot.p);
    const WideOrder s = done ? done->order : FindOrder2NWide(prime, slot.k, n);
    if (s.r != -1) return;
    slot.a = s.a;
    if (!(done ? done->divides : TestGfnDivisorWide(s.a, n, prime))) {
        slot.outcome = PrimeSlot::kInvalidA0;
        return;
    }
    if (done && done->walked != FoundOrder::kNotWalked) {
        slot.rootCount = done->walked < 0 ? 0 : done->walked;
        slot.outcome = done->walked < 0 ? PrimeSlot::kListFull : PrimeSlot::kRoots;
        return;
    }
    if (slot.p < kStandardLimitP) {
        const int64_t p = static_cast<int64_t>(slot.p);
        kernels.SetRootOutput(&slot.rootCount, slot.roots.data(), static_cast<int32_t>(slot.roots.size()));
        slot.outcome = kernels.EnumerateGfnRoots(static_cast<int64_t>(s.a), p) ? PrimeSlot::kRoots
                                                                                 : PrimeSlot::kListFull;
        return;
    }
    // From 2^63 on: the wide root walk.
    const int32_t found = EnumerateGfnRootsWide(s.a, prime, kernels.rootExponent, kernels.rootLimit,
                                                slot.roots.data(), static_cast<int32_t>(slot.roots.size()), false,
                                                kernels.table);
    slot.rootCount = found < 0 ? 0 : found;
    slot.outcome = found < 0 ? PrimeSlot::kListFull : PrimeSlot::kRoots;
}

// One thread's own candidate stream, on a copy of the job's kernel context
// (the wheel tables are shared), so that several threads can each sieve a
// run of k. Also the context for the roots.
struct PrimeStream {
    KernelContext k;
    UInt128 twoN;
    CandidateStream candidates;
    std::vector<Candidate> found;  // kept between segments

    PrimeStream(const KernelContext& base, int64_t twoNValue, std::shared_ptr<SharedKSieve> shared)
        : k(base),
          twoN(static_cast<UInt128>(twoNValue)),
          candidates(shared ? CandidateStream(k, static_cast<uint64_t>(twoNValue), std::move(shared))
                            : CandidateStream(k, static_cast<uint64_t>(twoNValue))) {}
    PrimeStream(const PrimeStream&) = delete;
    PrimeStream& operator=(const PrimeStream&) = delete;
};

namespace {

// The roots of the batch's primes that have a checked solution, all at
// once where the kernels have the walk for them (small N); the others keep
// FoundOrder::kNotWalked.
void WalkBatch(Segment& seg, size_t first, int count, FoundOrder* done, const KernelContext& kernels) {
    uint64_t p[16], a[16];
    uint32_t* out[16];
    int32_t found[16];
    int lane[16], lanes = 0;
    const size_t capacity = seg.slots[first].roots.size();
    for (int i = 0; i < count; ++i) {
        PrimeSlot& slot = seg.slots[first + static_cast<size_t>(i)];
        if (done[i].order.r != -1 || !done[i].divides) continue;
        if (slot.roots.size() != capacity) return;  // one list for all (a slot from elsewhere may be longer)
        p[lanes] = static_cast<uint64_t>(slot.p);
        a[lanes] = static_cast<uint64_t>(done[i].order.a);
        out[lanes] = slot.roots.data();
        lane[lanes++] = i;
    }
    if (lanes == 0 || !EnumerateGfnRootsBatch(kernels.table, p, a, lanes, kernels.rootExponent, kernels.rootLimit,
                                              out, static_cast<int32_t>(capacity), found))
        return;
    for (int j = 0; j < lanes; ++j) done[lane[j]].walked = found[j];
}

PrimeSlot& NextSlot(Segment& seg, size_t slotRoots) {
    if (static_cast<size_t>(seg.count) == seg.slots.size()) seg.slots.emplace_back();
    PrimeSlot& slot = seg.slots[static_cast<size_t>(seg.count++)];
    // A slot that last held a segment from elsewhere may be short.
    if (slot.roots.size() < slotRoots) slot.roots.resize(slotRoots);
    slot.outcome = PrimeSlot::kNothing;
    return slot;
}

// Fills the segment with the probable primes of its run of k and their
// roots. The sieve ends below 2^96: a run that reaches it ends with a slot
// that says so.
void SieveSegment(Segment& seg, PrimeStream& stream, int32_t n, size_t slotRoots) {
    seg.count = 0;
    const UInt128 kLast = (kWideLimitP - 2) / stream.twoN;  // the last k with p below 2^96
    stream.found.clear();
    stream.candidates.CandidatesInRange(seg.kFrom, std::min(seg.kTo, kLast), stream.found);
    // Sixteen primes' order searches, checks and, at small N, root walks at
    // once: in the job's vector lanes where it has them, else side by side
    // in scalar chains.
    const std::vector<Candidate>& found = stream.found;
    const KernelTable& table = stream.k.table;
    for (size_t from = 0; from < found.size(); from += 16) {
        const int count = static_cast<int>(std::min<size_t>(16, found.size() - from));
        UInt128 p[16], k[16], a[16];
        WideOrder orders[16];
        FoundOrder done[16];
        for (int i = 0; i < count; ++i) {
            p[i] = found[from + static_cast<size_t>(i)].p;
            k[i] = found[from + static_cast<size_t>(i)].k;
        }
        FindOrder2NMany(table, p, k, count, n, orders);
        for (int i = 0; i < count; ++i) a[i] = orders[i].a;
        const uint32_t divides = TestGfnDivisorMany(table, a, p, count, n);
        for (int i = 0; i < count; ++i) done[i] = {orders[i], ((divides >> i) & 1) != 0};
        const size_t first = static_cast<size_t>(seg.count);
        for (int i = 0; i < count; ++i) {
            PrimeSlot& slot = NextSlot(seg, slotRoots);
            slot.p = p[i];
            slot.k = k[i];
        }
        WalkBatch(seg, first, count, done, stream.k);
        for (int i = 0; i < count; ++i) CompletePrime(seg.slots[first + static_cast<size_t>(i)], stream.k, n, &done[i]);
    }
    if (seg.kTo > kLast) {
        PrimeSlot& slot = NextSlot(seg, slotRoots);
        slot.k = std::max(seg.kFrom, kLast) + 1;
        slot.p = slot.k * stream.twoN + 1;
        slot.outcome = PrimeSlot::kBeyond;
    }
}

}  // namespace

int64_t BatchSpan(UInt128 k, int64_t twoN, int primes) {
    const double p = (static_cast<double>(k) + 1) * static_cast<double>(twoN) + 1;
    const double span = std::ceil(primes * std::max(1.0, std::log(p)) / 2);
    return std::max<int64_t>(1, static_cast<int64_t>(std::min(span, 1e12)));
}

namespace {

void PutVarint(std::vector<uint8_t>& out, UInt128 v) {
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v) | 0x80);
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

bool GetVarint(const uint8_t*& at, const uint8_t* end, UInt128* v) {
    UInt128 value = 0;
    for (int shift = 0; shift < 128 && at < end; shift += 7) {
        const uint8_t byte = *at++;
        value |= static_cast<UInt128>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) {
            *v = value;
            return true;
        }
    }
    return false;
}

}  // namespace

void EncodeSegment(const Segment& seg, std::vector<uint8_t>& out) {
    out.clear();
    PutVarint(out, static_cast<UInt128>(seg.count));
    UInt128 k = seg.kFrom;
    for (int i = 0; i < seg.count; ++i) {
        const PrimeSlot& slot = seg.slots[static_cast<size_t>(i)];
        PutVarint(out, slot.k - k);
        k = slot.k;
        out.push_back(slot.outcome);
        if (slot.outcome == PrimeSlot::kRoots) {
            PutVarint(out, static_cast<UInt128>(slot.rootCount));
            for (int32_t r = 0; r < slot.rootCount; ++r) PutVarint(out, slot.roots[static_cast<size_t>(r)]);
        } else if (slot.outcome == PrimeSlot::kInvalidA0 || slot.outcome == PrimeSlot::kListFull) {
            PutVarint(out, slot.a);
        }
    }
}

bool DecodeSegment(const uint8_t* data, size_t size, UInt128 twoN, Segment& seg) {
    const uint8_t* at = data;
    const uint8_t* end = data + size;
    UInt128 count = 0;
    if (!GetVarint(at, end, &count) || count > size) return false;
    seg.count = static_cast<int>(count);
    if (seg.slots.size() < count) seg.slots.resize(static_cast<size_t>(count));
    UInt128 k = seg.kFrom;
    for (int i = 0; i < seg.count; ++i) {
        PrimeSlot& slot = seg.slots[static_cast<size_t>(i)];
        UInt128 step = 0;
        if (!GetVarint(at, end, &step) || at == end || *at > PrimeSlot::kPrime) return false;
        if (step > seg.kTo - k) return false;  // beyond the run, or wrapping
        k += step;
        slot.k = k;
        slot.p = k * twoN + 1;
        slot.outcome = static_cast<PrimeSlot::Outcome>(*at++);
        slot.rootCount = 0;
        if (slot.outcome == PrimeSlot::kRoots) {
            UInt128 roots = 0;
            if (!GetVarint(at, end, &roots) || roots > static_cast<size_t>(end - at)) return false;
            slot.rootCount = static_cast<int32_t>(roots);
            if (slot.roots.size() < roots) slot.roots.resize(static_cast<size_t>(roots));
            for (int32_t r = 0; r < slot.rootCount; ++r) {
                UInt128 root = 0;
                if (!GetVarint(at, end, &root) || root > UINT32_MAX) return false;
                slot.roots[static_cast<size_t>(r)] = static_cast<uint32_t>(root);
            }
        } else if (slot.outcome == PrimeSlot::kInvalidA0 || slot.outcome == PrimeSlot::kListFull) {
            if (!GetVarint(at, end, &slot.a)) return false;
        }
    }
    return at == end;
}

BlockSieve::BlockSieve(const KernelContext& base, int64_t twoN, int32_t n, size_t slotRoots,
                       std::shared_ptr<SharedKSieve> shared)
    : stream_(std::make_unique<PrimeStream>(base, twoN, std::move(shared))), n_(n), slotRoots_(slotRoots) {}

BlockSieve::~BlockSieve() = default;

void BlockSieve::Fill(Segment& seg) { SieveSegment(seg, *stream_, n_, slotRoots_); }

void BlockSieve::PrepareAhead() { stream_->candidates.PrepareAhead(); }

void BlockSieve::Finish(Segment& seg) {
    for (int i = 0; i < seg.count; ++i) {
        PrimeSlot& slot = seg.slots[static_cast<size_t>(i)];
        if (slot.outcome != PrimeSlot::kPrime) continue;
        if (slot.roots.size() < slotRoots_) slot.roots.resize(slotRoots_);
        CompletePrime(slot, stream_->k, n_);
    }
}

CpuProducer::CpuProducer(const KernelContext& base, int64_t twoN, int32_t n, size_t slotRoots, int threads,
                         bool lookAhead)
    : lookAhead_(lookAhead), slotRoots_(slotRoots), batchedOrders_(base.table.orders16.fn != nullptr) {
    // Threads take blocks in turn: one sieve over k for all, so that each
    // window is sieved once, not once a thread.
    std::shared_ptr<SharedKSieve> shared;
    if (threads > 1) shared = std::make_shared<SharedKSieve>(static_cast<uint64_t>(twoN));
    for (int t = 0; t < std::max(threads, 1); ++t)
        sieves_.push_back(std::make_unique<BlockSieve>(base, twoN, n, slotRoots, shared));
}

CpuProducer::~CpuProducer() = default;

BlockPolicy CpuProducer::Policy() const {
    const int threads = static_cast<int>(sieves_.size());
    BlockPolicy policy;
    // Fewer primes per block for large N keep a stop answered quickly. At
    // small N a prime costs about a hundred ns: short blocks spend much of
    // that on the hand-over, which holds a second thread back (n = 6: 1.6
    // times one thread with 64 primes a block, 1.9 with 1,024) and leaves
    // the sixteen-lane order search half empty. Longer blocks cost the
    // scalar order search of the other paths (0.88 times), by measurement;
    // the slots' root lists stay within 1 MB a block.
    policy.blockWork = int64_t{1} << 23;
    const size_t byRoots = (size_t{1} << 18) / std::max<size_t>(slotRoots_, 1);
    policy.maxPrimes = static_cast<int>(std::clamp<size_t>(byRoots, 8, batchedOrders_ ? 1024 : 16));
    policy.hold = 4 * threads;
    policy.holdAlone = threads == 1 && !lookAhead_ ? 1 : policy.hold;
    policy.threads = threads;
    policy.backstop = true;
    return policy;
}

bool CpuProducer::Pump(BlockDesk& desk, int thread) {
    BlockTask task;
    if (!desk.Take(&task)) return false;
    BlockSieve& sieve = *sieves_[static_cast<size_t>(thread)];
    Segment& seg = desk.Block(task.index);
    if (task.finish)
        sieve.Finish(seg);
    else
        sieve.Fill(seg);
    desk.Complete(task.index);
    // With the block handed over, not while it is held.
    if (!task.finish) sieve.PrepareAhead();
    return true;
}

namespace {

// A slot's state. Taken ones name the lane that has them and whether it
// was taken to finish its primes.
// kClaiming and kFilling are a taker's for a moment.
enum : int { kFree, kAssigned, kUnfinished, kReady, kFilling, kClaiming, kTakenBase = 8 };
constexpr int TakenBy(int lane, bool finish) { return kTakenBase + 2 * lane + (finish ? 1 : 0); }
constexpr int kStampShift = 56;
constexpr uint64_t kRoundMask = (uint64_t{1} << kStampShift) - 1;

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Lists the slots that strike something or need the ordered pass's care;
// true when some prime is still to be completed.
bool ListActive(Segment& seg) {
    seg.active.clear();
    bool unfinished = false;
    for (int i = 0; i < seg.count; ++i) {
        const PrimeSlot& slot = seg.slots[static_cast<size_t>(i)];
        unfinished = unfinished || slot.outcome == PrimeSlot::kPrime;
        const bool quiet = slot.outcome == PrimeSlot::kNothing || (slot.outcome == PrimeSlot::kRoots && slot.rootCount == 0);
        if (!quiet) seg.active.push_back(i);
    }
    return unfinished;
}

}  // namespace

// One producer's place in the ring, and its desk.
class SegmentRing::Lane final : public BlockDesk {
public:
    Lane(SegmentRing& ring, BlockProducer* producer, int id)
        : ring_(ring), producer(producer), policy(producer->Policy()), id(id) {}

    bool Take(BlockTask* task) override { return ring_.TakeFor(*this, task); }
    Segment& Block(int64_t index) override { return ring_.At(index).seg; }
    void Complete(int64_t index) override {
        Slot& slot = ring_.At(index);
        for (bool finish : {false, true}) {
            int expected = TakenBy(id, finish);
            if (slot.state.compare_exchange_strong(expected, kFilling)) return ring_.Done(slot);
        }
    }
    bool Complete(int64_t index, Segment& result) override {
        Slot& slot = ring_.At(index);
        for (bool finish : {false, true}) {
            int expected = TakenBy(id, finish);
            if (!slot.state.compare_exchange_strong(expected, kFilling)) continue;
            if (slot.index != index) {  // not the block it means
                slot.state.store(TakenBy(id, finish));
                return false;
            }
            result.kFrom = slot.seg.kFrom;
            result.kTo = slot.seg.kTo;
            std::swap(slot.seg, result);
            ring_.Done(slot);
            return true;
        }
        return false;
    }
    void HandBack(int64_t index) override {
        Slot& slot = ring_.At(index);
        for (bool finish : {false, true}) {
            int expected = TakenBy(id, finish);
            if (slot.state.compare_exchange_strong(expected, finish ? kUnfinished : kAssigned)) {
                slot.state.notify_all();
                ring_.Kick();
                return;
            }
        }
    }
    void Fail(const std::string& reason) override { ring_.FailLane(*this, reason); }
    void SetRoom(bool room) override { this->room.store(room, std::memory_order_relaxed); }
    void Halt(const std::string& text) override {
        failed.store(true);  // takes nothing more; its blocks stay with it
        room.store(false);
        ring_.Note(text);
        ring_.orphaned_.store(true, std::memory_order_release);
        ring_.Kick();
    }

    SegmentRing& ring_;
    BlockProducer* producer;
    const BlockPolicy policy;
    const int id;
    int hold = 0;
    int partBegin = 0, partEnd = 0;  // its part of the window, from the oldest block
    std::atomic<uint64_t> rounds{0};
    std::atomic<bool> room{true};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
};

SegmentRing::SegmentRing(const std::vector<BlockProducer*>& producers, const SegmentJobInfo& info,
                         const std::atomic<int32_t>* stop)
    : stop_(stop) {
    for (BlockProducer* producer : producers) {
        std::string reason;
        if (!producer->Begin(info, &reason)) {
            Note(StringPrintf("Block producer %s declined the job (%s); the sieve goes on without it.",
                              producer->Name().c_str(), reason.c_str()));
            continue;
        }
        lanes_.push_back(std::make_unique<Lane>(*this, producer, static_cast<int>(lanes_.size())));
    }
    int window = 0;
    for (auto& lane : lanes_) {
        const BlockPolicy& policy = lane->policy;
        lane->hold = std::max(1, lanes_.size() == 1 && policy.holdAlone > 0 ? policy.holdAlone : policy.hold);
        lane->partBegin = window;
        window += lane->hold;
        lane->partEnd = window;
        if (policy.backstop && !waiter_) waiter_ = lane.get();
    }
    slots_ = std::vector<Slot>(static_cast<size_t>(std::max(window, 1)));
    if (lanes_.empty()) {
        Orphan("Unable to sieve: no producer of sieve blocks took the job.");
        return;
    }
    for (auto& lane : lanes_) {
        // This thread's waits for a block that is away are short pauses too.
        if (lane->policy.timerSlackNs) prctl(PR_SET_TIMERSLACK, lane->policy.timerSlackNs, 0, 0, 0);
        for (int t = lane.get() == waiter_ ? 1 : 0; t < lane->policy.threads; ++t) {
            try {
                lane->threads.emplace_back([this, l = lane.get(), t] { Run(*l, t); });
            } catch (const std::system_error&) {
                break;  // fewer threads: the work is the same
            }
        }
    }
}

SegmentRing::~SegmentRing() { Close(); }

void SegmentRing::Close() {
    if (closed_) return;
    closed_ = true;
    quit_.store(true);
    Kick();
    for (auto& lane : lanes_)
        for (auto& t : lane->threads) t.join();
    for (auto& lane : lanes_) lane->producer->End();
}

int SegmentRing::PrimesPerBlock(int64_t exponent) const {
    int primes = 1;
    for (const auto& lane : lanes_) {
        const BlockPolicy& policy = lane->policy;
        primes = std::max(primes, static_cast<int>(std::clamp<int64_t>(policy.blockWork / std::max<int64_t>(exponent, 1),
                                                                        1, std::max(policy.maxPrimes, 1))));
    }
    return primes;
}

int SegmentRing::LaneOfOffset(int64_t offset) const {
    for (const auto& lane : lanes_)
        if (offset < lane->partEnd) return lane->id;
    return lanes_.empty() ? 0 : lanes_.back()->id;
}

uint64_t SegmentRing::StampFor(int lane) const {
    if (lanes_.empty()) return 0;
    const uint64_t rounds = lanes_[static_cast<size_t>(lane)]->rounds.load(std::memory_order_relaxed);
    return static_cast<uint64_t>(lane) << kStampShift | (rounds & kRoundMask);
}

void SegmentRing::Kick() {
    work_.fetch_add(1, std::memory_order_release);
    work_.notify_all();
}

void SegmentRing::Assign(int64_t index, UInt128 kFrom, UInt128 kTo) {
    Slot& slot = At(index);
    slot.seg.kFrom = kFrom;
    slot.seg.kTo = kTo;
    slot.index = index;
    slot.stamp.store(StampFor(LaneOfOffset(index - head_.load(std::memory_order_relaxed))),
                     std::memory_order_relaxed);
    slot.state.store(kAssigned, std::memory_order_release);
    Kick();
}

const Segment* SegmentRing::Wait(int64_t index) {
    head_.store(index, std::memory_order_relaxed);
    Slot& slot = At(index);
    for (;;) {
        const int state = slot.state.load(std::memory_order_acquire);
        if (state == kReady) return &slot.seg;
        if (orphaned_.load(std::memory_order_acquire)) return nullptr;
        if (waiter_ && !waiter_->failed.load() && waiter_->producer->Pump(*waiter_, 0)) continue;
        if (state < kTakenBase) {
            // Nobody here to take it: its producer will, or one that fails
            // gives it back.
            if (!waiter_) {
                if (stop_ && stop_->load(std::memory_order_relaxed)) return nullptr;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            continue;
        }
        Lane& owner = *lanes_[static_cast<size_t>((state - kTakenBase) / 2)];
        const BlockPolicy& policy = owner.policy;
        if (policy.waitPoll.count() == 0) {
            slot.state.wait(state, std::memory_order_acquire);
            continue;
        }
        // It may be away for long, or for good: look at the stop flag, and
        // at the producer's deadline.
        if (stop_ && stop_->load(std::memory_order_relaxed)) return nullptr;
        if (policy.deadline.count() > 0 &&
            SteadyNs() - slot.takenAt.load(std::memory_order_relaxed) >
                std::chrono::duration_cast<std::chrono::nanoseconds>(policy.deadline).count()) {
            FailLane(owner, StringPrintf("no block back within %lld ms",
                                         static_cast<long long>(policy.deadline.count())));
            continue;
        }
        std::this_thread::sleep_for(policy.waitPoll);
    }
}

void SegmentRing::Release(int64_t index) { At(index).state.store(kFree, std::memory_order_relaxed); }

std::vector<std::string> SegmentRing::TakeNotes() {
    if (!notesWaiting_.load(std::memory_order_acquire)) return {};
    std::lock_guard<std::mutex> lock(notesMutex_);
    notesWaiting_.store(false, std::memory_order_relaxed);
    return std::exchange(notes_, {});
}

void SegmentRing::Note(std::string text) {
    std::lock_guard<std::mutex> lock(notesMutex_);
    notes_.push_back(std::move(text));
    notesWaiting_.store(true, std::memory_order_release);
}

bool SegmentRing::Claim(Slot& slot, int expected, Lane& lane, BlockTask* task) {
    const bool finish = expected == kUnfinished;
    // Before the claim, so that the host never reads an older time for it.
    if (lane.policy.deadline.count() > 0) slot.takenAt.store(SteadyNs(), std::memory_order_relaxed);
    int seen = expected;
    if (slot.state.load(std::memory_order_relaxed) != expected ||
        !slot.state.compare_exchange_strong(seen, kClaiming))
        return false;
    // The block is read while nobody can give it back.
    *task = BlockTask{slot.index, slot.seg.kFrom, slot.seg.kTo, finish};
    const int taken = TakenBy(lane.id, finish);
    slot.state.store(taken);
    // A failure that came first may have missed this block: give it back.
    if (lane.failed.load()) {
        int mine = taken;
        if (slot.state.compare_exchange_strong(mine, expected)) {
            slot.state.notify_all();
            Kick();
        }
        return false;
    }
    return true;
}

bool SegmentRing::TakeFor(Lane& lane, BlockTask* task) {
    if (lane.failed.load(std::memory_order_relaxed)) return false;
    const int64_t head = head_.load(std::memory_order_relaxed);
    const bool backstop = lane.policy.backstop;
    const int64_t from = head + (backstop ? 0 : lane.partBegin);
    const int64_t to = head + (backstop ? Window() : lane.partEnd);
    const bool newest = !backstop && lane.policy.newestFirst;
    for (int64_t n = 0; n < to - from; ++n) {
        const int64_t i = newest ? to - 1 - n : from + n;
        Slot& slot = At(i);
        const int state = slot.state.load(std::memory_order_relaxed);
        if (state == kUnfinished) {
            if (!backstop || !Claim(slot, kUnfinished, lane, task)) continue;
            return true;
        }
        if (state != kAssigned) continue;
        if (backstop) {
            // Another's part: only what it leaves.
            Lane& owner = *lanes_[static_cast<size_t>(LaneOfOffset(i - head))];
            if (&owner != &lane && !owner.failed.load(std::memory_order_relaxed) &&
                owner.room.load(std::memory_order_relaxed)) {
                const uint64_t stamp = slot.stamp.load(std::memory_order_relaxed);
                if (static_cast<int>(stamp >> kStampShift) != owner.id) {
                    // Offered first to a producer further ahead: this one's
                    // rounds count from now.
                    slot.stamp.store(StampFor(owner.id), std::memory_order_relaxed);
                    continue;
                }
                if (owner.rounds.load(std::memory_order_acquire) <
                    (stamp & kRoundMask) + static_cast<uint64_t>(owner.policy.yieldAfterRounds))
                    continue;
            }
        }
        if (!Claim(slot, kAssigned, lane, task)) continue;
        return true;
    }
    return false;
}

void SegmentRing::Done(Slot& slot) {
    if (!ListActive(slot.seg)) {
        slot.state.store(kReady, std::memory_order_release);
        slot.state.notify_all();
        return;
    }
    slot.state.store(kUnfinished, std::memory_order_release);
    slot.state.notify_all();
    Kick();
    bool finisher = false;
    for (auto& lane : lanes_) finisher = finisher || (lane->policy.backstop && !lane->failed.load());
    if (!finisher) Orphan("Unable to go on: a block holds primes without roots and no producer is left to complete them.");
}

// The note goes in before the ring reads as orphaned: whoever sees the ring
// give up finds the reason already there.
void SegmentRing::Orphan(const char* text) {
    if (orphanNoted_.exchange(true)) return;
    Note(text);
    orphaned_.store(true, std::memory_order_release);
    Kick();
}

void SegmentRing::FailLane(Lane& lane, const std::string& reason) {
    bool was = false;
    if (!lane.failed.compare_exchange_strong(was, true)) return;
    lane.room.store(false);
    for (Slot& slot : slots_) {
        for (bool finish : {false, true}) {
            int expected = TakenBy(lane.id, finish);
            if (slot.state.compare_exchange_strong(expected, finish ? kUnfinished : kAssigned))
                slot.state.notify_all();
        }
    }
    bool backstop = false;
    for (auto& other : lanes_) backstop = backstop || (other->policy.backstop && !other->failed.load());
    Note(StringPrintf(backstop ? "Block producer %s failed (%s); its blocks go back to the others and the sieve goes on."
                               : "Block producer %s failed (%s).",
                      lane.producer->Name().c_str(), reason.c_str()));
    if (!backstop) Orphan("Unable to go on: no producer of sieve blocks is left to take the failed one's blocks.");
    Kick();
}

void SegmentRing::Run(Lane& lane, int thread) {
    // Its pauses are short: the default timer slack would double them.
    if (lane.policy.timerSlackNs) prctl(PR_SET_TIMERSLACK, lane.policy.timerSlackNs, 0, 0, 0);
    while (!quit_.load() && !lane.failed.load(std::memory_order_relaxed)) {
        const unsigned seen = work_.load(std::memory_order_acquire);
        const bool moved = lane.producer->Pump(lane, thread);
        lane.rounds.fetch_add(1, std::memory_order_release);
        if (moved) continue;
        if (lane.policy.idle.count() > 0) {
            std::this_thread::sleep_for(lane.policy.idle);
            continue;
        }
        // Blocks follow each other within microseconds: a short spin keeps
        // the wake-up latency out of the sieve.
        bool changed = false;
        for (int spin = 0; spin < 20000 && !changed; ++spin) {
            _mm_pause();
            changed = work_.load(std::memory_order_acquire) != seen;
        }
        if (!changed) work_.wait(seen, std::memory_order_acquire);
    }
}

bool StartBlockKernels(const SegmentJobInfo& info, KernelPath path, SieveJob& job, KernelContext& kernels) {
    job.exponent = info.exponent;
    job.exponentLog2 = info.exponentLog2;
    job.bMin = info.bMin;
    job.bMax = info.bMax;
    job.exponent64 = info.exponent;
    job.wideMath = 1;
    kernels.SelectKernels(path);
    if (StartKernels(job, kernels) != 0) return false;
    kernels.SetRootSearch(info.exponent, info.bMax);
    return true;
}

SegmentWorker::SegmentWorker(const SegmentJobInfo& info, int threads, KernelPath path,
                             const std::vector<BlockProducer*>& extra) {
    if (!StartBlockKernels(info, path, job_, kernels_)) return;
    const int64_t twoN = 2 * static_cast<int64_t>(info.exponent);
    // The other side sends as many blocks as four a thread.
    cpu_ = std::make_unique<CpuProducer>(kernels_, twoN, info.exponentLog2, SlotRoots(info.exponent), threads, true);
    std::vector<BlockProducer*> producers{cpu_.get()};
    producers.insert(producers.end(), extra.begin(), extra.end());
    ring_ = std::make_unique<SegmentRing>(producers, info);
}

SegmentWorker::~SegmentWorker() = default;

}  // namespace varnesk
