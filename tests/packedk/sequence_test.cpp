#include "packedk/sequence.h"

#include <gtest/gtest.h>

#include <cerrno>

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

}  // namespace
}  // namespace varnesk
