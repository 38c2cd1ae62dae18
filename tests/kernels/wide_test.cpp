// The wide kernels (p from 2^63 to 2^96) against the schoolbook reference
// and GMP on fixed-seed random inputs at 2^63 +- small, 2^64 +- small, 2^80,
// 2^95 and just below 2^96, plus planted factors of b^N + 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kernels/candidates.h"
#include "kernels/kernels.h"
#include "kernels/modmath.h"
#include "kernels/modmath2.h"
#include "kernels/startup.h"
#include "kernels/wide.h"
#include "tests/kernels/paths.h"
#include "tests/support/gmp_wide.h"
#include "tests/support/planted_factors.h"

namespace varnesk {
namespace {

using testsupport::Big;
using testsupport::IsPrimeGmp;
using testsupport::PowModGmp;

UInt128 Dec(const char* s) { return ParseUInt128(s).value; }
std::string Str(UInt128 v) { return FormatUInt128(v); }

// Odd moduli around every size that matters.
std::vector<UInt128> WideModuli(std::mt19937_64& rng) {
    std::vector<UInt128> m;
    for (int e : {63, 64, 80, 95, 96})
        for (int d : {-45, -3, -1, 1, 3, 29}) {
            const UInt128 v = (UInt128{1} << e) + static_cast<UInt128>(static_cast<__int128>(d));
            if ((v & 1) && v < (UInt128{1} << 96)) m.push_back(v);
        }
    for (int bits : {65, 72, 80, 88, 95, 96, 120, 127})
        for (int i = 0; i < 4; ++i) {
            UInt128 v = (static_cast<UInt128>(rng()) << 64 | rng()) >> (128 - bits);
            m.push_back(v | (UInt128{1} << (bits - 1)) | 1);
        }
    m.push_back((UInt128{1} << 127) - 1);
    return m;
}

UInt128 Random128(std::mt19937_64& rng, UInt128 below) { return (static_cast<UInt128>(rng()) << 64 | rng()) % below; }

TEST(Montgomery2, MulSqrToFromMatchTheReferenceAndGmp) {
    std::mt19937_64 rng(20261207);
    for (UInt128 p : WideModuli(rng)) {
        const Montgomery2 mont(p);
        EXPECT_TRUE(mont.one == PowModGmp(2, 128, p)) << Str(p);
        EXPECT_TRUE(mont.r2 == PowModGmp(2, 256, p)) << Str(p);
        for (int i = 0; i < 100; ++i) {
            const UInt128 a = i == 0 ? p - 1 : Random128(rng, p), b = i == 0 ? p - 1 : Random128(rng, p);
            const UInt128 ref = MulModRef128(a, b, p);
            Big ga(a), gb(b), gp(p), gr;
            mpz_mul(gr.v, ga.v, gb.v);
            mpz_mod(gr.v, gr.v, gp.v);
            ASSERT_TRUE(ref == gr.Get()) << Str(p) << " " << Str(a) << " " << Str(b);
            EXPECT_TRUE(mont.From(mont.Mul(mont.To(a), mont.To(b))) == ref) << Str(p);
            EXPECT_TRUE(mont.From(mont.Sqr(mont.To(a))) == MulModRef128(a, a, p)) << Str(p);
            EXPECT_TRUE(mont.From(mont.To(a)) == a);
        }
    }
}

// The hand-written products at the edges of their carry chains: moduli
// whose words are all ones or just past a word, both ways R^2 mod p is set
// up (below and from 2^96), and operands 0, 1, p - 1, p - 2, p / 2 and
// words of all ones, besides random ones.
TEST(Montgomery2, EdgeOperandsMatchTheReference) {
    std::mt19937_64 rng(20261209);
    const UInt128 one = 1;
    std::vector<UInt128> moduli = {3,
                                   (one << 64) - 59,
                                   (one << 64) + 1,
                                   (one << 64) + 13,
                                   (one << 64) | ((one << 64) - 1),
                                   (one << 80) + 13,
                                   (one << 95) + 7,
                                   (one << 96) - 1,
                                   (one << 96) + 1,
                                   (one << 127) - 1,
                                   (one << 127) - (one << 64) + 1};
    for (int bits : {65, 80, 95, 96, 97, 127}) moduli.push_back(Random128(rng, one << bits) | (one << (bits - 1)) | 1);
    for (UInt128 p : moduli) {
        const Montgomery2 mont(p);
        ASSERT_TRUE(mont.one == PowModGmp(2, 128, p) && mont.r2 == PowModGmp(2, 256, p)) << Str(p);
        std::vector<UInt128> values = {0, 1, 2, p - 1, p - 2, p / 2, p / 2 + 1, ((one << 64) - 1) % p,
                                       (((one << 64) - 1) << 64) % p};
        for (int i = 0; i < 8; ++i) values.push_back(Random128(rng, p));
        for (UInt128 a : values) {
            // Mul(a, b) R = a b (mod p), on the operands themselves and on
            // their Montgomery forms.
            const UInt128 sqr = mont.Sqr(a);
            ASSERT_TRUE(sqr < p && MulModRef128(sqr, mont.one, p) == MulModRef128(a, a, p)) << Str(p) << " " << Str(a);
            EXPECT_TRUE(mont.From(mont.Sqr(mont.To(a))) == MulModRef128(a, a, p)) << Str(p) << " " << Str(a);
            for (UInt128 b : values) {
                const UInt128 raw = mont.Mul(a, b), ref = MulModRef128(a, b, p);
                ASSERT_TRUE(raw < p && MulModRef128(raw, mont.one, p) == ref) << Str(p) << " " << Str(a) << " " << Str(b);
                ASSERT_TRUE(mont.From(mont.Mul(mont.To(a), mont.To(b))) == ref) << Str(p) << " " << Str(a);
            }
        }
        EXPECT_TRUE(mont.To(p + 5) == mont.To(5) && mont.To(~UInt128{0}) == mont.To(~UInt128{0} % p)) << Str(p);
    }
}

TEST(Montgomery2, PowModReferenceAgreesWithGmp) {
    std::mt19937_64 rng(7);
    for (UInt128 p : WideModuli(rng)) {
        const UInt128 b = Random128(rng, p), e = Random128(rng, p);
        EXPECT_TRUE(PowModRef128(b, e, p) == PowModGmp(b, e, p)) << Str(p);
    }
}

// The device's 96-bit form and Shoup quotient: x 2^96 = q p + r whole, with
// r < p, for x at its edges, drawn, and above p (r only).
TEST(Montgomery2, ShiftBy96IsTheWholeQuotientAndRemainder) {
    std::mt19937_64 rng(96);
    for (UInt128 p : WideModuli(rng)) {
        for (UInt128 x : {UInt128{0}, UInt128{1}, p / 2, p - 1, Random128(rng, p), p, p + 7, ~UInt128{0}}) {
            const Shift96 got = ShiftDivRef96(x, p);
            ASSERT_TRUE(got.r < p && got.r == MulModRef128(x % p, (UInt128{1} << 96) % p, p)) << Str(p) << " " << Str(x);
            if (x >= p) continue;
            const Words4 qp = Mul128x128(got.q, p), want = Mul128x128(x, UInt128{1} << 96);
            const UInt128 low = (static_cast<UInt128>(qp.w[1]) << 64 | qp.w[0]) + got.r;
            const UInt128 high = (static_cast<UInt128>(qp.w[3]) << 64 | qp.w[2]) + (low < got.r ? 1 : 0);
            EXPECT_TRUE(low == (static_cast<UInt128>(want.w[1]) << 64 | want.w[0]) &&
                        high == (static_cast<UInt128>(want.w[3]) << 64 | want.w[2]))
                << Str(p) << " " << Str(x);
        }
    }
}

// The root walk's fixed product against the schoolbook one, from values at
// the hit window's edges, above p, and random; a lane counts as a sure miss
// only when it is one, and exactly then when it is below p.
TEST(FixedTwoWord, ChainsMatchTheReferenceAndCountOnlySureMisses) {
    std::mt19937_64 rng(20261208);
    std::vector<UInt128> moduli;
    for (int d : {1, 3, 29, 99999}) moduli.push_back((UInt128{1} << 64) + d);
    for (int bits : {80, 95, 96})
        for (int i = 0; i < 2; ++i) {
            const UInt128 v = Random128(rng, UInt128{1} << bits) | (UInt128{1} << (bits - 1)) | 1;
            if (v < kFixedTwoWordEnd) moduli.push_back(v);
        }
    for (int d : {1, 3, 45}) moduli.push_back(kFixedTwoWordEnd - d);
    for (UInt128 p : moduli) {
        const Montgomery2 mont(p);
        for (uint32_t limit : {1000000u, 0xFFFFFFFFu}) {
            for (UInt128 c : {UInt128{1}, p - 1, Random128(rng, p), Random128(rng, p)}) {
                const FixedTwoWord f(mont, c, limit);
                for (UInt128 x : {UInt128{0}, UInt128{limit}, UInt128{limit} + 1, p - limit - 1, p - limit, p - 1,
                                  p + 1, Random128(rng, p)}) {
                    UInt128 want = x % p;
                    uint64_t x0 = static_cast<uint64_t>(x), x1 = static_cast<uint64_t>(x >> 64);
                    for (int step = 0; step < 60; ++step) {
                        uint64_t misses = 0;
                        f.Mul(x0, x1, misses);
                        want = MulModRef128(want, c, p);
                        const UInt128 got = static_cast<UInt128>(x1) << 64 | x0;
                        ASSERT_TRUE(got < p + (p >> 31) && got % p == want) << Str(p) << " " << Str(c) << " " << step;
                        const bool miss = want > limit && want < p - limit;
                        ASSERT_TRUE(misses <= 1 && (!misses || miss) && (got >= p || misses == miss)) << Str(p);
                    }
                }
            }
        }
    }
}

// A kernel context with the worker's wheel tables.
struct Wired {
    SieveJob job;
    KernelContext k;
    explicit Wired(int64_t n) {
        job.exponent64 = n;
        EXPECT_EQ(StartKernels(job, k), 0);
    }
};

// The documented stream: p = k*2N + 1 without a prime factor from 3 to 73
// (the wheel's own primes kept) that passes the base-2 Fermat test.
std::vector<UInt128> ReferenceKs(uint64_t twoN, UInt128 kFrom, UInt128 kTo) {
    std::vector<UInt128> ks;
    for (UInt128 k = kFrom + 1; k <= kTo; ++k) {
        const UInt128 p = k * twoN + 1;
        bool small = false;
        for (unsigned q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73})
            small = small || (p % q == 0 && p != q);
        if (!small && PowModGmp(2, p - 1, p) == 1) ks.push_back(k);
    }
    return ks;
}

class CandidateStreamTest : public PathTest {};

// One run or the same run in pieces: the same probable primes, in order,
// at every size where the arithmetic changes.
TEST_P(CandidateStreamTest, TheProbablePrimesOfEveryRunInOrder) {
    Wired w(16);
    w.k.SelectKernels(GetParam());
    struct Case {
        const char* where;
        UInt128 kFrom;
        uint64_t twoN;
    };
    const UInt128 two63 = UInt128{1} << 63, two64 = UInt128{1} << 64;
    std::mt19937_64 rng(24);
    for (const Case& c : {Case{"from 0, N = 2", 0, 4}, Case{"from 0, N = 16", 0, 32},
                          Case{"2^40", (UInt128{1} << 40) / 131072, 131072},
                          Case{"across 2^50", (UInt128{1} << 50) / 64 - 1200, 64},
                          Case{"2^52", (UInt128{1} << 52) / 1024, 1024}, Case{"2^62", (UInt128{1} << 62) / 2048, 2048},
                          Case{"2^63 - small", two63 / 128 - 1500, 128}, Case{"across 2^64", two64 / 64 - 1000, 64},
                          Case{"2^64 + small", two64 / 2048 + 7, 2048}, Case{"2^80", (UInt128{1} << 80) / 128, 128},
                          Case{"below 2^96", (UInt128{1} << 96) / 65536 - 2000, 65536}}) {
        SCOPED_TRACE(c.where);
        const UInt128 kTo = c.kFrom + 2500;
        CandidateStream stream(w.k, c.twoN);
        std::vector<Candidate> whole;
        stream.CandidatesInRange(c.kFrom, kTo, whole);
        std::vector<UInt128> ks;
        for (const Candidate& got : whole) {
            ks.push_back(got.k);
            EXPECT_TRUE(got.p == got.k * c.twoN + 1);
        }
        EXPECT_TRUE(ks == ReferenceKs(c.twoN, c.kFrom, kTo)) << ks.size() << " candidates";
        std::vector<Candidate> pieces;
        for (UInt128 k = c.kFrom; k < kTo;) {
            const UInt128 next = std::min<UInt128>(kTo, k + 1 + rng() % 700);
            stream.CandidatesInRange(k, next, pieces);
            k = next;
        }
        ASSERT_EQ(pieces.size(), whole.size());
        for (size_t i = 0; i < whole.size(); ++i) EXPECT_TRUE(pieces[i].k == whole[i].k);
    }
    // The first primes for N = 16 (65 and 129 fall to the wheel, 161 to the
    // Fermat test), and an empty run.
    CandidateStream stream(w.k, 32);
    std::vector<Candidate> first;
    stream.CandidatesInRange(0, 24, first);
    std::vector<UInt128> ps;
    for (const Candidate& c : first) ps.push_back(c.p);
    EXPECT_TRUE(ps == (std::vector<UInt128>{97, 193, 257, 353, 449, 577, 641, 673, 769}));
    stream.CandidatesInRange(24, 24, first);
    EXPECT_EQ(first.size(), 9u);
}

INSTANTIATE_TEST_SUITE_P(Paths, CandidateStreamTest,
                         testing::Values(KernelPath::Scalar, KernelPath::Avx2, KernelPath::Avx512), PathName);

TEST(WideStream, FermatTestMatchesGmpAcrossEverySize) {
    std::mt19937_64 rng(99);
    Wired w(16);
    std::vector<UInt128> moduli = WideModuli(rng);
    for (const auto& f : testsupport::kPlantedFactors) moduli.push_back(Dec(f.p));
    // Base-2 pseudoprimes built as (6m+1)(12m+1)(18m+1) near 2^64 and 2^93,
    // and products of two primes: composites the test must tell apart.
    for (UInt128 m : {UInt128{1371000}, UInt128{1000000000}}) {
        for (int tries = 0; tries < 2000; ++tries, ++m) {
            if (IsPrimeGmp(6 * m + 1) && IsPrimeGmp(12 * m + 1) && IsPrimeGmp(18 * m + 1)) {
                moduli.push_back((6 * m + 1) * (12 * m + 1) * (18 * m + 1));
                break;
            }
        }
    }
    moduli.push_back(Dec("4294967311") * Dec("18446744073709551557"));
    // Mixed one-word and two-word batches of every length, on every path
    // (the IFMA and AVX2 tests take batches below 2^96).
    std::vector<UInt128> below96;
    for (UInt128 p : moduli)
        if (p < (UInt128{1} << 96)) below96.push_back(p);
    for (KernelPath path : {KernelPath::Scalar, KernelPath::Avx2, KernelPath::Avx512}) {
        if (!KernelPathAvailable(path)) {
            std::printf("[ SKIPPED  ] the %s kernels are not available on this CPU or build\n", KernelPathName(path));
            continue;
        }
        w.k.SelectKernels(path);
        for (const std::vector<UInt128>* set : {&moduli, &below96}) {
            for (size_t from = 0; from < set->size(); from += 7) {
                const int count = static_cast<int>(std::min<size_t>(16, set->size() - from));
                const uint32_t got = FermatTestWide(w.k, set->data() + from, count);
                for (int i = 0; i < count; ++i) {
                    const UInt128 p = (*set)[from + static_cast<size_t>(i)];
                    const bool want = (p & 1) && p >= 3 && PowModGmp(2, p - 1, p) == 1;
                    EXPECT_EQ((got >> i) & 1, want ? 1u : 0u) << Str(p) << " " << KernelPathName(path);
                }
            }
        }
    }
    w.k.SelectKernels(KernelPath::Scalar);
    const UInt128 carmichael = Dec("1729");
    EXPECT_EQ(FermatTestWide(w.k, &carmichael, 1), 1u);  // a Fermat liar: the order search rejects it
}

// Every form of the Fermat test against GMP at the edges of each bound
// (doubles to 2^50, one-word digits to 2^63, 28-bit limbs, two-word digits,
// and the 64-bit scalar test's own 2^63 and 2^64): primes, base-2 Carmichael
// numbers (6m+1)(12m+1)(18m+1) of the same size, products of two primes and
// plain odd numbers, in batches of every length whose largest modulus picks
// the form. Small moduli ride along in some batches: every form is exact
// from 3 on.
class FermatForms : public PathTest {};

TEST_P(FermatForms, EveryBoundAgainstGmp) {
    Wired w(16);
    w.k.SelectKernels(GetParam());
    std::mt19937_64 rng(2512);
    const UInt128 one = 1;
    // Moduli in [lo, lo + span); the Carmichael numbers in [cLo, cHi), the
    // band of the same form.
    struct Edge {
        const char* where;
        UInt128 lo, span, cLo, cHi;
    };
    const UInt128 t40 = one << 40, t50 = one << 50, t63 = one << 63, t64 = one << 64, t81 = one << 81,
                  t96 = one << 96;
    for (const Edge& e : {Edge{"2^40", t40, t40, t40 / 16, t50}, Edge{"below 2^50", t50 - t40, t40, t50 / 32, t50},
                          Edge{"2^50", t50, t40, t50, t63}, Edge{"2^52", 4 * t50, t50, t50, t63},
                          Edge{"2^62", t63 / 2, t50, t63 / 8, t63}, Edge{"2^63 - small", t63 - 4000, 4000, t63 / 8, t63},
                          Edge{"2^63 + small", t63, 4000, t63, t64}, Edge{"2^64 - small", t64 - 4000, 4000, t63, t64},
                          Edge{"2^64 + small", t64, 4000, t64, t81}, Edge{"2^80", t81 / 2, t64, t64, t81},
                          Edge{"below 2^81", t81 - t64, t64, t81 / 4, t81}, Edge{"2^81", t81, t64, t81, t96},
                          Edge{"2^96 - small", t96 - t40, t40, t81, t96}}) {
        SCOPED_TRACE(e.where);
        int bits = 0;
        for (UInt128 v = e.lo; v != 0; v >>= 1) ++bits;
        auto odd = [&] { return (e.lo + Random128(rng, e.span)) | 1; };
        std::vector<UInt128> moduli;
        while (moduli.size() < 24) {
            const UInt128 p = odd();
            if (IsPrimeGmp(p)) moduli.push_back(p);
        }
        for (int i = 0; i < 24; ++i) moduli.push_back(odd());
        // (6m+1)(12m+1)(18m+1) = 1296 m^3 + ...: m from (cLo / 1296)^(1/3).
        UInt128 m = static_cast<UInt128>(std::cbrt(static_cast<long double>(e.cLo) / 1296.0L)) + 1;
        for (int found = 0; found < 4; ++m) {
            const UInt128 c = (6 * m + 1) * (12 * m + 1) * (18 * m + 1);
            ASSERT_TRUE(c < e.cHi) << "no Carmichael number of this form in the band";
            if (IsPrimeGmp(6 * m + 1) && IsPrimeGmp(12 * m + 1) && IsPrimeGmp(18 * m + 1)) {
                moduli.push_back(c);
                ++found;
            }
        }
        for (int i = 0; i < 8; ++i) {
            UInt128 a = (one << (bits / 2)) + Random128(rng, one << (bits / 2 - 2));
            while (!IsPrimeGmp(a | 1)) a += 2;
            const UInt128 b = moduli[static_cast<size_t>(i)] / (a | 1) | 1;
            if (b < 3) continue;
            moduli.push_back((a | 1) * b);
        }
        std::shuffle(moduli.begin(), moduli.end(), rng);
        int passes = 0;
        for (size_t from = 0; from < moduli.size(); from += 5) {
            const int count = static_cast<int>(std::min<size_t>(1 + from % 16, moduli.size() - from));
            UInt128 batch[16];
            for (int i = 0; i < count; ++i) batch[i] = moduli[from + static_cast<size_t>(i)];
            if (from % 3 == 0) batch[0] = from % 2 ? 3 : 97;  // a small lane beside the large ones
            const uint32_t got = FermatTestWide(w.k, batch, count);
            for (int i = 0; i < count; ++i) {
                const bool want = PowModGmp(2, batch[i] - 1, batch[i]) == 1;
                passes += want;
                EXPECT_EQ((got >> i) & 1, want ? 1u : 0u) << Str(batch[i]) << " lane " << i << " of " << count;
            }
        }
        EXPECT_GT(passes, 24);  // the primes and the Carmichael numbers did take part
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, FermatForms, testing::Values(KernelPath::Scalar, KernelPath::Avx2, KernelPath::Avx512),
                         PathName);

// The order searches and checks of sixteen primes at once give what the
// one-prime forms give, on the stream's own primes at every size, for small
// and large n, in batches of every length; with a composite among them (a
// Carmichael number).
TEST_P(FermatForms, OrderSearchesInLanesMatchTheOnePrimeSearch) {
    Wired w(16);
    w.k.SelectKernels(GetParam());
    const UInt128 one = 1;
    struct Case {
        const char* where;
        UInt128 p0;
        int32_t n;
    };
    for (const Case& c : {Case{"from 0", 0, 2}, Case{"2^40", one << 40, 6}, Case{"10^15", UInt128{1000000000000000ULL}, 10},
                          Case{"2^50", one << 50, 13}, Case{"across 2^51", (one << 51) - 40000000, 10},
                          Case{"2^51 + small", (one << 51) + 1, 3}, Case{"2^62", one << 62, 1}, Case{"2^62", one << 62, 16},
                          Case{"2^63 - small", (one << 63) - 300000, 5}, Case{"2^63", one << 63, 8},
                          Case{"2^64 + small", one << 64, 6}, Case{"2^80", one << 80, 10},
                          Case{"below 2^96", (one << 96) - (one << 40), 3}}) {
        SCOPED_TRACE(testing::Message() << c.where << ", n = " << c.n);
        const uint64_t twoN = 2ULL << c.n;
        CandidateStream stream(w.k, twoN);
        std::vector<Candidate> found;
        stream.CandidatesInRange(c.p0 / twoN, c.p0 / twoN + 40000, found);
        ASSERT_GT(found.size(), 40u);
        std::vector<UInt128> p, k;
        for (const Candidate& f : found) {
            p.push_back(f.p);
            k.push_back(f.k);
        }
        // 1729 = 1728 + 1, 2N = 64 divides 1728: a Fermat liar of the form.
        if (c.n == 5) {
            p.insert(p.begin() + 3, 1729);
            k.insert(k.begin() + 3, 27);
        }
        for (size_t from = 0, len = 1; from < p.size(); from += len, len = len % 16 + 1) {
            const int count = static_cast<int>(std::min(len, p.size() - from));
            WideOrder got[16];
            FindOrder2NMany(w.k.table, p.data() + from, k.data() + from, count, c.n, got);
            // The checks at once against one at a time, on the solutions and
            // on values next to them (which fail).
            UInt128 a[16];
            for (int i = 0; i < count; ++i) a[i] = got[i].a + static_cast<UInt128>(i % 3 == 2 && got[i].a > 1);
            uint32_t want = 0;
            for (int i = 0; i < count; ++i)
                want |= static_cast<uint32_t>(TestGfnDivisorWide(a[i], c.n, p[from + static_cast<size_t>(i)])) << i;
            EXPECT_EQ(TestGfnDivisorMany(w.k.table, a, p.data() + from, count, c.n), want);
            for (int i = 0; i < count; ++i) {
                const WideOrder want = FindOrder2NWide(p[from + static_cast<size_t>(i)], k[from + static_cast<size_t>(i)], c.n);
                EXPECT_TRUE(got[i].a == want.a && got[i].r == want.r)
                    << Str(p[from + static_cast<size_t>(i)]) << ": " << Str(got[i].a) << " " << got[i].r << " against "
                    << Str(want.a) << " " << want.r;
            }
        }
    }
}

// The first prime p = k*2N + 1 above p0 (GMP decides).
UInt128 PrimeAbove(UInt128 p0, int32_t N, UInt128* k) {
    UInt128 kk = p0 / (2 * static_cast<UInt128>(N)) + 1;
    while (!IsPrimeGmp(kk * 2 * N + 1)) ++kk;
    *k = kk;
    return kk * 2 * N + 1;
}

TEST(WideOrder, SolutionHasOrder2NAndPassesTheDivisorTest) {
    struct Case {
        UInt128 near;
        int32_t N;
    };
    std::mt19937_64 rng(5);
    for (Case c : {Case{(UInt128{1} << 63) - 100000, 32}, Case{(UInt128{1} << 63) + 7, 2},
                   Case{(UInt128{1} << 64) - 40000, 4}, Case{(UInt128{1} << 64) + 5, 65536},
                   Case{UInt128{1} << 80, 1024}, Case{UInt128{1} << 95, 8},
                   Case{(UInt128{1} << 96) - (UInt128{1} << 40), 1 << 20}}) {
        UInt128 k = 0;
        const UInt128 p = PrimeAbove(c.near, c.N, &k);
        const int32_t n = ExponentLog2(c.N);
        const WideOrder s = FindOrder2NWide(p, k, n);
        ASSERT_EQ(s.r, -1) << Str(p);
        // The solution of the plain search: q^k for the first q of 2 (N = 2
        // only), 3, 5, 7, ... whose q^(kN) is not 1.
        UInt128 q = n >= 2 ? 3 : 2;
        while (PowModGmp(PowModGmp(q, k, p), static_cast<UInt128>(c.N), p) == 1) q = q == 2 ? 3 : q + 2;
        EXPECT_TRUE(s.a == PowModGmp(q, k, p)) << Str(p);
        EXPECT_TRUE(PowModGmp(s.a, static_cast<UInt128>(c.N), p) == p - 1) << Str(p);
        EXPECT_EQ(TestGfnDivisorWide(s.a, n, p), 1);
        EXPECT_EQ(TestGfnDivisorWide(s.a, n - 1 > 0 ? n - 1 : n + 1, p), 0);  // order exactly 2N
        // Random bases: the test says what GMP says.
        for (int i = 0; i < 20; ++i) {
            const UInt128 a = i < 10 ? rng() % 2000000000 : Random128(rng, UInt128{1} << 100);
            EXPECT_EQ(TestGfnDivisorWide(a, n, p), PowModGmp(a, static_cast<UInt128>(c.N), p) == p - 1 ? 1 : 0);
        }
    }
    // A composite that passes the Fermat test has no solution of order 2N.
    const UInt128 c = Dec("4294967311") * Dec("18446744073709551557");
    EXPECT_NE(FindOrder2NWide(c, (c - 1) / 2, 1).r, -1);
}

// The shared per-prime context gives what the per-call constants give, on
// both sides of 2^64 (where it holds no two-word constants) and on every walk.
TEST(WideOrder, PlantedFactorsDivide) {
    for (const auto& f : testsupport::kPlantedFactors) {
        const UInt128 p = Dec(f.p);
        EXPECT_EQ(TestGfnDivisorWide(static_cast<UInt128>(f.b), ExponentLog2(f.exponent), p), 1) << f.p;
        EXPECT_EQ(TestGfnDivisorWide(static_cast<UInt128>(f.b + 2), ExponentLog2(f.exponent), p), 0) << f.p;
    }
}

// Reference list: a^1, p - a^1, a^3, ... each when within the limit.
std::vector<uint32_t> RootsReference(UInt128 a, UInt128 p, int32_t N, uint32_t limit) {
    std::vector<uint32_t> out;
    for (int32_t e = 1; e < N; e += 2) {
        const UInt128 x = PowModRef128(a, static_cast<UInt128>(e), p);
        if (x <= limit) out.push_back(static_cast<uint32_t>(x));
        if (p - x <= limit) out.push_back(static_cast<uint32_t>(p - x));
    }
    return out;
}

TEST(WideRoots, BothFormsListWhatTheSixtyFourBitKernelListsBelow2To63) {
    // Small p with many solutions below the limit: order and hits checked.
    Wired w(32);
    for (int32_t N : {2, 4, 8, 16, 32, 64, 256, 1024}) {
        for (int64_t k0 : {3, 1000, 123456}) {
            UInt128 k = 0;
            const UInt128 p = PrimeAbove(static_cast<UInt128>(k0) * 2 * N, N, &k);
            const WideOrder s = FindOrder2NWide(p, k, ExponentLog2(N));
            ASSERT_EQ(s.r, -1);
            const uint32_t limit = 1000000;
            std::vector<uint32_t> want(static_cast<size_t>(N) + 4);
            int32_t wantCount = 0;
            w.k.SetRootSearch(N, static_cast<int32_t>(limit));
            w.k.SetRootOutput(&wantCount, want.data(), N + 4);
            ASSERT_EQ(w.k.EnumerateGfnRoots(static_cast<int64_t>(s.a), static_cast<int64_t>(p)), 1);
            want.resize(static_cast<size_t>(wantCount));
            EXPECT_EQ(want, RootsReference(s.a, p, N, limit)) << N;
            for (bool twoWord : {false, true}) {
                std::vector<uint32_t> got(static_cast<size_t>(N) + 4);
                const int32_t count = EnumerateGfnRootsWide(s.a, p, N, limit, got.data(), N + 4, twoWord);
                ASSERT_EQ(count, wantCount) << N << " " << twoWord;
                got.resize(static_cast<size_t>(count));
                EXPECT_EQ(got, want) << N << " " << twoWord;
                // A full output is reported as soon as it fills.
                if (wantCount > 0) {
                    EXPECT_EQ(EnumerateGfnRootsWide(s.a, p, N, limit, got.data(), wantCount, twoWord), -1);
                }
            }
        }
    }
}

TEST(WideRoots, PlantedBasesAreListedFromAnyOrder2NSolution) {
    for (const auto& f : testsupport::kPlantedFactors) {
        const UInt128 p = Dec(f.p);
        const int32_t N = f.exponent;
        const UInt128 k = (p - 1) / (2 * static_cast<UInt128>(N));
        const WideOrder s = FindOrder2NWide(p, k, ExponentLog2(N));
        ASSERT_EQ(s.r, -1) << f.p;
        const uint32_t limit = static_cast<uint32_t>(f.b) + 1000;
        std::vector<uint32_t> got(static_cast<size_t>(N) + 4);
        const int32_t count = EnumerateGfnRootsWide(s.a, p, N, limit, got.data(), N + 4);
        ASSERT_GE(count, 1) << f.p;
        got.resize(static_cast<size_t>(count));
        EXPECT_EQ(got, RootsReference(s.a, p, N, limit)) << f.p;
        EXPECT_NE(std::find(got.begin(), got.end(), static_cast<uint32_t>(f.b)), got.end()) << f.p;
    }
}

TEST(WideRoots, LargeExponentsMatchTheReferenceAtEverySize) {
    for (UInt128 near : {(UInt128{1} << 63) + 3, (UInt128{1} << 64) - 99999, UInt128{1} << 80, UInt128{1} << 95,
                         (UInt128{1} << 96) - (UInt128{1} << 50)}) {
        const int32_t N = 4096;
        UInt128 k = 0;
        const UInt128 p = PrimeAbove(near, N, &k);
        const WideOrder s = FindOrder2NWide(p, k, ExponentLog2(N));
        ASSERT_EQ(s.r, -1);
        // Hits are rare at this size even with the widest limit; the list
        // must still be exactly the reference's (empty or not).
        const uint32_t limit = 0xFFFFFFFFu;
        std::vector<uint32_t> got(static_cast<size_t>(N) + 4);
        const int32_t count = EnumerateGfnRootsWide(s.a, p, N, limit, got.data(), N + 4);
        ASSERT_GE(count, 0);
        got.resize(static_cast<size_t>(count));
        EXPECT_EQ(got, RootsReference(s.a, p, N, limit)) << Str(p);
    }
}

TEST(WideRoots, IfmaWalkListsWhatTheScalarWalkLists) {
    if (!KernelPathAvailable(KernelPath::Avx512)) GTEST_SKIP() << "no AVX-512 IFMA on this CPU";
    struct Case {
        UInt128 near;
        int32_t N;
    };
    std::vector<Case> cases;
    for (UInt128 near : {(UInt128{1} << 63) + 3, (UInt128{1} << 64) - 99999, (UInt128{1} << 64) + 1,
                         UInt128{1} << 80, UInt128{1} << 95, (UInt128{1} << 96) - (UInt128{1} << 50)})
        for (int32_t N : {32, 64, 256, 65536}) cases.push_back({near, N});
    for (const Case& c : cases) {
        UInt128 k = 0;
        const UInt128 p = PrimeAbove(c.near, c.N, &k);
        const WideOrder s = FindOrder2NWide(p, k, ExponentLog2(c.N));
        ASSERT_EQ(s.r, -1);
        for (uint32_t limit : {1000000u, 0xFFFFFFFFu}) {
            std::vector<uint32_t> want(static_cast<size_t>(c.N) + 4), got(want.size());
            const int32_t wantCount = EnumerateGfnRootsWide(s.a, p, c.N, limit, want.data(), c.N + 4);
            const int32_t count =
                EnumerateGfnRootsWide(s.a, p, c.N, limit, got.data(), c.N + 4, false, KernelTableFor(KernelPath::Avx512));
            ASSERT_EQ(count, wantCount) << FormatUInt128(p) << " N=" << c.N;
            got.resize(static_cast<size_t>(count));
            want.resize(static_cast<size_t>(wantCount));
            EXPECT_EQ(got, want);
            if (c.N <= 256) {
                EXPECT_EQ(got, RootsReference(s.a, p, c.N, limit)) << FormatUInt128(p);
            }
        }
        // The walk lists odd powers of any a: small powers of 2, 3 and of
        // their negatives put hits near 0 and near p in the first blocks.
        if (c.N != 256) continue;
        for (UInt128 a : {UInt128{2}, UInt128{3}, p - 2, p - 3}) {
            const uint32_t limit = 1u << 31;
            std::vector<uint32_t> got(static_cast<size_t>(c.N) + 4), scalar(got.size());
            const int32_t count =
                EnumerateGfnRootsWide(a, p, c.N, limit, got.data(), c.N + 4, false, KernelTableFor(KernelPath::Avx512));
            const int32_t scalarCount = EnumerateGfnRootsWide(a, p, c.N, limit, scalar.data(), c.N + 4);
            const std::vector<uint32_t> want = RootsReference(a, p, c.N, limit);
            ASSERT_EQ(count, static_cast<int32_t>(want.size()));
            ASSERT_EQ(scalarCount, static_cast<int32_t>(want.size()));
            got.resize(want.size());
            scalar.resize(want.size());
            EXPECT_EQ(got, want) << FormatUInt128(a);
            EXPECT_EQ(scalar, want) << FormatUInt128(a);
            EXPECT_GE(want.size(), 10u);
        }
    }
    // Planted factors: the hit, in order, and a full output reported full.
    for (const auto& f : testsupport::kPlantedFactors) {
        const UInt128 p = Dec(f.p);
        if (f.exponent < 32 || p < (UInt128{1} << 63)) continue;
        const WideOrder s = FindOrder2NWide(p, (p - 1) / (2 * static_cast<UInt128>(f.exponent)), ExponentLog2(f.exponent));
        std::vector<uint32_t> got(static_cast<size_t>(f.exponent) + 4);
        const int32_t count = EnumerateGfnRootsWide(s.a, p, f.exponent, 1u << 31, got.data(), f.exponent + 4, false,
                                                    KernelTableFor(KernelPath::Avx512));
        ASSERT_GE(count, 1) << f.p;
        got.resize(static_cast<size_t>(count));
        EXPECT_EQ(got, RootsReference(s.a, p, f.exponent, 1u << 31)) << f.p;
        EXPECT_EQ(EnumerateGfnRootsWide(s.a, p, f.exponent, 1u << 31, got.data(), count, false, KernelTableFor(KernelPath::Avx512)), -1);
    }
}

TEST(WideRoots, Avx2WalkListsWhatTheScalarWalkLists) {
    if (!KernelPathAvailable(KernelPath::Avx2)) GTEST_SKIP() << "no AVX2 on this CPU or build";
    std::mt19937_64 rng(2096);
    auto near = [&](int bits) { return (UInt128{1} << bits) + (rng() >> 20); };
    // From the vector walk's lower bound to just below 2^96 (a prime there
    // lets lanes wrap past 2^96), N from the scalar fall-back up.
    const UInt128 nears[] = {(UInt128{1} << 63) - (UInt128{1} << 32), (UInt128{1} << 63) - (rng() >> 34),
                             (UInt128{1} << 64) - 99999, (UInt128{1} << 64) + 1, near(64), near(80), near(95),
                             (UInt128{1} << 96) - (UInt128{1} << 50), (UInt128{1} << 96) - 5000000};
    auto expectSame = [](UInt128 a, UInt128 p, int32_t N, uint32_t limit, bool reference) -> int32_t {
        std::vector<uint32_t> want(static_cast<size_t>(N) + 4), got(want.size());
        const int32_t wantCount = EnumerateGfnRootsWide(a, p, N, limit, want.data(), N + 4);
        // twoWord: below 2^64, where the job leaves the vector walk to the
        // faster one-word scalar walk, the two-word one (the vector walk
        // there: forms_test.cpp).
        const int32_t count = EnumerateGfnRootsWide(a, p, N, limit, got.data(), N + 4, true, KernelTableFor(KernelPath::Avx2));
        EXPECT_EQ(count, wantCount) << Str(p) << " N=" << N << " a=" << Str(a);
        if (count != wantCount || count < 0) return -1;
        got.resize(static_cast<size_t>(count));
        want.resize(static_cast<size_t>(wantCount));
        EXPECT_EQ(got, want) << Str(p) << " N=" << N;
        if (reference) {
            EXPECT_EQ(got, RootsReference(a, p, N, limit)) << Str(p) << " N=" << N;
        }
        // A full output is reported as such.
        if (count > 0) {
            EXPECT_EQ(EnumerateGfnRootsWide(a, p, N, limit, got.data(), count, true, KernelTableFor(KernelPath::Avx2)), -1);
        }
        return count;
    };
    for (const UInt128 n0 : nears)
        for (int32_t N : {16, 32, 64, 128, 4096}) {
            UInt128 k = 0;
            const UInt128 p = PrimeAbove(n0, N, &k);
            ASSERT_LT(p, UInt128{1} << 96);
            const WideOrder s = FindOrder2NWide(p, k, ExponentLog2(N));
            ASSERT_EQ(s.r, -1);
            for (uint32_t limit : {1000000u, 0xFFFFFFFFu}) expectSame(s.a, p, N, limit, N <= 128);
            // Small powers of 2, 3 and their negatives: hits near 0 and
            // near p, in the first blocks and across lanes.
            if (N != 128) continue;
            for (UInt128 a : {UInt128{2}, UInt128{3}, p - 2, p - 3}) {
                EXPECT_GE(expectSame(a, p, N, 1u << 31, true), 10);
            }
        }
    // Planted factors: the hit, in order.
    for (const auto& f : testsupport::kPlantedFactors) {
        const UInt128 p = Dec(f.p);
        if (p < (UInt128{1} << 63) || p >= (UInt128{1} << 96)) continue;
        const WideOrder s = FindOrder2NWide(p, (p - 1) / (2 * static_cast<UInt128>(f.exponent)), ExponentLog2(f.exponent));
        EXPECT_GE(expectSame(s.a, p, f.exponent, 1u << 31, true), 1) << f.p;
        // A walk from a = b itself lists b first, with N large enough for
        // the vector walk.
        EXPECT_GE(expectSame(static_cast<UInt128>(f.b), p, 256, 1u << 31, true), 1) << f.p;
    }
}

TEST(StrikeBaseList, ExactBetween2To63And2To64) {
    Wired w(16);
    w.k.SelectKernels(KernelPath::Scalar);
    std::mt19937_64 rng(63);
    for (const auto& f : testsupport::kPlantedFactors) {
        const UInt128 p = Dec(f.p);
        if (p >= (UInt128{1} << 64)) continue;
        std::vector<uint32_t> list;
        for (int i = 0; i < 37; ++i) list.push_back(static_cast<uint32_t>(rng() % 2000000000));
        list.push_back(static_cast<uint32_t>(f.b));
        int32_t count = static_cast<int32_t>(list.size());
        w.k.SetBaseList(&count, list.data());
        const int32_t n = ExponentLog2(f.exponent);
        const int32_t marked = w.k.StrikeBaseList(static_cast<int64_t>(static_cast<uint64_t>(p)), n);
        int32_t want = 0;
        for (uint32_t entry : list) {
            const uint32_t b = entry & 0x7FFFFFFFu;
            const bool hit = PowModGmp(b, static_cast<UInt128>(f.exponent), p) == p - 1;
            want += hit;
            EXPECT_EQ((entry >> 31) != 0, hit) << f.p << " " << b;
        }
        EXPECT_EQ(marked, want);
        EXPECT_GE(marked, 1);
    }
}

}  // namespace
}  // namespace varnesk
