#include "engine/selftest.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "engine/blockfill.h"
#include "engine/prove.h"
#include "kernels/modmath.h"
#include "kernels/modmath2.h"
#include "kernels/sieve_job.h"
#include "platform/post.h"

namespace varnesk {

namespace {

constexpr UInt128 kTwo(int e) { return UInt128{1} << e; }
constexpr int32_t kWideBMax = 2000000000;

// The plain references: the remainder of the whole product, one word by the
// compiler's division, two by shifting the product in bit by bit. No kernel
// of any path takes part.
UInt128 MulPlain(UInt128 x, UInt128 y, UInt128 p) {
    if (p >> 64 == 0) return MulModRef(static_cast<uint64_t>(x), static_cast<uint64_t>(y), static_cast<uint64_t>(p));
    return MulModRef128(x, y, p);
}

UInt128 PowPlain(UInt128 b, UInt128 e, UInt128 p) {
    if (p >> 64 == 0) return PowModRef(static_cast<uint64_t>(b % p), static_cast<uint64_t>(e), static_cast<uint64_t>(p));
    return PowModRef128(b, e, p);
}

std::string Text(UInt128 v) { return FormatUInt128(v); }

// The candidate stream's documented list: p = k*2N + 1 without a prime
// factor from 3 to 73 (those primes themselves kept) that passes the
// base-2 Fermat test.
bool ProbablePrime(UInt128 p) {
    for (unsigned q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73})
        if (p % q == 0 && p != q) return false;
    return PowPlain(2, p - 1, p) == 1;
}

// A prime's slot: the search's solution q^k and every base within bMax
// from it. The N values a^1, a^3, ..., a^(2N-1) are distinct roots of
// x^N + 1 when a has order 2N, and there are no others mod a prime, so the
// half walk with p - x beside x lists all of them.
ReferenceSlot PrimeSlotOf(UInt128 k, UInt128 p, int32_t exponent, uint32_t bMax) {
    ReferenceSlot slot;
    slot.k = k;
    slot.p = p;
    slot.prime = ProvePrime(p) != PrimeProof::None;
    if (!slot.prime) return slot;
    for (UInt128 q = exponent == 2 ? 2 : 3;; q = q == 2 ? 3 : q + 2) {
        const UInt128 a = PowPlain(q, k, p);
        const UInt128 r = PowPlain(a, static_cast<UInt128>(exponent), p);
        if (r == 1) continue;
        if (r != p - 1) {  // impossible for a prime: say so rather than guess
            slot.prime = false;
            return slot;
        }
        slot.a = a;
        break;
    }
    const UInt128 step = MulPlain(slot.a, slot.a, p);
    UInt128 x = slot.a;
    for (int32_t j = 0; j < exponent / 2; ++j) {
        if (x <= bMax) slot.roots.push_back(static_cast<uint32_t>(x));
        if (p - x <= bMax) slot.roots.push_back(static_cast<uint32_t>(p - x));
        x = MulPlain(x, step, p);
    }
    return slot;
}

ReferenceBlock ReferenceRun(UInt128 kFrom, UInt128 kTo, int32_t exponent, uint32_t bMax) {
    ReferenceBlock block;
    block.kFrom = kFrom;
    block.kTo = kTo;
    const UInt128 twoN = 2 * static_cast<UInt128>(exponent);
    const UInt128 kLast = LastSieveK(twoN);
    for (UInt128 k = kFrom + 1; k <= std::min(kTo, kLast); ++k) {
        const UInt128 p = k * twoN + 1;
        if (ProbablePrime(p)) block.slots.push_back(PrimeSlotOf(k, p, exponent, bMax));
    }
    block.beyond = kTo > kLast;
    return block;
}

SegmentJobInfo InfoOf(int32_t exponentLog2, int32_t bMax) {
    return SegmentJobInfo{int32_t{1} << exponentLog2, exponentLog2, 2, bMax};
}

// `blocks` runs of about `primes` primes each, from kFrom on.
SelfTestCase RunsFrom(int32_t exponentLog2, int32_t bMax, UInt128 kFrom, int blocks, int primes) {
    SelfTestCase c;
    c.info = InfoOf(exponentLog2, bMax);
    const int64_t twoN = 2 * static_cast<int64_t>(c.info.exponent);
    for (int i = 0; i < blocks; ++i) {
        const UInt128 kTo = kFrom + static_cast<UInt128>(BatchSpan(kFrom, twoN, primes));
        c.blocks.push_back(ReferenceRun(kFrom, kTo, c.info.exponent, static_cast<uint32_t>(bMax)));
        kFrom = kTo;
    }
    return c;
}

// b^N + 1 when below 2^127, else 0.
UInt128 GfnValue(uint64_t b, int32_t exponent) {
    UInt128 v = 1;
    for (int32_t i = 0; i < exponent; ++i) {
        if (v > (kTwo(127) - 1) / b) return 0;
        v *= b;
    }
    return v + 1;
}

// The odd primes below 2^23, for dividing b^N + 1.
const std::vector<uint32_t>& SmallPrimes() {
    static const std::vector<uint32_t> primes = [] {
        constexpr uint32_t kBound = 1u << 23;
        std::vector<uint32_t> out;
        std::vector<bool> composite(kBound, false);
        for (uint32_t q = 3; q < kBound; q += 2) {
            if (composite[q]) continue;
            out.push_back(q);
            for (uint64_t m = uint64_t{q} * q; m < kBound; m += 2 * q) composite[m] = true;
        }
        return out;
    }();
    return primes;
}

// Known factors p of b^N + 1 with p in [low, high): b^N + 1 for even b
// from where it is 2^8 times low, divided by its prime factors below
// 2^(13 + 2n) (each 1 mod 2N; fewer of them for small N, whose bases are
// many), and what is left taken when it lies in the size, is prime and is
// not b^N + 1 itself. At most `want` of them, from the first `tries` bases.
struct KnownFactor {
    UInt128 p;
    uint32_t b;
};
std::vector<KnownFactor> KnownFactors(UInt128 low, UInt128 high, int32_t exponentLog2, int want, int tries) {
    const int32_t exponent = int32_t{1} << exponentLog2;
    const uint64_t twoN = 2 * static_cast<uint64_t>(exponent);
    const uint32_t bound = 1u << std::min(13 + 2 * exponentLog2, 23);
    std::vector<uint32_t> divisors;
    for (uint32_t q : SmallPrimes()) {
        if (q >= bound) break;
        if (q % twoN == 1) divisors.push_back(q);
    }
    const UInt128 start = low << 8;  // low is below 2^80
    uint64_t b = 2;
    for (uint64_t step = uint64_t{1} << 31; step > 0; step >>= 1) {
        const UInt128 v = GfnValue(b + step, exponent);
        if (v != 0 && v < start) b += step;
    }
    const UInt128 first = GfnValue(b, exponent);
    if (first != 0 && first < start) ++b;
    b += b & 1;
    std::vector<KnownFactor> found;
    for (int tried = 0; tried < tries && static_cast<int>(found.size()) < want && b <= kWideBMax; ++tried, b += 2) {
        const UInt128 v = GfnValue(b, exponent);
        if (v == 0 || v >> 48 >= high) break;  // what is left would hardly come down into the size
        UInt128 rest = v;
        for (uint32_t q : divisors)
            while (rest % q == 0) rest /= q;
        if (rest == v || rest < low || rest >= high || ProvePrime(rest) == PrimeProof::None) continue;
        found.push_back({rest, static_cast<uint32_t>(b)});
    }
    return found;
}

// One block of about sixteen primes with p in its middle.
SelfTestCase AroundFactor(const KnownFactor& f, int32_t exponentLog2) {
    SelfTestCase c;
    const int32_t bMax = static_cast<int32_t>(std::max<uint32_t>(f.b, 1u << 16));
    c.info = InfoOf(exponentLog2, bMax);
    c.factorP = f.p;
    c.factorB = static_cast<int32_t>(f.b);
    const int64_t twoN = 2 * static_cast<int64_t>(c.info.exponent);
    const UInt128 k = (f.p - 1) / static_cast<UInt128>(twoN);
    const UInt128 half = static_cast<UInt128>(BatchSpan(k, twoN, 16) / 2);
    const UInt128 kFrom = k > half ? k - half - 1 : 0;
    c.blocks.push_back(ReferenceRun(kFrom, k + half, c.info.exponent, static_cast<uint32_t>(bMax)));
    return c;
}

std::string NthText(int32_t i) {
    static const char* const kSuffix[] = {"th", "st", "nd", "rd"};
    const int32_t n = i + 1;
    const int32_t last = n % 10;
    return std::to_string(n) + (n % 100 / 10 != 1 && last >= 1 && last <= 3 ? kSuffix[last] : kSuffix[0]);
}

std::string BasesText(const std::vector<uint32_t>& bases, size_t count) {
    std::string text;
    for (size_t i = 0; i < count && i < 4; ++i) text += (i ? ", " : "") + std::to_string(bases[i]);
    if (count > 4) text += ", ...";
    return text.empty() ? "none" : text;
}

// A prime's slot against the reference; empty when they agree.
std::string CompareSlot(const ReferenceSlot& w, const PrimeSlot& g) {
    const std::string p = "p = " + Text(w.p);
    switch (g.outcome) {
    case PrimeSlot::kPrime: return p + " is left without its solution and bases";
    case PrimeSlot::kNothing: return "no solution of order 2N is found for the prime " + p;
    case PrimeSlot::kInvalidA0: return "the solution found for " + p + " fails its check";
    case PrimeSlot::kBeyond: return p + " is said to lie beyond 2^96";
    default: break;
    }
    if (g.a != w.a)
        return "the solution for " + p + " is " + Text(g.a) + " where the reference has " + Text(w.a);
    const size_t capacity = g.roots.size();
    if (g.outcome == PrimeSlot::kListFull) {
        if (w.roots.size() >= capacity) return {};
        return StringPrintf("%s: its list of %zu bases is said to be full, where the reference has %zu",
                            p.c_str(), capacity, w.roots.size());
    }
    const size_t count = static_cast<size_t>(std::max(g.rootCount, 0));
    if (count > capacity) return p + StringPrintf(": %zu bases in a list of %zu", count, capacity);
    for (size_t i = 0; i < std::min(count, w.roots.size()); ++i)
        if (g.roots[i] != w.roots[i])
            return StringPrintf("%s: the %s base is %u where the reference has %u", p.c_str(),
                                NthText(static_cast<int32_t>(i)).c_str(), g.roots[i], w.roots[i]);
    if (count != w.roots.size())
        return StringPrintf("%s: %zu bases (%s) where the reference has %zu (%s)", p.c_str(), count,
                            BasesText(g.roots, count).c_str(), w.roots.size(),
                            BasesText(w.roots, w.roots.size()).c_str());
    return {};
}

}  // namespace

int SelfTestSizeOf(UInt128 p) {
    for (int s = 0; s < kSelfTestSizes; ++s)
        if (p < kTwo(kSelfTestSizeBits[s])) return s;
    return kSelfTestSizes - 1;
}

std::string SelfTestCase::Describe() const {
    std::string text = StringPrintf("N = %d, bases to %d", info.exponent, info.bMax);
    if (!blocks.empty()) {
        const UInt128 twoN = 2 * static_cast<UInt128>(info.exponent);
        text += ", k from " + Text(blocks.front().kFrom + 1) + " to " + Text(blocks.back().kTo) + " (p from " +
                Text((blocks.front().kFrom + 1) * twoN + 1) + ")";
    }
    if (factorP != 0) text += StringPrintf(", around %s | %d^%d+1", Text(factorP).c_str(), factorB, info.exponent);
    return text;
}

SelfTestPlan MakeSelfTestPlan(bool quick) {
    SelfTestPlan plan;
    // Runs where bases come by their density, about one or two a prime (N
    // times bMax over p), through the walks of one prime and of many at
    // once: every N from 2 to 2^22 (the short form a few of them).
    if (quick) {
        plan.cases.push_back(RunsFrom(5, 1 << 16, kTwo(20) / 64, 1, 16));
        plan.cases.push_back(RunsFrom(12, 1 << 20, kTwo(31) / 8192, 1, 16));
        plan.cases.push_back(RunsFrom(10, kWideBMax, kTwo(40) / 2048, 1, 16));
        plan.cases.push_back(RunsFrom(16, kWideBMax, kTwo(46) / 131072, 1, 8));
        plan.cases.push_back(RunsFrom(22, kWideBMax, kTwo(52) / kTwo(23), 1, 2));
    } else {
        for (int32_t n = 1; n <= 22; ++n) {
            const UInt128 twoN = kTwo(n + 1);
            const int blocks = n <= 16 ? 16 : 2;
            plan.cases.push_back(RunsFrom(n, 1 << 20, kTwo(n + 20) / twoN, blocks, 16));
            plan.cases.push_back(RunsFrom(n, kWideBMax, kTwo(n + 31) / twoN, blocks, 16));
        }
    }
    // Runs across 2^63 and 2^64 and to the sieve's end, and long walks
    // beyond 2^64, where no base is expected but every prime's solution is
    // checked and none may be listed.
    const int blocks = quick ? 1 : 32;
    plan.cases.push_back(RunsFrom(6, 1 << 20, kTwo(63) / 128 - 200, 2 * blocks, 16));
    plan.cases.push_back(RunsFrom(4, 1 << 20, kTwo(64) / 32 - 150, 2 * blocks, 16));
    plan.cases.push_back(RunsFrom(10, kWideBMax, kTwo(70) / 2048, blocks, 4));
    plan.cases.push_back(RunsFrom(14, kWideBMax, kTwo(90) / 32768, blocks, 4));
    plan.cases.push_back(RunsFrom(5, 1 << 20, (kTwo(96) - 2) / 64 - 60, 1, 16));
    // Known factors at every size, for every N whose b^N + 1 reaches it.
    const int want = quick ? 1 : 250;
    const int tries = quick ? 3000 : 400000;
    UInt128 low = kTwo(16);
    for (int s = 0; s < kSelfTestSizes; ++s) {
        const UInt128 high = kTwo(kSelfTestSizeBits[s]);
        for (int32_t n = 1; n <= 6; ++n)
            for (const KnownFactor& f : KnownFactors(low, high, n, want, tries)) {
                plan.cases.push_back(AroundFactor(f, n));
                ++plan.known[s];
            }
        low = high;
    }
    for (const SelfTestCase& c : plan.cases)
        for (const ReferenceBlock& block : c.blocks)
            for (const ReferenceSlot& slot : block.slots) {
                const int s = SelfTestSizeOf(slot.p);
                ++plan.primes[s];
                plan.factors[s] += static_cast<int64_t>(slot.roots.size());
                std::vector<int32_t>& e = plan.exponents[s];
                if (std::find(e.begin(), e.end(), c.info.exponent) == e.end()) e.push_back(c.info.exponent);
            }
    for (std::vector<int32_t>& e : plan.exponents) std::sort(e.begin(), e.end());
    return plan;
}

std::string CompareWithReference(const SelfTestCase& c, const ReferenceBlock& want, const Segment& got,
                                 UInt128* where) {
    UInt128 ignored;
    UInt128& at = where ? *where : ignored;
    at = (want.kTo * 2 * static_cast<UInt128>(c.info.exponent)) + 1;
    const size_t count = static_cast<size_t>(std::max(got.count, 0));
    size_t i = 0;
    for (;; ++i) {
        const bool haveWant = i < want.slots.size();
        const bool haveGot = i < count && got.slots[i].outcome != PrimeSlot::kBeyond;
        if (!haveWant && !haveGot) break;
        at = haveWant ? want.slots[i].p : got.slots[i].p;
        if (!haveGot || (haveWant && got.slots[i].k > want.slots[i].k))
            return "the probable prime p = " + Text(want.slots[i].p) + " is left out";
        if (!haveWant || got.slots[i].k < want.slots[i].k) {
            at = got.slots[i].p;
            return "p = " + Text(got.slots[i].p) + " is listed, which the reference does not hold";
        }
        if (!want.slots[i].prime) continue;
        const std::string why = CompareSlot(want.slots[i], got.slots[i]);
        if (!why.empty()) return why;
    }
    if (want.beyond) {
        const UInt128 twoN = 2 * static_cast<UInt128>(c.info.exponent);
        const UInt128 k = std::max(want.kFrom, LastSieveK(twoN)) + 1;
        if (count != i + 1 || got.slots[i].outcome != PrimeSlot::kBeyond || got.slots[i].k != k)
            return "the end of the sieve at 2^96 is not where the run reaches it";
    } else if (count != i) {
        return "a slot past the run's primes says the sieve ends";
    }
    return {};
}

SelfTestRow RunSelfTestRow(const std::string& name, const SelfTestPlan& plan, const SelfTestFill& fill, bool flipOne) {
    SelfTestRow row;
    row.name = name;
    const auto start = std::chrono::steady_clock::now();
    auto disagree = [&row](int size, const SelfTestCase& c, const std::string& why) {
        row.cells[size].agrees = false;
        if (row.firstDisagreement.empty()) row.firstDisagreement = c.Describe() + ": " + why;
    };
    for (const SelfTestCase& c : plan.cases) {
        std::vector<Segment> blocks(c.blocks.size());
        for (size_t i = 0; i < blocks.size(); ++i) {
            blocks[i].kFrom = c.blocks[i].kFrom;
            blocks[i].kTo = c.blocks[i].kTo;
        }
        for (const ReferenceBlock& block : c.blocks)
            for (const ReferenceSlot& slot : block.slots) row.cells[SelfTestSizeOf(slot.p)].ran = true;
        std::string why;
        if (!fill(c, blocks, &why)) {
            for (const ReferenceBlock& block : c.blocks)
                for (const ReferenceSlot& slot : block.slots) disagree(SelfTestSizeOf(slot.p), c, why);
            continue;
        }
        for (size_t i = 0; i < blocks.size(); ++i) {
            Segment& got = blocks[i];
            for (int s = 0; s < got.count; ++s) {
                PrimeSlot& slot = got.slots[static_cast<size_t>(s)];
                if (slot.outcome == PrimeSlot::kBeyond) continue;
                if (flipOne && slot.outcome == PrimeSlot::kRoots && slot.rootCount > 0) {
                    slot.roots[0] += 2;
                    flipOne = false;
                }
                SelfTestCell& cell = row.cells[SelfTestSizeOf(slot.p)];
                cell.ran = true;
                ++cell.primes;
                if (slot.outcome == PrimeSlot::kRoots) cell.factors += slot.rootCount;
            }
            UInt128 where = 0;
            const std::string why = CompareWithReference(c, c.blocks[i], got, &where);
            if (!why.empty()) disagree(SelfTestSizeOf(where), c, why);
        }
    }
    row.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return row;
}

SelfTestRow RunCpuSelfTest(KernelPath path, const SelfTestPlan& plan, bool flipOne) {
    const SelfTestFill fill = [path](const SelfTestCase& c, std::vector<Segment>& blocks, std::string* why) {
        SieveJob job;
        KernelContext kernels;
        if (!StartBlockKernels(c.info, path, job, kernels)) {
            *why = "the kernels would not start";
            return false;
        }
        BlockSieve sieve(kernels, 2 * static_cast<int64_t>(c.info.exponent), c.info.exponentLog2,
                         SlotRoots(c.info.exponent));
        for (Segment& seg : blocks) sieve.Fill(seg);
        return true;
    };
    return RunSelfTestRow(KernelPathName(path), plan, fill, flipOne);
}

std::string SelfTestFault() {
    const char* env = std::getenv("VARNESK_SELFTEST_FAULT");
    return env ? env : "";
}

}  // namespace varnesk
