// The self-test's reference and comparison: its known factors are factors
// (checked by a power, not by the division that found them), every size of
// p has some, and each way a block can go wrong is named, not passed.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "engine/blockfill.h"
#include "engine/selftest.h"
#include "kernels/kernels.h"
#include "kernels/modmath2.h"

namespace varnesk {
namespace {

const SelfTestPlan& QuickPlan() {
    static const SelfTestPlan plan = MakeSelfTestPlan(true);
    return plan;
}

TEST(SelfTestPlan, KnownFactorsDivideAndCoverEverySize) {
    const SelfTestPlan& plan = QuickPlan();
    for (int s = 0; s < kSelfTestSizes; ++s) {
        EXPECT_GT(plan.known[s], 0) << "below 2^" << kSelfTestSizeBits[s];
        EXPECT_GE(plan.factors[s], plan.known[s]) << "below 2^" << kSelfTestSizeBits[s];
    }
    for (const SelfTestCase& c : plan.cases) {
        if (c.factorP == 0) continue;
        SCOPED_TRACE(c.Describe());
        const UInt128 b = static_cast<UInt128>(c.factorB);
        EXPECT_EQ(PowModRef128(b, static_cast<UInt128>(c.info.exponent), c.factorP), c.factorP - 1);
        const std::vector<ReferenceSlot>& slots = c.blocks.front().slots;
        const auto at = std::find_if(slots.begin(), slots.end(), [&](const ReferenceSlot& r) { return r.p == c.factorP; });
        ASSERT_NE(at, slots.end());
        EXPECT_TRUE(at->prime);
        EXPECT_NE(std::find(at->roots.begin(), at->roots.end(), static_cast<uint32_t>(c.factorB)), at->roots.end());
    }
}

// The first run (N = 32, bases to 2^16, about two a prime below 2^21) as
// the scalar path's blocks fill it.
Segment Filled(const SelfTestCase& c) {
    SieveJob job;
    KernelContext kernels;
    EXPECT_TRUE(StartBlockKernels(c.info, KernelPath::Scalar, job, kernels));
    BlockSieve sieve(kernels, 2 * static_cast<int64_t>(c.info.exponent), c.info.exponentLog2,
                     SlotRoots(c.info.exponent));
    Segment seg;
    seg.kFrom = c.blocks.front().kFrom;
    seg.kTo = c.blocks.front().kTo;
    sieve.Fill(seg);
    return seg;
}

TEST(SelfTestCompare, EveryKindOfWrongBlockIsNamed) {
    const SelfTestCase& c = QuickPlan().cases.front();
    ASSERT_EQ(c.info.exponent, 32);
    const Segment good = Filled(c);
    ASSERT_EQ(CompareWithReference(c, c.blocks.front(), good), "");
    // The first prime with two bases or more.
    size_t hit = 0;
    while (hit < static_cast<size_t>(good.count) && good.slots[hit].rootCount < 2) ++hit;
    ASSERT_LT(hit, static_cast<size_t>(good.count));
    const UInt128 p = good.slots[hit].p;
    struct Fault {
        const char* name;
        std::function<void(Segment&)> apply;
        const char* said;
        bool atThePrime = true;  // the difference is named at p
    };
    const Fault faults[] = {
        {"a prime left out", [&](Segment& s) { s.slots.erase(s.slots.begin() + hit); --s.count; }, "is left out"},
        {"a prime listed twice", [&](Segment& s) { s.slots.insert(s.slots.begin() + hit, s.slots[hit]); ++s.count; },
         "which the reference does not hold"},
        {"another solution of order 2N", [&](Segment& s) { s.slots[hit].a = p - s.slots[hit].a; }, "the solution for"},
        {"a base changed", [&](Segment& s) { s.slots[hit].roots[1] += 2; }, "the 2nd base is"},
        {"a base left out", [&](Segment& s) { --s.slots[hit].rootCount; }, "where the reference has"},
        {"no solution", [&](Segment& s) { s.slots[hit].outcome = PrimeSlot::kNothing; }, "no solution of order 2N"},
        {"a failed check", [&](Segment& s) { s.slots[hit].outcome = PrimeSlot::kInvalidA0; }, "fails its check"},
        {"left to others", [&](Segment& s) { s.slots[hit].outcome = PrimeSlot::kPrime; }, "left without"},
        {"a list said to be full", [&](Segment& s) { s.slots[hit].outcome = PrimeSlot::kListFull; }, "said to be full"},
        {"the sieve's end claimed",
         [&](Segment& s) {
             s.slots.push_back(s.slots.back());
             s.slots.back().outcome = PrimeSlot::kBeyond;
             ++s.count;
         },
         "says the sieve ends", false},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        Segment bad = good;
        f.apply(bad);
        UInt128 where = 0;
        const std::string why = CompareWithReference(c, c.blocks.front(), bad, &where);
        EXPECT_NE(why.find(f.said), std::string::npos) << why;
        if (f.atThePrime) {
            EXPECT_TRUE(where == p) << why;
        }
    }
}

// A row names its first disagreement and the size it lies at, whether a
// result was changed after the fill or the fill itself failed.
TEST(SelfTestRows, AChangedResultOrAFailedFillDisagrees) {
    SelfTestPlan plan;
    plan.cases.push_back(QuickPlan().cases.front());
    const SelfTestRow flipped = RunCpuSelfTest(KernelPath::Scalar, plan, true);
    EXPECT_FALSE(flipped.cells[0].agrees);
    EXPECT_NE(flipped.firstDisagreement.find("N = 32"), std::string::npos) << flipped.firstDisagreement;
    const SelfTestRow failed = RunSelfTestRow("broken", plan, [](const SelfTestCase&, std::vector<Segment>&, std::string* why) {
        *why = "the device is gone";
        return false;
    });
    EXPECT_FALSE(failed.cells[0].agrees);
    EXPECT_NE(failed.firstDisagreement.find("the device is gone"), std::string::npos);
}

}  // namespace
}  // namespace varnesk
