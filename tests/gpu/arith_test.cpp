// The kernels' arithmetic against plain references: products, powers, sums
// and the base-2 Fermat verdict at 2^52, around 2^63, just below 2^64 and,
// in three limbs, at 2^64, 2^79, 2^95 and just below 2^96, with the edge
// operands 0, 1, p - 1 and p - 2; and the walks' steps and pre-filters.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "gpu/devicesieve.h"
#include "kernels/modmath.h"
#include "kernels/modmath2.h"
#include "tests/gpu/gpu_fixture.h"

namespace varnesk::gpu {
namespace {

// Rows (p, a, b, e) for each modulus: the edges and a few drawn at random.
std::vector<UInt128> RowsFor(const std::vector<UInt128>& moduli, bool wide) {
    std::mt19937_64 rng(7);
    std::vector<UInt128> rows;
    for (UInt128 p : moduli) {
        auto draw = [&] {
            const UInt128 r = wide ? static_cast<UInt128>(rng()) << 64 | rng() : static_cast<UInt128>(rng());
            return r % p;
        };
        const UInt128 edges[] = {0, 1, 2, p - 1, p - 2, p / 2, p / 2 + 1};
        const UInt128 exponents[] = {0, 1, 2, p - 1, p - 2, wide ? (UInt128{1} << 95) - 1 : UInt128{~0ULL}, draw()};
        for (UInt128 a : edges)
            for (UInt128 b : edges) rows.insert(rows.end(), {p, a, b, exponents[(a + b) % 7]});
        for (int i = 0; i < 24; ++i) rows.insert(rows.end(), {p, draw(), draw(), draw()});
        for (UInt128 e : exponents) rows.insert(rows.end(), {p, draw(), p - 1, e});
    }
    return rows;
}

void CheckRows(bool wide, const std::vector<UInt128>& moduli) {
    const std::vector<UInt128> rows = RowsFor(moduli, wide);
    std::vector<UInt128> out;
    std::string error;
    ASSERT_TRUE(DeviceArithmetic(*testing::TestProgram(), wide, rows, &out, &error)) << error;
    for (size_t i = 0; i < rows.size(); i += 4) {
        const UInt128 p = rows[i], a = rows[i + 1], b = rows[i + 2], e = rows[i + 3];
        SCOPED_TRACE(FormatUInt128(p) + " a " + FormatUInt128(a) + " b " + FormatUInt128(b) + " e " + FormatUInt128(e));
        EXPECT_EQ(out[i], MulModRef128(a, b, p));
        EXPECT_EQ(out[i + 1], PowModRef128(a, e, p));
        EXPECT_EQ(out[i + 2], (a + b) % p);
        EXPECT_EQ(out[i + 3], PowModRef128(2, p - 1, p) == 1 ? 1u : 0u);
    }
}

constexpr UInt128 kTwo(int e) { return UInt128{1} << e; }

TEST(GpuArithmetic, OneWordAgreesWithTheReferences) {
    VARNESK_NEED_DEVICE();
    // Odd moduli, primes and composites: 2^52, both sides of 2^63 (where the
    // sum wraps), the top of 2^64, and small ones.
    CheckRows(false, {3, 5, 193, kTwo(52) - 1, kTwo(52) + 21, kTwo(63) - 25, kTwo(63) + 1, kTwo(63) + 29,
                      kTwo(64) - 59, kTwo(64) - 1, 341, 0xFFFFFFFFull * 3});
}

TEST(GpuArithmetic, ThreeLimbsAgreeWithTheReferences) {
    VARNESK_NEED_DEVICE();
    // Below 2^64 too: the limbs' upper words are then zero.
    CheckRows(true, {3, 97, kTwo(52) + 21, kTwo(64) - 59, kTwo(64) + 13, kTwo(64) + 1, kTwo(79) - 67, kTwo(79) + 23,
                     kTwo(95) - 9, kTwo(95) + 1, kTwo(96) - 17, kTwo(96) - 1, (kTwo(64) - 1) * (kTwo(32) - 5)});
}

// One step of each walk kernel (Shoup below 2^63, Montgomery to 2^64, Shoup
// in three limbs to 2^80, Montgomery in three limbs to 2^96) from x, with the constants the host makes for it, and the
// pre-filter that passes x by: never a root within the limit. Moduli at the
// edges of each kernel's range, x at 0, 1, p - 1 and where the filter's
// high word turns, a at its edges and drawn.
TEST(GpuArithmetic, WalkStepsAgreeAndTheFilterMissesNoRoot) {
    VARNESK_NEED_DEVICE();
    std::mt19937_64 rng(11);
    const UInt128 moduli[] = {3,           193,           65537,         kTwo(33) + 17, kTwo(52) + 21, kTwo(63) - 25,
                              kTwo(63) - 1, kTwo(63) + 1, kTwo(63) + 29, kTwo(64) - 59, kTwo(64) - 1,  kTwo(64) + 1,
                              kTwo(64) + 13, kTwo(65) + 3, kTwo(79) - 67, kTwo(80) - 65, kTwo(80) - 1,  kTwo(80) + 13,
                              kTwo(95) + 1, kTwo(96) - 17, kTwo(96) - 1};
    for (const uint32_t limit : {2u, 100000u, 2147483647u}) {
        std::vector<UInt128> rows;
        for (UInt128 p : moduli) {
            auto draw = [&] { return (static_cast<UInt128>(rng()) << 64 | rng()) % p; };
            // Where the filter's 32 bits of x turn: from bit 32 below 2^64, from bitlen(p) - 32 above
            // (- 31 for walk80, whose x runs to 2p).
            const bool lazy = kTwo(64) <= p && p < kTwo(80);
            int bits = 0;
            while ((p >> bits) != 0) ++bits;
            const int sh = p < kTwo(64) ? 32 : lazy ? bits - 31 : bits - 32;
            const UInt128 turn = p > limit ? (p - limit) >> sh << sh : 0;
            const UInt128 xs[] = {0, 1, 2, p - 1, p - 2, p / 2, draw(), limit, UInt128{limit} + 1, p - limit,
                                  p - limit - 1, kTwo(32) - 1, kTwo(32), turn, turn - 1, turn + kTwo(32),
                                  p, p + 1, p + limit, p + limit + 1, 2 * p - 1, 2 * p - limit, 2 * p - limit - 1};
            const UInt128 as[] = {1, 2, p - 1, draw()};
            for (UInt128 x : xs)
                for (UInt128 a : as)
                    if (x < (lazy ? 2 * p : p) && a < p) rows.insert(rows.end(), {p, a, x});
        }
        std::vector<UInt128> out;
        std::vector<bool> examined;
        std::string error;
        ASSERT_TRUE(DeviceWalkSteps(*testing::TestProgram(), rows, limit, &out, &examined, &error)) << error;
        for (size_t i = 0; i < out.size(); ++i) {
            const UInt128 p = rows[3 * i], a = rows[3 * i + 1], x = rows[3 * i + 2];
            SCOPED_TRACE(FormatUInt128(p) + " a " + FormatUInt128(a) + " x " + FormatUInt128(x) + " limit " +
                         std::to_string(limit));
            // walk80 leaves its values in [0, 2p).
            const bool lazy = kTwo(64) <= p && p < kTwo(80);
            EXPECT_EQ(lazy ? out[i] % p : out[i], MulModRef128(x, MulModRef128(a, a, p), p));
            EXPECT_LT(out[i], lazy ? 2 * p : p);
            if (x % p <= limit || p - x % p <= limit) {
                EXPECT_TRUE(examined[i]);
            }
            // Far from both ends the filter must pass x by, or it filters nothing.
            if (x == p / 2 && p / 2 > kTwo(34) + limit) {
                EXPECT_FALSE(examined[i]);
            }
        }
    }
}

}  // namespace
}  // namespace varnesk::gpu
