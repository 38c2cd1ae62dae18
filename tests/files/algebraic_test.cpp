// Odd powers and squares among the bases: exact roots at the edges of 32
// and 64 bits, the counts known for whole ranges, and the record's lines,
// true and forged.
#include "files/algebraic.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "kernels/kernels.h"
#include "test_support.h"

namespace varnesk {
namespace {

using testing_files::ReadBytes;
using testing_files::ScratchFolder;
using testing_files::WriteBytes;

constexpr uint64_t kMax64 = ~uint64_t{0};

TEST(IntegerRoot, ExactAtTheEdges) {
    const struct {
        uint64_t x;
        unsigned k;
        uint64_t root;
    } cases[] = {
        {0, 2, 0}, {1, 5, 1}, {3, 2, 1}, {4, 2, 2}, {7, 3, 1}, {8, 3, 2},
        // Squares and cubes on both sides of 2^31 and 2^32.
        {2147395600, 2, 46340}, {2147395599, 2, 46339}, {2147488281, 2, 46341}, {2147488280, 2, 46340},
        {4294836225, 2, 65535}, {4294967295, 2, 65535}, {4294967296, 2, 65536},
        {2146689000, 3, 1290}, {2146688999, 3, 1289}, {2151685171, 3, 1291}, {2151685170, 3, 1290},
        {4291015625, 3, 1625}, {4298942376, 3, 1626}, {4298942375, 3, 1625},
        // Where a root through doubles rounds up.
        {kMax64, 2, 4294967295}, {18446744065119617025ULL, 2, 4294967295}, {18446744065119617024ULL, 2, 4294967294},
        {(uint64_t{1} << 53) + 1, 2, 94906265}, {kMax64, 3, 2642245}, {kMax64, 63, 2}, {kMax64, 64, 1},
        {uint64_t{1} << 63, 63, 2}, {(uint64_t{1} << 63) - 1, 63, 1}, {12157665459056928801ULL, 40, 3},
        {12157665459056928800ULL, 40, 2}, {123, 1, 123},
    };
    for (const auto& c : cases) EXPECT_EQ(IntegerRoot(c.x, c.k), c.root) << c.x << " " << c.k;
}

TEST(BaseForms, OddPowersAndSquares) {
    const struct {
        uint64_t b;
        uint64_t c;
        unsigned m;
        uint64_t s;
        unsigned t;
    } cases[] = {
        {2, 0, 0, 0, 0},
        {3, 0, 0, 0, 0},
        {4, 0, 0, 2, 1},
        {8, 2, 3, 0, 0},
        {16, 0, 0, 2, 2},
        {64, 4, 3, 8, 1},             // both: 4^3 and 8^2
        {1024, 4, 5, 32, 1},          // 2^10
        {32768, 2, 15, 0, 0},         // 2^15: the smallest c
        {uint64_t{1} << 30, 4, 15, 32768, 1},
        {uint64_t{1} << 31, 2, 31, 0, 0},
        {uint64_t{1} << 32, 0, 0, 2, 5},
        {10077696, 6, 9, 0, 0},       // an odd composite m
        {1000000, 100, 3, 1000, 1},
        {2146689000, 1290, 3, 0, 0},  // cubes just below and above 2^31 and 2^32
        {2151685171, 1291, 3, 0, 0},
        {4291015625, 1625, 3, 0, 0},
        {4298942376, 1626, 3, 0, 0},
        {2147395600, 0, 0, 46340, 1},
        {2147488281, 0, 0, 46341, 1},
        {3486784401, 81, 5, 243, 2},  // 3^20
        {12157665459056928801ULL, 6561, 5, 243, 3},  // 3^40
        {15407021574586368, 12, 15, 0, 0},  // 12^15, beyond 2^53
        {18446744065119617025ULL, 0, 0, 4294967295, 1},
        // No power: primes, and neighbours of powers.
        {2147483647, 0, 0, 0, 0},
        {4294967291, 0, 0, 0, 0},
        {2146688999, 0, 0, 0, 0},
        {2146689001, 0, 0, 0, 0},
        {2147483649, 0, 0, 0, 0},
        {kMax64, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const BaseForms f = FormsOf(c.b);
        EXPECT_EQ(f.c, c.c) << c.b;
        EXPECT_EQ(f.m, c.m) << c.b;
        EXPECT_EQ(f.s, c.s) << c.b;
        EXPECT_EQ(f.t, c.t) << c.b;
    }
}

// The counts among even bases that the search's own tally found.
TEST(BaseForms, CountsOverWholeRanges) {
    const struct {
        int64_t hi;
        int oddPowers, squares;
    } cases[] = {{1000000, 63, 500}, {100000000, 262, 5000}, {2000000000, 681, 22360}};
    for (const auto& c : cases) {
        int odd = 0, squares = 0;
        uint64_t last = 0;
        for (const BaseForms& f : PowerBasesIn(2, c.hi)) {
            EXPECT_GT(f.b, last);
            EXPECT_EQ(f.b % 2, 0u);
            EXPECT_TRUE(f.OddPower() || f.Square()) << f.b;
            last = f.b;
            odd += f.OddPower();
            squares += f.Square();
        }
        EXPECT_EQ(odd, c.oddPowers) << c.hi;
        EXPECT_EQ(squares, c.squares) << c.hi;
    }
    // Odd bases from an odd lower end; both ends inside the range.
    std::vector<uint64_t> odd;
    for (const BaseForms& f : PowerBasesIn(9, 125)) odd.push_back(f.b);
    EXPECT_EQ(odd, (std::vector<uint64_t>{9, 25, 27, 49, 81, 121, 125}));
    EXPECT_TRUE(PowerBasesIn(5, 7).empty());
}

TEST(AlgebraicBases, CountsTheOddPowersStillCandidates) {
    SieveJob job;
    job.bMin = 2;
    job.bMax = 5000;
    job.exponent = 64;
    job.candidateBitmap.assign(5000 / 32 + 2, 0);
    for (int32_t b = 2; b <= 5000; b += 2) BitTestAndSet(b, job.candidateBitmap.data());
    BitTestAndClear(216, job.candidateBitmap.data());  // 6^3, struck

    AlgebraicBases bases;
    bases.Collect(job);
    std::vector<uint64_t> listed;
    for (const BaseForms& f : bases.Bases()) listed.push_back(f.b);
    // Even odd powers up to 5000, 216 struck; squares alone (4, 16, 36, ...) are no part of it.
    EXPECT_EQ(listed, (std::vector<uint64_t>{8, 32, 64, 128, 512, 1000, 1024, 1728, 2048, 2744, 4096}));
    EXPECT_EQ(bases.Left(job), 11);
    BitTestAndClear(8, job.candidateBitmap.data());
    BitTestAndClear(4096, job.candidateBitmap.data());
    BitTestAndClear(10, job.candidateBitmap.data());
    EXPECT_EQ(bases.Left(job), 9);
}

TEST(AlgebraicRecord, LinesTrueAndForged) {
    const struct {
        const char* line;
        bool holds;
        AlgebraicFault fault;
    } cases[] = {
        {"2^4096+1 | 8^4096+1", true, {}},
        {"4^32+1 | 64^32+1", true, {}},
        {"4^4096+1 | 1024^4096+1", true, {}},
        {"2^4096+1 | 1024^4096+1", false, AlgebraicFault::EvenPower},  // 2^10
        {"1290^1048576+1 | 2146689000^1048576+1\r", true, {}},
        {"3^2+1 | 2187^2+1", true, {}},             // odd bases hold as well: 3^7
        {"2^4096+1 | 1000^4096+1", false, AlgebraicFault::NotAPower},   // wrong c
        {"10^4096+1 | 1002^4096+1", false, AlgebraicFault::NotAPower},  // b no power
        {"8^4096+1 | 8^4096+1", false, AlgebraicFault::NotAPower},      // m = 1
        {"1^4096+1 | 1^4096+1", false, AlgebraicFault::NotAPower},
        {"0^4096+1 | 0^4096+1", false, AlgebraicFault::NotAPower},
        {"2^4096+1 | 1^4096+1", false, AlgebraicFault::NotAPower},
        {"64^4096+1 | 8^4096+1", false, AlgebraicFault::NotAPower},     // sides swapped
        {"2^4096+1 | 4^4096+1", false, AlgebraicFault::EvenPower},
        {"8^4096+1 | 64^4096+1", false, AlgebraicFault::EvenPower},
        {"46341^32+1 | 2147488281^32+1", false, AlgebraicFault::OutOfRange},
        {"2^4096+1 | 8^2147483648+1", false, AlgebraicFault::OutOfRange},
        {"2^4096+1 | 8^2048+1", false, AlgebraicFault::ExponentsDiffer},
        {"2^3072+1 | 8^3072+1", false, AlgebraicFault::NotPowerOfTwo},
        {"2^1+1 | 8^1+1", false, AlgebraicFault::NotPowerOfTwo},
        {"2^2147483647+1 | 8^2147483647+1", false, AlgebraicFault::NotPowerOfTwo},
        {"257 | 8^4096+1", false, AlgebraicFault::Malformed},           // a factor line
        {"2^4096+1 | 8^4096+1 ", false, AlgebraicFault::Malformed},
        {" 2^4096+1 | 8^4096+1", false, AlgebraicFault::Malformed},
        {"+2^4096+1 | 8^4096+1", false, AlgebraicFault::Malformed},
        {"2^4096+1 |8^4096+1", false, AlgebraicFault::Malformed},
        {"2^4096+1 | 8^4096", false, AlgebraicFault::Malformed},
        {"2^4096-1 | 8^4096-1", false, AlgebraicFault::Malformed},
        {"c^N+1 | b^N+1", false, AlgebraicFault::Malformed},
    };
    for (const auto& c : cases) {
        AlgebraicFault fault = AlgebraicFault::Malformed;
        bool blank = true;
        const bool holds = CheckAlgebraicLine(c.line, &fault, &blank);
        EXPECT_FALSE(blank) << c.line;
        EXPECT_EQ(holds, c.holds) << c.line;
        if (!c.holds) {
            EXPECT_EQ(fault, c.fault) << c.line << ": " << AlgebraicFaultText(fault);
        }
    }
    bool blank = false;
    AlgebraicFault fault;
    EXPECT_FALSE(CheckAlgebraicLine(" \t\r", &fault, &blank));
    EXPECT_TRUE(blank);
}

// What the sieve and export write is what verify accepts, line for line.
TEST(AlgebraicRecord, WrittenRecordChecksWhole) {
    ScratchFolder dir;
    const std::string path = AlgebraicRecordPath(dir.File("f.txt"));
    EXPECT_EQ(path, dir.File("f.txt.algebraic"));
    WriteBytes(path, "old\n");
    std::string error;
    const std::vector<BaseForms> powers = PowerBasesIn(2, 100000);
    ASSERT_TRUE(WriteAlgebraicRecord(path, powers, 4096, &error)) << error;
    const std::string text = ReadBytes(path);
    EXPECT_EQ(text.substr(0, 62), "2^4096+1 | 8^4096+1\n2^4096+1 | 32^4096+1\n4^4096+1 | 64^4096+1\n");
    const AlgebraicCheck check = CheckAlgebraicText(text);
    EXPECT_TRUE(check.bad.empty());
    EXPECT_EQ(check.algebraic, check.lines);
    EXPECT_EQ(check.algebraic, 31u);  // even odd powers up to 10^5; the squares are not recorded
    EXPECT_THAT(dir.Entries(), ::testing::ElementsAre("f.txt.algebraic"));

    const AlgebraicCheck forged = CheckAlgebraicText(text + "\n2^4096+1 | 16^4096+1\r\n7^4096+1 | 1000^4096+1");
    EXPECT_EQ(forged.lines, 34u);
    ASSERT_EQ(forged.bad.size(), 2u);
    EXPECT_EQ(forged.bad[0].line, 33u);
    EXPECT_EQ(forged.bad[0].text, "2^4096+1 | 16^4096+1");
    EXPECT_EQ(forged.bad[0].fault, AlgebraicFault::EvenPower);
    EXPECT_EQ(forged.bad[1].line, 34u);
    EXPECT_EQ(forged.bad[1].fault, AlgebraicFault::NotAPower);

    EXPECT_FALSE(WriteAlgebraicRecord(dir.File("none/f.algebraic"), powers, 4096, &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace varnesk
