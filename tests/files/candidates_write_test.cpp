#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "files/candidates.h"
#include "files/file_hooks.h"
#include "kernels/kernels.h"
#include "platform/post.h"
#include "tests/files/test_support.h"

namespace varnesk {
namespace {

using files_internal::SaveStep;
using testing_files::CollectingSink;
using testing_files::ReadBytes;
using testing_files::ScratchFolder;
using testing_files::WriteBytes;
using ::testing::ElementsAre;

SaveStep gFailingStep;
bool FailAtStep(SaveStep step) { return step == gFailingStep; }

// A job over [bMin, bMax] with the given bases set; candidateCount matches.
SieveJob MakeJob(int32_t bMin, int32_t bMax, int32_t n, const std::vector<int32_t>& bases) {
    SieveJob job;
    job.bMin = bMin;
    job.bMax = bMax;
    job.exponentLog2 = n;
    job.exponent = 1 << n;
    job.candidateBitmap.assign(static_cast<size_t>(bMax + 31) / 32 + 1, 0);
    for (int32_t b : bases)
        if (!BitTestAndSet(b, job.candidateBitmap.data())) ++job.candidateCount;
    return job;
}

class WriteCandidateFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        job_ = MakeJob(2, 10, 10, {2, 4, 10});
        job_.currentP = 1000001;
        job_.outputFileName = path_;
        job_.form = &sink_;
    }
    void TearDown() override { files_internal::gSaveFault = nullptr; }

    std::string Msg(const char* format) const { return StringPrintf(format, path_.c_str()); }

    ScratchFolder dir_;
    std::string path_ = dir_.File("out.abc");
    CollectingSink sink_;
    SieveJob job_;
};

TEST_F(WriteCandidateFileTest, WritesHeaderAndCandidatesInAscendingOrder) {
    WriteBytes(path_, "old content that is longer than the new file will be ...................\n");
    ASSERT_EQ(WriteCandidateFile(job_), 1);
    EXPECT_EQ(ReadBytes(path_), "ABC $a^$b+1 // 1000001\n2 1024\n4 1024\n10 1024\n");
    EXPECT_THAT(sink_.texts, ElementsAre(Msg("3 items 1000001 p value written to %s.")));
    EXPECT_THAT(dir_.Entries(), ElementsAre("out.abc"));
}

TEST_F(WriteCandidateFileTest, OnlyBasesOfBMinsParityAreWritten) {
    job_ = MakeJob(3, 9, 1, {3, 4, 9});
    job_.outputFileName = path_;
    job_.form = &sink_;
    ASSERT_EQ(WriteCandidateFile(job_), 1);
    EXPECT_EQ(ReadBytes(path_), "ABC $a^$b+1 // 0\n3 2\n9 2\n");
    // The count of 3 included base 4, which the walk never visits.
    EXPECT_THAT(sink_.texts, ElementsAre("Consistency error, found 2 candidates, expected 3 candidates.",
                                         Msg("2 items 0 p value written to %s.")));
}

TEST_F(WriteCandidateFileTest, KeepsTheOldFilesPermissions) {
    WriteBytes(path_, "old\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ASSERT_EQ(WriteCandidateFile(job_), 1);
    struct stat st;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Whatever stands beside the output under the names a save might once have
// used is neither written through nor renamed away: a link to another file,
// or a user's own file.
TEST_F(WriteCandidateFileTest, NothingBesideTheOutputIsWrittenOrMoved) {
    const std::string victim = dir_.File("victim.txt");
    WriteBytes(victim, "not yours\n");
    ASSERT_EQ(::symlink(victim.c_str(), (path_ + ".tmp").c_str()), 0);
    WriteBytes(path_ + ".XXXXXX", "a user's file\n");
    WriteBytes(path_, "old\n");
    ASSERT_EQ(WriteCandidateFile(job_), 1);
    EXPECT_EQ(ReadBytes(path_), "ABC $a^$b+1 // 1000001\n2 1024\n4 1024\n10 1024\n");
    EXPECT_EQ(ReadBytes(victim), "not yours\n");
    EXPECT_EQ(ReadBytes(path_ + ".XXXXXX"), "a user's file\n");
    struct stat st;
    ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_THAT(dir_.Entries(), ElementsAre("out.abc", "out.abc.XXXXXX", "out.abc.tmp", "victim.txt"));
}

class FailedSaveTest : public WriteCandidateFileTest, public ::testing::WithParamInterface<SaveStep> {};

TEST_P(FailedSaveTest, LeavesThePreviousFileByteForByte) {
    const std::string previous = "ABC $a^$b+1 // 5\n2 1024\n4 1024\n6 1024\n8 1024\n10 1024\n";
    WriteBytes(path_, previous);
    gFailingStep = GetParam();
    files_internal::gSaveFault = FailAtStep;
    EXPECT_EQ(WriteCandidateFile(job_), 0);
    EXPECT_EQ(ReadBytes(path_), previous);
    EXPECT_THAT(dir_.Entries(), ElementsAre("out.abc"));  // no temporary file left
    // The system's reason follows the message.
    EXPECT_THAT(sink_.texts, ElementsAre(Msg("Unable to open output file %s."),
                                         Msg("Output file %s cannot be written: No space left on device.")));

    // The next save tries again.
    files_internal::gSaveFault = nullptr;
    EXPECT_EQ(WriteCandidateFile(job_), 1);
    EXPECT_EQ(ReadBytes(path_), "ABC $a^$b+1 // 1000001\n2 1024\n4 1024\n10 1024\n");
}

TEST_P(FailedSaveTest, CreatesNothingWhenThereWasNoFile) {
    gFailingStep = GetParam();
    files_internal::gSaveFault = FailAtStep;
    EXPECT_EQ(WriteCandidateFile(job_), 0);
    EXPECT_TRUE(dir_.Entries().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryStep, FailedSaveTest,
                         ::testing::Values(SaveStep::Open, SaveStep::Write, SaveStep::Flush, SaveStep::Sync,
                                           SaveStep::Close, SaveStep::Rename));

TEST_F(WriteCandidateFileTest, MissingFolderFails) {
    job_.outputFileName = dir_.File("no/such/folder/out.abc");
    EXPECT_EQ(WriteCandidateFile(job_), 0);
    EXPECT_THAT(sink_.texts, ElementsAre("Unable to open output file " + job_.outputFileName + ".",
                                         "Output file " + job_.outputFileName +
                                             " cannot be written: No such file or directory."));
}

TEST_F(WriteCandidateFileTest, FolderWithoutWritePermissionLeavesTheOldFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores permissions; the failed-save tests cover this";
    WriteBytes(path_, "previous\n");
    ASSERT_EQ(::chmod(dir_.Path().c_str(), 0555), 0);
    EXPECT_EQ(WriteCandidateFile(job_), 0);
    ::chmod(dir_.Path().c_str(), 0755);
    EXPECT_EQ(ReadBytes(path_), "previous\n");
    EXPECT_THAT(dir_.Entries(), ElementsAre("out.abc"));
    EXPECT_THAT(sink_.texts, ElementsAre(Msg("Unable to open output file %s."),
                                         Msg("Output file %s cannot be written: Permission denied.")));
}

TEST_F(WriteCandidateFileTest, ReadsBackWhatItWrote) {
    std::vector<int32_t> bases;
    for (int32_t b = 5; b <= 1001; b += 2)
        if (b % 3 != 0 || b == 1001) bases.push_back(b);
    SieveJob written = MakeJob(5, 1001, 12, bases);
    written.currentP = 2 * 4096 * int64_t{123457} + 1;
    written.outputFileName = path_;
    written.form = &sink_;
    ASSERT_EQ(WriteCandidateFile(written), 1);

    SieveJob read;
    read.inputFileName = path_;
    read.form = &sink_;
    ASSERT_EQ(ReadCandidateFile(read), 1);
    EXPECT_EQ(read.bMin, 5);
    EXPECT_EQ(read.bMax, 1001);
    EXPECT_EQ(read.exponent, 4096);
    EXPECT_EQ(read.exponentLog2, 12);
    EXPECT_EQ(read.candidateCount, written.candidateCount);
    EXPECT_EQ(read.candidateBitmap, written.candidateBitmap);
    EXPECT_EQ(read.kCursor, 123457);
    EXPECT_EQ(read.currentP, 0);
    EXPECT_EQ(sink_.texts.at(2), "& 5 1001 4096");
}

TEST_F(WriteCandidateFileTest, ResumePointsBeyond2To63RoundTripExactly) {
    // k on both sides of 2^63 and 2^64 and just below 2^96 / 2N.
    const UInt128 twoN = 2 * 4096;
    for (UInt128 k : {UInt128{123457}, (UInt128{1} << 63) / twoN + 1, (UInt128{1} << 64) / twoN + 3,
                      ((UInt128{1} << 96) - 2) / twoN}) {
        SieveJob written = MakeJob(6, 20, 12, {6, 10, 20});
        written.currentP = twoN * k + 1;
        written.outputFileName = path_;
        written.form = &sink_;
        ASSERT_EQ(WriteCandidateFile(written), 1);
        EXPECT_EQ(ReadBytes(path_).substr(0, 16 + FormatUInt128(written.currentP).size()),
                  "ABC $a^$b+1 // " + FormatUInt128(written.currentP) + "\n");
        EXPECT_EQ(sink_.texts.back().substr(0, 9 + FormatUInt128(written.currentP).size()),
                  "3 items " + FormatUInt128(written.currentP) + " ");

        SieveJob read;
        read.inputFileName = path_;
        read.form = &sink_;
        ASSERT_EQ(ReadCandidateFile(read), 1);
        EXPECT_TRUE(read.kCursorWide == k) << FormatUInt128(k);
        EXPECT_EQ(read.candidateBitmap, written.candidateBitmap);
    }
}

}  // namespace
}  // namespace varnesk
