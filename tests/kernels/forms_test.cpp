// Every vector form of every path the way FLINT tests a function: its own
// function against the plain reference over the range where its header
// states it exact, on fixed-seed inputs at the edges of that range and of
// the arithmetic's inner bounds inside it, and the table never taking it
// outside that range. Where within it the job takes a form is a measured
// choice (bench/), not pinned here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <utility>
#include <vector>

#include "kernels/dispatch.h"
#include "kernels/kernels.h"
#include "kernels/modmath2.h"
#include "tests/kernels/paths.h"
#include "tests/support/gmp_wide.h"

namespace varnesk {
namespace {

using testsupport::IsPrimeGmp;
using testsupport::PowModGmp;

constexpr UInt128 kOne = 1;

UInt128 Random128(std::mt19937_64& rng) { return static_cast<UInt128>(rng()) << 64 | rng(); }

UInt128 MulMod(UInt128 a, UInt128 b, UInt128 p) { return p >> 64 ? MulModRef128(a, b, p) : a * b % p; }

void Split(UInt128 v, uint64_t& low, uint64_t& high) {
    low = static_cast<uint64_t>(v);
    high = static_cast<uint64_t>(v >> 64);
}

// The first n of a list (all of it when shorter).
std::vector<uint32_t> Prefix(const std::vector<uint32_t>& list, int32_t n) {
    return {list.begin(), list.begin() + std::min<std::ptrdiff_t>(n, static_cast<std::ptrdiff_t>(list.size()))};
}

UInt128 Gcd(UInt128 a, UInt128 b) {
    while (b != 0) a = a % b, std::swap(a, b);
    return a;
}

// The odd moduli of a range to try: both ends, each side of every inner
// bound where some vector arithmetic changes (doubles, digits, words,
// limbs), and random ones between.
std::vector<UInt128> Moduli(const FormRange& r, std::mt19937_64& rng) {
    std::vector<UInt128> m;
    auto add = [&](UInt128 v) {
        if ((v & 1) && v >= r.low && v < r.high) m.push_back(v);
    };
    for (int bits : {50, 51, 52, 63, 64, 81})
        for (UInt128 v : {(kOne << bits) - 3, (kOne << bits) - 1, (kOne << bits) + 1, (kOne << bits) + 3}) add(v);
    for (int d : {0, 2, 4}) add((r.low | 1) + static_cast<UInt128>(d));
    for (int d : {1, 3, 5}) add(r.high - static_cast<UInt128>(d));
    for (int i = 0; i < 4; ++i) add((r.low + Random128(rng) % (r.high - r.low)) | 1);
    return m;
}

// The nearest prime p = 2N k + 1 at or below `from` within r (0: none).
UInt128 PrimeBelow(UInt128 from, uint64_t twoN, const FormRange& r) {
    for (UInt128 p = (from - 1) / twoN * twoN + 1; p >= r.low && p > twoN; p -= twoN)
        if (p < r.high && IsPrimeGmp(p)) return p;
    return 0;
}

// a^1, p - a^1, a^3, ... each within the limit.
std::vector<uint32_t> RootsReference(UInt128 a, UInt128 p, int32_t N, uint64_t limit) {
    std::vector<uint32_t> out;
    const UInt128 a2 = MulMod(a, a, p);
    UInt128 v = a;
    for (int32_t j = 0; j < N / 2; ++j, v = MulMod(v, a2, p)) {
        if (v <= limit) out.push_back(static_cast<uint32_t>(v));
        if (p - v <= limit) out.push_back(static_cast<uint32_t>(p - v));
    }
    return out;
}

// A walk's output against the reference for every capacity around the
// list's length: the count, or -1 once the output is full (what was
// written being the list's start).
template <class Walk>
void CheckWalk(UInt128 a, UInt128 p, int32_t N, uint64_t limit, Walk walk) {
    SCOPED_TRACE(testing::Message() << "p=" << FormatUInt128(p) << " a=" << FormatUInt128(a) << " N=" << N
                                    << " limit=" << limit);
    const std::vector<uint32_t> want = RootsReference(a, p, N, limit);
    const int32_t size = static_cast<int32_t>(want.size());
    for (int32_t capacity : {size + 1, size, size / 2, 1}) {
        if (capacity < 1 || (capacity == 1 && size < 1)) continue;
        std::vector<uint32_t> out(static_cast<size_t>(capacity), 0xDEADBEEFu);
        const int32_t got = walk(out.data(), capacity);
        ASSERT_EQ(got, capacity > size ? size : -1) << "capacity " << capacity;
        EXPECT_EQ(Prefix(out, size), Prefix(want, capacity)) << "capacity " << capacity;
    }
}

// The walks' bases: a hit at the first odd powers (3, 27, ... and their
// negatives) and an arbitrary one, each prime to p.
std::vector<UInt128> WalkBases(UInt128 p, std::mt19937_64& rng) {
    std::vector<UInt128> a;
    for (UInt128 b : {UInt128{3}, p - 3, Random128(rng) % p})
        if (b > 1 && b < p && Gcd(b, p) == 1) a.push_back(b);
    if (a.empty()) a.push_back(2);
    return a;
}
std::vector<uint64_t> WalkLimits(UInt128 p) {
    std::vector<uint64_t> limits = {1000000, 0xFFFFFFFF};
    if (p < 0xFFFFFFFF) limits.insert(limits.end(), {static_cast<uint64_t>(p / 2), static_cast<uint64_t>(p)});
    return limits;
}
// The least N the form is exact for, twice that, and a long walk.
std::vector<int32_t> WalkExponents(const FormRange& r) { return {r.minExponent, 2 * r.minExponent, 4096}; }

using StrikeFn = int32_t (*)(uint32_t*, int32_t, uint64_t, int32_t);
void CheckForm(const KernelTable&, const VectorForm<StrikeFn>& f, std::mt19937_64& rng) {
    for (UInt128 edge : Moduli(f.exact, rng)) {
        for (int32_t n : {1, 2, 13}) {
            // Next to the edge, b^(2^n) + 1 with b even and below 2^31 has b
            // among its solutions; the other moduli have none to speak of.
            uint64_t p = static_cast<uint64_t>(edge), b = 0;
            if (n <= 2) {
                b = static_cast<uint64_t>(std::pow(static_cast<long double>(edge), 1.0L / (1 << n))) & ~uint64_t{1};
                UInt128 planted = b;
                for (int32_t i = 0; i < n; ++i) planted *= planted;
                if (b >= 2 && b < (1u << 31) && f.exact.Holds(planted + 1)) p = static_cast<uint64_t>(planted + 1);
                else b = 0;
            }
            std::vector<uint32_t> list(1 + rng() % 70);
            for (uint32_t& e : list) e = static_cast<uint32_t>(rng() % 0x7FFFFFFF);
            if (b) list[rng() % list.size()] = static_cast<uint32_t>(b);
            std::vector<uint32_t> want = list;
            int32_t marks = 0;
            for (uint32_t& e : want)
                if (PowModGmp(e, kOne << n, p) == p - 1) e |= 0x80000000u, ++marks;
            list.push_back(0x1234);  // past the count: left alone
            EXPECT_EQ(f.fn(list.data(), static_cast<int32_t>(want.size()), p, n), marks) << p << " n=" << n;
            want.push_back(0x1234);
            EXPECT_EQ(list, want) << p << " n=" << n;
            EXPECT_TRUE(b == 0 || marks > 0);
        }
    }
}

// The Fermat forms: primes next to every edge, base-2 pseudoprimes,
// Carmichael numbers and products of two primes where the range holds
// them, and 3, in every lane.
template <int kLanes, class Test>
void CheckFermat(const FormRange& r, std::mt19937_64& rng, Test test) {
    std::vector<UInt128> pool = {3, 341, 561, 1105, 2047, 1729, 8388607, 137438953471ULL, (kOne << 59) - 1};
    for (UInt128 edge : Moduli(r, rng)) {
        pool.push_back(edge);
        if (const UInt128 p = PrimeBelow(edge, 2, r)) pool.push_back(p);
        const UInt128 q = PrimeBelow(kOne << (8 + rng() % 24), 2, {3, kOne << 32});
        if (edge / q > 2) pool.push_back(q * (edge / q | 1));
    }
    std::erase_if(pool, [&](UInt128 p) { return !r.Holds(p); });
    ASSERT_FALSE(pool.empty());
    for (int round = 0; round < 24; ++round) {
        UInt128 moduli[kLanes];
        uint64_t want = 0;
        for (int i = 0; i < kLanes; ++i) {
            moduli[i] = pool[(round % 3 == 0 ? i : rng()) % pool.size()];
            want |= static_cast<uint64_t>(PowModGmp(2, moduli[i] - 1, moduli[i]) == 1) << i;
        }
        ASSERT_EQ(test(moduli), want) << "round " << round;
    }
}
template <class Bits>
void CheckForm(const KernelTable&, const VectorForm<Bits (*)(const uint64_t*)>& f, std::mt19937_64& rng) {
    constexpr int kLanes = 8 * sizeof(Bits) >= 64 ? 64 : 16;
    CheckFermat<kLanes>(f.exact, rng, [&](const UInt128* p) {
        uint64_t words[kLanes];
        for (int i = 0; i < kLanes; ++i) words[i] = static_cast<uint64_t>(p[i]);
        return static_cast<uint64_t>(f.fn(words));
    });
}
void CheckForm(const KernelTable&, const VectorForm<unsigned (*)(const uint64_t*, const uint64_t*)>& f,
               std::mt19937_64& rng) {
    CheckFermat<16>(f.exact, rng, [&](const UInt128* p) {
        uint64_t low[16], high[16];
        for (int i = 0; i < 16; ++i) Split(p[i], low[i], high[i]);
        return static_cast<uint64_t>(f.fn(low, high));
    });
}

// The order search and the check: sixteen lanes of primes p = 2N k + 1
// next to the edges (q the search's, so that r comes out 1 and -1) and of
// plain odd moduli with any k; the check on those powers and on others.
struct OrderLanes {
    UInt128 p[16], k[16], a[16];
    uint64_t q[16];
    int8_t r[16];
    OrderLanes(const FormRange& range, int32_t n, std::mt19937_64& rng) {
        const std::vector<UInt128> edges = Moduli(range, rng);
        for (int i = 0; i < 16; ++i) {
            const UInt128 edge = edges[rng() % edges.size()];
            const UInt128 prime = i % 4 ? PrimeBelow(edge, uint64_t{2} << n, range) : 0;
            p[i] = prime ? prime : edge;
            k[i] = prime ? (p[i] - 1) >> (n + 1) : Random128(rng) % p[i];
            q[i] = 2 + rng() % static_cast<uint64_t>(std::min<UInt128>(p[i] - 2, 300));
            a[i] = PowModGmp(q[i], k[i], p[i]);
            const UInt128 y = PowModGmp(a[i], kOne << n, p[i]);
            r[i] = static_cast<int8_t>(y == 1 ? 1 : y == p[i] - 1 ? -1 : 2);
        }
    }
};
template <class Search>
void CheckOrders(const FormRange& range, std::mt19937_64& rng, Search search) {
    int minusOne = 0;
    for (int32_t n : {1, 2, 6, 13}) {
        const OrderLanes want(range, n, rng);
        UInt128 a[16];
        int8_t r[16];
        search(want, n, a, r);
        for (int i = 0; i < 16; ++i) {
            EXPECT_TRUE(a[i] == want.a[i] && r[i] == want.r[i]) << FormatUInt128(want.p[i]) << " n=" << n;
            minusOne += want.r[i] == -1;
        }
    }
    EXPECT_GT(minusOne, 0);
}
template <class Check>
void CheckDivisors(const FormRange& range, std::mt19937_64& rng, Check check) {
    for (int32_t n : {1, 2, 6, 13}) {
        const OrderLanes lanes(range, n, rng);
        UInt128 a[16];
        uint32_t want = 0;
        for (int i = 0; i < 16; ++i) {
            a[i] = i % 3 ? lanes.a[i] : Random128(rng) % lanes.p[i];
            want |= static_cast<uint32_t>(PowModGmp(a[i], kOne << n, lanes.p[i]) == lanes.p[i] - 1) << i;
        }
        EXPECT_EQ(check(lanes.p, a, n), want) << "n=" << n;
    }
}
struct Words16 {
    uint64_t low[16], high[16];
    explicit Words16(const UInt128* v) {
        for (int i = 0; i < 16; ++i) Split(v[i], low[i], high[i]);
    }
};
void CheckForm(const KernelTable&, const VectorForm<void (*)(const OrderSearch&)>& f, std::mt19937_64& rng) {
    CheckOrders(f.exact, rng, [&](const OrderLanes& l, int32_t n, UInt128* a, int8_t* r) {
        const Words16 p(l.p), k(l.k);
        uint64_t out[16];
        f.fn({p.low, l.q, k.low, n, out, r});
        for (int i = 0; i < 16; ++i) a[i] = out[i];
    });
}
void CheckForm(const KernelTable&, const VectorForm<void (*)(const OrderSearchWide&)>& f, std::mt19937_64& rng) {
    CheckOrders(f.exact, rng, [&](const OrderLanes& l, int32_t n, UInt128* a, int8_t* r) {
        const Words16 p(l.p), k(l.k);
        uint64_t low[16], high[16];
        f.fn({p.low, p.high, l.q, k.low, k.high, n, low, high, r});
        for (int i = 0; i < 16; ++i) a[i] = static_cast<UInt128>(high[i]) << 64 | low[i];
    });
}
void CheckForm(const KernelTable&, const VectorForm<unsigned (*)(const uint64_t*, const uint64_t*, int32_t)>& f,
               std::mt19937_64& rng) {
    CheckDivisors(f.exact, rng, [&](const UInt128* p, const UInt128* a, int32_t n) {
        return f.fn(Words16(p).low, Words16(a).low, n);
    });
}
void CheckForm(const KernelTable&,
               const VectorForm<unsigned (*)(const uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*,
                                             int32_t)>& f,
               std::mt19937_64& rng) {
    CheckDivisors(f.exact, rng, [&](const UInt128* p, const UInt128* a, int32_t n) {
        const Words16 pw(p), aw(a);
        return f.fn(pw.low, pw.high, aw.low, aw.high, n);
    });
}

// The walks, each from the record its header describes.
void CheckForm(const KernelTable& t, const VectorForm<int32_t (*)(const RootSearch&)>& f, std::mt19937_64& rng) {
    for (UInt128 p : Moduli(f.exact, rng))
        for (UInt128 a : WalkBases(p, rng))
            for (int32_t N : WalkExponents(f.exact))
                for (uint64_t limit : WalkLimits(p)) {
                    uint64_t start[kMostRootLanes];
                    const UInt128 a2 = MulMod(a, a, p);
                    start[0] = static_cast<uint64_t>(a);
                    for (int j = 1; j < t.rootLanes; ++j) start[j] = static_cast<uint64_t>(MulMod(start[j - 1], a2, p));
                    const uint64_t step = static_cast<uint64_t>(MulMod(start[t.rootLanes - 1], a, p));
                    for (bool beside : {false, true})
                        CheckWalk(a, p, N, limit, [&](uint32_t* out, int32_t capacity) {
                            return f.fn({start, step, static_cast<uint64_t>(p), static_cast<uint32_t>(N / 32), limit,
                                         out, capacity, beside});
                        });
                }
}

void CheckForm(const KernelTable&, const VectorForm<void (*)(const RootBatch&)>& f, std::mt19937_64& rng) {
    const std::vector<UInt128> moduli = Moduli(f.exact, rng);
    for (int32_t N : {f.exact.minExponent, 64, 16384}) {
        for (int count : {1, 7, kRootBatchPrimes}) {
            uint64_t p[kRootBatchPrimes], a[kRootBatchPrimes];
            for (int i = 0; i < count; ++i) {
                p[i] = static_cast<uint64_t>(moduli[rng() % moduli.size()]);
                const std::vector<UInt128> bases = WalkBases(p[i], rng);
                a[i] = static_cast<uint64_t>(bases[rng() % bases.size()]);
            }
            for (uint64_t limit : {uint64_t{1000000}, uint64_t{0xFFFFFFFF}}) {
                const int32_t capacity = 1 + static_cast<int32_t>(rng() % 40);
                std::vector<std::vector<uint32_t>> lists(count, std::vector<uint32_t>(capacity));
                std::vector<uint32_t*> out;
                for (auto& l : lists) out.push_back(l.data());
                int32_t found[kRootBatchPrimes];
                f.fn({p, a, count, static_cast<uint32_t>(N / 2), limit, out.data(), capacity, found});
                for (int i = 0; i < count; ++i) {
                    const std::vector<uint32_t> want = RootsReference(a[i], p[i], N, limit);
                    const int32_t size = static_cast<int32_t>(want.size());
                    EXPECT_EQ(found[i], size < capacity ? size : -1) << p[i] << " N=" << N;
                    EXPECT_EQ(Prefix(lists[i], size), Prefix(want, capacity)) << p[i] << " N=" << N;
                }
            }
        }
    }
}

// The two-word walks: kStart first odd powers and what fill adds.
template <class Search, class Fill>
void CheckWideWalk(const FormRange& range, int32_t (*fn)(const Search&), std::mt19937_64& rng, Fill fill) {
    for (UInt128 p : Moduli(range, rng))
        for (UInt128 a : WalkBases(p, rng))
            for (int32_t N : WalkExponents(range)) {
                uint64_t low[Search::kLanes], high[Search::kLanes];
                const UInt128 a2 = MulMod(a, a, p);
                UInt128 x = a;
                for (int j = 0; j < Search::kLanes; ++j, x = MulMod(x, a2, p)) Split(x, low[j], high[j]);
                CheckWalk(a, p, N, 0xFFFFFFFF, [&](uint32_t* out, int32_t capacity) {
                    Search s{};
                    s.startLow = low, s.startHigh = high;
                    Split(p, s.pLow, s.pHigh);
                    s.limit = 0xFFFFFFFF, s.out = out, s.capacity = capacity;
                    fill(s, a, p, N);
                    return fn(s);
                });
            }
}
void CheckForm(const KernelTable&, const VectorForm<int32_t (*)(const RootSearchWide&)>& f, std::mt19937_64& rng) {
    CheckWideWalk(f.exact, f.fn, rng, [](RootSearchWide& s, UInt128 a, UInt128 p, int32_t N) {
        const UInt128 r = PowModGmp(2, 104, p);
        Split(MulMod(PowModGmp(a, 16, p), r, p), s.strideLow, s.strideHigh);
        Split(MulMod(PowModGmp(a, 2 * RootSearchWide::kLanes, p), r, p), s.stepLow, s.stepHigh);
        s.passes = static_cast<uint32_t>(N / 32);
    });
}
void CheckForm(const KernelTable&, const VectorForm<int32_t (*)(const RootSearchWideLanes&)>& f,
               std::mt19937_64& rng) {
    CheckWideWalk(f.exact, f.fn, rng, [](RootSearchWideLanes& s, UInt128 a, UInt128 p, int32_t N) {
        Split(PowModGmp(a, 2 * RootSearchWideLanes::kLanes, p), s.stepLow, s.stepHigh);
        s.blocks = static_cast<uint32_t>(N / (2 * RootSearchWideLanes::kLanes));
    });
}

class Forms : public PathTest {};

TEST_P(Forms, EachIsExactOverItsStatedRangeAndTakenOnlyWithinIt) {
    const KernelTable table = KernelTableFor(GetParam());
    std::mt19937_64 rng(3141);
    int forms = 0;
    table.ForEachForm([&](const char* name, const auto& form) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(form.taken.Within(form.exact));
        if (!form.fn) return;
        ++forms;
        CheckForm(table, form, rng);
    });
    EXPECT_GT(forms, 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, Forms, testing::Values(KernelPath::Avx512, KernelPath::Avx2), PathName);

// The rule every call site asks: odd p in the range, N a power of two in
// its exponents.
TEST(Forms, ARangeHoldsOddModuliAndPowersOfTwoWithinItsBounds) {
    const FormRange r{5, 1001, 4, 64};
    EXPECT_TRUE(r.Holds(5, 4) && r.Holds(999, 64) && r.Holds(501, 16));
    EXPECT_FALSE(r.Holds(3, 4) || r.Holds(1001, 4) || r.Holds(500, 4) || r.Holds(501, 2) || r.Holds(501, 128) ||
                 r.Holds(501, 24) || r.Holds(501, 0));
    EXPECT_TRUE((FormRange{3, 1001}.Holds(7)));
    EXPECT_TRUE((FormRange{5, 1001, 8, 32}.Within(r)));
    EXPECT_FALSE((FormRange{3, 1001, 8, 32}.Within(r)) || (FormRange{5, 1003, 8, 32}.Within(r)) ||
                 (FormRange{5, 1001, 8, 128}.Within(r)));
}

}  // namespace
}  // namespace varnesk
