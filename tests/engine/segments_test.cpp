// The byte form of a segment that crosses between processes: what goes in
// comes out, and bytes that are cut short or out of range are refused.
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

TEST(SegmentBytes, RoundTripAndEveryCutIsRefused) {
    const UInt128 twoN = 1 << 17;
    const Segment seg = Sample(twoN);
    std::vector<uint8_t> bytes;
    EncodeSegment(seg, bytes);

    Segment back;
    back.kFrom = seg.kFrom;
    back.kTo = seg.kTo;
    ASSERT_TRUE(DecodeSegment(bytes.data(), bytes.size(), twoN, back));
    // The bytes hold every field but p, which comes back from k.
    std::vector<uint8_t> again;
    EncodeSegment(back, again);
    EXPECT_EQ(again, bytes);
    for (int i = 0; i < seg.count; ++i) EXPECT_TRUE(back.slots[static_cast<size_t>(i)].p == seg.slots[static_cast<size_t>(i)].p) << i;
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        Segment s;
        s.kFrom = seg.kFrom;
        s.kTo = seg.kTo;
        EXPECT_FALSE(DecodeSegment(bytes.data(), cut, twoN, s)) << "cut at " << cut;
    }
    // A prime beyond the segment's run of k, or an outcome that does not exist.
    Segment narrow;
    narrow.kFrom = seg.kFrom;
    narrow.kTo = seg.kFrom + 100;
    EXPECT_FALSE(DecodeSegment(bytes.data(), bytes.size(), twoN, narrow));
    // A step so large that k would wrap around to inside the run.
    Segment wrapped;
    wrapped.kFrom = seg.kFrom;
    wrapped.kTo = seg.kTo;
    wrapped.slots.resize(1);
    wrapped.slots[0].k = seg.kFrom - 1;
    wrapped.count = 1;
    std::vector<uint8_t> wrapBytes;
    EncodeSegment(wrapped, wrapBytes);
    EXPECT_FALSE(DecodeSegment(wrapBytes.data(), wrapBytes.size(), twoN, narrow));
    std::vector<uint8_t> odd = bytes;
    odd[2] = 9;  // the first slot's outcome (count and a one-byte k step before it)
    EXPECT_FALSE(DecodeSegment(odd.data(), odd.size(), twoN, back));
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
