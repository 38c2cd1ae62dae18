// The wide sieve's kernels from 2^63 to 2^96. Bounds: exact for odd
// 3 <= p < 2^127 (wide.h); each scheme below states its own.
#include "kernels/wide.h"

#include <array>
#include <new>

#include <x86intrin.h>

#include "kernels/generic.h"
#include "kernels/modmath.h"
#include "kernels/modmath2.h"

namespace varnesk {

namespace {
constexpr UInt128 kTwoTo64 = UInt128{1} << 64;
}  // namespace

// Chains of the two-word test side by side.
constexpr int kFermatLanes = 8;

uint32_t FermatTestWide(const KernelContext& context, const UInt128* p, int count) {
    UInt128 padded[16];
    bool oneWord = true;
    uint32_t usable = 0;
    for (int i = 0; i < 16; ++i) {
        padded[i] = i < count ? p[i] : 3;
        if ((padded[i] & 1) && padded[i] >= 3 && padded[i] < (UInt128{1} << 127)) usable |= 1u << i;
        else padded[i] = 3;  // a stand-in the two-word form takes
        oneWord = oneWord && padded[i] < kTwoTo64;
    }
    const uint32_t wanted = (count >= 16 ? 0xFFFFu : (1u << count) - 1) & usable;
    if (oneWord) {
        // The 64-bit test is exact below 2^64 (its doubling allows for the
        // wrap above 2^63); it takes the moduli as 64-bit patterns.
        int64_t narrow[16];
        for (int i = 0; i < 16; ++i) narrow[i] = static_cast<int64_t>(static_cast<uint64_t>(padded[i]));
        return context.FermatTestMany(narrow, count) & wanted;
    }
    UInt128 top = 0;
    for (int i = 0; i < 16; ++i) top = padded[i] > top ? padded[i] : top;
    if (context.table.fermatWide16.Takes(top)) {
        uint64_t low[16], high[16];
        for (int i = 0; i < 16; ++i) {
            low[i] = static_cast<uint64_t>(padded[i]);
            high[i] = static_cast<uint64_t>(padded[i] >> 64);
        }
        return context.table.fermatWide16.fn(low, high) & wanted;
    }
    uint32_t passed = 0;
    for (int g = 0; g < count; g += kFermatLanes) passed |= FermatBase2Lanes<Montgomery2, kFermatLanes>(padded + g) << g;
    return passed & wanted;
}

namespace {
// The odd primes from 3 on, enough that a prime p with all of them
// quadratic residues is not to be expected (odds 2^-64).
constexpr auto kSmallOddPrimes = [] {
    std::array<uint32_t, 64> primes{};
    size_t count = 0;
    for (uint32_t q = 3; count < primes.size(); q += 2) {
        bool prime = true;
        for (uint32_t d = 3; d * d <= q && prime; d += 2) prime = q % d != 0;
        if (prime) primes[count++] = q;
    }
    return primes;
}();

// The squares mod each of those primes, a bit each: one division and one
// look-up per q tried (Euler's criterion mod q took a division a step).
constexpr auto kSquaresModSmallPrimes = [] {
    std::array<std::array<uint64_t, 5>, kSmallOddPrimes.size()> squares{};
    static_assert(kSmallOddPrimes.back() < 5 * 64);
    for (size_t i = 0; i < kSmallOddPrimes.size(); ++i) {
        const uint64_t q = kSmallOddPrimes[i];
        for (uint64_t x = 1; x < q; ++x) squares[i][x * x % q >> 6] |= uint64_t{1} << (x * x % q & 63);
    }
    return squares;
}();

// The q that the search below ends at for a prime p, found without a power
// mod p: its first q that is a quadratic non-residue. For an odd prime q and
// p = 1 (mod 4), (q/p) = (p/q), which p mod q decides; a composite odd q is a
// non-residue only if one of its smaller prime factors is. 0 when p has a
// small factor or all the primes of the table are residues: the search then
// starts at its beginning.
// The first five q at once from p mod 3*5*7*11*13, a division by a
// constant (a product): kAllResidues when none of them ends the search, 0
// when one divides p, else the first non-residue.
constexpr uint64_t kFirstFiveProduct = 3 * 5 * 7 * 11 * 13;
constexpr uint8_t kAllResidues = 0xFF;
const std::array<uint8_t, kFirstFiveProduct> kFirstOfFive = [] {
    std::array<uint8_t, kFirstFiveProduct> first{};
    for (uint64_t r = 0; r < kFirstFiveProduct; ++r) {
        first[r] = kAllResidues;
        for (size_t i = 0; i < 5; ++i) {
            const uint64_t s = r % kSmallOddPrimes[i];
            if (s == 0 || !((kSquaresModSmallPrimes[i][s >> 6] >> (s & 63)) & 1)) {
                first[r] = s == 0 ? 0 : static_cast<uint8_t>(kSmallOddPrimes[i]);
                break;
            }
        }
    }
    return first;
}();

uint64_t FirstNonResidue(UInt128 p, int32_t n) {
    if (n < 2) return 0;  // p = 5 (mod 8) is possible, where 2 comes first
    // A one-word p takes the 64-bit division, a fraction of the 128-bit one.
    const bool oneWord = p < kTwoTo64;
    size_t from = 0;
    if (oneWord) {
        const uint8_t first = kFirstOfFive[static_cast<uint64_t>(p) % kFirstFiveProduct];
        if (first != kAllResidues) return first;
        from = 5;
    }
    for (size_t i = from; i < kSmallOddPrimes.size(); ++i) {
        const uint32_t q = kSmallOddPrimes[i];
        const uint64_t r = oneWord ? static_cast<uint64_t>(p) % q : static_cast<uint64_t>(p % q);
        if (r == 0) return 0;
        if (!((kSquaresModSmallPrimes[i][r >> 6] >> (r & 63)) & 1)) return q;
    }
    return 0;
}

template <class M>
WideOrder FindOrder(const M& mont, UInt128 k, int32_t n) {
    using V = typename M::Value;
    // For N >= 4, p = 1 (mod 8) makes 2 a residue whose r is 1: start at 3,
    // or, for a prime p, right at the q where the search ends (the powers
    // before it would each give 1; a composite p may end elsewhere).
    const uint64_t first = FirstNonResidue(mont.p, n);
    for (uint64_t q = first ? first : n >= 2 ? 3 : 2;; q = (q == 2) ? 3 : q + 2) {
        V a = mont.one, base = mont.To(q);
        for (UInt128 e = k; e != 0; e >>= 1) {
            if (e & 1) a = mont.Mul(a, base);
            base = mont.Sqr(base);
        }
        V r = a;
        for (int32_t i = 0; i < n; ++i) r = mont.Sqr(r);
        if (r == mont.one) continue;
        WideOrder s;
        s.a = mont.From(a);
        s.r = r == mont.MinusOne() ? -1 : 2;
        return s;
    }
}

// The sixteen lanes of the batch forms. For the order search: each prime's
// p and k with its first non-residue q, or, where it has none (or past
// count), the stand-in 3 = 2*1 + 1 with k = 1 and q = 2; a stand-in, and
// any lane whose first power is not of order 2N, takes the whole one-prime
// search afterwards. For the check: p and a, or 3 and 0 past count (0 is
// never -1).
constexpr int kBatchLanes = 16;
struct OrderLanes {
    UInt128 p[kBatchLanes], k[kBatchLanes];
    uint64_t q[kBatchLanes];
    bool found[kBatchLanes];
    OrderLanes(const UInt128* ps, const UInt128* ks, int count, int32_t n) {
        for (int i = 0; i < kBatchLanes; ++i) {
            const uint64_t first = i < count ? FirstNonResidue(ps[i], n) : 0;
            found[i] = first != 0;
            p[i] = found[i] ? ps[i] : 3;
            k[i] = found[i] ? ks[i] : 1;
            q[i] = found[i] ? first : 2;
        }
    }
    // Lane i's result: a = q^k with r, or the one-prime search.
    WideOrder Result(int i, const UInt128* ps, const UInt128* ks, int32_t n, UInt128 a, int r) const {
        return found[i] && r != 1 ? WideOrder{a, r} : FindOrder2NWide(ps[i], ks[i], n);
    }
};
struct WordLanes {
    uint64_t low[kBatchLanes], high[kBatchLanes];
    explicit WordLanes(const UInt128* v) {
        for (int i = 0; i < kBatchLanes; ++i) {
            low[i] = static_cast<uint64_t>(v[i]);
            high[i] = static_cast<uint64_t>(v[i] >> 64);
        }
    }
};

// FindOrder's first power for kLanes primes side by side: a[l] = q[l]^k[l]
// and r[l] = 1, -1 or 2 as a[l]^N is 1, -1 or another value, a[l] in normal
// form. One prime's search is two chains of dependent products (the
// squarings of q, the products into a); a few primes' chains side by side
// keep the multiplier busy. The product into a is taken or not without a
// branch: the bits of k are random.
template <class M, int kLanes>
void OrderPowersLanes(const LaneModuli<M, kLanes>& m, const uint64_t* q, const UInt128* k, int32_t n, UInt128* a,
                      int8_t* r) {
    using V = typename M::Value;
    V x[kLanes], b[kLanes];
    UInt128 all = 0;
    for (int l = 0; l < kLanes; ++l) {
        x[l] = m[l].one;
        b[l] = m[l].To(q[l]);
        all |= k[l];
    }
    int top = -1;
    for (UInt128 v = all; v != 0; v >>= 1) ++top;
    for (int bit = 0; bit <= top; ++bit) {
        for (int l = 0; l < kLanes; ++l) {
            const V y = m[l].Mul(x[l], b[l]);
            x[l] = ((k[l] >> bit) & 1) ? y : x[l];
            b[l] = m[l].Sqr(b[l]);
        }
    }
    V y[kLanes];
    for (int l = 0; l < kLanes; ++l) y[l] = x[l];
    for (int32_t i = 0; i < n; ++i)
        for (int l = 0; l < kLanes; ++l) y[l] = m[l].Sqr(y[l]);
    for (int l = 0; l < kLanes; ++l) {
        a[l] = m[l].From(x[l]);
        r[l] = static_cast<int8_t>(y[l] == m[l].one ? 1 : y[l] == m[l].MinusOne() ? -1 : 2);
    }
}

// TestDivisor for kLanes primes side by side (a[l] < p[l]): bit l set when
// a[l]^N = -1 (mod p[l]).
template <class M, int kLanes>
uint32_t DivisorLanes(const LaneModuli<M, kLanes>& m, const uint64_t* a, int32_t n) {
    using V = typename M::Value;
    V x[kLanes];
    for (int l = 0; l < kLanes; ++l) x[l] = m[l].To(a[l]);
    for (int32_t i = 0; i < n; ++i)
        for (int l = 0; l < kLanes; ++l) x[l] = m[l].Sqr(x[l]);
    uint32_t passed = 0;
    for (int l = 0; l < kLanes; ++l) passed |= static_cast<uint32_t>(x[l] == m[l].MinusOne()) << l;
    return passed;
}

// Four primes a pass: eight chains of one-word products fill the
// multiplier.
constexpr int kOrderLanes = 4;

// The start of every two-word walk: a^1, a^3, ..., a^(2 count - 1) in
// normal form, two words each; returns a^(2 count) in Montgomery form.
UInt128 OddPowers(const Montgomery2& mont, UInt128 a, int count, uint64_t* low, uint64_t* high) {
    const UInt128 am = mont.To(a), sm = mont.Sqr(am);
    UInt128 xm = am;
    for (int j = 0; j < count; ++j) {
        const UInt128 v = mont.From(xm);
        low[j] = static_cast<uint64_t>(v);
        high[j] = static_cast<uint64_t>(v >> 64);
        xm = mont.Mul(xm, j + 1 < count ? sm : am);
    }
    return xm;
}

// The walk of WalkRoots for 2^64 < p < 2^96 with FixedTwoWord products.
template <int kLanes>
int32_t WalkRootsTwoWord(const Montgomery2& mont, UInt128 aValue, int32_t exponent, uint32_t limit, uint32_t* out,
                         int32_t capacity) {
    const UInt128 p = mont.p;
    BasicRootWriter<UInt128> writer{out, capacity, static_cast<UInt128>(limit)};
    const int32_t odd = exponent / 2;
    if (odd < kLanes) return WalkRoots<kLanes>(mont, aValue, exponent, limit, out, capacity);
    uint64_t x0[kLanes], x1[kLanes];
    const FixedTwoWord f(mont, mont.From(OddPowers(mont, aValue, kLanes, x0, x1)), limit);  // a^(2 kLanes)

    auto writePass = [&] {
        for (int j = 0; j < kLanes; ++j) {
            UInt128 v = static_cast<UInt128>(x1[j]) << 64 | x0[j];
            if (v >= p) v -= p;
            if (!writer.Pair(v, p)) return false;
        }
        return true;
    };
    if (!writePass()) return -1;
    for (int32_t passes = odd / kLanes; --passes != 0;) {
        uint64_t misses = 0;
        for (int j = 0; j < kLanes; ++j) f.Mul(x0[j], x1[j], misses);
        if (misses != kLanes && !writePass()) return -1;
    }
    return writer.found;
}
}  // namespace

WidePrime::WidePrime(UInt128 modulus) : p(modulus) {
    if (p >= kTwoTo64) mont = Montgomery2(p);
}

WideOrder FindOrder2NWide(const WidePrime& prime, UInt128 k, int32_t n) {
    if (prime.p < kTwoTo64) return FindOrder(Montgomery(static_cast<uint64_t>(prime.p)), k, n);
    return FindOrder(prime.mont, k, n);
}
WideOrder FindOrder2NWide(UInt128 p, UInt128 k, int32_t n) { return FindOrder2NWide(WidePrime(p), k, n); }

void FindOrder2NMany(const KernelTable& table, const UInt128* p, const UInt128* k, int count, int32_t n,
                     WideOrder* out) {
    UInt128 top = 0;
    for (int i = 0; i < count; ++i) top = p[i] > top ? p[i] : top;
    if (count <= 0) return;
    // Beyond 2^64 without lanes a two-word product is long enough for one
    // prime's two chains, and the side-by-side form's extra products (one a
    // bit) cost more than they hide: 880 against 700 ns a prime at 2^80
    // (AMD EPYC, Zen 4), where below 2^64 they gain 360 to 212 ns.
    const bool oneWord = table.orders16.Takes(top), twoWords = !oneWord && table.ordersWide16.Takes(top);
    if (!oneWord && !twoWords && top >= kTwoTo64) {
        for (int i = 0; i < count; ++i) out[i] = FindOrder2NWide(p[i], k[i], n);
        return;
    }
    const OrderLanes lanes(p, k, count, n);
    UInt128 a[kBatchLanes];
    int8_t r[kBatchLanes];
    if (oneWord || twoWords) {
        const WordLanes pw(lanes.p), kw(lanes.k);
        uint64_t al[kBatchLanes], ah[kBatchLanes] = {};
        if (oneWord)
            table.orders16.fn({pw.low, lanes.q, kw.low, n, al, r});
        else
            table.ordersWide16.fn({pw.low, pw.high, lanes.q, kw.low, kw.high, n, al, ah, r});
        for (int i = 0; i < count; ++i) a[i] = static_cast<UInt128>(ah[i]) << 64 | al[i];
    } else {
        for (int from = 0; from < count; from += kOrderLanes)
            OrderPowersLanes(LaneModuli<Montgomery, kOrderLanes>(lanes.p + from), lanes.q + from, lanes.k + from, n,
                             a + from, r + from);
    }
    for (int i = 0; i < count; ++i) out[i] = lanes.Result(i, p, k, n, a[i], r[i]);
}

int TestGfnDivisorWide(UInt128 a, int32_t n, const WidePrime& prime) {
    if (prime.p < kTwoTo64) return TestDivisor(Montgomery(static_cast<uint64_t>(prime.p)), a, n);
    return TestDivisor(prime.mont, a, n);
}
int TestGfnDivisorWide(UInt128 a, int32_t n, UInt128 p) { return TestGfnDivisorWide(a, n, WidePrime(p)); }

uint32_t TestGfnDivisorMany(const KernelTable& table, const UInt128* a, const UInt128* p, int count, int32_t n) {
    UInt128 top = 0;
    bool reduced = true;
    for (int i = 0; i < count; ++i) {
        top = p[i] > top ? p[i] : top;
        reduced = reduced && a[i] < p[i] && (p[i] & 1) && p[i] >= 3;
    }
    uint32_t passed = 0;
    if (count > 0 && reduced && (table.divisors16.Takes(top) || table.divisorsWide16.Takes(top) || top < kTwoTo64)) {
        UInt128 pl[kBatchLanes], al[kBatchLanes];
        for (int i = 0; i < kBatchLanes; ++i) {
            pl[i] = i < count ? p[i] : 3;
            al[i] = i < count ? a[i] : 0;
        }
        const WordLanes pw(pl), aw(al);
        if (table.divisors16.Takes(top))
            passed = table.divisors16.fn(pw.low, aw.low, n);
        else if (table.divisorsWide16.Takes(top))
            passed = table.divisorsWide16.fn(pw.low, pw.high, aw.low, aw.high, n);
        else
            for (int from = 0; from < count; from += kOrderLanes)
                passed |= DivisorLanes(LaneModuli<Montgomery, kOrderLanes>(pw.low + from), aw.low + from, n) << from;
        return passed & (count >= kBatchLanes ? 0xFFFFu : (1u << count) - 1);
    }
    for (int i = 0; i < count; ++i) passed |= static_cast<uint32_t>(TestGfnDivisorWide(a[i], n, p[i])) << i;
    return passed;
}

namespace {
// The IFMA walk's set-up: the first eight odd powers, a^16 and the step
// a^(2 kLanes), the last two times 2^104 (their Montgomery form), in
// two-word arithmetic.
int32_t EnumerateIfma(int32_t (*walk)(const RootSearchWide&), UInt128 a, const Montgomery2& mont, int32_t exponent,
                      uint32_t limit, uint32_t* out, int32_t capacity) {
    const UInt128 p = mont.p;
    uint64_t low[RootSearchWide::kStart], high[RootSearchWide::kStart];
    const UInt128 xm = OddPowers(mont, a, RootSearchWide::kStart, low, high);
    UInt128 stepm = xm;  // a^16
    for (int lanes = RootSearchWide::kStart; lanes < RootSearchWide::kLanes; lanes *= 2) stepm = mont.Sqr(stepm);
    const UInt128 r104 = (UInt128{1} << 104) % p;
    const UInt128 stride = mont.Mul(xm, r104), step = mont.Mul(stepm, r104);
    const RootSearchWide search{low,
                                high,
                                static_cast<uint64_t>(stride),
                                static_cast<uint64_t>(stride >> 64),
                                static_cast<uint64_t>(step),
                                static_cast<uint64_t>(step >> 64),
                                static_cast<uint64_t>(p),
                                static_cast<uint64_t>(p >> 64),
                                static_cast<uint32_t>(exponent) >> 5,
                                limit,
                                out,
                                capacity};
    return walk(search);
}

// The AVX2 walk's set-up: the first odd powers and the step, normal form.
int32_t EnumerateAvx2Wide(int32_t (*walk)(const RootSearchWideLanes&), UInt128 a, const Montgomery2& mont,
                          int32_t exponent, uint32_t limit, uint32_t* out, int32_t capacity) {
    constexpr int kLanes = RootSearchWideLanes::kLanes;
    uint64_t low[kLanes], high[kLanes];
    const UInt128 step = mont.From(OddPowers(mont, a, kLanes, low, high)), p = mont.p;
    const RootSearchWideLanes search{low,
                                     high,
                                     static_cast<uint64_t>(step),
                                     static_cast<uint64_t>(step >> 64),
                                     static_cast<uint64_t>(p),
                                     static_cast<uint64_t>(p >> 64),
                                     static_cast<uint32_t>(exponent / (2 * kLanes)),
                                     limit,
                                     out,
                                     capacity};
    return walk(search);
}
}  // namespace

int32_t EnumerateGfnRootsWide(UInt128 a, UInt128 p, int32_t exponent, uint32_t limit, uint32_t* out,
                              int32_t capacity, bool twoWord, const KernelTable& kernels) {
    return EnumerateGfnRootsWide(a, WidePrime(p), exponent, limit, out, capacity, twoWord, kernels);
}

int32_t EnumerateGfnRootsWide(UInt128 a, const WidePrime& prime, int32_t exponent, uint32_t limit, uint32_t* out,
                              int32_t capacity, bool twoWord, const KernelTable& kernels) {
    const UInt128 p = prime.p;
    // The two-word constants, from the context or (below 2^64) built here.
    auto two = [&] { return p >= kTwoTo64 ? prime.mont : Montgomery2(p); };
    if (kernels.rootsIfma.Takes(p, exponent))
        return EnumerateIfma(kernels.rootsIfma.fn, a, two(), exponent, limit, out, capacity);
    if (kernels.rootsAvx2Wide.Takes(p, exponent))
        return EnumerateAvx2Wide(kernels.rootsAvx2Wide.fn, a, two(), exponent, limit, out, capacity);
    // Enough independent chains to hide a product's latency; the two-word
    // product is long enough that four do.
    if (p < kTwoTo64 && !twoWord)
        return WalkRoots<8>(Montgomery(static_cast<uint64_t>(p)), static_cast<uint64_t>(a), exponent, limit, out,
                            capacity);
    // The one-word reduction needs 2^64 < p < kFixedTwoWordEnd (so also
    // p > 2 limit + 1); the general two-word product takes every other p.
    if (p > kTwoTo64 && p < kFixedTwoWordEnd)
        return WalkRootsTwoWord<4>(prime.mont, a, exponent, limit, out, capacity);
    return WalkRoots<4>(two(), a, exponent, limit, out, capacity);
}

}  // namespace varnesk
