// The range record's text, its refusals and the fingerprint of a candidate
// set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/rangerecord.h"
#include "kernels/kernels.h"
#include "test_support.h"

namespace varnesk {
namespace {

using testing_files::ReadBytes;
using testing_files::ScratchFolder;
using testing_files::WriteBytes;

const char* kText =
    "varnesk range 1\nN 32\nfingerprint 18446744073709551615\nsaved 7\nfrom 20011\n"
    "to 79228162514264337593543950335\n";

TEST(SievedRangeText, TextRoundTripsAndReplacesTheFileWhole) {
    SievedRange r;
    std::string error;
    ASSERT_TRUE(ParseSievedRange(kText, &r, &error)) << error;
    EXPECT_EQ(r.exponent, 32);
    EXPECT_EQ(r.fingerprint, 18446744073709551615ULL);
    EXPECT_EQ(r.saved, 7u);
    EXPECT_TRUE(r.from == 20011);
    EXPECT_TRUE(r.to == kWideLimitP - 1);
    EXPECT_EQ(FormatSievedRange(r), kText);

    ScratchFolder dir;
    const std::string path = SievedRangePath(dir.File("f.txt"));
    EXPECT_EQ(path, dir.File("f.txt.range"));
    SievedRange back;
    EXPECT_EQ(ReadSievedRange(path, &back, &error), RangeRead::kMissing);
    WriteBytes(path, "old");
    ASSERT_TRUE(WriteSievedRange(path, r, &error)) << error;
    EXPECT_EQ(ReadBytes(path), kText);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"f.txt.range"});  // no temporary file left
    ASSERT_EQ(ReadSievedRange(path, &back, &error), RangeRead::kRead) << error;
    EXPECT_EQ(FormatSievedRange(back), kText);
    WriteBytes(path, std::string(kText) + std::string(5000, '\n'));
    EXPECT_EQ(ReadSievedRange(path, &back, &error), RangeRead::kBad);
}

TEST(SievedRangeText, ATextThatIsNoRecordIsRefused) {
    const std::string ok = kText;
    auto with = [&](const std::string& from, const std::string& to) {
        std::string t = ok;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    const std::string cases[] = {
        "",
        with("varnesk range 1", "varnesk range 2"),
        with("N 32\n", ""),
        with("N 32\n", "N 32\nN 32\n"),
        with("N 32", "N 48"),
        with("N 32", "N +32"),
        with("saved 7", "saved 7x"),
        with("saved 7", "saved 18446744073709551616"),
        with("from 20011", "from -1"),
        with("from 20011", "from"),
        with("to 79228162514264337593543950335", "to 79228162514264337593543950336"),
        with("to 79228162514264337593543950335", "to 20010"),  // below from
        ok + "comment 1\n",
    };
    for (const std::string& text : cases) {
        SievedRange r;
        std::string error;
        EXPECT_FALSE(ParseSievedRange(text, &r, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

// The fingerprint names the set the writer would save: bits it does not
// walk do not count, every base and N do.
TEST(SievedRangeText, FingerprintFollowsTheSavedSetOnly) {
    SieveJob job;
    job.exponent = 1024;
    job.bMin = 4;
    job.bMax = 300;
    job.candidateBitmap.assign(11, 0);
    const uint64_t empty = CandidateFingerprint(job);
    for (int32_t b : {4, 10, 64, 298, 300}) BitTestAndSet(b, job.candidateBitmap.data());
    const uint64_t fp = CandidateFingerprint(job);
    EXPECT_NE(fp, empty);
    for (int32_t b : {3, 65, 2, 302}) BitTestAndSet(b, job.candidateBitmap.data());  // odd, below, above
    EXPECT_EQ(CandidateFingerprint(job), fp);
    BitTestAndClear(64, job.candidateBitmap.data());
    EXPECT_NE(CandidateFingerprint(job), fp);
    BitTestAndSet(64, job.candidateBitmap.data());
    job.exponent = 2048;
    EXPECT_NE(CandidateFingerprint(job), fp);
}

}  // namespace
}  // namespace varnesk
