// Rates, survivors and the stop verdict against hand-computed histories.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/sievestats.h"

namespace varnesk {
namespace {

constexpr int32_t kN = 65536;

// p rises by 10^9 and two bases go every 10 s, from p0 on.
void Steady(SieveHistory& h, double t0, double p0, int64_t left0, int steps) {
    for (int i = 0; i <= steps; ++i) h.Add({t0 + 10.0 * i, p0 + 1e9 * i, left0 - 2 * i});
}

TEST(SieveHistory, SteadyRatePauseAndResume) {
    SieveHistory h(kN);
    Steady(h, 0, 1e15, 5000, 60);  // ten minutes
    const SieveRates all = h.SinceStart(), recent = h.Recent(120);
    for (const SieveRates& r : {all, recent}) {
        ASSERT_TRUE(r.valid);
        EXPECT_DOUBLE_EQ(r.pPerSecond, 1e8);
        EXPECT_NEAR(r.pPerDay, 8.64e-3, 1e-12);
        EXPECT_NEAR(r.removedPerHour, 720, 1e-9);
        EXPECT_NEAR(r.primesPerSecond, 1e8 / (kN * std::log(1e15 + 3e10)), 1e-3);
    }
    EXPECT_DOUBLE_EQ(recent.seconds, 120);
    EXPECT_DOUBLE_EQ(h.SecondsTo(1e15 + 7e10, 120), 100);
    EXPECT_EQ(h.SecondsTo(1e15, 120), 0);
    EXPECT_EQ(h.Removed(), 120);

    // Twenty minutes with no progress, then the same pace again: the rate
    // since the start drops to a third, the last two minutes are steady.
    Steady(h, 600 + 1200, 1e15 + 6e10, 5000 - 120, 60);
    EXPECT_NEAR(h.SinceStart().pPerSecond, 1.2e11 / 2400, 1e-6);
    EXPECT_NEAR(h.SinceStart().removedPerHour, 240.0 / 2400 * 3600, 1e-9);
    EXPECT_DOUBLE_EQ(h.Recent(120).pPerSecond, 1e8);
    // Over a window that holds the pause, its share counts.
    EXPECT_NEAR(h.Recent(1300).pPerSecond, 6e10 / 1800, 1e-6);

    // A resume from an earlier file (p falls) starts a new history.
    h.Add({5000, 1e15, 4000});
    EXPECT_EQ(h.Points().size(), 1u);
    EXPECT_FALSE(h.SinceStart().valid);
    EXPECT_EQ(h.SecondsTo(2e15, 60), -1);
    h.Add({5010, 1e15 + 1e9, 3998});
    EXPECT_EQ(h.Removed(), 2);
}

TEST(SieveHistory, ThinsOldPointsAndKeepsTheNewOnes) {
    SieveHistory h(kN, 100);
    Steady(h, 0, 1e12, 1000000, 10000);
    const auto& pts = h.Points();
    ASSERT_LE(pts.size(), 100u);
    EXPECT_EQ(pts.front().t, 0);
    EXPECT_EQ(pts.back().t, 100000);
    for (size_t i = pts.size() - 40; i < pts.size(); ++i) EXPECT_EQ(pts[i].t - pts[i - 1].t, 10);
    EXPECT_DOUBLE_EQ(h.SinceStart().pPerSecond, 1e8);
    EXPECT_EQ(h.Removed(), 20000);
}

TEST(SieveHistory, SurvivorsFollowOneOverLogP) {
    SieveHistory h(kN);
    const double a = 3.5e6;
    for (int i = 0; i <= 100; ++i) {
        const double p = 1e12 * std::pow(1.1, i);
        h.Add({10.0 * i, p, static_cast<int64_t>(std::llround(a / std::log(p)))});
    }
    for (double p : {1e12, 1e15, 1e18}) EXPECT_NEAR(h.ExpectedSurvivors(p), a / std::log(p), 1.0);

    // A new sieve's first record (p = 0, every base left) and the first
    // primes, where the law does not hold yet, leave the fit alone.
    SieveHistory fresh(kN);
    fresh.Add({0, 0, 50000000});
    fresh.Add({1, 1e3, 40000000});
    for (int i = 0; i <= 100; ++i) {
        const double p = 1e12 * std::pow(1.1, i);
        fresh.Add({10.0 + i, p, static_cast<int64_t>(std::llround(a / std::log(p)))});
    }
    EXPECT_NEAR(fresh.ExpectedSurvivors(1e15), a / std::log(1e15), 1.0);

    // Algebraic bases among the survivors, struck in steps of their own,
    // are left out of the expectation.
    SieveHistory algebraic(kN);
    for (int i = 0; i <= 100; ++i) {
        const double p = 1e12 * std::pow(1.1, i);
        const int64_t powers = 700 - 3 * i;
        algebraic.Add({10.0 * i, p, static_cast<int64_t>(std::llround(a / std::log(p))) + powers, powers});
    }
    EXPECT_NEAR(algebraic.ExpectedSurvivors(1e15), a / std::log(1e15), 1.0);
}

// A history made by the removal model itself, with p rising as a steady
// rate of primes makes it rise; the crossing p* solves p* ln p* = C T.
TEST(SieveHistory, StopVerdictFindsTheKnownCrossing) {
    const double c = 4e15, p0 = 1e13;
    auto history = [&](double seconds) {
        SieveHistory h(kN);
        double p = p0, removed = 0;
        for (double t = 0; t <= seconds; t += 1) {
            h.Add({t, p, 1000000 - static_cast<int64_t>(std::llround(removed))});
            const double v = 1e9 * std::log(p) / std::log(p0);
            removed += c / (p * std::log(p));  // per second at this p
            p += v;
        }
        return h;
    };
    const SieveHistory h = history(3600);
    const double p = h.Points().back().p;
    const double now = p * std::log(p) / c;  // seconds per removal today
    for (double test : {now / 10, now * 10, now * 1000}) {
        SCOPED_TRACE(test);
        const StopAdvice a = h.Advise(test);
        const double want = [&] {  // bisection, independent of the code's Newton steps
            double lo = 3, hi = 1e30;
            for (int i = 0; i < 200; ++i) {
                const double mid = std::sqrt(lo * hi);
                (mid * std::log(mid) < c * test ? lo : hi) = mid;
            }
            return lo;
        }();
        EXPECT_NEAR(a.crossingP / want, 1, 0.02);
        EXPECT_NEAR(a.removalSeconds / now, 1, 0.02);
        EXPECT_EQ(a.kind, test > now ? StopAdvice::kKeepSieving : StopAdvice::kStopSieving);
        if (a.kind == StopAdvice::kKeepSieving) {
            EXPECT_GT(a.secondsToCrossing, 0);
        }
    }
    // Too short a history, too few removals, or no test time: no verdict.
    EXPECT_EQ(history(30).Advise(now).kind, StopAdvice::kNotYet);
    EXPECT_EQ(SieveHistory(kN).Advise(now).kind, StopAdvice::kNotYet);
    EXPECT_EQ(h.Advise(0).kind, StopAdvice::kNotYet);
}

// A run whose removal constant changed on the way (a new sieve leaves the
// phase where a prime strikes many bases and the sieve walks few primes):
// the verdict follows the constant of the recent part, not the average.
TEST(SieveHistory, StopVerdictFollowsTheRecentRemovalRate) {
    const double c = 4e15, p0 = 1e13;
    SieveHistory h(kN);
    double p = p0, removed = 0;
    for (double t = 0; t <= 3600; t += 1) {
        h.Add({t, p, 1000000 - static_cast<int64_t>(std::llround(removed))});
        removed += (t < 2000 ? c / 100 : c) / (p * std::log(p));
        p += t < 2000 ? 1e8 : 1e9;
    }
    const double last = h.Points().back().p;
    const StopAdvice a = h.Advise(1);
    EXPECT_NEAR(a.removalSeconds / (last * std::log(last) / c), 1, 0.02);
    ASSERT_EQ(a.kind, StopAdvice::kKeepSieving);
    // From the present p on at today's 10^9 a second, rising as ln p does.
    const double x = a.crossingP;
    EXPECT_NEAR(a.secondsToCrossing / ((x - last) / 1e9 * std::log(last) / std::log((x + last) / 2)), 1, 0.02);
}

}  // namespace
}  // namespace varnesk
