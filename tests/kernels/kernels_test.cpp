// Wheel tables, bit arrays, the CPU id and the kernel paths (the candidate
// stream: wide_test.cpp).
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/modmath.h"
#include "kernels/startup.h"

namespace varnesk {
namespace {

// A kernel context wired the way the worker wires it.
struct Wired {
    SieveJob job;
    KernelContext k;
    std::vector<uint32_t>* wheel = job.wheel;
    explicit Wired(int64_t n) {
        job.exponent64 = n;
        EXPECT_EQ(StartKernels(job, k), 0);
    }
};

TEST(Wheel, TablesHoldTheNonMultiplesOfTheirPrimes) {
    Wired w(16);
    for (int t = 0; t < kWheelTables; ++t) {
        const uint32_t* bits = w.wheel[t].data();
        EXPECT_EQ(BitTest(0, bits), 0);
        EXPECT_EQ(BitTest(1, bits), 1);
        EXPECT_EQ(BitTest(kWheelModuli[t] - 1, bits), 1);
        int count = 0;
        for (int32_t r = 0; r < kWheelModuli[t]; ++r) count += BitTest(r, bits);
        EXPECT_EQ(count, kWheelSetBits[t]) << "table " << t + 1;
        // Allocation is the table's byte size and covers its modulus.
        EXPECT_GE(kWheelBytes[t] * 8, kWheelModuli[t]);
    }
    for (int r : {3, 5, 7, 9, 11, 13, 15}) EXPECT_EQ(BitTest(r, w.wheel[0].data()), 0) << r;
    for (int r : {1, 17, 19, 23, 29, 31}) EXPECT_EQ(BitTest(r, w.wheel[0].data()), 1) << r;
}

TEST(Bits, TestSetClearReturnThePreviousBit) {
    uint32_t words[4] = {};
    EXPECT_EQ(BitTestAndSet(37, words), 0);
    EXPECT_EQ(words[1], 1u << 5);
    EXPECT_EQ(BitTestAndSet(37, words), 1);
    EXPECT_EQ(BitTest(37, words), 1);
    EXPECT_EQ(BitTestAndClear(37, words), 1);
    EXPECT_EQ(BitTestAndClear(37, words), 0);
    EXPECT_EQ(words[1], 0u);
    EXPECT_EQ(BitTestAndSet(127, words), 0);
    EXPECT_EQ(words[3], 0x80000000u);
}

TEST(Cpu, VendorAndFieldsWithinTheirNibbles) {
    char vendor[13];
    int32_t family, model, stepping;
    int32_t r = GetCpuId(vendor, &family, &model, &stepping);
    EXPECT_EQ(r, family);
    EXPECT_EQ(std::string(vendor).size(), 12u);
    EXPECT_LE(family, 15);
    EXPECT_LE(model, 15);
    EXPECT_LE(stepping, 15);
}

// Every name resolves to its path when the CPU has it and is refused by
// name otherwise; the environment is read the same way.
TEST(KernelPaths, RequestsResolveOrNameWhatIsMissing) {
    std::string error;
    for (KernelPath path : {KernelPath::Scalar, KernelPath::Avx2, KernelPath::Avx512}) {
        const KernelPath got = ResolveKernelPath(KernelPathName(path), &error);
        if (KernelPathAvailable(path)) {
            EXPECT_EQ(got, path);
            EXPECT_EQ(error, "");
        } else {
            EXPECT_NE(error.find(std::string("kernel '") + KernelPathName(path) + "' is not available"), std::string::npos);
        }
    }
    EXPECT_TRUE(KernelPathAvailable(KernelPath::Scalar));
    EXPECT_EQ(ResolveKernelPath("auto", &error), BestKernelPath());
    ResolveKernelPath("sse", &error);
    EXPECT_EQ(error, "kernel 'sse' is none of scalar, avx2, avx512, auto");

    setenv("VARNESK_KERNEL", "sse", 1);
    EXPECT_EQ(KernelEnvironmentError(), "VARNESK_KERNEL: kernel 'sse' is none of scalar, avx2, avx512, auto");
    EXPECT_EQ(DetectKernelPath(), BestKernelPath());
    setenv("VARNESK_KERNEL", "scalar", 1);
    EXPECT_EQ(KernelEnvironmentError(), "");
    EXPECT_EQ(DetectKernelPath(), KernelPath::Scalar);
    unsetenv("VARNESK_KERNEL");
    EXPECT_EQ(DetectKernelPath(), BestKernelPath());
}

// A job's table holds a path's vector forms only where this CPU has the
// path (else it is the scalar table), each for its own moduli only.
TEST(KernelPaths, TheTableOfAPathTakesItsBoundsOnly) {
    const UInt128 two63 = UInt128{1} << 63, two96 = UInt128{1} << 96;
    struct Row {
        KernelPath path;
        UInt128 strikeEnd, fermatEnd, rootsEnd;  // 0: no vector form
        bool ifma, avx2Wide;
    };
    for (const Row& r : {Row{KernelPath::Scalar, 0, 0, 0, false, false},
                         Row{KernelPath::Avx2, UInt128{1} << 51, UInt128{1} << 50, two63 - (UInt128{1} << 32), false, true},
                         Row{KernelPath::Avx512, two63, UInt128{1} << 50, two63, true, false}}) {
        SCOPED_TRACE(KernelPathName(r.path));
        KernelContext k;
        k.SelectKernels(r.path);
        if (!KernelPathAvailable(r.path)) {
            std::cout << "[  SKIPPED ] the " << KernelPathName(r.path) << " table: not on this CPU or build\n";
            EXPECT_EQ(k.Path(), KernelPath::Scalar);
            EXPECT_FALSE(k.table.strike.Takes(3) || k.table.roots.Takes(3, 64) || k.table.fermat16.Takes(3));
            continue;
        }
        EXPECT_EQ(k.Path(), r.path);
        const KernelTable& t = k.table;
        auto edges = [](const auto& form, UInt128 end, int32_t exponent) {
            if (end == 0) return !form.Takes(3, exponent) && !form.Takes(end - 1, exponent);
            return form.Takes(3, exponent) && form.Takes(end - 2, exponent) && !form.Takes(end, exponent) &&
                   !form.Takes(1, exponent);
        };
        EXPECT_TRUE(edges(t.strike, r.strikeEnd, 0));
        EXPECT_TRUE(edges(t.fermat16, r.fermatEnd, 0));
        EXPECT_TRUE(edges(t.roots, r.rootsEnd, 256));
        EXPECT_FALSE(t.roots.Takes(3, 128));  // below 256 the scalar walk is faster
        EXPECT_EQ(t.rootsIfma.Takes(two63, 32) && !t.rootsIfma.Takes(two63 - 1, 32) && !t.rootsIfma.Takes(two96, 32),
                  r.ifma);
        // The Fermat forms beyond the doubles: [from, to), or none.
        auto span = [](const auto& form, UInt128 from, UInt128 to) {
            if (to == 0) return !form.Takes(3) && !form.Takes(UInt128{1} << 50) && !form.Takes(two96 - 1);
            return form.Takes(from) && form.Takes(to - 2) && !form.Takes(to) && !form.Takes(from - 2);
        };
        const UInt128 two50 = UInt128{1} << 50;
        const bool avx2 = r.path == KernelPath::Avx2;
        EXPECT_TRUE(span(t.fermatDigits16, two50, r.ifma ? two63 : 0));
        EXPECT_TRUE(span(t.fermatWide16, r.ifma ? two63 : UInt128{1} << 64, r.ifma || avx2 ? two96 : 0));
        // The order search in lanes: doubles below 2^51 on both vector
        // paths, digits beyond them to 2^63 with IFMA.
        const UInt128 ordersEnd = r.ifma ? two63 : avx2 ? UInt128{1} << 51 : 0;
        EXPECT_TRUE(edges(t.orders16, ordersEnd, 0));
        EXPECT_TRUE(edges(t.divisors16, ordersEnd, 0));
        // Beyond them, two digits from 2^63 to 2^96 with IFMA.
        EXPECT_EQ(t.ordersWide16.Takes(two63) && t.ordersWide16.Takes(two96 - 1) && !t.ordersWide16.Takes(two63 - 1) &&
                      !t.ordersWide16.Takes(two96) && t.divisorsWide16.Takes(two63) && !t.divisorsWide16.Takes(two96),
                  r.ifma);
        EXPECT_EQ(t.rootsAvx2Wide.Takes(two96 - 1, 64) && !t.rootsAvx2Wide.Takes(two96 - 1, 32), r.avx2Wide);
        // Several primes' walks at once: the doubles' range, small N only.
        EXPECT_EQ(t.rootsBatch.Takes(3, 2) && t.rootsBatch.Takes((UInt128{1} << 51) - 1, 2) &&
                      !t.rootsBatch.Takes(UInt128{1} << 51, 2) && !t.rootsBatch.Takes(3, 1) &&
                      t.rootsBatchUpTo == 8192,
                  r.ifma || avx2);
    }
    // Tuning is kept as asked.
    KernelContext k;
    k.SelectKernels(KernelPath::Scalar, {8, 0});
    EXPECT_EQ(k.table.scalarChains, 8);
    k.SelectKernels(KernelPath::Scalar, {16, 0});
    EXPECT_EQ(k.table.scalarChains, 16);
}

TEST(Init, RoundingModeOtherThanNearestIsReported) {
    Wired w(16);
    unsigned saved = _mm_getcsr();
    _mm_setcsr((saved & ~0x6000u) | 0x4000u);  // round up
    int32_t r = w.k.AssemblyInit();
    _mm_setcsr(saved);
    EXPECT_EQ(r, 16384);
}

TEST(Timers, AccumulateAndReset) {
    KernelContext k;
    k.ResetCycleTimers();
    k.StopCycleTimer(2);  // start stamp 0: the whole counter is added
    EXPECT_GT(k.ReadCycleTimer(2), 0u);
    k.StartCycleTimer(1);
    k.StopCycleTimer(1);
    EXPECT_EQ(k.ReadCycleTimer(0), 0u);
    k.ResetCycleTimers();
    EXPECT_EQ(k.ReadCycleTimer(2), 0u);
}

}  // namespace
}  // namespace varnesk
