// Each vector path (AVX-512, AVX2) against the scalar path and the 128-bit
// references, on fixed-seed inputs across the modulus ranges where the
// vector arithmetic changes (doubles below 2^51; IFMA digits or split
// integers above). A path this build or CPU lacks is skipped, and says so.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "kernels/candidates.h"
#include "kernels/kernels.h"
#include "kernels/modmath.h"
#include "kernels/startup.h"
#include "tests/kernels/paths.h"

namespace varnesk {
namespace {

// The path under test; set by the fixture before each test body runs.
KernelPath g_vector = KernelPath::Scalar;

class Vector : public PathTest {
protected:
    void SetUp() override {
        g_vector = GetParam();
        PathTest::SetUp();
    }
};

struct Range {
    const char* name;
    uint64_t lo, hi;
};
const Range kRanges[] = {
    {"2^40", 1ULL << 40, 1ULL << 41},
    {"below 2^51", (1ULL << 51) - (1ULL << 44), 1ULL << 51},
    {"2^52", 1ULL << 52, 1ULL << 53},
    {"2^62", 1ULL << 62, (1ULL << 62) + (1ULL << 58)},
    {"below 2^63", (1ULL << 63) - (1ULL << 56), 1ULL << 63},
};

bool ProbablePrime(uint64_t p) {
    for (uint64_t b : {2, 3, 5, 7, 11})
        if (PowModRef(b, p - 1, p) != 1) return false;
    return true;
}

// A probable prime p = 2Nk + 1 in [lo, hi) and a with a^N = -1 (mod p).
struct GfnPrime {
    uint64_t p = 0, a = 0;
};
GfnPrime FindGfnPrime(uint64_t lo, uint64_t hi, uint64_t N, std::mt19937_64& rng) {
    const uint64_t kLo = lo / (2 * N) + 1, kSpan = (hi - 1) / (2 * N) - kLo;
    for (;;) {
        const uint64_t k = kLo + rng() % kSpan;
        const uint64_t p = 2 * N * k + 1;
        if (!ProbablePrime(p)) continue;
        for (uint64_t q = 3; q < 200; q += 2) {
            const uint64_t c = PowModRef(q, k, p);
            if (PowModRef(c, N, p) == p - 1) return {p, c};
        }
    }
}

// The documented order: a^1, p - a^1, a^3, p - a^3, ..., each when within
// the limit. (The sixteen running powers visit the odd exponents in
// increasing order, pass after pass.)
std::vector<uint32_t> RootsReference(uint64_t a, uint64_t p, int32_t N, uint64_t limit) {
    std::vector<uint32_t> out;
    const uint64_t a2 = MulModRef(a, a, p);
    uint64_t v = a % p;
    for (int32_t j = 0; j < N / 2; ++j) {
        if (v <= limit) out.push_back(static_cast<uint32_t>(v));
        if (p - v <= limit) out.push_back(static_cast<uint32_t>(p - v));
        v = MulModRef(v, a2, p);
    }
    return out;
}

struct RootRun {
    int result;
    int32_t count;
    std::vector<uint32_t> out;  // the whole buffer, so stray stores show
    bool operator==(const RootRun&) const = default;
};
RootRun Enumerate(KernelPath path, int32_t N, uint32_t limit, uint64_t a, uint64_t p, int32_t capacity,
                 int scalarChains = 0, int scalarBeside = 0) {
    KernelContext k;
    k.SelectKernels(path, {scalarChains, scalarBeside});
    RootRun run{-1, -7, std::vector<uint32_t>(static_cast<size_t>(capacity) + 8, 0xDEADBEEFu)};
    k.SetRootSearch(N, static_cast<int32_t>(limit));
    k.SetRootOutput(&run.count, run.out.data(), capacity);
    run.result = k.EnumerateGfnRoots(static_cast<int64_t>(a), static_cast<int64_t>(p));
    return run;
}

// Both paths, the reference list, and the capacity rule around the list's
// length: an array filled exactly is reported full, count untouched.
void CheckRoots(int32_t N, uint32_t limit, uint64_t a, uint64_t p) {
    SCOPED_TRACE(testing::Message() << "N=" << N << " p=" << p << " a=" << a << " limit=" << limit);
    const std::vector<uint32_t> want = RootsReference(a, p, N, limit);
    const int32_t size = static_cast<int32_t>(want.size());
    const RootRun vec = Enumerate(g_vector, N, limit, a, p, N + 4);
    ASSERT_EQ(vec.result, 1);
    ASSERT_EQ(vec.count, size);
    EXPECT_EQ(std::vector<uint32_t>(vec.out.begin(), vec.out.begin() + size), want);
    for (int chains : {8, 16}) EXPECT_EQ(vec, Enumerate(KernelPath::Scalar, N, limit, a, p, N + 4, chains));
    // The AVX2 walk with and without scalar chains beside its lanes.
    for (int beside : {1, -1}) EXPECT_EQ(vec, Enumerate(g_vector, N, limit, a, p, N + 4, 0, beside)) << beside;
    for (int32_t capacity : {size, size + 1, size / 2, 1}) {
        if (capacity < 1) continue;
        const RootRun full = Enumerate(g_vector, N, limit, a, p, capacity);
        for (int beside : {1, -1})
            EXPECT_EQ(full, Enumerate(g_vector, N, limit, a, p, capacity, 0, beside)) << "capacity " << capacity;
        for (int chains : {8, 16})
            EXPECT_EQ(full, Enumerate(KernelPath::Scalar, N, limit, a, p, capacity, chains)) << "capacity " << capacity;
        EXPECT_EQ(full.result, capacity > size ? 1 : 0) << "capacity " << capacity;
        if (capacity <= size) {
            EXPECT_EQ(full.count, -7);
        }
    }
}

TEST_P(Vector, RootsSeventeenRootsOf193) {
    const RootRun run = Enumerate(g_vector, 32, 100, 125, 193, 36);
    ASSERT_EQ(run.result, 1);
    EXPECT_EQ(std::vector<uint32_t>(run.out.begin(), run.out.begin() + run.count),
              (std::vector<uint32_t>{68, 35, 87, 76, 29, 39, 74, 13, 89, 60, 94, 99, 20, 33, 71, 11, 88}));
    EXPECT_EQ(Enumerate(g_vector, 32, 100, 125, 193, 17).result, 0);
}

TEST_P(Vector, RootsRandomPrimesAcrossRangesAndExponents) {
    std::mt19937_64 rng(51);
    for (const Range& r : kRanges) {
        SCOPED_TRACE(r.name);
        for (int32_t N = 2; N <= 4096; N *= 2) {
            const GfnPrime g = FindGfnPrime(r.lo, r.hi, static_cast<uint64_t>(N), rng);
            for (uint32_t limit : {0u, 100u, 1000000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) CheckRoots(N, limit, g.a, g.p);
        }
    }
}

// p just above 2^33 with a limit near 2^31: half the lanes hold a root, so
// the scalar chains beside the AVX2 lanes keep more hits than they can
// hold and walk their lanes again.
TEST_P(Vector, RootsWhenMostLanesHit) {
    std::mt19937_64 rng(54);
    for (int32_t N : {1024, 4096}) {
        const GfnPrime g = FindGfnPrime(1ULL << 33, (1ULL << 33) + (1ULL << 30), static_cast<uint64_t>(N), rng);
        for (uint32_t limit : {0x7FFFFFFFu, 0x7FFFFFFEu, 100000u}) CheckRoots(N, limit, g.a, g.p);
    }
}

// Within 2^32 of 2^63 p's high word no longer fits a signed 32-bit word
// (the AVX2 split scheme hands such p to the scalar walk).
TEST_P(Vector, RootsWithin2To32Of2To63) {
    std::mt19937_64 rng(55);
    for (int32_t N : {32, 1024, 4096}) {
        const GfnPrime g = FindGfnPrime((1ULL << 63) - (1ULL << 32), 1ULL << 63, static_cast<uint64_t>(N), rng);
        for (uint32_t limit : {100u, 1000000u, 0xFFFFFFFFu}) CheckRoots(N, limit, g.a, g.p);
        for (uint64_t a : {uint64_t{2}, g.p - 3}) CheckRoots(N, 0xFFFFFFFFu, a, g.p);
    }
}

// Moduli below 2^32, so that the limit reaches p/2 and beyond: every block
// is walked, and values above 2^31 are stored.
TEST_P(Vector, RootsLimitsAroundAndAboveHalfOfP) {
    std::mt19937_64 rng(52);
    for (uint64_t lo : {uint64_t{1} << 20, uint64_t{1} << 31}) {
        for (int32_t N : {32, 64, 1024, 4096}) {
            const GfnPrime g = FindGfnPrime(lo, 2 * lo, static_cast<uint64_t>(N), rng);
            for (uint64_t limit : {g.p / 2 - 1, g.p / 2, g.p / 2 + 1, g.p - 1, g.p, g.p + 5, uint64_t{0xFFFFFFFF}})
                if (limit <= 0xFFFFFFFFu) CheckRoots(N, static_cast<uint32_t>(limit), g.a, g.p);
        }
    }
}

// With p far above the limit, hits are rare; place one in a chosen block
// by taking a with a^e = s for a small s and an odd exponent e (a need not
// solve a^N = -1 for the enumeration to be checked).
TEST_P(Vector, RootsAHitDeepInsideTheEnumerationIsFound) {
    std::mt19937_64 rng(53);
    const int32_t N = 4096;
    for (const Range& r : kRanges) {
        SCOPED_TRACE(r.name);
        // First, second, a middle and the last block of 64 odd powers.
        for (uint64_t index : {5, 70, 64 * 7 + 33, N / 2 - 1}) {
            const GfnPrime g = FindGfnPrime(r.lo, r.hi, static_cast<uint64_t>(N), rng);
            // e = 2 index + 1, moved (towards the middle) until it is prime
            // to p - 1.
            uint64_t e = 2 * index + 1, inv = 0;
            for (;; e = index < N / 4 ? e + 2 : e - 2) {
                __int128 t0 = 0, t1 = 1, r0 = static_cast<__int128>(g.p - 1), r1 = e;
                while (r1 != 0) {
                    const __int128 q = r0 / r1, r2 = r0 - q * r1, t2 = t0 - q * t1;
                    r0 = r1, r1 = r2, t0 = t1, t1 = t2;
                }
                if (r0 != 1) continue;
                inv = static_cast<uint64_t>(t0 < 0 ? t0 + static_cast<__int128>(g.p - 1) : t0);
                break;
            }
            ASSERT_LT(e, static_cast<uint64_t>(N));
            ASSERT_EQ((e - 1) / 128, index / 64);  // still in the chosen block
            const uint64_t s = 2 + rng() % (index < 100 ? 1000 : 4000000);
            const uint64_t a = PowModRef(s, inv, g.p);
            ASSERT_EQ(PowModRef(a, e, g.p), s);
            CheckRoots(N, 4000000, a, g.p);
            CheckRoots(N, static_cast<uint32_t>(s), a, g.p);
            CheckRoots(N, static_cast<uint32_t>(s - 1), a, g.p);
        }
    }
}

// ---- Root walks of several primes at once ----

// Each prime of a batch against its own walk on the scalar path: the same
// result, and the same whole buffer (stores past the list included), for
// every capacity from full-sized to one.
void CheckBatch(const std::vector<GfnPrime>& primes, int32_t N, uint32_t limit, int32_t capacity) {
    SCOPED_TRACE(testing::Message() << "N=" << N << " limit=" << limit << " capacity=" << capacity << " primes "
                                    << primes.size() << " from p=" << primes[0].p);
    const int count = static_cast<int>(primes.size());
    std::vector<uint64_t> p, a;
    std::vector<std::vector<uint32_t>> buffers;
    std::vector<uint32_t*> out;
    for (const GfnPrime& g : primes) {
        p.push_back(g.p);
        a.push_back(g.a);
        buffers.emplace_back(static_cast<size_t>(capacity) + 8, 0xDEADBEEFu);
    }
    for (auto& b : buffers) out.push_back(b.data());
    std::vector<int32_t> found(static_cast<size_t>(count), -9);
    KernelContext k;
    k.SelectKernels(g_vector);
    if (!EnumerateGfnRootsBatch(k.table, p.data(), a.data(), count, N, limit, out.data(), capacity, found.data())) {
        // Refused whole, nothing done: the job's form does not take them all.
        EXPECT_EQ(found, std::vector<int32_t>(static_cast<size_t>(count), -9));
        EXPECT_FALSE(std::all_of(p.begin(), p.end(), [&](uint64_t q) { return k.table.rootsBatch.Takes(q, N); }));
        return;
    }
    for (int i = 0; i < count; ++i) {
        const RootRun want = Enumerate(KernelPath::Scalar, N, limit, a[static_cast<size_t>(i)],
                                       p[static_cast<size_t>(i)], capacity);
        EXPECT_EQ(found[static_cast<size_t>(i)], want.result ? want.count : -1) << "prime " << i;
        EXPECT_EQ(buffers[static_cast<size_t>(i)], want.out) << "prime " << i;
    }
}

// Batches of every length at the doubles' edges, for every small N, with
// limits from none to all, and solutions planted so that hits come at the
// first steps of every lane: a = 3 lists 3, 27, 243, ... in order across the
// lanes of one prime, a = p - 3 their negatives.
TEST_P(Vector, RootsOfManyPrimesAtOnceMatchEachPrimesOwnWalk) {
    std::mt19937_64 rng(57);
    struct Where {
        const char* name;
        uint64_t lo, hi;
    };
    for (const Where& w : {Where{"2^20", 1ULL << 20, 1ULL << 21}, Where{"2^33", 1ULL << 33, (1ULL << 33) + (1ULL << 30)},
                           Where{"2^40", 1ULL << 40, 1ULL << 41}, Where{"10^15", 1000000000000000ULL, 1001000000000000ULL},
                           Where{"below 2^51", (1ULL << 51) - (1ULL << 44), 1ULL << 51}}) {
        SCOPED_TRACE(w.name);
        for (int32_t N : {2, 4, 8, 32, 128, 1024, 8192}) {
            std::vector<GfnPrime> primes;
            for (int i = 0; i < 16; ++i) primes.push_back(FindGfnPrime(w.lo, w.hi, static_cast<uint64_t>(N), rng));
            primes[3].a = 3;
            primes[9].a = primes[9].p - 3;
            for (size_t count : {size_t{1}, size_t{5}, size_t{16}}) {
                const std::vector<GfnPrime> batch(primes.end() - static_cast<std::ptrdiff_t>(count), primes.end());
                // 3^9 = 19683: a planted root right at the limit, and just past it.
                for (uint32_t limit : {0u, 19682u, 19683u, 1000000u, 0x7FFFFFFFu, 0xFFFFFFFFu})
                    for (int32_t capacity : {N + 4, N / 2, 3, 1}) CheckBatch(batch, N, limit, capacity);
            }
        }
    }
}

// A batch with a prime or an N the job's form does not take is refused
// whole, with nothing done.
TEST_P(Vector, RootsOfManyPrimesRefuseABatchBeyondTheirBound) {
    KernelContext k;
    k.SelectKernels(g_vector);
    const FormRange& taken = k.table.rootsBatch.taken;
    const uint64_t p[2] = {1000000000000037ULL, static_cast<uint64_t>(taken.high) | 1}, a[2] = {5, 5};
    uint32_t buffer[2][8];
    uint32_t* out[2] = {buffer[0], buffer[1]};
    int32_t found[2] = {-9, -9};
    std::vector<int32_t> exponents = {48};  // not a power of two
    if (taken.maxExponent < (1 << 30)) exponents.push_back(2 * taken.maxExponent);
    for (int32_t N : exponents) EXPECT_FALSE(EnumerateGfnRootsBatch(k.table, p, a, 1, N, 1000000, out, 8, found)) << N;
    EXPECT_FALSE(EnumerateGfnRootsBatch(k.table, p, a, 2, 64, 1000000, out, 8, found));
    EXPECT_TRUE(found[0] == -9 && found[1] == -9);
    EXPECT_EQ(EnumerateGfnRootsBatch(k.table, p, a, 1, 64, 1000000, out, 8, found), k.table.rootsBatch.Takes(p[0], 64));
}

// ---- StrikeBaseList ----

struct StrikeRun {
    int32_t marked;
    std::vector<uint32_t> list;
};
StrikeRun Strike(KernelPath path, std::vector<uint32_t> list, uint64_t p, int32_t n) {
    KernelContext k;
    k.SelectKernels(path);
    int32_t count = static_cast<int32_t>(list.size());
    list.push_back(0x1234);  // beyond the count: must stay
    k.SetBaseList(&count, list.data());
    const int32_t marked = k.StrikeBaseList(static_cast<int64_t>(p), n);
    EXPECT_EQ(list.back(), 0x1234u);
    list.pop_back();
    return {marked, list};
}

// Random bases with the known solutions mixed in, every length up to a
// few vector blocks, against the scalar path and the reference.
void CheckStrike(uint64_t p, int32_t n, const std::vector<uint32_t>& solutions, std::mt19937_64& rng) {
    SCOPED_TRACE(testing::Message() << "p=" << p << " n=" << n);
    int32_t seen = 0;
    for (int len = 0; len <= 70; ++len) {
        std::vector<uint32_t> bases(len);
        for (auto& b : bases) {
            b = static_cast<uint32_t>(rng() % 0x7FFFFFFF);
            if (!solutions.empty() && rng() % 3 == 0) b = solutions[rng() % solutions.size()];
        }
        std::vector<uint32_t> want = bases;
        int32_t wantMarks = 0;
        for (auto& b : want)
            if (PowModRef(b, 1ULL << n, p) == p - 1) b |= 0x80000000u, ++wantMarks;
        const StrikeRun vec = Strike(g_vector, bases, p, n);
        EXPECT_EQ(vec.marked, wantMarks) << "len " << len;
        EXPECT_EQ(vec.list, want) << "len " << len;
        const StrikeRun scalar = Strike(KernelPath::Scalar, bases, p, n);
        EXPECT_EQ(scalar.marked, wantMarks) << "len " << len;
        EXPECT_EQ(scalar.list, want) << "len " << len;
        seen += wantMarks;
    }
    if (!solutions.empty()) {
        EXPECT_GT(seen, 0);
    }
}

// Solutions below 2^31 of b^(2^n) = -1 (mod p) for a probable prime p in
// [lo, hi), from the full enumeration; tries a few primes.
std::pair<uint64_t, std::vector<uint32_t>> PrimeWithSmallSolutions(uint64_t lo, uint64_t hi, int32_t n,
                                                                   std::mt19937_64& rng) {
    const int32_t N = 1 << n;
    KernelContext k;
    std::vector<uint32_t> out(static_cast<size_t>(N) + 4);
    int32_t count = 0;
    k.SetRootSearch(N, 0x7FFFFFFF);
    k.SetRootOutput(&count, out.data(), N + 4);
    GfnPrime g;
    for (int tries = 0; tries < 400; ++tries) {
        g = FindGfnPrime(lo, hi, static_cast<uint64_t>(N), rng);
        if (k.EnumerateGfnRoots(static_cast<int64_t>(g.a), static_cast<int64_t>(g.p)) == 1 && count > 0)
            return {g.p, std::vector<uint32_t>(out.begin(), out.begin() + count)};
    }
    return {g.p, {}};
}

TEST_P(Vector, StrikeWorkedExample) {
    const StrikeRun run = Strike(g_vector, {2, 3, 8, 9, 15, 2, 3, 8, 9}, 17, 2);
    EXPECT_EQ(run.marked, 7);
    EXPECT_EQ(run.list, (std::vector<uint32_t>{2 | 0x80000000u, 3, 8 | 0x80000000u, 9 | 0x80000000u,
                                               15 | 0x80000000u, 2 | 0x80000000u, 3, 8 | 0x80000000u,
                                               9 | 0x80000000u}));
}

// p = c^(2^m) + 1 (odd, not necessarily prime) has c^j as a solution for
// n <= m whenever j is an odd multiple of 2^(m - n): marks exist in every
// range for n = 1 and 2.
TEST_P(Vector, StrikeConstructedModuliInEveryRange) {
    std::mt19937_64 rng(61);
    for (const Range& r : kRanges) {
        SCOPED_TRACE(r.name);
        for (int m : {1, 2}) {
            // c even, c^(2^m) + 1 in [lo, hi)
            const long double root = std::sqrt(static_cast<long double>(r.lo));
            uint64_t c = static_cast<uint64_t>(m == 1 ? root : std::sqrt(root));
            auto power = [&](uint64_t v) { return m == 1 ? static_cast<u128>(v) * v : static_cast<u128>(v) * v * v * v; };
            while (power(c) + 1 < r.lo || (c & 1)) ++c;
            ASSERT_LT(power(c) + 1, static_cast<u128>(r.hi));
            const uint64_t p = static_cast<uint64_t>(power(c)) + 1;
            for (int32_t n = 1; n <= m; ++n) {
                std::vector<uint32_t> solutions;
                const uint64_t step = 1ULL << (m - n);  // j = step * odd
                for (uint64_t j = step; j < 31; j += 2 * step) {
                    const u128 v = [&] { u128 x = 1; for (uint64_t i = 0; i < j; ++i) x *= c; return x; }();
                    if (v < 0x7FFFFFFF) solutions.push_back(static_cast<uint32_t>(v));
                    else break;
                }
                // b^2 = -1 has no solution below 2^31 once p > 2^62.
                if (n == 1 && r.lo >= (1ULL << 62)) EXPECT_TRUE(solutions.empty());
                else EXPECT_FALSE(solutions.empty());
                CheckStrike(p, n, solutions, rng);
            }
        }
    }
}

TEST_P(Vector, StrikePrimesWithSolutionsForLargeExponents) {
    std::mt19937_64 rng(62);
    struct Case {
        uint64_t lo, hi;
        int32_t n;
    };
    // Solutions below 2^31 are common only while p is not too far above
    // 2^(31 + n); the 2^52 rows are the IFMA path.
    for (const Case& c : {Case{1ULL << 40, 1ULL << 41, 13}, Case{1ULL << 40, 1ULL << 41, 16},
                          Case{(1ULL << 51) - (1ULL << 47), 1ULL << 51, 16}, Case{1ULL << 50, 1ULL << 51, 22},
                          Case{1ULL << 51, 1ULL << 52, 16}, Case{1ULL << 52, 1ULL << 53, 22}}) {
        const auto [p, solutions] = PrimeWithSmallSolutions(c.lo, c.hi, c.n, rng);
        ASSERT_FALSE(solutions.empty()) << "n=" << c.n;
        CheckStrike(p, c.n, solutions, rng);
        CheckStrike(p, c.n - 1, {}, rng);  // the same bases give -1 no longer
    }
    // Factors of Fermat numbers: 2^(2^m) = -1 (mod p), so 2^j solves
    // b^(2^n) = -1 for j an odd multiple of 2^(m - n). Small moduli make
    // the bases exceed p.
    struct Fermat {
        uint64_t p;
        int m;
    };
    for (const Fermat& f : {Fermat{114689, 12}, Fermat{825753601, 16}, Fermat{167772161, 23},
                            Fermat{2710954639361ULL, 13}, Fermat{1238926361552897ULL, 8},
                            Fermat{59649589127497217ULL, 7}, Fermat{2663848877152141313ULL, 13}}) {
        ASSERT_EQ(PowModRef(2, 1ULL << f.m, f.p), f.p - 1) << f.p;
        for (int32_t n : {1, 2, 7, 13, 16, 22}) {
            if (n > f.m) continue;
            std::vector<uint32_t> solutions;
            for (uint64_t j = 1ULL << (f.m - n); j < 31; j += 2ULL << (f.m - n))
                solutions.push_back(static_cast<uint32_t>(1ULL << j));
            CheckStrike(f.p, n, solutions, rng);
        }
    }
}

TEST_P(Vector, StrikeRandomModuliEveryTailLength) {
    std::mt19937_64 rng(63);
    for (const Range& r : kRanges) {
        SCOPED_TRACE(r.name);
        for (int i = 0; i < 3; ++i) {
            const uint64_t p = (r.lo + rng() % (r.hi - r.lo)) | 1;
            for (int32_t n : {1, 2, 13, 16, 22}) CheckStrike(p, n, {}, rng);
        }
    }
    // Tiny moduli and the extremes of the ranges.
    for (uint64_t p : {3ULL, 17ULL, 97ULL, (1ULL << 51) - 1, (1ULL << 51) + 1, (1ULL << 63) - 25, (1ULL << 63) - 1})
        for (int32_t n : {1, 2, 13}) CheckStrike(p, n, {}, rng);
}

// ---- The Fermat test of the candidate stream ----

// A kernel context wired the way the worker wires it, on one path.
struct Wired {
    SieveJob job;
    KernelContext k;
    explicit Wired(KernelPath path) {
        EXPECT_EQ(StartKernels(job, k), 0);
        k.SelectKernels(path);
    }
};

// Runs straddling 2^50 switch between the vector and the scalar test.
TEST_P(Vector, FermatTheCandidateStreamGivesTheSamePrimes) {
    struct Start {
        uint64_t N;
        uint64_t p;
    };
    for (const Start& s : {Start{16, 0}, Start{1024, 1ULL << 40}, Start{65536, (1ULL << 50) - (1ULL << 24)},
                           Start{32, (1ULL << 50) - 2000}, Start{1 << 20, 1ULL << 62}}) {
        SCOPED_TRACE(testing::Message() << "N=" << s.N << " from p=" << s.p);
        const uint64_t k0 = s.p / (2 * s.N), k1 = k0 + 1500;
        Wired vec(g_vector), scalar(KernelPath::Scalar);
        CandidateStream vecStream(vec.k, 2 * s.N), scalarStream(scalar.k, 2 * s.N);
        std::vector<Candidate> got, gotScalar;
        vecStream.CandidatesInRange(k0, k1, got);
        scalarStream.CandidatesInRange(k0, k1, gotScalar);
        std::vector<uint64_t> want, ks, ksScalar;
        for (uint64_t k = k0 + 1; k <= k1; ++k) {
            const uint64_t p = 2 * s.N * k + 1;
            bool small = p > 73 ? false : !IsWheelPrime(p);
            for (uint64_t q = 3; q <= 73 && !small; q += 2) small = p % q == 0 && p != q;
            if (!small && PowModRef(2, p - 1, p) == 1) want.push_back(k);
        }
        for (const Candidate& c : got) ks.push_back(static_cast<uint64_t>(c.k));
        for (const Candidate& c : gotScalar) ksScalar.push_back(static_cast<uint64_t>(c.k));
        EXPECT_EQ(ks, want);
        EXPECT_EQ(ksScalar, want);
        EXPECT_FALSE(want.empty());
    }
}

// Composite lanes: base-2 pseudoprimes pass, other composites fail, on
// both sides of 2^50, in every lane and for every count of lanes.
TEST_P(Vector, FermatCompositeLanesAndPseudoprimes) {
    // 2^q - 1 with q prime is a base-2 pseudoprime whenever composite.
    const std::vector<int64_t> pseudoprimes = {341, 561, 645, 1105, 2047, 8388607, 536870911, 137438953471LL,
                                               140737488355327LL, (1LL << 53) - 1, (1LL << 59) - 1};
    std::mt19937_64 rng(71);
    auto prime = [&](int bits) {
        for (;;) {
            const uint64_t p = (rng() >> (64 - bits)) | (1ULL << (bits - 1)) | 1;
            if (ProbablePrime(p)) return static_cast<int64_t>(p);
        }
    };
    Wired vec(g_vector), scalar(KernelPath::Scalar);
    for (int round = 0; round < 200; ++round) {
        const int bits = round % 2 ? 49 : 40 + static_cast<int>(rng() % 23);
        int64_t many[16];
        uint32_t want = 0;
        const int count = 1 + round % 16;
        for (int i = 0; i < count; ++i) {
            switch (rng() % 3) {
                case 0: many[i] = prime(bits); break;
                case 1:
                    many[i] = static_cast<int64_t>(static_cast<uint64_t>(prime(bits / 2)) *
                                                   static_cast<uint64_t>(prime(bits - bits / 2)));
                    break;
                default: many[i] = pseudoprimes[rng() % pseudoprimes.size()]; break;
            }
            if (PowModRef(2, static_cast<uint64_t>(many[i]) - 1, static_cast<uint64_t>(many[i])) == 1) want |= 1u << i;
        }
        ASSERT_EQ(vec.k.FermatTestMany(many, count), want) << "round " << round;
        ASSERT_EQ(scalar.k.FermatTestMany(many, count), want) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, Vector, testing::Values(KernelPath::Avx512, KernelPath::Avx2), PathName);

}  // namespace
}  // namespace varnesk
