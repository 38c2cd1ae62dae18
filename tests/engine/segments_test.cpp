// The byte form of a segment that crosses between processes: what goes in
// comes out, and bytes that are cut short, run on or out of range are
// refused; and the block's own bookkeeping for the ring.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/segmentbytes.h"

namespace varnesk {
namespace {

Segment Sample(UInt128 twoN) {
    Segment seg;
    seg.kFrom = (UInt128{1} << 70) + 5;  // beyond 64 bits on purpose
    seg.kTo = seg.kFrom + 5000;
    const PrimeSlot::Outcome outcomes[] = {PrimeSlot::kNothing, PrimeSlot::kRoots, PrimeSlot::kListFull,
                                           PrimeSlot::kRoots, PrimeSlot::kInvalidA0, PrimeSlot::kPrime,
                                           PrimeSlot::kBeyond};
    UInt128 k = seg.kFrom;
    for (PrimeSlot::Outcome outcome : outcomes) {
        PrimeSlot slot;
        k += 7 + 130 * seg.count;
        slot.k = k;
        slot.p = k * twoN + 1;
        slot.outcome = outcome;
        if (outcome == PrimeSlot::kRoots) {
            slot.roots = {2, 127, 128, 999999, 4000000000u};
            slot.rootCount = seg.count == 1 ? 5 : 0;  // one with roots, one with none
        }
        if (outcome == PrimeSlot::kListFull || outcome == PrimeSlot::kInvalidA0) slot.a = slot.p - 12345;
        seg.slots.push_back(slot);
        ++seg.count;
    }
    return seg;
}

// What the sieve reads of a slot: k, p, the outcome, the roots it strikes
// and the solution where the roots are listed again.
void ExpectSameSlots(const Segment& got, const Segment& want) {
    ASSERT_EQ(got.count, want.count);
    for (int i = 0; i < want.count; ++i) {
        SCOPED_TRACE(i);
        const PrimeSlot& g = got.slots[static_cast<size_t>(i)];
        const PrimeSlot& w = want.slots[static_cast<size_t>(i)];
        EXPECT_TRUE(g.k == w.k && g.p == w.p);
        EXPECT_EQ(g.outcome, w.outcome);
        if (w.outcome == PrimeSlot::kRoots) {
            ASSERT_EQ(g.rootCount, w.rootCount);
            EXPECT_TRUE(std::equal(w.roots.begin(), w.roots.begin() + w.rootCount, g.roots.begin()));
        }
        if (w.outcome == PrimeSlot::kListFull || w.outcome == PrimeSlot::kInvalidA0) {
            EXPECT_TRUE(g.a == w.a);
        }
    }
}

Segment RunOf(const Segment& seg) {
    Segment run;
    run.kFrom = seg.kFrom;
    run.kTo = seg.kTo;
    return run;
}

TEST(SegmentBytes, RoundTripAndDamagedBytesAreRefused) {
    const UInt128 twoN = 1 << 17;
    const Segment seg = Sample(twoN);
    std::vector<uint8_t> bytes;
    EncodeSegment(seg, bytes);

    Segment back = RunOf(seg);
    ASSERT_TRUE(DecodeSegment(bytes.data(), bytes.size(), twoN, back));
    ExpectSameSlots(back, seg);
    // Into a segment that held a longer block with other roots, as the
    // host's are reused.
    Segment used = Sample(twoN);
    for (PrimeSlot& slot : used.slots) {
        slot.outcome = PrimeSlot::kRoots;
        slot.rootCount = 5;
    }
    used.slots.resize(20, used.slots[1]);
    used.count = 20;
    ASSERT_TRUE(DecodeSegment(bytes.data(), bytes.size(), twoN, used));
    ExpectSameSlots(used, seg);

    // Cut anywhere, or followed by more.
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        Segment s = RunOf(seg);
        EXPECT_FALSE(DecodeSegment(bytes.data(), cut, twoN, s)) << "cut at " << cut;
    }
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    Segment s = RunOf(seg);
    EXPECT_FALSE(DecodeSegment(longer.data(), longer.size(), twoN, s));

    // Slots that no block of the run holds: a prime beyond its run of k, a
    // step so large that k would wrap around to inside it, an outcome that
    // does not exist.
    Segment narrow = RunOf(seg);
    narrow.kTo = seg.kFrom + 100;
    EXPECT_FALSE(DecodeSegment(bytes.data(), bytes.size(), twoN, narrow));
    struct Bad {
        const char* name;
        UInt128 k;
        int outcome;
    };
    for (const Bad& bad : {Bad{"k wraps", seg.kFrom - 1, PrimeSlot::kNothing},
                           Bad{"no such outcome", seg.kFrom + 1, PrimeSlot::kPrime + 1}}) {
        SCOPED_TRACE(bad.name);
        Segment odd = RunOf(seg);
        PrimeSlot& slot = odd.AddSlot(0);
        slot.k = bad.k;
        slot.outcome = static_cast<PrimeSlot::Outcome>(bad.outcome);
        std::vector<uint8_t> oddBytes;
        EncodeSegment(odd, oddBytes);
        Segment into = RunOf(seg);
        EXPECT_FALSE(DecodeSegment(oddBytes.data(), oddBytes.size(), twoN, into));
    }
}

// A backstop's completed primes go into their slots only when they are the
// block's unfinished primes, all of them, in order, and complete.
TEST(SegmentFinish, CompletedPrimesTakeTheirPlacesOrNothingChanges) {
    const UInt128 twoN = 1 << 17;
    const Segment block = Sample(twoN);
    std::vector<UInt128> unfinished;
    block.UnfinishedK(unfinished);
    ASSERT_EQ(unfinished.size(), 1u);
    auto completed = [&](const std::vector<UInt128>& ks, PrimeSlot::Outcome outcome) {
        Segment done;
        for (UInt128 k : ks) {
            PrimeSlot& slot = done.AddSlot(4);
            slot.k = k;
            slot.p = k * twoN + 1;
            slot.outcome = outcome;
            slot.rootCount = 1;
            slot.roots[0] = 77;
        }
        return done;
    };
    const UInt128 k = unfinished[0];
    struct Case {
        const char* name;
        Segment done;
        bool taken;
    };
    Case cases[] = {
        {"its primes, complete", completed({k}, PrimeSlot::kRoots), true},
        {"none", completed({}, PrimeSlot::kRoots), false},
        {"one too many", completed({k, k + 2}, PrimeSlot::kRoots), false},
        {"another k", completed({k + 2}, PrimeSlot::kRoots), false},
        {"still to complete", completed({k}, PrimeSlot::kPrime), false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Segment seg = block;
        EXPECT_EQ(seg.TakeFinished(c.done), c.taken);
        std::vector<UInt128> left;
        seg.UnfinishedK(left);
        EXPECT_EQ(left.empty(), c.taken);
        if (c.taken) {
            EXPECT_FALSE(seg.ListActive());
            const auto at = std::find_if(seg.slots.begin(), seg.slots.end(), [&](const PrimeSlot& s) { return s.k == k; });
            ASSERT_TRUE(at != seg.slots.end());
            EXPECT_EQ(at->roots[0], 77u);
        }
    }
}

}  // namespace
}  // namespace varnesk
