// The wide-math sieve: its own probable primes p = k*2N + 1, all solutions
// of b^N = -1 (mod p) up to bMax from one solution of order 2N, strikes of
// the even candidates among them and their translates by p.
#include <cinttypes>
#include <ctime>

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/worker.h"
#include "kernels/modmath.h"
#include "kernels/wide.h"
#include "files/candidates.h"
#include "files/factorfile.h"
#include "platform/post.h"

namespace varnesk {

// Start and stop values: the stop value becomes odd at or above the given
// one, the start value odd one or two below it; only a resume uses the start.
void CGfnThread::ApplyStartStop(bool startSetsCurrentP) {
    if (!m_useStartStop) return;
    SieveJob& j = job_;
    m_stopP = (m_stopP & ~UInt128{1}) + 1;
    // A start of 0 or 1 gives -1, as the signed arithmetic of old did: k 0.
    const bool startNegative = m_startP < 2;
    m_startP = (m_startP & ~UInt128{1}) - 1;
    if (j.command != kCommandNewSieve) {
        const UInt128 below = startNegative ? 0 : m_startP - 1;
        if (startSetsCurrentP) j.currentP = below;
        j.kCursorWide = below / (2 * static_cast<UInt128>(j.exponent64));
        j.kCursor = j.kCursorWide > static_cast<UInt128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(j.kCursorWide);
        PostText(j.form, "Start/Stop P, start P %s, stop P %s", startNegative ? "-1" : FormatUInt128(m_startP).c_str(),
                 FormatUInt128(m_stopP).c_str());
    } else {
        PostText(j.form, "Start/Stop P, stop P %s", FormatUInt128(m_stopP).c_str());
    }
}

// At a changed tick: the factor file reaches the disk, a progress record goes
// out, and the candidate file is saved once the save interval has passed.
void CGfnThread::ReportProgress(FactorFile& factors) {
    SieveJob& j = job_;
    const int32_t tick = m_tickCount.load(std::memory_order_relaxed);
    if (tick == j.lastTick) return;
    const bool proofsOnDisk = CloseFactors(factors);
    PostProgress(j.form, j.candidateCount, j.currentP);
    j.lastTick = tick;
    if (!proofsOnDisk) return;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (now - j.lastSaveTime >= j.saveIntervalSeconds) {
        j.lastSaveTime = now;
        SaveCandidates();
    }
}

// The first prime above the stop value is still sieved, then the job ends.
bool CGfnThread::EndPReached() {
    if (!m_useStartStop || job_.currentP <= m_stopP) return false;
    PostText(job_.form, "Terminal P value reached.");
    m_stopRequest = 1;
    return true;
}

// The factor lines reach the disk before any candidate file that no longer
// lists their bases. Once a line may have been lost, no later save is made:
// the candidate file keeps its last save, from which a resume sieves the
// lost strikes again.
bool CGfnThread::CloseFactors(FactorFile& factors) {
    if (factors.Close() && !proofsLost_) return true;
    if (!proofsLost_) {
        proofsLost_ = true;
        PostText(job_.form, "Unable to write output factor file %s; the sieve output file keeps its last save.",
                 job_.factorFileName.c_str());
        m_stopRequest = 1;
    }
    return false;
}

// Every way out of a sieve's main loop.
void CGfnThread::StopPath(FactorFile& factors) {
    // The final figures, so that a front end shows where the job ended and
    // not its last tick (or a job shorter than a tick, nothing at all).
    PostProgress(job_.form, job_.candidateCount, job_.currentP);
    PostText(job_.form, "Stop request received.");
    if (CloseFactors(factors)) SaveCandidates();
}


// One prime's share of the work that needs no shared state: the solution of
// order 2N and the list of solutions up to bMax.
struct PrimeSlot {
    UInt128 p = 0, k = 0;
    // kBeyond: p is 2^96 or more, where the sieve ends; not sieved.
    enum Outcome { kNothing, kRoots, kInvalidA0, kListFull, kBeyond } outcome = kNothing;
    UInt128 a = 0;
    std::vector<uint32_t> roots;
    int32_t rootCount = 0;
};

// Solutions beyond this many per prime are listed again by the ordered pass
// with the job's full list, so that slots stay small for large N.
namespace {
constexpr int32_t kSlotRoots = 4096;

void ComputeSlot(PrimeSlot& slot, KernelContext& kernels, int32_t n) {
    slot.outcome = PrimeSlot::kNothing;
    // The solution of order 2N and its check, one word or two by the size of p.
    const WideOrder s = FindOrder2NWide(slot.p, slot.k, n);
    if (s.r != -1) return;
    slot.a = s.a;
    if (!TestGfnDivisorWide(s.a, n, slot.p)) {
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
    const int32_t found = EnumerateGfnRootsWide(s.a, slot.p, kernels.rootExponent, kernels.rootLimit,
                                                slot.roots.data(), static_cast<int32_t>(slot.roots.size()), false,
                                                kernels.path);
    slot.rootCount = found < 0 ? 0 : found;
    slot.outcome = found < 0 ? PrimeSlot::kListFull : PrimeSlot::kRoots;
}
}  // namespace

namespace {
// One thread's own candidate stream: a copy of the job's kernel context
// with its own output slots, so that several threads can each sieve a run
// of k with the shared wheel tables. Also the context for the roots.
struct PrimeStream {
    KernelContext k;
    int64_t primeP[4] = {}, primeK[4] = {};
    int32_t firstPrime = 4;
    int64_t kCursor = 0, exponent64 = 0;
    std::vector<WideCandidate> survivors;  // beyond 2^63, kept between segments

    PrimeStream(const KernelContext& base, int64_t twoN) : k(base), exponent64(twoN / 2) {
        k.SetCandidateOutputs(primeP, &firstPrime, &kCursor, &exponent64);
        k.primeK = primeK;
    }
    PrimeStream(const PrimeStream&) = delete;
    PrimeStream& operator=(const PrimeStream&) = delete;
};

// A run of k, (kFrom, kTo], and the primes found in it, in order.
struct Segment {
    UInt128 kFrom = 0, kTo = 0;
    std::vector<PrimeSlot> slots;
    int count = 0;
};

PrimeSlot& NextSlot(Segment& seg, size_t slotRoots) {
    if (static_cast<size_t>(seg.count) == seg.slots.size()) {
        seg.slots.emplace_back();
        seg.slots.back().roots.resize(slotRoots);
    }
    PrimeSlot& slot = seg.slots[static_cast<size_t>(seg.count++)];
    slot.outcome = PrimeSlot::kNothing;
    return slot;
}

// From 2^63 on: the same primes from the wide kernels; a p of 2^96 or more
// ends the segment with a slot that says so.
void SieveSegmentWide(Segment& seg, PrimeStream& stream, int32_t n, size_t slotRoots) {
    std::vector<WideCandidate>& survivors = stream.survivors;
    survivors.clear();
    WheelSurvivorsWide(stream.k, seg.kFrom, seg.kTo, static_cast<uint64_t>(2 * stream.exponent64), survivors);
    size_t usable = 0;
    while (usable < survivors.size() && survivors[usable].p < kWideLimitP) ++usable;
    UInt128 p[16];
    for (size_t from = 0; from < usable; from += 16) {
        const int count = static_cast<int>(std::min<size_t>(16, usable - from));
        for (int i = 0; i < count; ++i) p[i] = survivors[from + static_cast<size_t>(i)].p;
        const uint32_t passed = FermatTestWide(stream.k, p, count);
        for (int i = 0; i < count; ++i) {
            if (!(passed & (1u << i))) continue;
            PrimeSlot& slot = NextSlot(seg, slotRoots);
            slot.p = p[i];
            slot.k = survivors[from + static_cast<size_t>(i)].k;
            ComputeSlot(slot, stream.k, n);
        }
    }
    if (usable < survivors.size()) {
        PrimeSlot& slot = NextSlot(seg, slotRoots);
        slot.p = survivors[usable].p;
        slot.k = survivors[usable].k;
        slot.outcome = PrimeSlot::kBeyond;
    }
}

// Fills the segment with the probable primes of its run of k (the same as
// the job's own stream gives there) and their roots.
void SieveSegment(Segment& seg, PrimeStream& stream, int32_t n, size_t slotRoots) {
    seg.count = 0;
    const UInt128 twoN = static_cast<UInt128>(2 * stream.exponent64);
    if (seg.kTo * twoN + 1 >= kStandardLimitP) return SieveSegmentWide(seg, stream, n, slotRoots);
    stream.kCursor = static_cast<int64_t>(seg.kFrom);
    const int64_t kTo = static_cast<int64_t>(seg.kTo);
    stream.k.ResetCandidateQueue();
    // Wheel survivors are gathered sixteen at a time for one Fermat call;
    // none past kTo is tested.
    int64_t p[16], k[16];
    for (bool more = true; more;) {
        int count = 0;
        while (count < 16 && more) {
            stream.k.NextCandidateBatch();
            for (int i = 0; i < 4; ++i) {
                if (stream.k.batchK[i] > kTo) {
                    more = false;
                    break;
                }
                p[count] = stream.k.batchP[i];
                k[count++] = stream.k.batchK[i];
            }
        }
        const uint32_t passed = stream.k.FermatTestMany(p, count);
        for (int i = 0; i < count; ++i) {
            if (!(passed & (1u << i))) continue;
            PrimeSlot& slot = NextSlot(seg, slotRoots);
            slot.p = static_cast<UInt128>(p[i]);
            slot.k = static_cast<UInt128>(k[i]);
            ComputeSlot(slot, stream.k, n);
        }
    }
}

// k per batch for about `primes` primes: p = k*2N + 1 is prime with odds
// about 2 / ln p.
int64_t BatchSpan(UInt128 k, int64_t twoN, int primes) {
    const double p = (static_cast<double>(k) + 1) * static_cast<double>(twoN) + 1;
    const double span = std::ceil(primes * std::max(1.0, std::log(p)) / 2);
    return std::max<int64_t>(1, static_cast<int64_t>(std::min(span, 1e12)));
}

// A window of segments in flight. This thread hands out runs of k in order
// and takes the results back in order; every thread, this one included
// while it waits, works on the oldest segment nobody has taken. No barrier:
// a thread that is slow or descheduled holds up only the segment it has.
class SegmentRing {
public:
    enum State : int { kFree, kAssigned, kTaken, kReady };

    SegmentRing(int window, const KernelContext& base, int64_t twoN, int threads, int32_t n, size_t slotRoots)
        : slots_(static_cast<size_t>(window)), n_(n), slotRoots_(slotRoots) {
        for (int t = 0; t < threads; ++t) streams_.push_back(std::make_unique<PrimeStream>(base, twoN));
        for (int t = 1; t < threads; ++t) {
            try {
                helpers_.emplace_back([this, t] { HelperLoop(*streams_[static_cast<size_t>(t)]); });
            } catch (const std::system_error&) {
                break;  // fewer helpers: the work is the same
            }
        }
    }
    ~SegmentRing() {
        quit_.store(true);
        work_.fetch_add(1, std::memory_order_release);
        work_.notify_all();
        for (auto& h : helpers_) h.join();
    }
    SegmentRing(const SegmentRing&) = delete;
    SegmentRing& operator=(const SegmentRing&) = delete;

    int Window() const { return static_cast<int>(slots_.size()); }

    // Hands out (kFrom, kTo] as the segment at position `index`.
    void Assign(int64_t index, UInt128 kFrom, UInt128 kTo) {
        Slot& slot = At(index);
        slot.seg.kFrom = kFrom;
        slot.seg.kTo = kTo;
        slot.state.store(kAssigned, std::memory_order_release);
        work_.fetch_add(1, std::memory_order_release);
        work_.notify_all();
    }

    // The segment at `index`, once done; this thread works meanwhile.
    const Segment& Wait(int64_t index) {
        head_.store(index, std::memory_order_relaxed);
        Slot& slot = At(index);
        for (;;) {
            const int state = slot.state.load(std::memory_order_acquire);
            if (state == kReady) return slot.seg;
            if (TakeOne(*streams_[0])) continue;
            if (state == kTaken) slot.state.wait(kTaken, std::memory_order_acquire);
        }
    }

    void Release(int64_t index) { At(index).state.store(kFree, std::memory_order_relaxed); }

private:
    struct Slot {
        Segment seg;
        std::atomic<int> state{kFree};
    };
    Slot& At(int64_t index) { return slots_[static_cast<size_t>(index % Window())]; }

    // Works on the oldest assigned segment; false when there is none.
    bool TakeOne(PrimeStream& stream) {
        const int64_t head = head_.load(std::memory_order_relaxed);
        for (int64_t i = head; i < head + Window(); ++i) {
            Slot& slot = At(i);
            int expected = kAssigned;
            if (slot.state.load(std::memory_order_relaxed) != kAssigned ||
                !slot.state.compare_exchange_strong(expected, kTaken, std::memory_order_acquire))
                continue;
            SieveSegment(slot.seg, stream, n_, slotRoots_);
            slot.state.store(kReady, std::memory_order_release);
            slot.state.notify_all();
            return true;
        }
        return false;
    }

    void HelperLoop(PrimeStream& stream) {
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

    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<PrimeStream>> streams_;
    std::vector<std::thread> helpers_;
    std::atomic<int64_t> head_{0};
    std::atomic<unsigned> work_{0};
    std::atomic<bool> quit_{false};
    int32_t n_;
    size_t slotRoots_;
};
}  // namespace

void CGfnThread::WideSieve() {
    SieveJob& j = job_;
    TextSink* form = j.form;
    FactorFile factors(j);
    if (!factors.Start()) return;
    PostText(form, "Wide math algorithm selected.");

    j.rootCount = 0;
    kernels_.SetRootSearch(j.exponent, j.bMax);
    kernels_.SetRootOutput(&j.rootCount, j.rootList.data(), j.rootCapacity);
    kernels_.ResetCycleTimers();

    ApplyStartStop(false);
    // Where the job starts, so that a front end's figures cover all of it.
    const UInt128 resumeP = j.kCursorWide > 0 ? 2 * static_cast<UInt128>(j.exponent64) * j.kCursorWide + 1 : 0;
    PostProgress(form, j.candidateCount, resumeP);

    // Primes are found and worked on in parallel, a run of k (a segment) at
    // a time; their strikes are applied strictly in order on this thread,
    // with the stop flag and the tick looked at after each, so that files
    // and texts are those of a single thread.
    const int64_t twoN = 2 * j.exponent64;
    // Fewer primes per segment for large N keep a stop answered quickly.
    const int primesPerSegment = static_cast<int>(std::clamp<int64_t>((int64_t{1} << 23) / j.exponent64, 1, 8));
    const size_t slotRoots = static_cast<size_t>(std::min(j.rootCapacity, kSlotRoots));
    std::optional<SegmentRing> running;
    SegmentRing& ring =
        running.emplace(threads_ == 1 ? 1 : 4 * threads_, kernels_, twoN, threads_, j.exponentLog2, slotRoots);

    const UInt128 startK = j.kCursorWide;
    UInt128 k = startK;
    int64_t assigned = 0;
    auto assignNext = [&] {
        const int64_t span = BatchSpan(k, twoN, primesPerSegment);
        const UInt128 from = k;
        k += static_cast<UInt128>(span);  // p stays far below 2^127
        ring.Assign(assigned++, from, k);
    };
    while (assigned < ring.Window()) assignNext();
    for (int64_t index = 0;; ++index) {
        const Segment& seg = ring.Wait(index);
        bool leave = false;
        for (int i = 0; i < seg.count && !leave; ++i) {
            const PrimeSlot& slot = seg.slots[static_cast<size_t>(i)];
            // The sieve ends below 2^96: stop with the last finished prime
            // as the resume point.
            if (slot.outcome == PrimeSlot::kBeyond) {
                PostText(form, "P value reached 2^96, the limit of this sieve; stopping.");
                leave = true;
                break;
            }
            j.currentP = slot.p;
            j.currentK = slot.k > static_cast<UInt128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(slot.k);
            leave = !ApplySlotRoots(slot, factors) || m_stopRequest.load(std::memory_order_relaxed);
            if (leave) break;
            ReportProgress(factors);
            leave = EndPReached();
        }
        // A stop asked for while a segment held no prime also counts.
        if (leave || m_stopRequest.load(std::memory_order_relaxed)) break;
        ring.Release(index);
        assignNext();
    }
    running.reset();  // the helpers end before the save
    // A resumed run that ends before its first prime keeps its resume point
    // rather than saving 0, which would start the sieve over.
    if (j.currentP == 0 && startK > 0) j.currentP = static_cast<UInt128>(twoN) * startK + 1;

    StopPath(factors);
}

// Strikes what one prime's solutions strike. False when the job must stop.
bool CGfnThread::ApplySlotRoots(const PrimeSlot& slot, FactorFile& factors) {
    SieveJob& j = job_;
    const uint32_t* roots = slot.roots.data();
    int32_t count = slot.rootCount;
    switch (slot.outcome) {
    case PrimeSlot::kNothing:
    case PrimeSlot::kBeyond:  // the loop stops before it
        return true;
    case PrimeSlot::kInvalidA0:
        PostText(j.form, "Invalid m_a0 found");
        m_stopRequest = 1;
        return false;
    case PrimeSlot::kListFull: {
        // The slot's short list overflowed: list again into the job's own.
        int32_t found = -1;
        if (slot.p < kStandardLimitP) {
            if (kernels_.EnumerateGfnRoots(static_cast<int64_t>(slot.a), static_cast<int64_t>(slot.p))) found = j.rootCount;
        } else {
            found = EnumerateGfnRootsWide(slot.a, slot.p, j.exponent, static_cast<uint32_t>(j.bMax), j.rootList.data(),
                                          j.rootCapacity, false, kernels_.path);
            if (found >= 0) j.rootCount = found;
        }
        if (found < 0) {
            PostText(j.form, "WideSieve failed.");
            m_stopRequest = 1;
            return false;
        }
        roots = j.rootList.data();
        count = j.rootCount;
        break;
    }
    case PrimeSlot::kRoots:
        break;
    }
    if (count > 0 && !factors.IsOpen() && !factors.EnsureOpen()) {
        m_stopRequest = 1;
        return false;
    }
    StrikeRoots(factors, roots, count);
    return true;
}

// Strikes the even candidates among the roots and, while bMax > p, their
// translates by p; each strike is checked once more before it is written.
void CGfnThread::StrikeRoots(FactorFile& factors, const uint32_t* roots, int32_t count) {
    SieveJob& j = job_;
    uint32_t* bitmap = j.candidateBitmap.data();
    const UInt128 p = j.currentP;
    const int32_t n = j.exponentLog2;
    const int64_t bMax = j.bMax;
    auto divides = [&](int64_t b) { return TestGfnDivisorWide(static_cast<UInt128>(b), n, p) != 0; };
    for (int32_t i = 0; i < count; ++i) {
        const int64_t b = roots[i];
        if ((b & 1) == 0 && b >= j.bMin && BitTest(static_cast<int32_t>(b), bitmap) && !IsOwnGfn(b, n, p)) {
            if (!divides(b)) {
                PostText(j.form, "Factor %s does not divide 1*%d^%d + 1.", FormatUInt128(p).c_str(),
                         static_cast<int32_t>(b), j.exponent);
                m_stopRequest = 1;
                return;
            }
            if (BitTestAndClear(static_cast<int32_t>(b), bitmap)) {
                --j.candidateCount;
                factors.WriteFactor(p, static_cast<int32_t>(b));
            }
        }
        // Translates only while bMax > p, so below 2^31 there.
        if (static_cast<UInt128>(bMax) > p) {
            const int64_t step = static_cast<int64_t>(p);
            for (int64_t c = b + step; c <= bMax; c += step) {
                if ((c & 1) != 0 || c < j.bMin || !BitTest(static_cast<int32_t>(c), bitmap) || IsOwnGfn(c, n, p))
                    continue;
                if (!divides(c)) {
                    PostText(j.form, "Factor file %s does not divide %d*2^%d+1.", FormatUInt128(p).c_str(),
                             static_cast<int32_t>(c), n);
                    m_stopRequest = 1;
                    break;
                }
                if (BitTestAndClear(static_cast<int32_t>(c), bitmap)) {
                    --j.candidateCount;
                    factors.WriteFactor(p, static_cast<int32_t>(c));
                }
            }
        }
    }
}

}  // namespace varnesk
