// Wheel tables, bit arrays, the candidate stream and the CPU id.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cstdlib>
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
    int64_t* primeP = job.primeP;
    int64_t* primeK = job.primeK;
    int32_t& firstPrime = job.firstPrime;
    int64_t& kCursor = job.kCursor;
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

TEST(CandidateStream, FirstBatchesForN16AndTheQueueHandOver) {
    Wired w(16);
    w.k.NextCandidateBatch();
    EXPECT_EQ(std::vector<int64_t>(w.k.batchP, w.k.batchP + 4), (std::vector<int64_t>{97, 193, 257, 353}));
    EXPECT_EQ(std::vector<int64_t>(w.k.batchK, w.k.batchK + 4), (std::vector<int64_t>{3, 6, 8, 11}));
    EXPECT_EQ(w.kCursor, 12);
    w.k.NextCandidateBatch();
    EXPECT_EQ(std::vector<int64_t>(w.k.batchP, w.k.batchP + 4), (std::vector<int64_t>{449, 577, 641, 673}));
    EXPECT_EQ(std::vector<int64_t>(w.k.batchK, w.k.batchK + 4), (std::vector<int64_t>{14, 18, 20, 21}));
    EXPECT_EQ(w.kCursor, 24);
    EXPECT_EQ(w.k.queueCount, 1u);
    EXPECT_EQ(w.k.queueP[0], 769);
    w.k.NextCandidateBatch();
    EXPECT_EQ(w.k.batchP[0], 769);
    EXPECT_EQ(w.k.batchK[0], 24);
    // A reset queue restarts from kCursor without the leftovers.
    w.kCursor = 0;
    w.k.ResetCandidateQueue();
    w.k.NextCandidateBatch();
    EXPECT_EQ(w.k.batchP[0], 97);
}

TEST(CandidateStream, FermatSlotsHoldThePassingPairsInOrder) {
    Wired w(16);
    w.k.NextCandidateBatch();
    w.k.FermatTestBatch();
    EXPECT_EQ(w.firstPrime, 0);
    EXPECT_EQ(std::vector<int64_t>(w.primeP, w.primeP + 4), (std::vector<int64_t>{97, 193, 257, 353}));
    EXPECT_EQ(std::vector<int64_t>(w.primeK, w.primeK + 4), (std::vector<int64_t>{3, 6, 8, 11}));

    // Only the second and fourth lanes prime: 2^(p-1) = 1 fails for 91 and 133.
    int64_t ps[4] = {91, 193, 133, 353}, ks[4] = {101, 102, 103, 104};
    for (int i = 0; i < 4; ++i) w.k.batchP[i] = ps[i], w.k.batchK[i] = ks[i];
    w.k.FermatTestBatch();
    EXPECT_EQ(w.firstPrime, 2);
    EXPECT_EQ(w.primeP[2], 193);
    EXPECT_EQ(w.primeK[2], 102);
    EXPECT_EQ(w.primeP[3], 353);
    EXPECT_EQ(w.primeK[3], 104);
}

TEST(CandidateStream, MatchesWheelAndFermatReferenceOverManyK) {
    // Every probable prime k*2N+1 above a large start, nothing skipped.
    for (int64_t n : {int64_t{32}, int64_t{65536}, int64_t{1} << 20}) {
        Wired w(n);
        const int64_t start = (n == 32) ? 0 : (int64_t{1} << 40) / (2 * n);
        w.kCursor = start;
        std::vector<int64_t> got;
        while (got.size() < 300) {
            w.k.NextCandidateBatch();
            w.k.FermatTestBatch();
            for (int s = w.firstPrime; s < 4; ++s) got.push_back(w.primeK[s]);
        }
        std::vector<int64_t> want;
        for (int64_t k = start + 1; want.size() < got.size(); ++k) {
            uint64_t p = static_cast<uint64_t>(k) * 2 * n + 1;
            bool small = false;
            for (uint64_t q = 3; q <= 73; q += 2) small |= (p % q == 0);
            if (!small && PowModRef(2, p - 1, p) == 1) want.push_back(k);
        }
        EXPECT_EQ(got, want) << "N=" << n;
    }
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
