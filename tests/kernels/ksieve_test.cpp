// The candidate stream's sieve over k against the stream it replaced (the
// wheel tables, then the Fermat test of every wheel survivor) and against
// trial division with GMP's powering: the same list of (k, p), pseudoprimes
// included, at every size and N, at every depth, in whole runs and in pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kernels/candidates.h"
#include "kernels/kernels.h"
#include "kernels/ksieve.h"
#include "kernels/startup.h"
#include "kernels/wide.h"
#include "tests/support/gmp_wide.h"

namespace varnesk {
namespace {

using testsupport::PowModGmp;

struct Wired {
    SieveJob job;
    KernelContext k;
    Wired() { EXPECT_EQ(StartKernels(job, k), 0); }
};

// The stream as it was: the six wheel tables per k, then the Fermat test of
// each survivor.
std::vector<UInt128> WheelStreamKs(const KernelContext& kernels, uint64_t twoN, UInt128 kFrom, UInt128 kTo) {
    std::vector<UInt128> wheel, ks;
    for (UInt128 k = kFrom + 1; k <= kTo; ++k) {
        const UInt128 p = k * twoN + 1;
        bool pass = true;
        for (int t = 0; t < kWheelTables && pass; ++t) {
            const uint32_t r = static_cast<uint32_t>(p % static_cast<uint32_t>(kWheelModuli[t]));
            pass = (kernels.wheel[t][r >> 5] >> (r & 31)) & 1u;
        }
        if (pass || (p <= 73 && IsWheelPrime(static_cast<uint64_t>(p)))) wheel.push_back(k);
    }
    for (size_t from = 0; from < wheel.size(); from += 16) {
        UInt128 p[16];
        const int count = static_cast<int>(std::min<size_t>(16, wheel.size() - from));
        for (int i = 0; i < count; ++i) p[i] = wheel[from + static_cast<size_t>(i)] * twoN + 1;
        const uint32_t passed = FermatTestWide(kernels, p, count);
        for (int i = 0; i < count; ++i)
            if (passed & (1u << i)) ks.push_back(wheel[from + static_cast<size_t>(i)]);
    }
    return ks;
}

// Trial division by 3..73 (their own primes kept) and GMP's 2^(p-1) mod p.
bool ListedByDefinition(UInt128 p) {
    for (unsigned q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73})
        if (p % q == 0) return p == q;
    return PowModGmp(2, p - 1, p) == 1;
}

std::vector<UInt128> StreamKs(CandidateStream& stream, uint64_t twoN, UInt128 kFrom, UInt128 kTo) {
    std::vector<Candidate> found;
    stream.CandidatesInRange(kFrom, kTo, found);
    std::vector<UInt128> ks;
    for (const Candidate& c : found) {
        EXPECT_TRUE(c.p == c.k * twoN + 1);
        ks.push_back(c.k);
    }
    return ks;
}

std::string Str(UInt128 v) { return FormatUInt128(v); }

// Every size where the arithmetic changes, for small to large N, at random
// (fixed-seed) places: one run, the same run in pieces that follow each
// other, and pieces taken out of order (each a fresh start of the sieve).
TEST(KSieve, TheListOfTheWheelStreamAtEverySizeAndN) {
    Wired w;
    w.k.SelectKernels(BestKernelPath());
    std::mt19937_64 rng(2025);
    const UInt128 one = 1;
    struct At {
        const char* where;
        UInt128 p;
    };
    for (const At& at : {At{"2^40", one << 40}, At{"2^50", one << 50}, At{"2^62", one << 62},
                         At{"2^63 - small", (one << 63) - 5000000}, At{"2^64 + small", (one << 64) + 3},
                         At{"2^80", one << 80}})
        for (uint64_t N : {2, 64, 1024, 65536}) {
            const uint64_t twoN = 2 * N;
            const UInt128 kFrom = at.p / twoN + rng() % 100000;
            const UInt128 kTo = kFrom + 3000;
            SCOPED_TRACE(testing::Message() << at.where << ", N = " << N << ", k from " << Str(kFrom));
            const std::vector<UInt128> want = WheelStreamKs(w.k, twoN, kFrom, kTo);
            ASSERT_FALSE(want.empty());
            CandidateStream stream(w.k, twoN);
            EXPECT_TRUE(StreamKs(stream, twoN, kFrom, kTo) == want) << want.size() << " probable primes";
            std::vector<UInt128> pieces;
            for (UInt128 k = kFrom; k < kTo;) {
                const UInt128 next = std::min<UInt128>(kTo, k + 1 + rng() % 300);
                for (UInt128 got : StreamKs(stream, twoN, k, next)) pieces.push_back(got);
                k = next;
            }
            EXPECT_TRUE(pieces == want);
            // Back to front: every run a start afresh.
            std::vector<UInt128> backwards;
            for (UInt128 k = kTo; k > kFrom;) {
                const UInt128 prev = k - std::min<UInt128>(k - kFrom, 1 + rng() % 500);
                std::vector<UInt128> run = StreamKs(stream, twoN, prev, k);
                backwards.insert(backwards.begin(), run.begin(), run.end());
                k = prev;
            }
            EXPECT_TRUE(backwards == want);
        }
}

// Runs across the sieve's windows, one after another and with a gap, and
// the list at every depth (73: the wheel's primes alone).
TEST(KSieve, AcrossWindowsAndAtEveryDepth) {
    Wired w;
    w.k.SelectKernels(BestKernelPath());
    const uint64_t twoN = 128;
    const UInt128 kFrom = (UInt128{1} << 50) / twoN;
    const UInt128 kTo = kFrom + 2 * KSieve::kWindow + 4321;
    const std::vector<UInt128> want = WheelStreamKs(w.k, twoN, kFrom, kTo);
    for (uint32_t depth : {73u, 1u << 12, 1u << 16, KSieve::kDefaultDepth, 1u << 20}) {
        SCOPED_TRACE(testing::Message() << "depth " << depth);
        CandidateStream stream(w.k, twoN, depth);
        EXPECT_TRUE(StreamKs(stream, twoN, kFrom, kTo) == want);
        // Blocks as two threads take them: each stream every other block.
        CandidateStream other(w.k, twoN, depth);
        std::vector<UInt128> merged;
        const UInt128 block = 150;
        for (UInt128 k = kFrom, i = 0; k < kTo; k += block, ++i) {
            std::vector<UInt128> run = StreamKs(i % 2 ? other : stream, twoN, k, std::min(k + block, kTo));
            merged.insert(merged.end(), run.begin(), run.end());
        }
        EXPECT_TRUE(merged == want);
    }
}

// One sieve for several streams: the same survivors as one KSieve, over
// several windows, at every size, with blocks taken in turn by streams that
// sieve ahead between blocks, one that lags so far behind that its window
// is sieved again, and from k = 0 (the primes sieved by kept).
TEST(SharedKSieve, TheSurvivorsOfOneSieveWhoeverTakesTheRuns) {
    const UInt128 one = 1;
    std::mt19937_64 rng(77);
    for (const UInt128 p : {UInt128{0}, one << 40, (one << 63) - 5000000, (one << 64) + 3, one << 80})
        for (uint64_t twoN : {4, 2048}) {
            const UInt128 kFrom = p / twoN + (p ? rng() % 100000 : 0);
            const UInt128 kTo = kFrom + 6 * KSieve::kWindow + 777;  // more windows than it keeps
            SCOPED_TRACE(testing::Message() << "k from " << Str(kFrom) << ", 2N = " << twoN);
            KSieve alone(twoN);
            std::vector<UInt128> want;
            alone.Survivors(kFrom, kTo, want);
            SharedKSieve shared(twoN);
            std::vector<UInt128> got;
            std::vector<UInt128> lagging;  // every fifth block, read at the end
            UInt128 k = kFrom;
            for (int i = 0; k < kTo; ++i) {
                const UInt128 next = std::min<UInt128>(kTo, k + 1 + rng() % 3000);
                if (i % 5 == 4) {
                    lagging.push_back(k);
                    lagging.push_back(next);
                } else {
                    shared.Survivors(k, next, got);
                    if (i % 2) shared.PrepareAhead();
                }
                k = next;
            }
            for (size_t j = 0; j < lagging.size(); j += 2) shared.Survivors(lagging[j], lagging[j + 1], got);
            std::sort(got.begin(), got.end());
            EXPECT_TRUE(got == want) << got.size() << " against " << want.size();
        }
}

// Threads that take blocks in turn from one counter, as the wide sieve's
// do, each with its own stream over the shared sieve.
TEST(SharedKSieve, ThreadsTakingBlocksInTurnGiveTheOneStreamsList) {
    Wired w;
    w.k.SelectKernels(BestKernelPath());
    const uint64_t twoN = 2048;
    const UInt128 kFrom = UInt128{1000000000000000ULL} / twoN, kTo = kFrom + 3 * KSieve::kWindow;
    CandidateStream one(w.k, twoN);
    const std::vector<UInt128> want = StreamKs(one, twoN, kFrom, kTo);
    auto shared = std::make_shared<SharedKSieve>(twoN);
    std::atomic<uint64_t> next{0};
    const UInt128 block = 1100;
    std::vector<std::vector<UInt128>> found(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            CandidateStream stream(w.k, twoN, shared);
            for (UInt128 i; (i = next.fetch_add(1)) * block < kTo - kFrom;) {
                const UInt128 from = kFrom + i * block;
                std::vector<Candidate> run;
                stream.CandidatesInRange(from, std::min(from + block, kTo), run);
                for (const Candidate& c : run) found[static_cast<size_t>(t)].push_back(c.k);
                stream.PrepareAhead();
            }
        });
    for (std::thread& t : threads) t.join();
    std::vector<UInt128> got;
    for (const auto& f : found) got.insert(got.end(), f.begin(), f.end());
    std::sort(got.begin(), got.end());
    EXPECT_TRUE(got == want) << got.size() << " against " << want.size();
}

// A base-2 pseudoprime with a prime factor above the wheel's stays in the
// list, whatever the depth: every small p for N = 2 and 16, and the Fermat
// numbers 2^32 + 1 (641 * 6700417) and 2^64 + 1 (274177 * 67280421310721)
// at every N that divides their p - 1.
TEST(KSieve, KeepsThePseudoprimesTheWheelStreamGave) {
    Wired w;
    w.k.SelectKernels(BestKernelPath());
    const size_t limit = size_t{1} << 22;
    std::vector<bool> composite(limit + 1);
    for (size_t i = 3; i * i <= limit; i += 2)
        if (!composite[i])
            for (size_t j = i * i; j <= limit; j += 2 * i) composite[j] = true;
    for (uint64_t N : {2, 16}) {
        const uint64_t twoN = 2 * N;
        const UInt128 kTo = (limit - 1) / twoN;
        std::vector<UInt128> want;
        int pseudoprimes = 0;
        for (UInt128 k = 1; k <= kTo; ++k) {
            const UInt128 p = k * twoN + 1;
            if (!ListedByDefinition(p)) continue;
            want.push_back(k);
            pseudoprimes += composite[static_cast<size_t>(p)];
        }
        SCOPED_TRACE(testing::Message() << "N = " << N << ", " << pseudoprimes << " pseudoprimes");
        EXPECT_GT(pseudoprimes, 0);
        for (uint32_t depth : {1u << 10, KSieve::kDefaultDepth}) {
            CandidateStream stream(w.k, twoN, depth);
            EXPECT_TRUE(StreamKs(stream, twoN, 0, kTo) == want) << "depth " << depth;
        }
    }
    const UInt128 one = 1;
    for (int e : {32, 64})
        for (uint64_t N : {2, 16, 64, 1024, 65536}) {
            const uint64_t twoN = 2 * N;
            const UInt128 k = (one << e) / twoN;
            SCOPED_TRACE(testing::Message() << "2^" << e << " + 1, N = " << N);
            ASSERT_TRUE(ListedByDefinition(k * twoN + 1));
            for (uint32_t depth : {KSieve::kDefaultDepth, 1u << 20}) {
                CandidateStream stream(w.k, twoN, depth);
                const std::vector<UInt128> got = StreamKs(stream, twoN, k - 700, k + 300);
                EXPECT_TRUE(got == WheelStreamKs(w.k, twoN, k - 700, k + 300));
                EXPECT_NE(std::find(got.begin(), got.end(), k), got.end()) << "depth " << depth;
            }
        }
}

// The sieve alone: it keeps every listed k (from k = 1: the primes it
// sieves by among them), only k that the wheel passes, and at 2^40 little
// more than half of those (ln 73 / ln 4099 of them on average).
TEST(KSieve, KeepsEveryListedKAndFewerThanTheWheel) {
    for (uint64_t twoN : {4, 32, 256})
        for (UInt128 kFrom : {UInt128{0}, (UInt128{1} << 40) / twoN}) {
            const UInt128 kTo = kFrom + 200000 / twoN;
            KSieve sieve(twoN, 4099);
            std::vector<UInt128> kept;
            sieve.Survivors(kFrom, kTo, kept);
            std::vector<UInt128> wheel;
            for (UInt128 k = kFrom + 1; k <= kTo; ++k) {
                bool pass = true;
                const UInt128 p = k * twoN + 1;
                for (unsigned q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73})
                    pass = pass && (p % q != 0 || p == q);
                if (pass) wheel.push_back(k);
                if (ListedByDefinition(p)) {
                    EXPECT_TRUE(std::binary_search(kept.begin(), kept.end(), k)) << "p = " << Str(p);
                }
            }
            SCOPED_TRACE(testing::Message() << "2N = " << twoN << ", k from " << Str(kFrom));
            EXPECT_TRUE(std::includes(wheel.begin(), wheel.end(), kept.begin(), kept.end()));
            if (kFrom > 0) {
                EXPECT_LT(kept.size() * 10, wheel.size() * 6);
            }
        }
}

}  // namespace
}  // namespace varnesk
