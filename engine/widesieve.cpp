// The wide-math sieve: its own probable primes p = k*2N + 1, all solutions
// of b^N = -1 (mod p) up to bMax from one solution of order 2N, strikes of
// the even candidates among them and their translates by p.
#include <cinttypes>
#include <ctime>

#include <algorithm>
#include <vector>

#include "engine/pool.h"
#include "engine/worker.h"
#include "kernels/modmath.h"
#include "files/candidates.h"
#include "files/factorfile.h"
#include "platform/post.h"

namespace varnesk {

// Start and stop values: the stop value becomes odd at or above the given
// one, the start value odd one or two below it; only a resume uses the start.
void CGfnThread::ApplyStartStop(bool startSetsCurrentP) {
    if (!m_useStartStop) return;
    SieveJob& j = job_;
    m_stopP = (m_stopP & ~uint64_t{1}) + 1;
    m_startP = (m_startP & ~uint64_t{1}) - 1;
    if (j.command != kCommandNewSieve) {
        const int64_t below = static_cast<int64_t>(m_startP) - 1;
        if (startSetsCurrentP) j.currentP = below;
        j.kCursor = below / (2 * j.exponent64);
        PostText(j.form, "Start/Stop P, start P %" PRId64 ", stop P %" PRId64, static_cast<int64_t>(m_startP),
                 static_cast<int64_t>(m_stopP));
    } else {
        PostText(j.form, "Start/Stop P, stop P %" PRId64, static_cast<int64_t>(m_stopP));
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
        WriteCandidateFile(j);
    }
}

// The first prime above the stop value is still sieved, then the job ends.
bool CGfnThread::EndPReached() {
    if (!m_useStartStop || static_cast<uint64_t>(job_.currentP) <= m_stopP) return false;
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
    if (CloseFactors(factors)) WriteCandidateFile(job_);
}

bool CGfnThread::TakeNextPrime() {
    SieveJob& j = job_;
    if (j.firstPrime >= 4) {
        bool first = true;
        do {
            if (!first && m_stopRequest.load(std::memory_order_relaxed)) return false;
            first = false;
            kernels_.NextCandidateBatch();
            kernels_.FermatTestBatch();
        } while (j.firstPrime >= 4);
    }
    return true;
}

namespace {
// The first q (2, 3, 5, 7, 9, ...) whose a = q^k has a^N = -1 gives a
// solution of order 2N; r = 1 means a residue, anything but +-1 a composite.
struct OrderSearch {
    int64_t a = 0;
    int64_t r = 0;
};

OrderSearch FindOrder2N(int64_t p, int64_t k, int32_t n) {
    // One Montgomery context serves every q of this p. For N >= 4, p = 1
    // (mod 8) makes 2 a residue whose r is 1, so the search starts at 3.
    const Montgomery mont(static_cast<uint64_t>(p));
    for (uint64_t q = n >= 2 ? 3 : 2;; q = (q == 2) ? 3 : q + 2) {
        uint64_t a = mont.one, base = mont.To(q);
        for (uint64_t e = static_cast<uint64_t>(k); e != 0; e >>= 1) {
            if (e & 1) a = mont.Mul(a, base);
            base = mont.Sqr(base);
        }
        uint64_t r = a;
        for (int32_t i = 0; i < n; ++i) r = mont.Sqr(r);
        if (r == mont.one) continue;
        OrderSearch s;
        s.a = static_cast<int64_t>(mont.From(a));
        s.r = r == mont.MinusOne() ? -1 : 2;  // neither 1 nor -1: p is composite
        return s;
    }
}
}  // namespace

// One prime's share of the work that needs no shared state: the solution of
// order 2N and the list of solutions up to bMax.
struct PrimeSlot {
    int64_t p = 0, k = 0;
    enum Outcome { kNothing, kRoots, kInvalidA0, kListFull } outcome = kNothing;
    int64_t a = 0;
    std::vector<uint32_t> roots;
    int32_t rootCount = 0;
};

// Solutions beyond this many per prime are listed again by the ordered pass
// with the job's full list, so that slots stay small for large N.
namespace {
constexpr int32_t kSlotRoots = 4096;

void ComputeSlot(PrimeSlot& slot, KernelContext& kernels, int32_t n) {
    const OrderSearch s = FindOrder2N(slot.p, slot.k, n);
    slot.outcome = PrimeSlot::kNothing;
    if (s.r != -1) return;
    slot.a = s.a;
    if (!TestGfnDivisor(s.a, n, slot.p)) {
        slot.outcome = PrimeSlot::kInvalidA0;
        return;
    }
    kernels.SetRootOutput(&slot.rootCount, slot.roots.data(), static_cast<int32_t>(slot.roots.size()));
    slot.outcome = kernels.EnumerateGfnRoots(s.a, slot.p) ? PrimeSlot::kRoots : PrimeSlot::kListFull;
}
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

    // Primes are taken in increasing order and worked on in parallel in
    // batches; their strikes are applied strictly in order on this thread,
    // with the stop flag and the tick looked at after each, so that files and
    // texts are those of a single thread.
    WorkerPool pool(threads_);
    // A batch is the unit between two looks at the stop flag: at large N a
    // prime costs about N/2 products, so the batch shrinks as N grows and a
    // stop is still answered within seconds (one prime per thread at 2^20
    // and beyond).
    const int shrink = j.exponentLog2 > 15 ? std::min(j.exponentLog2 - 15, 5) : 0;
    const int batchSize = threads_ == 1 ? 1 : std::max(threads_, (32 * threads_) >> shrink);
    std::vector<KernelContext> contexts(static_cast<size_t>(pool.Size()), kernels_);
    std::vector<PrimeSlot> batch(static_cast<size_t>(batchSize));
    const size_t slotRoots = static_cast<size_t>(std::min(j.rootCapacity, kSlotRoots));
    for (auto& slot : batch) slot.roots.resize(slotRoots);

    const int64_t startK = j.kCursor;
    bool stopWhileTaking = false;
    while (!stopWhileTaking) {
        int taken = 0;
        while (taken < batchSize) {
            if (!TakeNextPrime()) {
                stopWhileTaking = true;
                break;
            }
            PrimeSlot& slot = batch[static_cast<size_t>(taken++)];
            slot.p = j.primeP[j.firstPrime];
            slot.k = j.primeK[j.firstPrime];
            ++j.firstPrime;
            if (slot.p < 0 || m_stopRequest.load(std::memory_order_relaxed)) break;
        }
        pool.ParallelFor(taken, [&](int i, int thread) {
            PrimeSlot& slot = batch[static_cast<size_t>(i)];
            if (slot.p > 0) ComputeSlot(slot, contexts[static_cast<size_t>(thread)], j.exponentLog2);
        });

        bool leave = false;
        for (int i = 0; i < taken && !leave; ++i) {
            const PrimeSlot& slot = batch[static_cast<size_t>(i)];
            // The arithmetic is exact below 2^63; p wraps to a negative value
            // past it. Stop with the last finished prime as the resume point.
            if (slot.p < 0) {
                PostText(form, "P value reached 2^63, the limit of this sieve; stopping.");
                if (j.currentP == 0 && startK > 0) j.currentP = 2 * j.exponent64 * startK + 1;
                leave = true;
                break;
            }
            j.currentP = slot.p;
            j.currentK = slot.k;
            leave = !ApplySlotRoots(slot, factors) || m_stopRequest.load(std::memory_order_relaxed);
            if (leave) break;
            ReportProgress(factors);
            leave = EndPReached();
        }
        if (leave) break;
    }

    StopPath(factors);
}

// Strikes what one prime's solutions strike. False when the job must stop.
bool CGfnThread::ApplySlotRoots(const PrimeSlot& slot, FactorFile& factors) {
    SieveJob& j = job_;
    const uint32_t* roots = slot.roots.data();
    int32_t count = slot.rootCount;
    switch (slot.outcome) {
    case PrimeSlot::kNothing:
        return true;
    case PrimeSlot::kInvalidA0:
        PostText(j.form, "Invalid m_a0 found");
        m_stopRequest = 1;
        return false;
    case PrimeSlot::kListFull:
        // The slot's short list overflowed: list again into the job's own.
        if (!kernels_.EnumerateGfnRoots(slot.a, slot.p)) {
            PostText(j.form, "WideSieve failed.");
            m_stopRequest = 1;
            return false;
        }
        roots = j.rootList.data();
        count = j.rootCount;
        break;
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
    const int64_t p = j.currentP;
    const int32_t n = j.exponentLog2;
    const int64_t bMax = j.bMax;
    for (int32_t i = 0; i < count; ++i) {
        const int64_t b = roots[i];
        if ((b & 1) == 0 && b >= j.bMin && BitTest(static_cast<int32_t>(b), bitmap) && !IsOwnGfn(b, n, p)) {
            if (!TestGfnDivisor(b, n, p)) {
                PostText(j.form, "Factor %" PRId64 " does not divide 1*%d^%d + 1.", p, static_cast<int32_t>(b),
                         j.exponent);
                m_stopRequest = 1;
                return;
            }
            if (BitTestAndClear(static_cast<int32_t>(b), bitmap)) {
                --j.candidateCount;
                factors.WriteFactor(p, static_cast<int32_t>(b));
            }
        }
        if (bMax > p) {
            for (int64_t c = b + p; c <= bMax; c += p) {
                if ((c & 1) != 0 || c < j.bMin || !BitTest(static_cast<int32_t>(c), bitmap) || IsOwnGfn(c, n, p))
                    continue;
                if (!TestGfnDivisor(c, n, p)) {
                    PostText(j.form, "Factor file %" PRId64 " does not divide %d*2^%d+1.", p, static_cast<int32_t>(c), n);
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
