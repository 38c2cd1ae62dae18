// The standard-math sieve: primes p = 2Nk + 1 from the packed K sequence,
// each tested against every remaining base with one StrikeBaseList call.
#include <cinttypes>
#include <ctime>
#include <new>

#include <algorithm>

#include "engine/jobcheck.h"
#include "engine/messages.h"
#include "engine/pool.h"
#include "engine/strike.h"
#include "engine/worker.h"
#include "files/candidates.h"
#include "files/factorfile.h"
#include "packedk/packedkdb.h"
#include "packedk/sequence.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk {

namespace {
constexpr uint32_t kMark = 0x80000000u;

// Fills the list with every set base from bMin in steps of 2. False after
// posting when the bitmap disagrees with candidateCount.
bool BuildCandidateList(SieveJob& j) {
    const uint32_t* bitmap = j.candidateBitmap.data();
    size_t entries = 0;
    for (int64_t b = j.bMin; b <= j.bMax; b += 2) {
        if (!BitTest(static_cast<int32_t>(b), bitmap)) continue;
        if (entries == static_cast<size_t>(j.candidateCount)) {
            PostText(j.form, "Tested candidate count %d > logged candidate count %d", j.candidateCount + 1,
                     j.candidateCount);
            return false;
        }
        j.candidateList[entries++] = static_cast<uint32_t>(b);
    }
    if (entries != static_cast<size_t>(j.candidateCount)) {
        PostText(j.form, "Tested candidate count %d does not match logged candidate count %d",
                 static_cast<int32_t>(entries), j.candidateCount);
        return false;
    }
    return true;
}

// Drops the struck bases from the list. The list holds exactly the set bits
// in ascending order, so keeping the entries whose bit is still set gives
// the list a walk of the bitmap would, without walking it.
void CompactCandidateList(SieveJob& j) {
    const uint32_t* bitmap = j.candidateBitmap.data();
    int32_t kept = 0;
    for (int32_t i = 0; i < j.candidateCount; ++i) {
        const uint32_t b = j.candidateList[static_cast<size_t>(i)] & ~kMark;
        if (BitTest(static_cast<int32_t>(b), bitmap)) j.candidateList[static_cast<size_t>(kept++)] = b;
    }
    j.candidateCount = kept;
}
}  // namespace

// The next listed k, moving on to the next sequence file when this one is
// read to its end. False after posting when the sequence cannot go on.
bool CGfnThread::NextStandardK(CPackedKDB& db, std::string& error) {
    SieveJob& j = job_;
    int64_t k = 0;
    if (!db.AllRead()) {
        db.ReadNext64KValue(k, error);
        j.kCursor = k;
        return true;
    }
    const std::string finished = db.FileName();
    const int64_t finishedLastK = db.LastK();
    db.CloseDB();
    PostText(j.form, "Sequence file %s is completed.  Switching to next file.", finished.c_str());
    const std::string next = NextSequenceFile(finished, j.packedKPath, j.exponentLog2);
    PostText(j.form, "Using sequence file %s.", next.c_str());
    db.SetFileName(next);
    const auto pOf = [&](int64_t k) { return FormatUInt128(2 * static_cast<UInt128>(j.exponent64) * k + 1); };
    if (!db.ReadOpenDB(error)) {
        PostText(j.form, "Sequence file %s could opened.", next.c_str());
        PostString(j.form, error);
        if (!PathExists(next))
            PostText(j.form,
                     "The packed K sequence ends with sequence file %s, at p %s. A packed K build in %s with "
                     "exponent %d extends it; a resume from the output file then sieves on.",
                     finished.c_str(), pOf(finishedLastK).c_str(), j.packedKPath.c_str(), j.exponent);
        return false;
    }
    if (!db.ReadNext64KValue(k, error)) {
        PostText(j.form, "Sequence file %s could not read.", next.c_str());
        PostText(j.form, "File read overflow in ReadNext64KValue");
        return false;
    }
    // Files of separate builds put side by side leave primes out between
    // them; for files of one build this tests only the step's prime gap.
    if (const int64_t missing = FirstListedKBetween(j.exponent64, finishedLastK + 1, k)) {
        PostText(j.form,
                 "Sequence file %s ends at p %s and sequence file %s begins at p %s; the primes between them (the "
                 "first is %s) are not in the packed K sequence, so the sieve stops at p %s.",
                 finished.c_str(), pOf(finishedLastK).c_str(), next.c_str(), pOf(k).c_str(), pOf(missing).c_str(),
                 pOf(finishedLastK).c_str());
        return false;
    }
    j.kCursor = k;
    return true;
}

// StrikeBaseList over the whole list, split across the pool when the list is
// long enough to pay for it; every entry is marked exactly as by one call.
int32_t CGfnThread::StrikeList(int64_t p, int32_t n) {
    SieveJob& j = job_;
    constexpr int32_t kBasesPerThread = 2048;
    const int chunks = std::min(strikePool_ ? strikePool_->Size() : 1, j.candidateCount / kBasesPerThread);
    if (chunks <= 1) return kernels_.StrikeBaseList(p, n);
    chunkCounts_.assign(static_cast<size_t>(chunks), 0);
    chunkHits_.assign(static_cast<size_t>(chunks), 0);
    chunkContexts_.resize(static_cast<size_t>(chunks), kernels_);
    const int32_t per = j.candidateCount / chunks;
    for (int c = 0; c < chunks; ++c) {
        const int32_t offset = c * per;
        chunkCounts_[static_cast<size_t>(c)] = c == chunks - 1 ? j.candidateCount - offset : per;
        chunkContexts_[static_cast<size_t>(c)].SetBaseList(&chunkCounts_[static_cast<size_t>(c)],
                                                           j.candidateList.data() + offset);
    }
    strikePool_->ParallelFor(chunks, [&](int c, int) {
        chunkHits_[static_cast<size_t>(c)] = chunkContexts_[static_cast<size_t>(c)].StrikeBaseList(p, n);
    });
    int32_t hits = 0;
    for (int32_t h : chunkHits_) hits += h;
    return hits;
}

void CGfnThread::StandardSieve() {
    SieveJob& j = job_;
    TextSink* form = j.form;
    // Packed K files hold k in 63 bits: a job that would start or end at
    // 2^63 or beyond is the wide sieve's.
    const bool resumeBeyond = j.command != kCommandNewSieve && j.kCursorWide * 2 * static_cast<UInt128>(j.exponent64) + 1 >= kStandardLimitP;
    const bool startBeyond = m_useStartStop && j.command != kCommandNewSieve && m_startP >= kStandardLimitP;
    if (resumeBeyond || startBeyond || (m_useStartStop && m_stopP >= kStandardLimitP)) {
        PostString(form, messages::kStandardBeyond);
        return;
    }
    try {
        j.candidateList.assign(static_cast<size_t>(j.candidateCount), 0u);
    } catch (const std::bad_alloc&) {
        PostText(form, "Not enough memory for a list of %d candidates.", j.candidateCount);
        return;
    }
    if (!BuildCandidateList(j)) return;
    kernels_.SetBaseList(&j.candidateCount, j.candidateList.data());

    FactorFile factors(j);
    if (!factors.Start()) return;
    PostText(form, "Standard math algorithm with packed K file selected.");

    // Where this run starts, for the texts: the bottom, the start P given or
    // the input file's resume point.
    const UInt128 fromP = j.command == kCommandNewSieve ? 0
                          : m_useStartStop                ? m_startP
                          : j.kCursorWide > 0 ? 2 * static_cast<UInt128>(j.exponent64) * j.kCursorWide + 1
                                              : 0;
    ApplyStartStop(true);

    // One squaring precedes the kernel's loop of n - 1; n = 1 has no packed
    // K files of its own and must not reach it.
    if (j.exponentLog2 < 2) {
        PostText(form, "Standard math needs an exponent of 4 or more; exponent %d cannot be sieved this way.",
                 j.exponent);
        return;
    }

    const int32_t n = j.exponentLog2;
    const int64_t twoN = 2 * j.exponent64;
    const int64_t kLimit = (INT64_MAX - 1) / twoN;  // p = 2Nk + 1 below 2^63
    // Every prime up to this k counts as sieved; a sequence that begins above
    // it (or has a gap there) would leave primes unsieved and unsaid. The
    // front ends refuse such a job first; this holds for any other caller.
    const int64_t doneK = j.kCursor > 0 ? j.kCursor : 0;
    const SequenceStart start = FindSequenceStart(j.packedKPath, n, doneK);
    // A first k that gives no prime at all has its own message below.
    if (start.firstK >= 1 && start.firstK <= kLimit) {
        const std::string refusal = SequenceStartRefusal(j.packedKPath, n, fromP, start);
        if (!refusal.empty()) {
            PostString(form, refusal);
            return;
        }
    }

    CPackedKDB db;
    std::string error;
    bool takeNext = false;
    if (j.kCursor > 0) {
        if (!LocateStartK(db, error, j)) {
            PostText(form, "Unable to locate current K value for restart.");
            return;
        }
        // The located k was sieved only when it is the target itself (the
        // resume point's k, or the k of the largest p below a start P);
        // one above it is the first prime still to sieve.
        takeNext = db.CurrentK() == j.kCursor;
        j.kCursor = db.CurrentK();
    } else {
        db.SetFileName(SequenceFileName(j.packedKPath, j.exponentLog2, 0));
        if (!db.ReadOpenDB(error)) {
            PostString(form, error);
            return;
        }
        int64_t k = 0;
        if (!db.ReadNext64KValue(k, error)) {
            PostString(form, error);
            return;
        }
        j.kCursor = k;
    }

    // Where the job starts, so that a front end's figures cover all of it.
    PostFigures(factors, doneK > 0 ? static_cast<UInt128>(twoN) * doneK + 1 : 0);

    WorkerPool pool(threads_);
    strikePool_ = &pool;
    for (bool first = true;; first = false) {
        if (takeNext && !NextStandardK(db, error)) {
            NoteFailure();
            break;
        }
        takeNext = true;
        // A packed K file is read as it stands: a k below 1 (p = 1 would
        // "divide" every base) or beyond 2^63 is no prime of this sieve.
        if (j.kCursor < 1 || (first && j.kCursor > kLimit)) {
            PostText(form,
                     "Sequence file %s holds k = %" PRId64 ", which gives no p = k*2N+1 from 3 to below 2^63; "
                     "it is not a packed K value.",
                     db.FileName().c_str(), j.kCursor);
            if (first) {
                // Nothing is sieved and nothing saved: the input stays as it was.
                db.CloseDB();
                strikePool_ = nullptr;
                return;
            }
            NoteFailure();
            break;
        }
        if (j.kCursor > kLimit) {
            PostText(form, "P value reached 2^63, the limit of this sieve; stopping.");
            break;
        }
        const int64_t p = twoN * j.kCursor + 1;
        j.currentP = static_cast<UInt128>(p);

        if (StrikeList(p, n) > 0) {
            if (!factors.IsOpen() && !factors.EnsureOpen()) {
                StopOnFailure();
                break;
            }
            const int32_t listed = j.candidateCount;
            for (int32_t i = 0; i < listed; ++i) {
                uint32_t& entry = j.candidateList[static_cast<size_t>(i)];
                if (!(entry & kMark)) continue;
                entry &= ~kMark;
                if (StrikeChecked(j, factors, m_stopRequest, static_cast<UInt128>(p), static_cast<int32_t>(entry)) ==
                    StrikeOutcome::kCheckFailed) {
                    StopOnFailure();
                    break;
                }
            }
            j.candidateCount = listed;
            CompactCandidateList(j);
            if (j.candidateCount == 0) {
                PostText(form, "All candidates factored");
                break;
            }
        }

        if (m_stopRequest.load(std::memory_order_relaxed)) break;

        ReportProgress(factors);
        if (EndPReached()) break;
    }

    db.CloseDB();
    // A resumed run that ends before its first prime (the sequence ends
    // right after the resume point) keeps that point rather than saving 0,
    // which would start the sieve over.
    if (j.currentP == 0 && doneK > 0) j.currentP = static_cast<UInt128>(twoN) * doneK + 1;
    StopPath(factors);
    strikePool_ = nullptr;
}

}  // namespace varnesk
