#include "engine/blockfill.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kernels/candidates.h"
#include "kernels/startup.h"

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

// Fills the segment with the probable primes of its run of k and their
// roots. The sieve ends below 2^96: a run that reaches it ends with a slot
// that says so.
void SieveSegment(Segment& seg, PrimeStream& stream, int32_t n, size_t slotRoots) {
    seg.count = 0;
    stream.found.clear();
    stream.candidates.CandidatesInRange(seg.kFrom, seg.SieveEnd(stream.twoN), stream.found);
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
            PrimeSlot& slot = seg.AddSlot(slotRoots);
            slot.p = p[i];
            slot.k = k[i];
        }
        WalkBatch(seg, first, count, done, stream.k);
        for (int i = 0; i < count; ++i) CompletePrime(seg.slots[first + static_cast<size_t>(i)], stream.k, n, &done[i]);
    }
    seg.AddLimitSlot(stream.twoN, slotRoots);
}

}  // namespace

int64_t BatchSpan(UInt128 k, int64_t twoN, int primes) {
    const double p = (static_cast<double>(k) + 1) * static_cast<double>(twoN) + 1;
    const double span = std::ceil(primes * std::max(1.0, std::log(p)) / 2);
    return std::max<int64_t>(1, static_cast<int64_t>(std::min(span, 1e12)));
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

}  // namespace varnesk
