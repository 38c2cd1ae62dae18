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
// path, else it is the scalar table, which takes nothing (each form's own
// range: forms_test.cpp).
TEST(KernelPaths, APathTheCpuLacksGivesTheScalarTable) {
    for (KernelPath path : {KernelPath::Scalar, KernelPath::Avx2, KernelPath::Avx512}) {
        KernelContext k;
        k.SelectKernels(path);
        if (!KernelPathAvailable(path))
            std::cout << "[  SKIPPED ] the " << KernelPathName(path) << " table: not on this CPU or build\n";
        EXPECT_EQ(k.Path(), KernelPathAvailable(path) ? path : KernelPath::Scalar);
    }
    KernelTableFor(KernelPath::Scalar).ForEachForm([](const char* name, const auto& form) {
        EXPECT_FALSE(form.fn != nullptr || form.Takes(3)) << name;
    });
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
