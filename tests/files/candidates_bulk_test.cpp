// Candidate files larger than one read or one write: lines cut by the end of
// a read, the in-place reading of "b N" lines of every length, the writer's
// word-at-a-time walk, each against a plain reference, and a big file read
// again once it changed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "files/candidates.h"
#include "kernels/kernels.h"
#include "platform/post.h"
#include "tests/files/test_support.h"

namespace varnesk {
namespace {

using testing_files::CollectingSink;
using testing_files::ReadBytes;
using testing_files::ScratchFolder;
using testing_files::WriteBytes;

// The reader's and writer's piece of a file.
constexpr size_t kPiece = size_t{4} << 20;

std::vector<int32_t> BitsOf(const SieveJob& job) {
    std::vector<int32_t> set;
    for (size_t w = 0; w < job.candidateBitmap.size(); ++w)
        for (uint32_t bits = job.candidateBitmap[w]; bits; bits &= bits - 1)
            set.push_back(static_cast<int32_t>(w * 32 + __builtin_ctz(bits)));
    return set;
}

class BulkTest : public ::testing::Test {
protected:
    int Read(SieveJob& job) {
        job.inputFileName = path_;
        job.form = &sink_;
        return ReadCandidateFile(job);
    }
    ScratchFolder dir_;
    std::string path_ = dir_.File("c.abc");
    CollectingSink sink_;
};

// A blank line of `shift` spaces moves the lines after it, so that the end of
// the first read falls at each place in a line: in the base, on the space,
// in N, on the newline and just after it.
TEST_F(BulkTest, LinesCutByTheEndOfAReadAreReadWhole) {
    const std::string header = "ABC $a^$b+1 // 4097\n";
    for (size_t shift = 0; shift < 16; ++shift) {
        SCOPED_TRACE(shift);
        std::string text = header + std::string(shift, ' ') + "\n";
        std::vector<int32_t> bases;
        for (int32_t b = 100000000; text.size() < kPiece + 64; b += 2) {
            text += std::to_string(b) + " 1024\n";  // 15 bytes
            bases.push_back(b);
        }
        WriteBytes(path_, text);
        SieveJob job;
        ASSERT_EQ(Read(job), 1) << sink_.texts.back();
        EXPECT_EQ(job.candidateCount, static_cast<int32_t>(bases.size()));
        EXPECT_TRUE(BitsOf(job) == bases);
        EXPECT_EQ(job.exponent, 1024);
        EXPECT_EQ(job.kCursor, 2);
    }
}

// Refusals that only the general reading gives must still come when the line
// stands among thousands of the writer's own, before and after a read's end.
TEST_F(BulkTest, ABadLineAmongPlainOnesIsRefusedByNumber) {
    struct Case {
        std::string line;
        std::string message;  // %1$s the path, %2$lld the line
    } cases[] = {
        {"2000002 2048", "Exponent 2048 on line %2$lld of input file %1$s differs from exponent 1024 on line 2; a "
                         "candidate file holds one exponent."},
        {"2000001 1024", "Base 2000001 on line %2$lld of input file %1$s is not of the parity of base 2 on line 2; a "
                         "sieve walks bases of one parity only."},
        {"2000002 1024 ", ""},  // blanks around the parts are read
        {"2000002  1024", ""},
        {"2000002 1024x", "Line %2$lld of input file %1$s is neither the header \"ABC $a^$b+1 // p\" nor a candidate "
                          "line \"b N\": 2000002 1024x"},
        {"0 1024", "Line %2$lld of input file %1$s is neither the header \"ABC $a^$b+1 // p\" nor a candidate line "
                   "\"b N\": 0 1024"},
        {"2000002 0", "Line %2$lld of input file %1$s is neither the header \"ABC $a^$b+1 // p\" nor a candidate line "
                      "\"b N\": 2000002 0"},
        {"2147483584 1024", "Base 2147483584 in input file %1$s is too large; bases must be below 2147483583."},
        {"0000000000002147483584 1024", "Base 9223372036854775807 in input file %1$s is too large; bases must be "
                                        "below 2147483583."},
        {"0002000002 1024", ""},
        {std::string("20000") + '\0' + "2 1024", "Line %2$lld of input file %1$s holds a NUL byte; the file is refused."},
    };
    for (const bool pastARead : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.line + (pastARead ? " past a read" : ""));
            std::string text = "ABC $a^$b+1 // 0\n";
            long long number = 1;
            for (int32_t b = 2; text.size() < (pastARead ? kPiece + 100 : 4000); b += 2, ++number)
                text += std::to_string(b) + " 1024\n";
            text += c.line + "\n2000004 1024\n";
            ++number;
            WriteBytes(path_, text);
            SieveJob job;
            const int read = Read(job);
            if (c.message.empty()) {
                EXPECT_EQ(read, 1) << sink_.texts.back();
                EXPECT_EQ(BitsOf(job).back(), 2000004);
                continue;
            }
            EXPECT_EQ(read, 0);
            char expected[512];
            std::snprintf(expected, sizeof expected, c.message.c_str(), path_.c_str(), number);
            EXPECT_EQ(sink_.texts.back(), expected);
        }
    }
}

// What the writer writes for every placement of bMin and bMax in a word of
// the bitmap and either parity, against a walk over the bases one at a time.
TEST_F(BulkTest, TheWriterWritesExactlyTheWalkFromBMinInStepsOfTwo) {
    const int32_t bounds[] = {1, 2, 30, 31, 32, 33, 63, 64, 65, 95, 96, 97};
    for (int32_t bMin : bounds) {
        for (int32_t bMax : bounds) {
            if (bMax < bMin) continue;
            for (int pattern = 0; pattern < 3; ++pattern) {
                SCOPED_TRACE(std::to_string(bMin) + ".." + std::to_string(bMax) + " pattern " +
                             std::to_string(pattern));
                SieveJob job;
                job.bMin = bMin;
                job.bMax = bMax;
                job.exponent = 8;
                job.currentP = 17;
                job.outputFileName = path_;
                job.form = &sink_;
                // The bitmap also holds bits outside the range and of the
                // other parity, which the walk never visits.
                job.candidateBitmap.assign(5, 0);
                for (int32_t b = 0; b < 160; ++b)
                    if (pattern == 0 || (pattern == 1 && b % 3 != 0) || (pattern == 2 && b % 5 == 1))
                        BitTestAndSet(b, job.candidateBitmap.data());
                std::string expected = "ABC $a^$b+1 // 17\n";
                int32_t count = 0;
                for (int32_t b = bMin; b <= bMax; b += 2)
                    if (BitTest(b, job.candidateBitmap.data())) {
                        expected += std::to_string(b) + " 8\n";
                        ++count;
                    }
                // The lines alone, to memory: a save's sync for each case
                // would make the table slow.
                char* bytes = nullptr;
                size_t size = 0;
                std::FILE* out = ::open_memstream(&bytes, &size);
                ASSERT_NE(out, nullptr);
                int32_t written = 0;
                EXPECT_TRUE(WriteCandidateLines(out, job, &written));
                std::fclose(out);
                EXPECT_EQ(written, count);
                EXPECT_EQ(std::string(bytes, size), expected);
                std::free(bytes);
            }
        }
    }
}

// Several of the writer's pieces, and bases and N of every length the
// formatting meets, read back into the same set.
TEST_F(BulkTest, FilesOfSeveralPiecesReadBackWhole) {
    struct Case {
        int32_t bMin, bMax, step, exponent;
    } cases[] = {
        {2, 900000, 2, 1048576},             // 450,000 lines of 10 to 15 bytes: two pieces
        {99999001, 100400001, 2, 2},         // bases of eight and nine digits
        {7, 2999999, 6, 4194304},            // odd bases, one in three
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bMin);
        SieveJob job;
        job.bMin = c.bMin;
        job.bMax = c.bMax;
        job.exponent = c.exponent;
        job.currentP = 2 * static_cast<UInt128>(c.exponent) * 1234567 + 1;
        job.outputFileName = path_;
        job.form = &sink_;
        job.candidateBitmap.assign(static_cast<size_t>(c.bMax + 31) / 32 + 1, 0);
        for (int32_t b = c.bMin; b <= c.bMax; b += c.step)
            if (!BitTestAndSet(b, job.candidateBitmap.data())) ++job.candidateCount;
        int32_t written = 0;
        ASSERT_EQ(WriteCandidateFile(job, &written), 1);
        EXPECT_EQ(written, job.candidateCount);

        SieveJob read;
        ASSERT_EQ(Read(read), 1) << sink_.texts.back();
        EXPECT_EQ(read.candidateCount, job.candidateCount);
        EXPECT_EQ(read.exponent, c.exponent);
        EXPECT_EQ(read.kCursor, 1234567);
        EXPECT_EQ(read.bMin, c.bMin);
        read.candidateBitmap.resize(job.candidateBitmap.size());
        EXPECT_TRUE(read.candidateBitmap == job.candidateBitmap);
    }
}

// A big file checked by a front end and then read by the job is read once
// for both; any change to it in between, in place or by a new file under
// the name, is read again.
TEST_F(BulkTest, AFileThatChangedIsReadAgain) {
    std::string text = "ABC $a^$b+1 // 4097\n";
    for (int32_t b = 10000000; text.size() < (size_t{17} << 20); b += 2) text += std::to_string(b) + " 1024\n";
    const size_t last = text.rfind('\n', text.size() - 2) + 1;  // where the last line begins
    struct Change {
        const char* what;
        std::function<void()> apply;
        std::string refusal;  // "" when the file still reads
    } changes[] = {
        {"nothing", [] {}, ""},
        {"a line changed in place",
         [&] {
             struct stat before;
             ::stat(path_.c_str(), &before);
             std::string changed = text;
             changed[last] = 'x';
             WriteBytes(path_, changed);
             // Within the same tick of the clock: the same size and time.
             struct timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
             ::utimensat(AT_FDCWD, path_.c_str(), times, 0);
         },
         "neither the header"},
        {"another file renamed over it",
         [&] {
             std::string changed = text;
             changed[text.find(' ', last) - 1] = '1';
             WriteBytes(path_ + ".new", changed);
             std::rename((path_ + ".new").c_str(), path_.c_str());
         },
         "is not of the parity"},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        WriteBytes(path_, text);
        EXPECT_EQ(CheckCandidateFile(path_), "");
        c.apply();
        const std::string refusal = CheckCandidateFile(path_);
        SieveJob job;
        const int read = Read(job);
        if (c.refusal.empty()) {
            EXPECT_EQ(refusal, "");
            EXPECT_EQ(read, 1);
            EXPECT_EQ(job.bMin, 10000000);
            EXPECT_EQ(job.kCursor, 2);
        } else {
            EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
            EXPECT_EQ(read, 0);
        }
    }
}

}  // namespace
}  // namespace varnesk
