// The modular kernels against plain 128-bit references on fixed-seed random
// inputs, moduli near 2^62 and 2^63 included, plus the worked examples.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/modmath.h"

namespace varnesk {
namespace {

// Odd moduli spread over the ranges that matter, the top ones included.
std::vector<uint64_t> Moduli(std::mt19937_64& rng) {
    std::vector<uint64_t> m = {3, 5, 17, 97, 193, 1000003, (1ULL << 61) - 1, (1ULL << 62) - 57, (1ULL << 62) + 135,
                               (1ULL << 63) - 25, (1ULL << 63) - 1};
    for (int bits : {20, 40, 50, 51, 52, 61, 62, 63}) {
        for (int i = 0; i < 6; ++i) {
            uint64_t v = (rng() >> (64 - bits)) | (1ULL << (bits - 1)) | 1;
            m.push_back(v);
        }
    }
    return m;
}

TEST(Montgomery, MulSqrAndShoupMatchTheReference) {
    std::mt19937_64 rng(12345);
    for (uint64_t p : Moduli(rng)) {
        Montgomery mont(p);
        EXPECT_EQ(mont.one, static_cast<uint64_t>((static_cast<u128>(1) << 64) % p));
        EXPECT_EQ(p * mont.pinv, 1u);
        for (int i = 0; i < 200; ++i) {
            uint64_t a = rng() % p, b = rng() % p;
            uint64_t ref = MulModRef(a, b, p);
            EXPECT_EQ(mont.From(mont.Mul(mont.To(a), mont.To(b))), ref) << p;
            ShoupConst c(b, p);
            EXPECT_EQ(ShoupMul(a, c, p), ref) << p;
        }
        // Extremes of the operand range.
        EXPECT_EQ(mont.From(mont.Sqr(mont.To(p - 1))), 1u);
        EXPECT_EQ(ShoupMul(p - 1, ShoupConst(p - 1, p), p), 1u);
    }
}

TEST(PowModKernels, WorkedExamplesAndRandomAgainstReference) {
    int64_t r;
    PowMod(2, 10, 1000003, &r);
    EXPECT_EQ(r, 1024);
    PowModSigned(2, 1, 3, &r);
    EXPECT_EQ(r, -1);
    PowMod(2, 1, 3, &r);
    EXPECT_EQ(r, 2);

    std::mt19937_64 rng(777);
    for (uint64_t p : Moduli(rng)) {
        for (int i = 0; i < 20; ++i) {
            uint64_t b = rng() % p;
            uint64_t e = (rng() >> (rng() % 64)) | 1;
            uint64_t ref = PowModRef(b, e, p);
            PowMod(static_cast<int64_t>(b), static_cast<int64_t>(e & 0x7FFFFFFFFFFFFFFF), static_cast<int64_t>(p), &r);
            EXPECT_EQ(static_cast<uint64_t>(r), PowModRef(b, e & 0x7FFFFFFFFFFFFFFF, p));
            PowModSigned(static_cast<int64_t>(b), static_cast<int64_t>(e & 0x7FFFFFFFFFFFFFFF), static_cast<int64_t>(p), &r);
            int64_t want = static_cast<int64_t>(PowModRef(b, e & 0x7FFFFFFFFFFFFFFF, p));
            if (static_cast<uint64_t>(want) > p / 2) want -= static_cast<int64_t>(p);
            EXPECT_EQ(r, want);
            (void)ref;
        }
    }
}

TEST(GfnDivisor, ExamplesAndRandomAgainstReference) {
    EXPECT_EQ(TestGfnDivisor(2, 2, 17), 1);
    EXPECT_EQ(TestGfnDivisor(2, 2, 13), 0);
    EXPECT_EQ(TestGfnDivisor(125, 5, 193), 1);
    EXPECT_EQ(TestGfnDivisor(454, 5, 193), 1);  // a above p reduces on the way
    std::mt19937_64 rng(99);
    for (uint64_t p : Moduli(rng)) {
        for (int n : {1, 2, 13, 16, 22}) {
            uint64_t a = rng() % 0x7FFFFFFF;
            bool want = PowModRef(a, 1ULL << n, p) == p - 1;
            EXPECT_EQ(TestGfnDivisor(static_cast<int64_t>(a), n, static_cast<int64_t>(p)), want ? 1 : 0);
        }
    }
}

TEST(StrikeBaseList, MarksExactlyTheSolutions) {
    KernelContext k;
    std::vector<uint32_t> list = {2, 3, 8, 9, 15};
    int32_t count = 5;
    k.SetBaseList(&count, list.data());
    EXPECT_EQ(k.StrikeBaseList(17, 2), 4);
    EXPECT_EQ(list, (std::vector<uint32_t>{2 | 0x80000000u, 3, 8 | 0x80000000u, 9 | 0x80000000u, 15 | 0x80000000u}));

    // Random lists against the reference, every tail length, large moduli.
    std::mt19937_64 rng(4242);
    for (uint64_t p : Moduli(rng)) {
        if (p < 5) continue;
        for (int n : {2, 13, 16}) {
            int len = static_cast<int>(rng() % 23);
            std::vector<uint32_t> bases(len);
            // Seed some real solutions among random bases.
            uint64_t a = 0;
            for (uint64_t q = 2; q < 200 && !a; ++q) {
                uint64_t c = PowModRef(q, (p - 1) >> n, p);
                if (PowModRef(c, 1ULL << n, p) == p - 1) a = c;
            }
            for (auto& b : bases) {
                b = static_cast<uint32_t>(rng() % 0x7FFFFFFF);
                if (a && a < 0x7FFFFFFF && rng() % 3 == 0) b = static_cast<uint32_t>(a);
            }
            std::vector<uint32_t> want = bases;
            int32_t wantMarks = 0;
            for (auto& b : want)
                if (PowModRef(b, 1ULL << n, p) == p - 1) b |= 0x80000000u, ++wantMarks;
            count = len;
            k.SetBaseList(&count, bases.data());
            EXPECT_EQ(k.StrikeBaseList(static_cast<int64_t>(p), n), wantMarks);
            EXPECT_EQ(bases, want) << "p=" << p << " n=" << n;
        }
    }
}

// Output of the plain scheme: all solutions in the documented order.
std::vector<uint32_t> RootsReference(uint64_t a, uint64_t p, int32_t N, uint64_t limit) {
    std::vector<uint32_t> out;
    for (int32_t j = 0; j < N / 2; ++j) {
        uint64_t v = PowModRef(a, 2 * static_cast<uint64_t>(j) + 1, p);
        if (v <= limit) out.push_back(static_cast<uint32_t>(v));
        if (p - v <= limit) out.push_back(static_cast<uint32_t>(p - v));
    }
    return out;
}

// Order in which the sixteen-lane scheme visits the odd powers.
std::vector<uint32_t> RootsLaneOrder(uint64_t a, uint64_t p, int32_t N, uint64_t limit) {
    if (N < 32) return RootsReference(a, p, N, limit);
    std::vector<uint32_t> out;
    for (int32_t pass = 0; pass < N / 32; ++pass)
        for (int j = 0; j < 16; ++j) {
            uint64_t v = PowModRef(a, 32 * static_cast<uint64_t>(pass) + 2 * j + 1, p);
            if (v <= limit) out.push_back(static_cast<uint32_t>(v));
            if (p - v <= limit) out.push_back(static_cast<uint32_t>(p - v));
        }
    return out;
}

TEST(EnumerateGfnRoots, TheSeventeenRootsOf193AndTheCapacityRule) {
    KernelContext k;
    std::vector<uint32_t> out(36);
    int32_t count = -1;
    k.SetRootSearch(32, 100);
    k.SetRootOutput(&count, out.data(), 36);
    ASSERT_EQ(k.EnumerateGfnRoots(125, 193), 1);
    ASSERT_EQ(count, 17);
    EXPECT_EQ(std::vector<uint32_t>(out.begin(), out.begin() + 17),
              (std::vector<uint32_t>{68, 35, 87, 76, 29, 39, 74, 13, 89, 60, 94, 99, 20, 33, 71, 11, 88}));
    count = -1;
    k.SetRootOutput(&count, out.data(), 17);
    EXPECT_EQ(k.EnumerateGfnRoots(125, 193), 0);
    EXPECT_EQ(count, -1);  // not stored when full
}

TEST(EnumerateGfnRoots, SmallExponentsListEveryOddPower) {
    // p = 17: 2 has order 8, so it solves x^4 = -1; 4 solves x^2 = -1.
    KernelContext k;
    std::vector<uint32_t> out(40);
    int32_t count = 0;
    k.SetRootOutput(&count, out.data(), 40);
    k.SetRootSearch(4, 100);
    ASSERT_EQ(k.EnumerateGfnRoots(2, 17), 1);
    EXPECT_EQ(std::vector<uint32_t>(out.begin(), out.begin() + count), (std::vector<uint32_t>{2, 15, 8, 9}));
    k.SetRootSearch(2, 100);
    ASSERT_EQ(k.EnumerateGfnRoots(4, 17), 1);
    EXPECT_EQ(std::vector<uint32_t>(out.begin(), out.begin() + count), (std::vector<uint32_t>{4, 13}));
    k.SetRootSearch(2, 10);
    k.SetRootOutput(&count, out.data(), 1);
    EXPECT_EQ(k.EnumerateGfnRoots(4, 17), 0);
}

TEST(EnumerateGfnRoots, RandomPrimesAgainstReference) {
    std::mt19937_64 rng(2024);
    KernelContext k;
    for (int32_t N : {2, 8, 16, 32, 64, 1024}) {
        for (int bits : {30, 45, 50, 51, 62, 63}) {
            // A prime p = 2Nk + 1 of about that size with a root of order 2N.
            uint64_t p = 0, a = 0;
            for (int tries = 0; tries < 100000 && !a; ++tries) {
                uint64_t kk = (rng() >> (64 - bits + 1 + __builtin_ctz(N))) | 1;
                p = kk * 2 * N + 1;
                if (p >= (1ULL << 63) || PowModRef(2, p - 1, p) != 1 || PowModRef(3, p - 1, p) != 1) continue;
                for (uint64_t q = 3; q < 100 && !a; q += 2) {
                    uint64_t c = PowModRef(q, kk, p);
                    if (PowModRef(c, N, p) == p - 1) a = c;
                }
            }
            ASSERT_NE(a, 0u);
            for (uint64_t limit : {uint64_t{100}, uint64_t{1000000}, uint64_t{0x7FFFFFFF}, p / 2, p}) {
                if (limit > 0xFFFFFFFFu) continue;
                std::vector<uint32_t> out(N + 4);
                int32_t count = 0;
                k.SetRootSearch(N, static_cast<int32_t>(limit));
                k.SetRootOutput(&count, out.data(), N + 4);
                ASSERT_EQ(k.EnumerateGfnRoots(static_cast<int64_t>(a), static_cast<int64_t>(p)), 1);
                out.resize(count);
                EXPECT_EQ(out, RootsLaneOrder(a, p, N, limit)) << "N=" << N << " p=" << p << " limit=" << limit;
                // Same set as the plain order.
                std::vector<uint32_t> s1 = out, s2 = RootsReference(a, p, N, limit);
                std::sort(s1.begin(), s1.end());
                std::sort(s2.begin(), s2.end());
                EXPECT_EQ(s1, s2);
            }
        }
    }
}

}  // namespace
}  // namespace varnesk
