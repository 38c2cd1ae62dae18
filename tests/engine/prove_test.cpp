// The shared proofs of factor lines: the primality test, the line reader,
// the checks and their report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/prove.h"
#include "kernels/kernels.h"
#include "platform/post.h"
#include "tests/support/planted_factors.h"

namespace varnesk {
namespace {

uint64_t SmallestFactor(uint64_t n) {
    for (uint64_t d = 2; d * d <= n; ++d)
        if (n % d == 0) return d;
    return n;
}

TEST(VerifyPrimality, AgreesWithTrialDivisionBelowTwoMillionAndAround2To32) {
    for (uint64_t n = 0; n < 2000000; ++n) ASSERT_EQ(IsPrime64(n), n >= 2 && SmallestFactor(n) == n) << n;
    for (uint64_t n = (uint64_t{1} << 32) - 3000; n < (uint64_t{1} << 32) + 3000; ++n)
        ASSERT_EQ(IsPrime64(n), SmallestFactor(n) == n) << n;
}

// Each bound below which fewer bases are used is itself a composite that
// passes exactly those bases: the test must not trust them above it.
TEST(VerifyPrimality, PseudoprimesAtTheBoundsAreCaught) {
    const struct {
        uint64_t n;
        int bases;
    } cases[] = {{2047, 1},
                 {1373653, 2},
                 {25326001, 3},
                 {3215031751ULL, 4},
                 {2152302898747ULL, 5},
                 {3474749660383ULL, 6},
                 {341550071728321ULL, 8},
                 {3825123056546413051ULL, 11}};
    for (const auto& c : cases) {
        EXPECT_LT(SmallestFactor(c.n), c.n) << c.n;
        EXPECT_TRUE(StrongProbablePrimeToBases(c.n, c.bases)) << c.n;
        EXPECT_FALSE(IsPrime64(c.n)) << c.n;
    }
}

TEST(VerifyPrimality, LargePrimesAndComposites) {
    EXPECT_TRUE(IsPrime64(2305843009213693951ULL));   // 2^61 - 1
    EXPECT_TRUE(IsPrime64(9223372036854775783ULL));   // largest prime below 2^63
    EXPECT_TRUE(IsPrime64(18446744073709551557ULL));  // largest prime below 2^64
    EXPECT_TRUE(IsPrime64(4179340454199820289ULL));   // 29 * 2^57 + 1
    EXPECT_FALSE(IsPrime64(18446744073709551615ULL));
    EXPECT_FALSE(IsPrime64(9223372036854775807ULL));  // 2^63 - 1 = 7^2 * 73 * 127 * ...
    EXPECT_FALSE(IsPrime64(4294967291ULL * 4294967279ULL));  // two primes just below 2^32
    for (uint64_t c : {561ULL, 41041ULL, 825265ULL, 321197185ULL, 5394826801ULL, 232250619601ULL,
                       9746347772161ULL})  // Carmichael numbers
        EXPECT_FALSE(IsPrime64(c)) << c;
}

TEST(VerifyLines, ReadsFactorLinesAndTellsTheRestApart) {
    FactorLineFields f;
    EXPECT_EQ(ClassifyFactorLine("193 | 68^32+1", &f), LineKind::Factor);
    EXPECT_TRUE(f.p == 193);
    EXPECT_EQ(f.b, 68);
    EXPECT_EQ(f.exponent, 32);
    EXPECT_EQ(ClassifyFactorLine("9223372036854775807 | 2147483647^1073741824+1\r", &f), LineKind::Factor);
    EXPECT_TRUE(f.p == static_cast<UInt128>(INT64_MAX));
    EXPECT_EQ(f.b, INT32_MAX);

    for (const char* other : {"", "\r", "Continuing Sieve", "Hollowmere for k^32+1 [k == 2 to 100]", "  ", "- 5"})
        EXPECT_EQ(ClassifyFactorLine(other, &f), LineKind::Other) << other;
    // Where a write stopped short: everything up to the last character.
    for (const char* prefix : {"193", "193 ", "193 |", "193 | ", "193 | 68", "193 | 68^", "193 | 68^32", "193 | 68^32+"})
        EXPECT_EQ(ClassifyFactorLine(prefix, &f), LineKind::Prefix) << prefix;
    for (const char* bad : {"193 | 68^32+1 ", "193 | 68^32+2", "193| 68^32+1", "193 | x^32+1", "193 | 68^^32+1",
                            "193 | 68^32+1+1", "193x", "193 | -68^32+1", "193 | 68^32+1\r\r",
                            // Signs and bars: forged lines must not pass as text.
                            "+6145 | 2^1024+1", "-5 | 4^32+1", " +193 | 68^32+1", "| 68^32+1", "p=193 | 68^32+1"})
        EXPECT_EQ(ClassifyFactorLine(bad, &f), LineKind::Malformed) << bad;

    f = {};
    EXPECT_EQ(ClassifyFactorLine("340282366920938463463374607431768211456 | 68^32+1", &f), LineKind::Malformed);
    EXPECT_TRUE(f.outOfRange);
    f = {};
    EXPECT_EQ(ClassifyFactorLine("340282366920938463463374607431768211455 | 68^32+1", &f), LineKind::Factor);
    EXPECT_TRUE(f.p == ~UInt128{0});
    EXPECT_EQ(ClassifyFactorLine("9223372036854775808 | 68^32+1", &f), LineKind::Factor);
    EXPECT_TRUE(f.p == UInt128{1} << 63);
    f = {};
    EXPECT_EQ(ClassifyFactorLine("193 | 2147483648^32+1", &f), LineKind::Malformed);
    EXPECT_TRUE(f.outOfRange);
}

UInt128 Dec(const char* digits) { return ParseUInt128(digits).value; }

TEST(VerifyPrimes, ProvePrimeBeyond64Bits) {
    struct Case {
        UInt128 n;
        PrimeProof want;
    };
    const Case cases[] = {
        {Dec("18446744073709551557"), PrimeProof::Deterministic},  // largest prime below 2^64
        {(UInt128{1} << 64) + 13, PrimeProof::Deterministic},       // smallest prime above 2^64
        {(UInt128{1} << 64) + 1, PrimeProof::None},                 // 274177 * 67280421310721
        {UInt128{4294967311ULL} * 4294967357ULL, PrimeProof::None},
        // Strong pseudoprime to the first twelve prime bases: the thirteenth
        // tells it apart.
        {Dec("318665857834031151167461"), PrimeProof::None},
        // Strong pseudoprime to all thirteen, the first number they do not
        // decide: BPSW must refuse it.
        {Dec("3317044064679887385961981"), PrimeProof::None},
        {(UInt128{1} << 89) - 1, PrimeProof::Bpsw},  // Mersenne primes above 3.3e24
        {(UInt128{1} << 107) - 1, PrimeProof::Bpsw},
        {(UInt128{1} << 127) - 1, PrimeProof::Bpsw},
        {((UInt128{1} << 107) - 1) * 3, PrimeProof::None},
        {Dec("40806636712234027488100000001"), PrimeProof::Bpsw},  // divides 3770^8 + 1
        {Dec("1071849769771030687387393"), PrimeProof::Deterministic},
    };
    for (const Case& c : cases) EXPECT_EQ(ProvePrime(c.n), c.want) << FormatUInt128(c.n);
}

TEST(VerifyText, WideLinesAreProvenAndForgeriesRefusedAtEverySize) {
    std::string text = "Hollowmere for k^8+1 [k == 2 to 5000]\n\n";
    int good = 0, below64 = 0, below33e24 = 0, bpsw = 0;
    for (const auto& f : testsupport::kPlantedFactors) {
        text += StringPrintf("%s | %d^%d+1\n", f.p, f.b, f.exponent);
        ++good;
        const UInt128 p = Dec(f.p);
        ++(p < (UInt128{1} << 64) ? below64 : p < kThirteenBasesBound ? below33e24 : bpsw);
    }
    for (const auto& f : testsupport::kPlantedBeyond96) {  // true proofs beyond the sieve's end
        text += StringPrintf("%s | %d^%d+1\n", f.p, f.b, f.exponent);
        ++good;
        ++bpsw;
    }
    const size_t firstForged = static_cast<size_t>(good) + 3;
    struct Forged {
        std::string line;
        LineFault fault;
    };
    std::vector<Forged> forged;
    for (const auto& f : testsupport::kPlantedFactors) {
        const UInt128 p = Dec(f.p), twoN = 2 * static_cast<UInt128>(f.exponent);
        const std::string tail = StringPrintf("^%d+1", f.exponent);
        forged.push_back({StringPrintf("%s | %d%s", FormatUInt128(p).c_str(), f.b + 2, tail.c_str()), LineFault::NotDivisor});
        forged.push_back({StringPrintf("%s | %d%s", FormatUInt128(p + 2).c_str(), f.b, tail.c_str()), LineFault::NotOneMod2N});
        UInt128 q = p + twoN;  // the next k*2N + 1 that is composite
        while (ProvePrime(q) != PrimeProof::None) q += twoN;
        forged.push_back({StringPrintf("%s | %d%s", FormatUInt128(q).c_str(), f.b, tail.c_str()), LineFault::NotPrime});
    }
    // A prime b^N + 1 is no proper factor of itself.
    forged.push_back({"65537 | 2^16+1", LineFault::NotProper});
    forged.push_back({"18446744073709551617 | 2^64+1", LineFault::NotProper});
    forged.push_back({"18446744069414584321 | 8^48+1", LineFault::NotPowerOfTwo});
    for (const Forged& f : forged) text += f.line + "\n";

    const VerifyReport r = VerifyFactorText(text, nullptr, 2, 64);
    EXPECT_EQ(r.factorLines, static_cast<uint64_t>(good) + forged.size());
    ASSERT_EQ(r.bad.size(), forged.size());
    for (size_t i = 0; i < forged.size(); ++i) {
        EXPECT_EQ(r.bad[i].line, firstForged + i) << forged[i].line;
        EXPECT_EQ(r.bad[i].fault, forged[i].fault) << forged[i].line;
    }
    EXPECT_EQ(r.provenBelow64, static_cast<uint64_t>(below64));
    EXPECT_EQ(r.provenBelow33e24, static_cast<uint64_t>(below33e24));
    EXPECT_EQ(r.probableBpsw, static_cast<uint64_t>(bpsw));
    EXPECT_GT(below33e24, 0);
    EXPECT_GT(bpsw, 0);
}

// p = 193 = 3 * 64 + 1 strikes 68, 76, 74, 60, 94, 20 and 88 for N = 32.
const char* kTrueLines = "193 | 68^32+1\n193 | 76^32+1\n193 | 74^32+1\n193 | 60^32+1\n";

std::vector<uint64_t> Lines(const std::vector<VerifyProblem>& problems) {
    std::vector<uint64_t> lines;
    for (const VerifyProblem& p : problems) lines.push_back(p.line);
    return lines;
}

TEST(VerifyText, EachFaultIsReportedWithItsLine) {
    const std::string text = std::string("\nContinuing Sieve\n\n") + kTrueLines +
                             "193 | 68^32+1\n"         // 8: a duplicate is fine
                             "193 | 70^32+1\n"         // 9: not a divisor
                             "195 | 68^32+1\n"         // 10: 195 = 3 * 64 + 3
                             "257 | 68^32+1\n"         // 11: a prime 4 * 64 + 1 that does not divide
                             "641 | 68^32+1\n"         // 12: the same with 10 * 64 + 1
                             "129 | 2^32+1\n"          // 13: 129 = 2 * 64 + 1 = 3 * 43
                             "193 | 68^48+1\n"         // 14: N not a power of two
                             "193 | 68^32+1 and more\n"  // 15: malformed
                             "193 | 68^3\n"            // 16: a cut line in the middle of a run: bad
                             "12289 | 14234^1024+1\n"; // 17: another N
    VerifyReport r = VerifyFactorText(text, nullptr, 1);
    EXPECT_EQ(r.lines, 17u);
    EXPECT_EQ(r.otherLines, 3u);
    EXPECT_EQ(r.factorLines, 14u);
    EXPECT_TRUE(r.cut.empty());
    ASSERT_EQ(Lines(r.bad), (std::vector<uint64_t>{9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(r.bad[0].fault, LineFault::NotDivisor);
    EXPECT_EQ(r.bad[1].fault, LineFault::NotOneMod2N);
    EXPECT_EQ(r.bad[2].fault, LineFault::NotDivisor);
    EXPECT_EQ(r.bad[3].fault, LineFault::NotDivisor);
    EXPECT_EQ(r.bad[4].fault, LineFault::NotPrime);
    EXPECT_EQ(r.bad[5].fault, LineFault::NotPowerOfTwo);
    EXPECT_EQ(r.bad[6].fault, LineFault::Malformed);
    EXPECT_EQ(r.bad[7].fault, LineFault::Malformed);
    EXPECT_EQ(text.substr(r.bad[0].offset, r.bad[0].length), "193 | 70^32+1");

    ASSERT_EQ(r.perExponent.size(), 2u);
    EXPECT_EQ(r.perExponent[0].exponent, 32);
    EXPECT_EQ(r.perExponent[0].lines, 10u);
    EXPECT_EQ(r.perExponent[0].bad, 5u);
    EXPECT_EQ(r.perExponent[1].exponent, 1024);
    EXPECT_EQ(r.perExponent[1].lines, 1u);
    EXPECT_EQ(r.perExponent[1].bad, 0u);
}

// Lines a forger or an old sieve could leave: each is a bad line, so that a
// file with one of them is never reported good.
TEST(VerifyText, ForgedAndImproperLinesAreBad) {
    const std::string text = std::string(kTrueLines) +
                             "+6145 | 2^1024+1\n"   // 5: a sign before p (6145 = 5 * 1229)
                             "-193 | 68^32+1\n"     // 6
                             "65537 | 2^16+1\n"     // 7: p is 2^16 + 1 itself
                             "17 | 2^4+1\n"         // 8: and 2^4 + 1
                             "1297 | 6^4+1\n"       // 9: and 6^4 + 1
                             "17 | 8^4+1\n";        // 10: 17 divides 4097 = 17 * 241: a proper factor
    VerifyReport r = VerifyFactorText(text, nullptr, 1);
    ASSERT_EQ(Lines(r.bad), (std::vector<uint64_t>{5, 6, 7, 8, 9}));
    EXPECT_EQ(r.bad[0].fault, LineFault::Malformed);
    EXPECT_EQ(r.bad[1].fault, LineFault::Malformed);
    for (size_t i = 2; i < 5; ++i) EXPECT_EQ(r.bad[i].fault, LineFault::NotProper);
    EXPECT_STREQ(LineFaultText(LineFault::NotProper), "p equals b^N+1: not a proper factor");
    EXPECT_EQ(r.otherLines, 0u);
}

TEST(VerifyText, LinesCutByAKillAreNotedNotFaulted) {
    // The last line of the file, and the last before a resumed run's
    // continuation text (blank lines between do not matter).
    const std::string text = std::string(kTrueLines) + "193 | 9\n\nContinuing Sieve\n\n" + kTrueLines + "193 | 94^3";
    VerifyReport r = VerifyFactorText(text, nullptr, 1);
    EXPECT_TRUE(r.bad.empty());
    EXPECT_EQ(Lines(r.cut), (std::vector<uint64_t>{5, 13}));
    EXPECT_EQ(r.factorLines, 8u);
}

TEST(VerifyText, ChunksAndThreadsDoNotChangeTheReport) {
    std::string text = "Hollowmere for k^32+1 [k == 2 to 100]\n\n";
    for (int i = 0; i < 200; ++i) {
        text += kTrueLines;
        text += i % 17 == 0 ? "193 | 70^32+1\n" : "";
        text += i % 23 == 0 ? "193 | 6\nContinuing Sieve\n" : "";
        text += i % 29 == 0 ? "193 | 6\n197 | 2^32+1\n" : "";
    }
    const VerifyReport one = VerifyFactorText(text, nullptr, 1);
    ASSERT_FALSE(one.bad.empty());
    ASSERT_FALSE(one.cut.empty());
    for (size_t chunk : {1u, 7u, 50u, 4096u}) {
        const VerifyReport many = VerifyFactorText(text, nullptr, 3, chunk);
        EXPECT_EQ(many.lines, one.lines);
        EXPECT_EQ(many.factorLines, one.factorLines);
        EXPECT_EQ(many.otherLines, one.otherLines);
        EXPECT_EQ(Lines(many.bad), Lines(one.bad)) << chunk;
        EXPECT_EQ(Lines(many.cut), Lines(one.cut)) << chunk;
        ASSERT_EQ(many.perExponent.size(), 1u);
        EXPECT_EQ(many.perExponent[0].bad, one.perExponent[0].bad);
    }
}

TEST(VerifyText, SurvivingBasesOfTheCandidateFileAreFaulted) {
    std::vector<uint32_t> bitmap(8, 0);
    BitTestAndSet(76, bitmap.data());
    BitTestAndSet(100, bitmap.data());
    CandidateSet candidates{32, 100, bitmap.data()};
    const std::string text = std::string(kTrueLines) + "12289 | 14234^1024+1\n";
    VerifyReport r = VerifyFactorText(text, &candidates, 1);
    ASSERT_EQ(Lines(r.bad), (std::vector<uint64_t>{2}));
    EXPECT_EQ(r.bad[0].fault, LineFault::Survives);
    EXPECT_EQ(r.survivorChecks, 4u);  // the N = 1024 line is not compared
}

// A kill after a save leaves factor lines of primes above the file's resume
// point whose bases it still lists: they are proved, counted, not looked up.
// At or below the resume point a listed base is a fault.
TEST(VerifyText, LinesBeyondTheResumePointAreProvedNotLookedUp) {
    std::vector<uint32_t> bitmap(8, 0);
    BitTestAndSet(76, bitmap.data());
    BitTestAndSet(70, bitmap.data());
    const std::string text = "193 | 76^32+1\n"   // 1: listed
                             "257 | 70^32+1\n"   // 2: listed
                             "257 | 74^32+1\n"   // 3: no divisor, wherever p lies
                             "193 | 68^32+1\n";  // 4: struck
    const struct {
        UInt128 resumeP;
        std::vector<uint64_t> bad;
        uint64_t beyond, looked;
    } cases[] = {
        {0, {3}, 3, 0},        {192, {3}, 3, 0},        {193, {1, 3}, 1, 2},
        {256, {1, 3}, 1, 2},   {257, {1, 2, 3}, 0, 3},  {~UInt128{0}, {1, 2, 3}, 0, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(FormatUInt128(c.resumeP));
        const CandidateSet candidates{32, 100, bitmap.data(), c.resumeP};
        const VerifyReport r = VerifyFactorText(text, &candidates, 1);
        EXPECT_EQ(Lines(r.bad), c.bad);
        EXPECT_EQ(r.beyondResume, c.beyond);
        EXPECT_EQ(r.survivorChecks, c.looked);
        EXPECT_EQ(r.bad.back().fault, LineFault::NotDivisor);
        if (c.bad.size() > 1) {
            EXPECT_EQ(r.bad[0].fault, LineFault::Survives);
        }
    }
}

}  // namespace
}  // namespace varnesk
