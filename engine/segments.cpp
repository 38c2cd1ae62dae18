#include "engine/segments.h"

#include <immintrin.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <system_error>

#include "kernels/candidates.h"
#include "kernels/startup.h"

namespace varnesk {

namespace {

// One prime's share of the work that needs no shared state: the solution of
// order 2N and the list of solutions up to bMax.
void ComputeSlot(PrimeSlot& slot, KernelContext& kernels, int32_t n) {
    slot.outcome = PrimeSlot::kNothing;
    // The solution of order 2N and its check, one word or two by the size of p;
    // the two-word constants are built once for the search, check and walk.
    const WidePrime prime(slot.p);
    const WideOrder s = FindOrder2NWide(prime, slot.k, n);
    if (s.r != -1) return;
    slot.a = s.a;
    if (!TestGfnDivisorWide(s.a, n, prime)) {
        slot.outcome = PrimeSlot::kInvalidA0;
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
}  // namespace

// One thread's own candidate stream, on a copy of the job's kernel context
// (the wheel tables are shared), so that several threads can each sieve a
// run of k. Also the context for the roots.
struct PrimeStream {
    KernelContext k;
    UInt128 twoN;
    CandidateStream candidates;
    std::vector<Candidate> found;  // kept between segments

    PrimeStream(const KernelContext& base, int64_t twoNValue)
        : k(base), twoN(static_cast<UInt128>(twoNValue)), candidates(k, static_cast<uint64_t>(twoNValue)) {}
    PrimeStream(const PrimeStream&) = delete;
    PrimeStream& operator=(const PrimeStream&) = delete;
};

namespace {

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
    for (const Candidate& c : stream.found) {
        PrimeSlot& slot = NextSlot(seg, slotRoots);
        slot.p = c.p;
        slot.k = c.k;
        ComputeSlot(slot, stream.k, n);
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
        if (!GetVarint(at, end, &step) || at == end || *at > PrimeSlot::kBeyond) return false;
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

SegmentRing::SegmentRing(int window, const KernelContext& base, int64_t twoN, int threads, int32_t n,
                         size_t slotRoots, SegmentLink* link, const SegmentJobInfo* info,
                         const std::atomic<int32_t>* stop)
    : slots_(static_cast<size_t>(window + (link ? link->Capacity() : 0))),
      localWindow_(window),
      link_(link),
      stop_(stop),
      n_(n),
      slotRoots_(slotRoots) {
    for (int t = 0; t < threads; ++t) streams_.push_back(std::make_unique<PrimeStream>(base, twoN));
    for (int t = 1; t < threads; ++t) {
        try {
            helpers_.emplace_back([this, t] { HelperLoop(*streams_[static_cast<size_t>(t)]); });
        } catch (const std::system_error&) {
            break;  // fewer helpers: the work is the same
        }
    }
    if (link_) {
        // This thread's waits for a segment that is away are short pauses too.
        prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
        pump_ = std::thread([this, job = *info] { PumpLoop(job); });
    }
}

SegmentRing::~SegmentRing() {
    quit_.store(true);
    work_.fetch_add(1, std::memory_order_release);
    work_.notify_all();
    for (auto& h : helpers_) h.join();
    if (pump_.joinable()) pump_.join();
}

void SegmentRing::Assign(int64_t index, UInt128 kFrom, UInt128 kTo) {
    Slot& slot = At(index);
    slot.seg.kFrom = kFrom;
    slot.seg.kTo = kTo;
    slot.round.store(pumpRounds_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    slot.state.store(kAssigned, std::memory_order_release);
    work_.fetch_add(1, std::memory_order_release);
    work_.notify_all();
}

const Segment* SegmentRing::Wait(int64_t index) {
    head_.store(index, std::memory_order_relaxed);
    Slot& slot = At(index);
    for (;;) {
        const int state = slot.state.load(std::memory_order_acquire);
        if (state == kReady) return &slot.seg;
        if (TakeOne(*streams_[0])) continue;
        if (state != kTaken) continue;
        if (!link_) {
            slot.state.wait(kTaken, std::memory_order_acquire);
        } else {
            // It may be away for long, or for good: look at the stop flag.
            if (stop_ && stop_->load(std::memory_order_relaxed)) return nullptr;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
}

void SegmentRing::Release(int64_t index) { At(index).state.store(kFree, std::memory_order_relaxed); }

bool SegmentRing::Claim(Slot& slot) {
    int expected = kAssigned;
    return slot.state.load(std::memory_order_relaxed) == kAssigned &&
           slot.state.compare_exchange_strong(expected, kTaken, std::memory_order_acquire);
}

bool SegmentRing::TakeForRemote(int64_t* index, UInt128* kFrom, UInt128* kTo) {
    const int64_t head = head_.load(std::memory_order_relaxed);
    for (int64_t i = head + localWindow_; i < head + Window(); ++i) {
        Slot& slot = At(i);
        if (!Claim(slot)) continue;
        *index = i;
        *kFrom = slot.seg.kFrom;
        *kTo = slot.seg.kTo;
        return true;
    }
    return false;
}

void SegmentRing::Complete(int64_t index) {
    Slot& slot = At(index);
    slot.state.store(kReady, std::memory_order_release);
    slot.state.notify_all();
}

bool SegmentRing::TakeOne(PrimeStream& stream) {
    const int64_t head = head_.load(std::memory_order_relaxed);
    // The link's part only when the link is full, or once its pump has gone
    // round without taking it.
    const uint64_t passed = pumpRounds_.load(std::memory_order_acquire);
    for (int64_t i = head; i < head + Window(); ++i) {
        Slot& slot = At(i);
        if ((i >= head + localWindow_ && linkRoom_.load(std::memory_order_relaxed) &&
             passed < slot.round.load(std::memory_order_relaxed) + 2) ||
            !Claim(slot))
            continue;
        SieveSegment(slot.seg, stream, n_, slotRoots_);
        Complete(i);
        return true;
    }
    return false;
}

void SegmentRing::HelperLoop(PrimeStream& stream) {
    while (!quit_.load()) {
        const unsigned seen = work_.load(std::memory_order_acquire);
        if (TakeOne(stream)) continue;
        // Segments follow each other within microseconds: a short spin
        // keeps the wake-up latency out of the sieve.
        bool changed = false;
        for (int spin = 0; spin < 20000 && !changed; ++spin) {
            _mm_pause();
            changed = work_.load(std::memory_order_acquire) != seen;
        }
        if (!changed) work_.wait(seen, std::memory_order_acquire);
    }
}

void SegmentRing::PumpLoop(SegmentJobInfo info) {
    // Its pauses are short: the default timer slack would double them.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    link_->Begin(info);
    while (!quit_.load()) {
        const bool moved = link_->Pump(*this);
        pumpRounds_.fetch_add(1, std::memory_order_release);
        // A link's segment takes a millisecond or so, and the other side holds
        // several: a pause this long keeps it fed without taking a core
        // from this process's own threads.
        if (!moved) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    link_->End();
}

SegmentWorker::SegmentWorker(const SegmentJobInfo& info, int threads, KernelPath path) {
    job_.exponent = info.exponent;
    job_.exponentLog2 = info.exponentLog2;
    job_.bMin = info.bMin;
    job_.bMax = info.bMax;
    job_.exponent64 = info.exponent;
    job_.wideMath = 1;
    kernels_.SelectKernels(path);
    if (StartKernels(job_, kernels_) != 0) return;
    kernels_.SetRootSearch(info.exponent, info.bMax);
    const int64_t twoN = 2 * static_cast<int64_t>(info.exponent);
    const size_t slotRoots = static_cast<size_t>(std::min(info.exponent + 4, kSlotRoots));
    threads = std::max(threads, 1);
    ring_ = std::make_unique<SegmentRing>(4 * threads, kernels_, twoN, threads, info.exponentLog2, slotRoots);
}

SegmentWorker::~SegmentWorker() = default;

}  // namespace varnesk
