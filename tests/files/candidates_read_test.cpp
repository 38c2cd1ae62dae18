#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "files/candidates.h"
#include "files/file_hooks.h"
#include "kernels/kernels.h"
#include "platform/post.h"
#include "tests/files/test_support.h"

namespace varnesk {
namespace {

using testing_files::CollectingSink;
using testing_files::ScratchFolder;
using testing_files::WriteBytes;
using ::testing::ElementsAre;

class ReadCandidateFileTest : public ::testing::Test {
protected:
    void TearDown() override { files_internal::gAllocationLimitWords = 0; }

    int Read(const std::string& content) {
        WriteBytes(path_, content);
        job_.inputFileName = path_;
        job_.form = &sink_;
        return ReadCandidateFile(job_);
    }
    std::string Msg(const char* format) const { return StringPrintf(format, path_.c_str()); }
    std::vector<int> Bits() const {
        std::vector<int> set;
        for (size_t b = 0; b < job_.candidateBitmap.size() * 32; ++b)
            if (BitTest(static_cast<int32_t>(b), job_.candidateBitmap.data())) set.push_back(static_cast<int>(b));
        return set;
    }
    const std::string& LastText() const { return sink_.texts.back(); }

    ScratchFolder dir_;
    std::string path_ = dir_.File("in.abc");
    CollectingSink sink_;
    SieveJob job_;
};

TEST_F(ReadCandidateFileTest, ReadsTheWritersFormat) {
    job_.currentP = 77;  // must not leak into the result
    ASSERT_EQ(Read("ABC $a^$b+1 // 1000001\n2 1024\n4 1024\n10 1024\n"), 1);
    EXPECT_EQ(job_.bMin, 2);
    EXPECT_EQ(job_.bMax, 10);
    EXPECT_EQ(job_.exponent, 1024);
    EXPECT_EQ(job_.exponentLog2, 10);
    EXPECT_EQ(job_.exponent64, 1024);
    EXPECT_EQ(job_.candidateCount, 3);
    EXPECT_EQ(job_.kCursor, 488);
    EXPECT_EQ(job_.currentP, 0);
    EXPECT_EQ(job_.candidateBitmap.size(), 2u);  // (10 + 31) / 32 + 1
    EXPECT_THAT(Bits(), ElementsAre(2, 4, 10));
    EXPECT_EQ(job_.rootList.size(), 1028u);
    EXPECT_EQ(job_.rootCapacity, 1028);
    EXPECT_EQ(job_.rootCount, 0);
    EXPECT_THAT(sink_.texts, ElementsAre(Msg("Getting range of candidates in input file %s."), "& 2 10 1024",
                                         Msg("Loading input file %s.")));
}

TEST_F(ReadCandidateFileTest, DuplicatesCountOnce) {
    // A blank line in the middle does not end the reading.
    ASSERT_EQ(Read("ABC $a^$b+1 // 0\n6 64\n6 64\n8 64\n\n4 64\n"), 1);
    EXPECT_EQ(job_.exponent, 64);
    EXPECT_EQ(job_.candidateCount, 3);
    EXPECT_THAT(Bits(), ElementsAre(4, 6, 8));
    EXPECT_EQ(job_.kCursor, 0);
}

// Files a resume must not go on from: each is refused with the file and the
// line named, before any table is built, and the file is left as it was.
TEST_F(ReadCandidateFileTest, FilesThatWouldLoseOrChangeBasesAreRefused) {
    const std::string nul = std::string("ABC $a^$b+1 // 5\n2 1024\n4 10") + '\0' + "24\n6 1024\n";
    struct Case {
        std::string content;
        std::string message;  // %1$s the path
    } cases[] = {
        {nul, "Line 3 of input file %1$s holds a NUL byte; the file is refused."},
        {std::string(1, '\0') + "\n2 16\n", "Line 1 of input file %1$s holds a NUL byte; the file is refused."},
        {"2 1024\n4 1024\n7 1024\n",
         "Base 7 on line 3 of input file %1$s is not of the parity of base 2 on line 1; a sieve walks bases of one "
         "parity only."},
        {"ABC $a^$b+1 // 5\n2 1024\n6 2048\n10 65536\n",
         "Exponent 2048 on line 3 of input file %1$s differs from exponent 1024 on line 2; a candidate file holds one "
         "exponent."},
        {"\x89PNG\r\n\x1a junk\nmore junk\n",
         "Line 1 of input file %1$s is neither the header \"ABC $a^$b+1 // p\" nor a candidate line \"b N\": ?PNG?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        sink_.texts.clear();
        EXPECT_EQ(Read(c.content), 0);
        char expected[1024];
        std::snprintf(expected, sizeof expected, c.message.c_str(), path_.c_str());
        EXPECT_EQ(LastText(), expected);
        EXPECT_TRUE(job_.candidateBitmap.empty());
        EXPECT_EQ(testing_files::ReadBytes(path_), c.content);
        EXPECT_EQ(CheckCandidateFile(path_), expected);  // the front ends' check says the same
    }
    EXPECT_EQ(Read("ABC $a^$b+1 // 5\n2 1024\n4 1024\n"), 1);
    EXPECT_EQ(CheckCandidateFile(path_), "");
}

TEST_F(ReadCandidateFileTest, OnlyARegularFileIsRead) {
    job_.form = &sink_;
    job_.inputFileName = dir_.Path();
    EXPECT_EQ(ReadCandidateFile(job_), 0);
    EXPECT_EQ(LastText(), "Input file " + dir_.Path() + " is a folder, not a candidate file.");
    // A pipe would hang the second pass (and its open, with no writer).
    const std::string fifo = dir_.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    job_.inputFileName = fifo;
    EXPECT_EQ(ReadCandidateFile(job_), 0);
    EXPECT_EQ(LastText(), "Input file " + fifo +
                              " is not a regular file (a pipe or a device); a candidate file must be one.");
}

// Every header the sieve has written and its spacing variants are read; a
// line that is neither a header nor "b N" is refused with its number, never
// skipped or read for its leading digits.
TEST_F(ReadCandidateFileTest, LinesAreReadExactlyOrRefused) {
    struct Accepted {
        std::string content;
        UInt128 kCursor;
    } accepted[] = {
        {"ABC $a^$b+1 // 10024961\n12 1024\n", 4895},
        {"ABC  $a^$b+1  //  10024961\n12 1024\n", 4895},
        {"ABC $a^$b+1 //10024961\n12 1024\n", 4895},
        {"\xEF\xBB\xBF ABC\t$a^$b+1\t//\t10024961 \r\n 12\t1024 \r\n\r\n", 4895},
        {"12 1024\nABC $a^$b+1 // 10024961\n", 4895},  // the header after the bases
    };
    for (const Accepted& a : accepted) {
        SCOPED_TRACE(a.content);
        ASSERT_EQ(Read(a.content), 1) << LastText();
        EXPECT_TRUE(job_.kCursorWide == a.kCursor);
        EXPECT_THAT(Bits(), ElementsAre(12));
    }
    const std::string neither = "Line %d of input file %s is neither the header \"ABC $a^$b+1 // p\" nor a candidate "
                                "line \"b N\": %s";
    struct Refused {
        std::string content;
        std::string message;
    } refused[] = {
        {"ABC $a^$b+1 // 5\n30 x\n", StringPrintf(neither.c_str(), 2, path_.c_str(), "30 x")},
        {"ABC $a^$b+1 // 5\n30 1024 junk\n", StringPrintf(neither.c_str(), 2, path_.c_str(), "30 1024 junk")},
        {"ABC $a^$b+1 // 5\n1796662140,56915699713,3\n",
         StringPrintf(neither.c_str(), 2, path_.c_str(), "1796662140,56915699713,3")},
        {"ABC $a^$b+1 // 5\n-30 1024\n", StringPrintf(neither.c_str(), 2, path_.c_str(), "-30 1024")},
        {"ABC $a^$b+1 // 5\n0 1024\n", StringPrintf(neither.c_str(), 2, path_.c_str(), "0 1024")},
        {"ABC $a^$b+1 // 5\nhello\n", StringPrintf(neither.c_str(), 2, path_.c_str(), "hello")},
        {"ABC $a^$b+1 // 5\n12\n", StringPrintf(neither.c_str(), 2, path_.c_str(), "12")},
        {"ABC $a^$b+1 // 5 // 7\n12 8\n", StringPrintf(neither.c_str(), 1, path_.c_str(), "ABC $a^$b+1 // 5 // 7")},
        {"ABC$a^$b+1 // 5\n12 8\n", StringPrintf(neither.c_str(), 1, path_.c_str(), "ABC$a^$b+1 // 5")},
        {"xx ABC $a^$b+1 // 5\n12 8\n", StringPrintf(neither.c_str(), 1, path_.c_str(), "xx ABC $a^$b+1 // 5")},
        {"ABC $a^$b+1 // 5\n12 8\nABC $a^$b+1 // 161\n",
         Msg("Line 3 of input file %s is a second header (the first is line 1); a candidate file has one.")},
        {"12 8\n14 8\n", Msg("Input file %s has no header line \"ABC $a^$b+1 // p\" with the P sieved so far; add "
                              "one (p 0 when none was sieved) to resume from it.")},
        {"", Msg("Input file %s is empty; it is not a candidate file.")},
        {"\n \r\n", Msg("Input file %s is empty; it is not a candidate file.")},
    };
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.content);
        sink_.texts.clear();
        job_.candidateBitmap.clear();
        EXPECT_EQ(Read(r.content), 0);
        EXPECT_EQ(LastText(), r.message);
        EXPECT_TRUE(job_.candidateBitmap.empty());
        EXPECT_EQ(CheckCandidateFile(path_), r.message);
    }
}

// A sieve that struck every base leaves its header alone: a valid file with
// no candidates (and so no N), from which there is nothing to sieve.
TEST_F(ReadCandidateFileTest, AHeaderAloneIsAnEmptyCandidateSet) {
    ASSERT_EQ(Read("ABC $a^$b+1 // 1000001\n"), 1);
    EXPECT_EQ(job_.candidateCount, 0);
    EXPECT_EQ(job_.exponent, 0);
    EXPECT_EQ(CheckCandidateFile(path_), "");
    UInt128 p = 0;
    ResumePointScan scan;
    ASSERT_TRUE(ReadResumePoint(path_, p, &scan));
    EXPECT_TRUE(p == 1000001 && scan.header && !scan.candidates);
}

TEST_F(ReadCandidateFileTest, LongLineIsReadWhole) {
    // Blanks before a base, and after a line's exponent, beyond any piece
    // a line reader might use.
    for (size_t blanks : {387u, 388u, 389u, 390u, 5000u, 70000u}) {
        SCOPED_TRACE(blanks);
        ASSERT_EQ(Read("ABC $a^$b+1 // 0\n4 1024" + std::string(blanks, ' ') + "\n" + std::string(blanks, ' ') +
                       "1000 1024\n"),
                  1);
        EXPECT_THAT(Bits(), ElementsAre(4, 1000));
        EXPECT_EQ(job_.exponent, 1024);
    }
}

TEST_F(ReadCandidateFileTest, SmallResumePointsGiveKCursorZero) {
    for (const char* p : {"0", "1", "2048"}) {
        SCOPED_TRACE(p);
        ASSERT_EQ(Read(std::string("ABC $a^$b+1 // ") + p + "\n2 1024\n"), 1);
        EXPECT_EQ(job_.kCursor, 0);
    }
    ASSERT_EQ(Read("ABC $a^$b+1 // 2049\n2 1024\n"), 1);  // 2 * 1024 * 1 + 1
    EXPECT_EQ(job_.kCursor, 1);
}

TEST_F(ReadCandidateFileTest, BMinStartsAtOneBillion) {
    ASSERT_EQ(Read("ABC $a^$b+1 // 0\n1000000002 2\n1000000004 2\n"), 1);
    EXPECT_EQ(job_.bMin, 1000000000);
    EXPECT_EQ(sink_.texts[1], "& 1000000000 1000000004 2");
    EXPECT_EQ(job_.candidateCount, 2);
}

TEST_F(ReadCandidateFileTest, ExponentMustBeAPowerOfTwoFrom2To2e30) {
    for (int32_t n : {1, 3072, 2147483647}) {
        SCOPED_TRACE(n);
        sink_.texts.clear();
        EXPECT_EQ(Read("ABC $a^$b+1 // 0\n2 " + std::to_string(n) + "\n"), 0);
        EXPECT_EQ(LastText(), StringPrintf("Exponent %d is not a proper power of 2 for GFN testing.", n));
    }
    ASSERT_EQ(Read("ABC $a^$b+1 // 0\n2 2\n"), 1);
    EXPECT_EQ(job_.exponentLog2, 1);
}

TEST_F(ReadCandidateFileTest, LargestExponentIsAcceptedAndItsRootListMayBeRefused) {
    // 2^30 + 4 roots are 4 GB; refuse them here to keep the test light.
    files_internal::gAllocationLimitWords = 1 << 20;
    EXPECT_EQ(Read("ABC $a^$b+1 // 7\n2 1073741824\n"), 0);
    EXPECT_EQ(job_.exponentLog2, 30);
    EXPECT_THAT(sink_.texts,
                ElementsAre(Msg("Getting range of candidates in input file %s."), "& 2 2 1073741824",
                            Msg("Not enough memory for the root list of input file %s (exponent 1073741824).")));
    EXPECT_TRUE(job_.candidateBitmap.empty());
    EXPECT_TRUE(job_.rootList.empty());
}

TEST_F(ReadCandidateFileTest, BitmapThatCannotBeAllocatedFailsCleanly) {
    files_internal::gAllocationLimitWords = 1000;
    EXPECT_EQ(Read("ABC $a^$b+1 // 0\n2 16\n100000 16\n"), 0);
    EXPECT_EQ(LastText(), Msg("Not enough memory for the candidate bitmap of input file %s (b max 100000)."));
    EXPECT_TRUE(job_.candidateBitmap.empty());
}

TEST_F(ReadCandidateFileTest, MissingFileFails) {
    job_.inputFileName = dir_.File("nope.abc");
    job_.form = &sink_;
    EXPECT_EQ(ReadCandidateFile(job_), 0);
    EXPECT_THAT(sink_.texts, ElementsAre("Unable to open input candidate file " + dir_.File("nope.abc") + "."));
}

TEST_F(ReadCandidateFileTest, BasesFromTheLimitUpAreRefused) {
    const std::string tooLarge = "Base %" PRId64 " in input file %s is too large; bases must be below 2147483583.";
    for (int64_t b : {int64_t{kMaxBase}, int64_t{kMaxBase} + 1, int64_t{2147483647}, int64_t{99999999999}}) {
        SCOPED_TRACE(b);
        sink_.texts.clear();
        EXPECT_EQ(Read("ABC $a^$b+1 // 0\n2 16\n" + std::to_string(b) + " 16\n4 16\n"), 0);
        EXPECT_EQ(LastText(), StringPrintf(tooLarge.c_str(), b, path_.c_str()));
        EXPECT_TRUE(job_.candidateBitmap.empty());
    }
    // One below the limit passes the check (its 268 MB bitmap is refused here).
    files_internal::gAllocationLimitWords = 1 << 20;
    EXPECT_EQ(Read("ABC $a^$b+1 // 0\n" + std::to_string(kMaxBase - 1) + " 16\n"), 0);
    EXPECT_EQ(LastText(), Msg("Not enough memory for the candidate bitmap of input file %s (b max 2147483582)."));
}

TEST_F(ReadCandidateFileTest, EndlessDigitsAreRefusedWithoutACrash) {
    std::string digits(3 << 20, '7');
    EXPECT_EQ(Read("ABC $a^$b+1 // 0\n2 16\n" + digits + " 16\n4 16\n"), 0);
    EXPECT_EQ(LastText(), Msg("Base 9223372036854775807 in input file %s is too large; bases must be below "
                              "2147483583."));
    EXPECT_EQ(Read("ABC $a^$b+1 // " + digits), 0);  // the header's digits run on into later pieces
    EXPECT_TRUE(job_.candidateBitmap.empty());
}

TEST_F(ReadCandidateFileTest, ResumePointMustBeBelow2To96AndNotNegative) {
    for (const char* p : {"79228162514264337593543950336", "99999999999999999999999999999999999999999999"}) {
        EXPECT_EQ(Read(std::string("ABC $a^$b+1 // ") + p + "\n2 16\n"), 0);
        EXPECT_EQ(LastText(), StringPrintf("Resume point %s in input file %s is 2^96 or more, beyond the end of "
                                           "the sieve.", p, path_.c_str()));
    }
    EXPECT_EQ(Read("ABC $a^$b+1 // -9223372036854775808\n2 16\n"), 0);
    EXPECT_EQ(LastText(), StringPrintf("Resume point -9223372036854775808 in input file %s is negative.",
                                       path_.c_str()));
    EXPECT_EQ(Read("ABC $a^$b+1 // -5\n2 16\n"), 0);
    EXPECT_EQ(LastText(), StringPrintf("Resume point -5 in input file %s is negative.", path_.c_str()));
    EXPECT_TRUE(job_.candidateBitmap.empty());

    ASSERT_EQ(Read("ABC $a^$b+1 // 9223372036854775807\n2 16\n"), 1);
    EXPECT_EQ(job_.kCursor, (INT64_MAX - 1) / 32);
    EXPECT_TRUE(job_.kCursorWide == static_cast<UInt128>((INT64_MAX - 1) / 32));

    // Beyond 2^63 the same format with a longer number; kCursor saturates,
    // kCursorWide keeps k exactly. 2^96 - 1 = 2*16*k + 1 + 30.
    struct Wide { const char* p; UInt128 k; };
    const UInt128 top = (UInt128{1} << 96) - 1;
    for (Wide w : {Wide{"9223372036854775809", (UInt128{1} << 63) / 32},
                   Wide{"  +18446744073709551617 \t", (UInt128{1} << 64) / 32},
                   Wide{"79228162514264337593543950335", (top - 1) / 32}}) {
        ASSERT_EQ(Read(std::string("ABC $a^$b+1 // ") + w.p + "\n2 16\n"), 1) << w.p;
        EXPECT_TRUE(job_.kCursorWide == w.k) << w.p;
        EXPECT_EQ(job_.kCursor, w.k > static_cast<UInt128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(w.k));
        EXPECT_TRUE(job_.currentP == 0);
    }
}

}  // namespace
}  // namespace varnesk
