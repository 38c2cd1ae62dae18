#include "packedk/sequence.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "kernels/candidates.h"
#include "kernels/startup.h"
#include "pk_test_support.h"
#include "platform/fs.h"

namespace varnesk {
namespace {

using pktest::CollectingSink;
using pktest::MakePackedFile;
using pktest::PutHeader;
using pktest::ScratchFolder;

TEST(SequenceNames, AreNumberedWithFiveDigitsAndFollowTheirOwnName) {
    EXPECT_EQ(SequenceFileName("D", 7, 0), "D/ln7pi00000.pkk");
    EXPECT_EQ(SequenceFileName("/pk", 15, 2), "/pk/ln15pi00002.pkk");
    EXPECT_EQ(SequenceFileName("/pk", 15, 99999), "/pk/ln15pi99999.pkk");
    EXPECT_EQ(NextSequenceFile("/old/ln15pi00009.pkk", "/pk", 15), "/pk/ln15pi00010.pkk");
    EXPECT_EQ(NextSequenceFile("/pk/ln15pi09999.pkk", "/pk", 15), "/pk/ln15pi10000.pkk");
}

TEST(SequenceNames, TheLastFileIsTheEndOfTheUnbrokenRun) {
    ScratchFolder folder;
    const std::string d = folder.Path();
    int32_t last = -7;
    EXPECT_FALSE(FindLastSequenceFile(d, 13, last));
    EXPECT_EQ(last, -7);

    ASSERT_TRUE(MakePackedFile(SequenceFileName(d, 13, 0), {1}));
    ASSERT_TRUE(MakePackedFile(SequenceFileName(d, 13, 2), {3}));
    ASSERT_TRUE(FindLastSequenceFile(d, 13, last));
    EXPECT_EQ(last, 0);
    EXPECT_FALSE(FindLastSequenceFile(d, 14, last));

    ASSERT_TRUE(MakePackedFile(SequenceFileName(d, 13, 1), {2}));
    ASSERT_TRUE(FindLastSequenceFile(d, 13, last));
    EXPECT_EQ(last, 2);
}

class LocateStartKTest : public ::testing::Test {
protected:
    void SetUp() override {
        job_.packedKPath = folder_.Path();
        job_.exponentLog2 = 13;
        job_.form = &sink_;
    }
    std::string Name(int32_t number) const { return SequenceFileName(folder_.Path(), 13, number); }
    // Three files; the step between files is beyond what one file can store.
    void MakeThreeFiles() {
        ASSERT_TRUE(MakePackedFile(Name(0), {10, 12, 15, 20}));
        ASSERT_TRUE(MakePackedFile(Name(1), {1500, 1501, 1600}));
        ASSERT_TRUE(MakePackedFile(Name(2), {5000}));
    }
    bool Locate(int64_t target) {
        job_.kCursor = target;
        db_.CloseDB();
        sink_.Clear();
        bool ok = LocateStartK(db_, error_, job_);
        EXPECT_EQ(job_.kCursor, target);
        return ok;
    }
    int64_t Next() {
        int64_t k = -1;
        EXPECT_TRUE(db_.ReadNext64KValue(k, error_)) << error_;
        return k;
    }

    ScratchFolder folder_;
    CollectingSink sink_;
    SieveJob job_;
    CPackedKDB db_;
    std::string error_;
};

TEST_F(LocateStartKTest, PlacesTheReaderOnTheFirstStoredKAtOrAboveTheTarget) {
    MakeThreeFiles();

    ASSERT_TRUE(Locate(12));
    EXPECT_EQ(db_.FileName(), Name(0));
    EXPECT_EQ(db_.CurrentK(), 12);
    EXPECT_EQ(db_.ReadIndex(), 2u);
    EXPECT_EQ(Next(), 15);

    ASSERT_TRUE(Locate(13));
    EXPECT_EQ(db_.CurrentK(), 15);

    ASSERT_TRUE(Locate(1));
    EXPECT_EQ(db_.CurrentK(), 10);
    EXPECT_EQ(db_.ReadIndex(), 1u);

    ASSERT_TRUE(Locate(20));
    EXPECT_EQ(db_.CurrentK(), 20);
    EXPECT_TRUE(db_.AllRead());

    // Between files: the first value of the next file.
    ASSERT_TRUE(Locate(21));
    EXPECT_EQ(db_.FileName(), Name(1));
    EXPECT_EQ(db_.CurrentK(), 1500);
    EXPECT_EQ(Next(), 1501);

    ASSERT_TRUE(Locate(5000));
    EXPECT_EQ(db_.FileName(), Name(2));
    EXPECT_TRUE(sink_.Texts().empty());
}

TEST_F(LocateStartKTest, ATargetBeyondEveryStoredKNamesTheMissingFile) {
    MakeThreeFiles();
    EXPECT_FALSE(Locate(5001));
    EXPECT_EQ(sink_.Texts(), (std::vector<std::string>{
                                 "Sequence file " + Name(3) + " could not be read.",
                                 "Error opening CPackedKDB file " + Name(3) + "\r\n" + ErrorText(ENOENT),
                             }));
}

TEST_F(LocateStartKTest, AGapInTheNumberingEndsTheSequence) {
    ASSERT_TRUE(MakePackedFile(Name(0), {10, 20}));
    ASSERT_TRUE(MakePackedFile(Name(2), {100, 200}));
    EXPECT_FALSE(Locate(150));
    ASSERT_EQ(sink_.Texts().size(), 2u);
    EXPECT_EQ(sink_.Texts()[0], "Sequence file " + Name(1) + " could not be read.");
}

TEST_F(LocateStartKTest, AFileWithNoValuesOrTooFewIsAReadError) {
    // valueCount 0 with a lastK that claims the target.
    PutHeader(Name(0), 0, 10, 8192, 50);
    EXPECT_FALSE(Locate(30));
    EXPECT_EQ(sink_.Texts(), (std::vector<std::string>{
                                 "Sequence file " + Name(0) + " read error.",
                                 "File read overflow in ReadNext64KValue",
                             }));

    // Values that end below a lastK that was never stored.
    ASSERT_TRUE(std::filesystem::remove(Name(0)));
    ASSERT_TRUE(MakePackedFile(Name(0), {10, 20}));
    PutHeader(Name(0), 2, 10, 8192, 50);
    EXPECT_FALSE(Locate(30));
    EXPECT_EQ(sink_.Texts(), (std::vector<std::string>{
                                 "Sequence file " + Name(0) + " read error.",
                                 "File read overflow in ReadNext64KValue",
                             }));
}

// The k from fromK on that the kernels' candidate stream hands out, up to
// and including lastK.
std::vector<int64_t> StreamKs(int64_t N, int64_t fromK, int64_t lastK) {
    SieveJob job;
    KernelContext kernels;
    EXPECT_EQ(StartKernels(job, kernels), 0);
    CandidateStream stream(kernels, static_cast<uint64_t>(2 * N));
    std::vector<Candidate> found;
    stream.CandidatesInRange(static_cast<UInt128>(fromK - 1), static_cast<UInt128>(lastK), found);
    std::vector<int64_t> ks;
    for (const Candidate& c : found) ks.push_back(static_cast<int64_t>(c.k));
    return ks;
}

std::vector<int64_t> ListedKs(int64_t N, int64_t fromK, int64_t lastK) {
    std::vector<int64_t> ks;
    for (int64_t k = fromK; k <= lastK; ++k)
        if (IsListedK(N, k)) ks.push_back(k);
    return ks;
}

// The completeness checks count on the same probable primes as the build:
// the wheel's own primes for small N, none from 2^63 on.
TEST(ListedK, AreTheKsOfTheBuildsCandidateStream) {
    for (int64_t N : {int64_t{2}, int64_t{4}, int64_t{16}, int64_t{8192}, int64_t{1} << 30}) {
        SCOPED_TRACE(N);
        EXPECT_EQ(ListedKs(N, 1, 3000), StreamKs(N, 1, 3000));
        const int64_t kLimit = (INT64_MAX - 1) / (2 * N);  // the last k below 2^63
        EXPECT_EQ(ListedKs(N, kLimit - 3000, kLimit), StreamKs(N, kLimit - 3000, kLimit));
        EXPECT_FALSE(IsListedK(N, kLimit + 1));
    }
    EXPECT_FALSE(IsListedK(16, 0));
    EXPECT_EQ(FirstListedKBetween(16, 1, 3), 0);  // 33 and 65
    EXPECT_EQ(FirstListedKBetween(16, 1, 4), 3);  // 97
}

// Where a reader goes on after doneK, and the first prime the files leave out
// before it: below the first file, in a step between files, or none.
TEST(SequenceStartTest, FindsThePrimesASequenceLeavesOut) {
    const int32_t n = 5;
    const int64_t N = 32;
    const std::vector<int64_t> all = ListedKs(N, 1, 2000);
    ASSERT_GT(all.size(), 30u);
    auto part = [&](size_t from, size_t to) { return std::vector<int64_t>(all.begin() + from, all.begin() + to); };
    struct Case {
        const char* what;
        std::vector<std::vector<int64_t>> files;
        int64_t doneK;
        bool known;
        int32_t number;
        int64_t missingK;
    };
    const Case cases[] = {
        {"whole, from the bottom", {part(0, 10), part(10, 20)}, 0, true, 0, 0},
        {"whole, inside file 0", {part(0, 10), part(10, 20)}, all[4] + 1, true, 0, 0},
        {"whole, at the end of file 0", {part(0, 10), part(10, 20)}, all[9], true, 1, 0},
        {"begins above the start", {part(5, 20)}, 0, true, 0, all[0]},
        {"begins right above the start", {part(5, 20)}, all[4], true, 0, 0},
        {"begins one prime above the start", {part(5, 20)}, all[3], true, 0, all[4]},
        {"a gap between files, at its start", {part(0, 10), part(15, 20)}, all[9], true, 1, all[10]},
        {"a gap between files, inside it", {part(0, 10), part(15, 20)}, all[12], true, 1, all[13]},
        {"a gap between files, at its end", {part(0, 10), part(15, 20)}, all[14], true, 1, 0},
        {"at the end of the sequence", {part(0, 10)}, all[9], false, 0, 0},
        {"no file 0", {}, 0, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder folder;
        for (size_t f = 0; f < c.files.size(); ++f)
            ASSERT_TRUE(MakePackedFile(SequenceFileName(folder.Path(), n, static_cast<int32_t>(f)), c.files[f], N));
        const SequenceStart start = FindSequenceStart(folder.Path(), n, c.doneK);
        EXPECT_EQ(start.known, c.known);
        if (!c.known) continue;
        EXPECT_EQ(start.number, c.number);
        EXPECT_EQ(start.firstK, c.files[static_cast<size_t>(c.number)].front());
        if (c.number > 0) {
            EXPECT_EQ(start.previousLastK, c.files[static_cast<size_t>(c.number) - 1].back());
        }
        EXPECT_EQ(start.missingK, c.missingK);
    }
}

}  // namespace
}  // namespace varnesk
