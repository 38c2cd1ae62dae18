#include "engine/ring.h"

#include <immintrin.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

#include "platform/post.h"

namespace varnesk {

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

// How the ring waits for one producer, from its class.
struct Pace {
    std::chrono::microseconds idle{0};      // after a round that moved nothing (0: spin, then wait)
    std::chrono::microseconds waitPoll{0};  // the host's look at its blocks (0: sleep until done)
    std::chrono::milliseconds deadline{0};
    bool newestFirst = false;
    unsigned long timerSlackNs = 0;
};

Pace PaceOf(const BlockPolicy& policy) {
    using std::chrono::microseconds;
    Pace pace;
    switch (policy.latency) {
    case Latency::kInProcess:
        break;
    case Latency::kDevice:
        pace.idle = microseconds(200);
        pace.waitPoll = microseconds(500);
        pace.newestFirst = !policy.backstop && policy.order == BlockPolicy::Order::kByClass;
        break;
    case Latency::kRemote:
        pace.idle = microseconds(200);
        pace.waitPoll = microseconds(100);
        pace.timerSlackNs = 1000;
        break;
    }
    pace.deadline = policy.deadline;
    return pace;
}

}  // namespace

// One producer's place in the ring, and its desk.
class SegmentRing::Lane final : public BlockDesk {
public:
    Lane(SegmentRing& ring, BlockProducer* producer, int id)
        : ring_(ring), producer(producer), policy(producer->Policy()), pace(PaceOf(policy)), id(id) {}

    bool Take(BlockTask* task) override { return ring_.TakeFor(*this, task); }
    bool Complete(int64_t index, Segment& result) override {
        Slot& slot = ring_.At(index);
        for (bool finish : {false, true}) {
            int expected = TakenBy(id, finish);
            if (!slot.state.compare_exchange_strong(expected, kFilling)) continue;
            if (slot.index != index) {  // not the block it means
                slot.state.store(TakenBy(id, finish));
                return false;
            }
            if (finish) {
                if (!slot.seg.TakeFinished(result)) {
                    slot.state.store(TakenBy(id, finish));
                    ring_.FailLane(*this, "it completed primes that are not the block's");
                    return false;
                }
            } else {
                result.kFrom = slot.seg.kFrom;
                result.kTo = slot.seg.kTo;
                std::swap(slot.seg, result);
            }
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
    const Pace pace;
    const int id;
    int hold = 0;
    int partBegin = 0, partEnd = 0;  // its part of the window, from the oldest block
    std::atomic<uint64_t> rounds{0};
    std::atomic<bool> room{true};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
};

SegmentRing::SegmentRing(const std::vector<BlockProducer*>& producers, const SegmentJobInfo& info,
                         const std::atomic<int32_t>* stop, bool served)
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
        int hold = policy.hold;
        if (lanes_.size() == 1 && !served && policy.latency == Latency::kInProcess && policy.backstop &&
            policy.threads == 1)
            hold = 1;
        lane->hold = std::max(1, hold);
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
        if (lane->pace.timerSlackNs) prctl(PR_SET_TIMERSLACK, lane->pace.timerSlackNs, 0, 0, 0);
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
        const Pace& pace = owner.pace;
        if (pace.waitPoll.count() == 0) {
            slot.state.wait(state, std::memory_order_acquire);
            continue;
        }
        // It may be away for long, or for good: look at the stop flag, and
        // at the producer's deadline.
        if (stop_ && stop_->load(std::memory_order_relaxed)) return nullptr;
        if (pace.deadline.count() > 0 &&
            SteadyNs() - slot.takenAt.load(std::memory_order_relaxed) >
                std::chrono::duration_cast<std::chrono::nanoseconds>(pace.deadline).count()) {
            FailLane(owner, StringPrintf("no block back within %lld ms",
                                         static_cast<long long>(pace.deadline.count())));
            continue;
        }
        std::this_thread::sleep_for(pace.waitPoll);
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
    if (lane.pace.deadline.count() > 0) slot.takenAt.store(SteadyNs(), std::memory_order_relaxed);
    int seen = expected;
    if (slot.state.load(std::memory_order_relaxed) != expected ||
        !slot.state.compare_exchange_strong(seen, kClaiming))
        return false;
    // The block is read while nobody can give it back.
    task->index = slot.index;
    task->kFrom = slot.seg.kFrom;
    task->kTo = slot.seg.kTo;
    task->finish = finish;
    if (finish)
        slot.seg.UnfinishedK(task->primes);
    else
        task->primes.clear();
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
    const bool newest = lane.pace.newestFirst;
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
    if (!slot.seg.ListActive()) {
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
    if (lane.pace.timerSlackNs) prctl(PR_SET_TIMERSLACK, lane.pace.timerSlackNs, 0, 0, 0);
    while (!quit_.load() && !lane.failed.load(std::memory_order_relaxed)) {
        const unsigned seen = work_.load(std::memory_order_acquire);
        const bool moved = lane.producer->Pump(lane, thread);
        lane.rounds.fetch_add(1, std::memory_order_release);
        if (moved) continue;
        if (lane.pace.idle.count() > 0) {
            std::this_thread::sleep_for(lane.pace.idle);
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

}  // namespace varnesk
