// The wide-math sieve: its own probable primes p = k*2N + 1, all solutions
// of b^N = -1 (mod p) up to bMax from one solution of order 2N, strikes of
// the even candidates among them and their translates by p.
#include <cinttypes>
#include <ctime>

#include <algorithm>
#include <optional>
#include <vector>

#include "engine/backgroundsave.h"
#include "engine/cpuproducer.h"
#include "engine/ring.h"
#include "engine/strike.h"
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
    const UInt128 givenStartP = m_startP;
    const bool startNegative = givenStartP < 2;
    m_startP = (m_startP & ~UInt128{1}) - 1;
    if (j.command != kCommandNewSieve) {
        const UInt128 below = startNegative ? 0 : m_startP - 1;
        if (startSetsCurrentP) j.currentP = below;
        j.kCursorWide = KBelowStartP(givenStartP, j.exponent64);
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
    if (tick == j.lastTick) {
        // A save that came due while the last was being written starts as
        // soon as that one is done, its proofs on disk first like any save's.
        if (savePending_ && !saves_->Busy() && CloseFactors(factors)) savePending_ = !SaveCandidates();
        return;
    }
    const bool proofsOnDisk = CloseFactors(factors);
    CollectSaves(false);
    PostFigures(factors, j.currentP);
    j.lastTick = tick;
    if (!proofsOnDisk) return;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (savePending_ || now - j.lastSaveTime >= j.saveIntervalSeconds) {
        j.lastSaveTime = now;
        savePending_ = !SaveCandidates();
    }
}

// The progress record, after the count of algebraic bases it goes with.
void CGfnThread::PostFigures(const FactorFile& factors, UInt128 p) {
    if (factors.HasAlgebraic()) PostAlgebraic(job_.form, factors.AlgebraicLeft());
    PostProgress(job_.form, job_.candidateCount, p);
}

void CGfnThread::SetCurrentPrime(const PrimeSlot& slot) {
    job_.currentP = slot.p;
    job_.currentK = slot.k > static_cast<UInt128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(slot.k);
}

// Slots [from, to) of seg, none of which strikes anything: the ordered pass
// over them is only the resume point moving on, so it moves once, to the
// last of them or to the first prime above the end P, whichever comes
// first; a stop already asked for ends it after one prime, as it would one
// prime at a time. True to leave.
bool CGfnThread::PassQuietSlots(const Segment& seg, int from, int to, FactorFile& factors) {
    const PrimeSlot* first = seg.slots.data() + from;
    const PrimeSlot* last = seg.slots.data() + to - 1;
    const bool stop = m_stopRequest.load(std::memory_order_relaxed);
    if (stop)
        last = first;
    else if (m_useStartStop && last->p > m_stopP)
        last = std::partition_point(first, last, [this](const PrimeSlot& s) { return s.p <= m_stopP; });
    SetCurrentPrime(*last);
    if (stop) return true;
    ReportProgress(factors);
    return EndPReached();
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
        StopOnFailure();
    }
    return false;
}

// Every way out of a sieve's main loop.
void CGfnThread::StopPath(FactorFile& factors) {
    // The final figures, so that a front end shows where the job ended and
    // not its last tick (or a job shorter than a tick, nothing at all).
    PostFigures(factors, job_.currentP);
    PostText(job_.form, "Stop request received.");
    // The save being written ends first; the final one follows it.
    CollectSaves(true);
    savePending_ = false;
    if (CloseFactors(factors) && SaveCandidates()) CollectSaves(true);
    outcome_ = failed_ ? JobOutcome::kFailed : JobOutcome::kNormalEnd;
}


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
    PostFigures(factors, resumeP);

    // Primes are found and worked on in parallel, a run of k (a segment) at
    // a time; their strikes are applied strictly in order on this thread,
    // with the stop flag and the tick looked at after each, so that files
    // and texts are those of a single thread.
    const int64_t twoN = 2 * j.exponent64;
    // Blocks are filled by this process's threads and by any producer the
    // front end added; their policies set the block length and the window.
    const SegmentJobInfo info{j.exponent, j.exponentLog2, j.bMin, j.bMax};
    CpuProducer cpu(kernels_, twoN, j.exponentLog2, SlotRoots(j.exponent), threads_);
    std::vector<BlockProducer*> producers{&cpu};
    producers.insert(producers.end(), producers_.begin(), producers_.end());
    std::optional<SegmentRing> running;
    SegmentRing& ring = running.emplace(producers, info, &m_stopRequest);
    const int primesPerSegment = ring.PrimesPerBlock(j.exponent64);
    auto postNotes = [&] {
        for (std::string& note : ring.TakeNotes()) PostString(form, std::move(note));
    };

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
        const Segment* waited = ring.Wait(index);
        postNotes();
        if (!waited) {
            // Stopped while the block was away, or no producer is left.
            if (ring.Orphaned()) StopOnFailure();
            break;
        }
        const Segment& seg = *waited;
        bool leave = false;
        // The slots between two active ones strike nothing: they are passed
        // at once, as far as the first prime above the end P.
        int next = 0;
        for (size_t a = 0; a <= seg.active.size(); ++a) {
            const int active = a < seg.active.size() ? seg.active[a] : seg.count;
            if (active > next) {
                leave = PassQuietSlots(seg, next, active, factors);
                if (leave) break;
            }
            if (active == seg.count) break;
            next = active + 1;
            const PrimeSlot& slot = seg.slots[static_cast<size_t>(active)];
            // The sieve ends below 2^96: stop with the last finished prime
            // as the resume point.
            if (slot.outcome == PrimeSlot::kBeyond) {
                PostText(form, "P value reached 2^96, the limit of this sieve; stopping.");
                leave = true;
                break;
            }
            SetCurrentPrime(slot);
            leave = !ApplySlotRoots(slot, factors) || m_stopRequest.load(std::memory_order_relaxed);
            if (leave) break;
            ReportProgress(factors);
            leave = EndPReached();
            if (leave) break;
        }
        // A stop asked for while a segment held no prime also counts.
        if (leave || m_stopRequest.load(std::memory_order_relaxed)) break;
        ring.Release(index);
        assignNext();
    }
    // The helpers end before the save, and what they noted on the way out
    // is taken before the ring goes.
    ring.Close();
    postNotes();
    running.reset();
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
    case PrimeSlot::kPrime:   // the ring has these completed before they come here
        return true;
    case PrimeSlot::kInvalidA0:
        PostText(j.form, "Invalid m_a0 found");
        StopOnFailure();
        return false;
    case PrimeSlot::kListFull: {
        // The slot's short list overflowed: list again into the job's own.
        int32_t found = -1;
        if (slot.p < kStandardLimitP) {
            if (kernels_.EnumerateGfnRoots(static_cast<int64_t>(slot.a), static_cast<int64_t>(slot.p))) found = j.rootCount;
        } else {
            found = EnumerateGfnRootsWide(slot.a, slot.p, j.exponent, static_cast<uint32_t>(j.bMax), j.rootList.data(),
                                          j.rootCapacity, false, kernels_.table);
            if (found >= 0) j.rootCount = found;
        }
        if (found < 0) {
            PostText(j.form, "WideSieve failed.");
            StopOnFailure();
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
        StopOnFailure();
        return false;
    }
    StrikeRoots(factors, roots, count);
    return true;
}

// Strikes the even candidates among the roots and, while bMax > p, their
// translates by p. A failed check ends this prime's list at once, wherever
// it comes.
void CGfnThread::StrikeRoots(FactorFile& factors, const uint32_t* roots, int32_t count) {
    SieveJob& j = job_;
    const UInt128 p = j.currentP;
    const int64_t bMax = j.bMax;
    // Translates only while bMax > p, so below 2^31 there.
    const int64_t step = static_cast<UInt128>(bMax) > p ? static_cast<int64_t>(p) : bMax + 1;
    for (int32_t i = 0; i < count; ++i) {
        for (int64_t b = roots[i]; b <= bMax; b += step) {
            if ((b & 1) != 0 || b < j.bMin) continue;
            if (StrikeChecked(j, factors, m_stopRequest, p, static_cast<int32_t>(b)) == StrikeOutcome::kCheckFailed) {
                StopOnFailure();
                return;
            }
        }
    }
}

}  // namespace varnesk
