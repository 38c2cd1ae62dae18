#include "files/factorfile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/joblock.h"
#include "platform/post.h"
#include "tests/files/test_support.h"

namespace varnesk {
namespace {

using testing_files::CollectingSink;
using testing_files::ReadBytes;
using testing_files::ScratchFolder;
using testing_files::WriteBytes;
using ::testing::ElementsAre;

class FactorFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        job_.factorFileName = path_;
        job_.form = &sink_;
        job_.exponent = 1024;
        job_.bMin = 2;
        job_.bMax = 1000000;
    }

    ScratchFolder dir_;
    std::string path_ = dir_.File("factors.txt");
    CollectingSink sink_;
    SieveJob job_;
};

TEST_F(FactorFileTest, NewFileGetsTheBanner) {
    FactorFile factors(job_);
    ASSERT_TRUE(factors.Start());
    EXPECT_FALSE(factors.IsOpen());
    EXPECT_EQ(ReadBytes(path_), "Hollowmere for k^1024+1 [k == 2 to 1000000]\n\n");
    EXPECT_TRUE(sink_.texts.empty());
}

TEST_F(FactorFileTest, ExistingFileIsContinuedNeverTruncated) {
    WriteBytes(path_, "");
    FactorFile first(job_);
    ASSERT_TRUE(first.Start());
    EXPECT_EQ(ReadBytes(path_), "\nContinuing Sieve\n\n");

    WriteBytes(path_, "12345 | 2^1024+1\n");
    FactorFile second(job_);
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(ReadBytes(path_), "12345 | 2^1024+1\n\nContinuing Sieve\n\n");
}

// Within a job, what the file was when the job took its lock decides, not
// what the job's preparation made of it since.
TEST_F(FactorFileTest, TheBannerGoesToAFileTheJobMadeOrReplaced) {
    const std::string banner = "Hollowmere for k^1024+1 [k == 2 to 1000000]\n\n";
    const struct {
        const char* what;
        const char* before;  // nullptr: no file
        const char* prepared;  // what is there when the sieve starts
        bool replaced;       // the user agreed to replace it
        std::string expected;
    } cases[] = {
        {"a new sieve's file, made empty", nullptr, "", false, banner},
        {"a file that was there, empty", "", "", false, "\nContinuing Sieve\n\n"},
        {"a file replaced by agreement", "12345 | 2^1024+1\n", "", true, banner},
        {"lines written since are kept", nullptr, "7 | 2^1024+1\n", false, "7 | 2^1024+1\n\nContinuing Sieve\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(path_);
        if (c.before) WriteBytes(path_, c.before);
        JobLock lock;
        std::string message;
        ASSERT_TRUE(lock.LockFile(path_, "Factor output file", message)) << message;
        WriteBytes(path_, c.prepared);
        if (c.replaced) JobLock::NoteReplaced(path_);
        FactorFile factors(job_);
        ASSERT_TRUE(factors.Start());
        EXPECT_EQ(ReadBytes(path_), c.expected);
        // The file the banner replaced is the one the lock holds.
        if (c.expected == banner) {
            const std::string link = dir_.File("link");
            std::filesystem::remove(link);
            std::filesystem::create_hard_link(path_, link);
            EXPECT_TRUE(JobLock::IsHeld(link));
        }
    }
}

TEST_F(FactorFileTest, FactorLinesAreAppendedAcrossReopens) {
    FactorFile factors(job_);
    ASSERT_TRUE(factors.Start());
    ASSERT_TRUE(factors.EnsureOpen());
    EXPECT_TRUE(factors.IsOpen());
    factors.WriteFactor(1000001, 2);
    factors.WriteFactor(int64_t{9223372036854775783}, 999998);
    factors.Close();
    EXPECT_FALSE(factors.IsOpen());
    ASSERT_TRUE(factors.EnsureOpen());
    ASSERT_TRUE(factors.EnsureOpen());  // already open: nothing happens
    factors.WriteFactor(40961, 4);
    factors.Close();
    factors.Close();
    EXPECT_EQ(ReadBytes(path_),
              "Hollowmere for k^1024+1 [k == 2 to 1000000]\n\n"
              "1000001 | 2^1024+1\n"
              "9223372036854775783 | 999998^1024+1\n"
              "40961 | 4^1024+1\n");
    EXPECT_TRUE(sink_.texts.empty());
}

TEST_F(FactorFileTest, UnopenableFileIsReported) {
    job_.factorFileName = dir_.File("missing/factors.txt");
    FactorFile factors(job_);
    EXPECT_FALSE(factors.Start());
    EXPECT_FALSE(factors.EnsureOpen());
    const std::string message = "Unable to open output factor file " + job_.factorFileName + ".";
    EXPECT_THAT(sink_.texts, ElementsAre(message, message));

    job_.factorFileName.clear();
    FactorFile unnamed(job_);
    EXPECT_FALSE(unnamed.Start());
    EXPECT_EQ(sink_.texts.back(), "Unable to open output factor file .");
}

// A process killed between two writes must leave whole lines only: the
// file on disk ends with a newline whenever lines were written to it.
TEST_F(FactorFileTest, LinesReachTheFileWholeAndOnClose) {
    FactorFile factors(job_);
    ASSERT_TRUE(factors.Start());
    ASSERT_TRUE(factors.EnsureOpen());
    const size_t banner = ReadBytes(path_).size();
    std::string want;
    for (int32_t b = 2; b < 200000; b += 2) {
        factors.WriteFactor(int64_t{1000000000000000003}, b);
        want += "1000000000000000003 | " + std::to_string(b) + "^1024+1\n";
        if (b % 20000 == 0) {
            const std::string onDisk = ReadBytes(path_).substr(banner);
            EXPECT_EQ(onDisk, want.substr(0, onDisk.size())) << b;
            if (!onDisk.empty()) {
                EXPECT_EQ(onDisk.back(), '\n') << b;
            }
        }
    }
    EXPECT_GT(ReadBytes(path_).size(), banner);  // more than the pending limit went out
    EXPECT_TRUE(factors.Close());
    EXPECT_EQ(ReadBytes(path_).substr(banner), want);
}

TEST_F(FactorFileTest, CloseTellsWhenLinesWereLost) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    job_.factorFileName = "/dev/full";
    FactorFile factors(job_);
    ASSERT_TRUE(factors.EnsureOpen());
    EXPECT_TRUE(factors.Close());  // nothing written, nothing lost
    ASSERT_TRUE(factors.EnsureOpen());
    factors.WriteFactor(40961, 4);
    EXPECT_FALSE(factors.Close());
    EXPECT_TRUE(factors.Close());  // already closed
}

// The factor line for every width of p, b and N, and more lines than one
// write holds, against the format it has always had.
TEST_F(FactorFileTest, FactorLinesOfEveryWidth) {
    struct Case {
        UInt128 p;
        int32_t b, exponent;
    } cases[] = {
        {3, 2, 2},
        {2049, 1000, 1024},
        {UInt128{18446744073709551615u}, 2147483582, 1073741824},  // 2^64 - 1
        {UInt128{1} << 64 | 1, 12, 4194304},
        {(UInt128{1} << 96) - 1, 2147483582, 1073741824},
    };
    FactorFile factors(job_);
    ASSERT_TRUE(factors.Start());
    std::string expected = ReadBytes(path_);
    ASSERT_TRUE(factors.EnsureOpen());
    // Enough lines for several of the file's writes.
    for (int round = 0; round < 30000; ++round) {
        for (const Case& c : cases) {
            job_.exponent = c.exponent;
            factors.WriteFactor(c.p, c.b);
            expected += StringPrintf("%s | %d^%d+1\n", FormatUInt128(c.p).c_str(), c.b, c.exponent);
        }
    }
    EXPECT_TRUE(factors.Close());
    EXPECT_TRUE(ReadBytes(path_) == expected);
}

}  // namespace
}  // namespace varnesk
