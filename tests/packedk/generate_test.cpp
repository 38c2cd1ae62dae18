#include "packedk/generate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <thread>

#include "kernels/startup.h"
#include "packedk/sequence.h"
#include "pk_test_support.h"
#include "platform/fs.h"
#include "platform/numparse.h"

namespace varnesk {
namespace {

using pktest::CollectingSink;
using pktest::MakePackedFile;
using pktest::ReadAllValues;
using pktest::ScratchFolder;

// Slow and plain: trial division by 3..73 and 2^(p-1) mod p with 128-bit
// products, for p = k*2N + 1 < 2^64.
uint64_t MulMod(uint64_t a, uint64_t b, uint64_t m) {
    return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % m);
}

bool ReferencePasses(int64_t k, int64_t n) {
    uint64_t p = static_cast<uint64_t>(k) * static_cast<uint64_t>(2 * n) + 1;
    for (uint64_t q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73})
        if (p % q == 0) return false;
    uint64_t result = 1, base = 2, e = p - 1;
    while (e) {
        if (e & 1) result = MulMod(result, base, p);
        base = MulMod(base, base, p);
        e >>= 1;
    }
    return result == 1;
}

// The first count k above after that pass.
std::vector<int64_t> ReferenceKs(int64_t after, size_t count, int64_t n) {
    std::vector<int64_t> ks;
    for (int64_t k = after + 1; ks.size() < count; ++k)
        if (ReferencePasses(k, n)) ks.push_back(k);
    return ks;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

class GeneratePackedKTest : public ::testing::Test {
protected:
    static constexpr int32_t kN = 8192;
    static constexpr int32_t kLog2N = 13;

    std::string Name(int32_t number) const { return SequenceFileName(dir_, log2N_, number); }

    // One job as the worker runs it: its own thread, the kernels prepared
    // there. The hook sees every text on the worker thread and may stop it.
    // ticks: advance the tick counter every so often while the job runs.
    void Run(uint32_t capacity, std::function<void(const std::string&, WorkerFlags&)> hook = nullptr,
             bool ticks = false) {
        job_ = std::make_unique<SieveJob>();
        flags_ = std::make_unique<WorkerFlags>();
        sink_.Clear();
        job_->form = &sink_;
        job_->command = 31;
        job_->exponent = n_;
        job_->exponentLog2 = log2N_;
        job_->packedKPath = dir_;
        flags_->m_useStartStop = useStartStop_;
        flags_->m_startP = startP_;
        flags_->m_stopRequest = stopAtStart_ ? 1 : 0;
        WorkerFlags& flags = *flags_;
        sink_.SetHook([&flags, hook](const std::string& text) {
            if (hook) hook(text, flags);
        });

        std::atomic<bool> done{false};
        std::thread worker([&] {
            SieveJob& job = *job_;
            KernelContext kernels;
            const int32_t status = StartKernels(job, kernels);
            if (status == 0)
                outcome_ = GeneratePackedK(job, flags, kernels, capacity);
            else
                ADD_FAILURE() << "AssemblyInit returned " << status;
            done = true;
        });
        // Ticks for progress records, and a watchdog so that a fault cannot hang the suite.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (ticks) flags.m_tickCount.fetch_add(1);
            if (std::chrono::steady_clock::now() > deadline && !flags.m_stopRequest.exchange(1))
                ADD_FAILURE() << "the build did not end by itself; stopped";
        }
        worker.join();
        sink_.SetHook(nullptr);
    }

    // Stops the job when a text starting with prefix has come count times.
    static std::function<void(const std::string&, WorkerFlags&)> StopOn(const std::string& prefix, int count = 1) {
        auto seen = std::make_shared<int>(0);
        return [=](const std::string& text, WorkerFlags& flags) {
            if (StartsWith(text, prefix) && ++*seen == count) flags.m_stopRequest = 1;
        };
    }

    // Every value of the sequence in order; every file but the last holds capacity values.
    std::vector<int64_t> SequenceValues(uint32_t capacity) {
        int32_t last = -1;
        std::vector<int64_t> all;
        if (!FindLastSequenceFile(dir_, log2N_, last)) return all;
        for (int32_t s = 0; s <= last; ++s) {
            std::vector<int64_t> values = ReadAllValues(Name(s));
            if (s < last) {
                EXPECT_EQ(values.size(), capacity) << Name(s);
            }
            EXPECT_FALSE(values.empty()) << Name(s);
            all.insert(all.end(), values.begin(), values.end());
        }
        return all;
    }

    ScratchFolder folder_;
    std::string dir_ = folder_.Path();
    CollectingSink sink_;
    std::unique_ptr<SieveJob> job_;
    std::unique_ptr<WorkerFlags> flags_;
    int32_t n_ = kN;
    int32_t log2N_ = kLog2N;
    int32_t useStartStop_ = 0;
    uint64_t startP_ = 0;
    bool stopAtStart_ = false;
    JobOutcome outcome_ = JobOutcome::kFailed;
};

TEST_F(GeneratePackedKTest, StoppedBuildsContinueWithNoValueRepeatedOrSkipped) {
    const uint32_t capacity = 40;
    Run(capacity, StopOn("$ ", 2), true);
    std::vector<std::string> lines = sink_.LogLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Starting packed file generation in directory " + folder_.Path() + ".");
    EXPECT_EQ(lines[1], "Using exponent 8192 which is 2^13.");
    EXPECT_EQ(lines[2], "Sequence file " + Name(0) + " does not exist.  Starting new sequence.");
    EXPECT_EQ(lines.back(), "Packed K file generation stopped.");
    // Between them only the file changes.
    for (size_t i = 3; i + 1 < lines.size(); i += 2) {
        EXPECT_EQ(lines[i], "Sequence file " + Name(static_cast<int32_t>(i - 3) / 2) +
                                " is full.  Switching to next file.");
        EXPECT_EQ(lines[i + 1], "Continuing in new sequence file " + Name(static_cast<int32_t>(i - 1) / 2) + ".");
    }
    size_t afterFirst = SequenceValues(capacity).size();
    ASSERT_GE(afterFirst, 1u);

    // Second run: stopped right after a file change.
    int32_t lastBefore = -1;
    ASSERT_TRUE(FindLastSequenceFile(folder_.Path(), log2N_, lastBefore));
    Run(capacity, StopOn("Continuing in new sequence file ", 2));
    lines = sink_.LogLines();
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[2], "Sequence file " + Name(0) + " found.  Extending sequence.");
    EXPECT_EQ(lines[3], "Resuming with sequence file " + Name(lastBefore) + ".");
    EXPECT_EQ(lines.back(), "Packed K file generation stopped.");
    EXPECT_EQ(lines[lines.size() - 2], "Continuing in new sequence file " + Name(lastBefore + 2) + ".");
    EXPECT_EQ(lines[lines.size() - 3], "Sequence file " + Name(lastBefore + 1) + " is full.  Switching to next file.");
    EXPECT_EQ(ReadAllValues(Name(lastBefore + 2)).size(), 1u);

    // Third run, stopped in the middle of a file.
    Run(capacity, StopOn("$ ", 3), true);
    std::vector<int64_t> all = SequenceValues(capacity);
    ASSERT_GT(all.size(), afterFirst);
    EXPECT_EQ(all, ReferenceKs(0, all.size(), kN));

    // Progress records show 0 candidates and a p of the build.
    EXPECT_EQ(outcome_, JobOutcome::kNormalEnd);
    ASSERT_GE(sink_.ProgressRecords().size(), 3u);
    for (const auto& [left, wideP] : sink_.ProgressRecords()) {
        ASSERT_EQ(left, 0);
        const int64_t p = static_cast<int64_t>(wideP);
        EXPECT_EQ((p - 1) % (2 * kN), 0) << p;
        EXPECT_TRUE(std::binary_search(all.begin(), all.end(), (p - 1) / (2 * kN))) << p;
    }
}

TEST_F(GeneratePackedKTest, AStopBeforeTheFirstValueCreatesNoFile) {
    stopAtStart_ = true;
    Run(0);
    EXPECT_EQ(sink_.Texts(), (std::vector<std::string>{
                                 "Starting packed file generation in directory " + folder_.Path() + ".",
                                 "Using exponent 8192 which is 2^13.",
                                 "Sequence file " + Name(0) + " does not exist.  Starting new sequence.",
                                 "Packed K file generation stopped.",
                             }));
    EXPECT_TRUE(std::filesystem::is_empty(folder_.Path()));
}

TEST_F(GeneratePackedKTest, StartPCountsForANewSequenceOnly) {
    useStartStop_ = 1;
    startP_ = 2 * kN * 5 + 1;
    Run(3, StopOn("Continuing in new sequence file "));
    std::vector<int64_t> all = SequenceValues(3);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all, ReferenceKs(5, 4, kN));

    // An existing sequence goes on after its last K whatever the start P.
    startP_ = 2 * kN * 100000 + 1;
    Run(3, StopOn("Continuing in new sequence file "));
    std::vector<int64_t> more = SequenceValues(3);
    ASSERT_EQ(more.size(), 7u);
    EXPECT_EQ(more, ReferenceKs(5, 7, kN));
}

TEST_F(GeneratePackedKTest, AFullLastFileContinuesInTheNextWithTheKThatDidNotFit) {
    Run(3, StopOn("Continuing in new sequence file "));
    ASSERT_EQ(SequenceValues(3).size(), 4u);

    // With room for one value, file 1 is already full.
    Run(1, StopOn("Continuing in new sequence file "));
    std::vector<std::string> lines = sink_.LogLines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[3], "Resuming with sequence file " + Name(1) + ".");
    EXPECT_EQ(lines[4], "Sequence file " + Name(1) + " is full.  Switching to next file.");
    EXPECT_EQ(lines[5], "Continuing in new sequence file " + Name(2) + ".");
    EXPECT_EQ(lines[6], "Packed K file generation stopped.");
    std::vector<int64_t> all;
    for (int s = 0; s <= 2; ++s) {
        std::vector<int64_t> values = ReadAllValues(Name(s));
        all.insert(all.end(), values.begin(), values.end());
    }
    EXPECT_EQ(ReadAllValues(Name(1)).size(), 1u);
    EXPECT_EQ(ReadAllValues(Name(2)).size(), 1u);
    EXPECT_EQ(all, ReferenceKs(0, 5, kN));
}

TEST_F(GeneratePackedKTest, ANextFileThatAppearedMeanwhileIsNotOverwritten) {
    const std::string intruder = Name(1);
    Run(2, [&](const std::string& text, WorkerFlags&) {
        if (StartsWith(text, "Sequence file " + Name(0) + " is full.")) MakePackedFile(intruder, {1, 2, 3});
    });
    std::vector<std::string> lines = sink_.LogLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4], "Sequence file " + intruder + " could not be initialized.");
    EXPECT_EQ(lines[5], "Error in InitOpenNewFile for PackedPrimeDB file " + intruder + "\r\n" + ErrorText(EEXIST));
    EXPECT_EQ(ReadAllValues(intruder), (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(ReadAllValues(Name(0)), ReferenceKs(0, 2, kN));
}

TEST_F(GeneratePackedKTest, ALastFileThatCannotBeOpenedEndsTheJob) {
    ASSERT_TRUE(MakePackedFile(Name(0), {1}));
    std::filesystem::resize_file(Name(0), kPackedKMapBytes + 1);
    Run(0);
    EXPECT_EQ(sink_.LogLines(), (std::vector<std::string>{
                                    "Starting packed file generation in directory " + folder_.Path() + ".",
                                    "Using exponent 8192 which is 2^13.",
                                    "Sequence file " + Name(0) + " found.  Extending sequence.",
                                    "Resuming with sequence file " + Name(0) + ".",
                                    "Sequence file " + Name(0) + " could not be opened.",
                                    "Error, attempting to write open a small length for PackedPrimeDB file " +
                                        Name(0),
                                }));
    EXPECT_EQ(outcome_, JobOutcome::kFailed);
}

TEST_F(GeneratePackedKTest, StopsBeforeAPThatNoLongerFitsSixtyThreeBits) {
    // With N = 2^30, k*2N + 1 < 2^63 holds up to k = 2^32 - 1.
    n_ = 1 << 30;
    log2N_ = 30;
    const int64_t kLimit = (int64_t{1} << 32) - 1;
    const int64_t from = kLimit - 400;
    useStartStop_ = 1;
    startP_ = static_cast<uint64_t>(from) * (uint64_t{2} << 30) + 1;
    Run(0, nullptr, true);
    std::vector<std::string> lines = sink_.LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "P value reached 64 bits, stopping program.");
    EXPECT_EQ(lines.back(), "Packed K file generation stopped.");

    std::vector<int64_t> expected;
    for (int64_t k = from + 1; k <= kLimit; ++k)
        if (ReferencePasses(k, n_)) expected.push_back(k);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(ReadAllValues(Name(0)), expected);

    // Nothing further fits, so a new run stores nothing more...
    Run(0);
    EXPECT_EQ(sink_.LogLines().back(), "Packed K file generation stopped.");
    EXPECT_EQ(ReadAllValues(Name(0)), expected);

    // ...and a new sequence beyond the limit gets no file at all.
    std::filesystem::remove(Name(0));
    startP_ = (uint64_t{1} << 63) + 1;
    Run(0);
    lines = sink_.LogLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], "P value reached 64 bits, stopping program.");
    EXPECT_EQ(lines[4], "Packed K file generation stopped.");
    EXPECT_FALSE(PathExists(Name(0)));
}

TEST_F(GeneratePackedKTest, ASequenceEndsAtItsLastFiveDigitNumber) {
    // Only the last file needs content; the others need only exist. A
    // hundred thousand names are made much faster in memory where there is one.
    std::error_code noShm;
    ScratchFolder many(std::filesystem::is_directory("/dev/shm", noShm) ? std::filesystem::path("/dev/shm")
                                                                         : std::filesystem::temp_directory_path());
    ASSERT_FALSE(many.Path().empty());
    dir_ = many.Path();
    for (int32_t s = 0; s < kMaxSequenceNumber; ++s) pktest::PutBytes(Name(s), 0, "", 0);
    ASSERT_TRUE(MakePackedFile(Name(kMaxSequenceNumber), {1}));
    Run(1);
    std::vector<std::string> lines = sink_.LogLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], "Resuming with sequence file " + Name(kMaxSequenceNumber) + ".");
    EXPECT_EQ(lines[4], "Sequence file " + Name(kMaxSequenceNumber) +
                            " is full and is the last a sequence can have.  Packed K file generation ended.");
    EXPECT_EQ(outcome_, JobOutcome::kFailed);  // the sequence can grow no further
    EXPECT_FALSE(PathExists(SequenceFileName(dir_, log2N_, kMaxSequenceNumber + 1)));
    dir_ = folder_.Path();
}

// A creation that failed leaves an empty last file: it holds no value, so
// the build writes it again from the k after the file before it, and the
// sequence still ascends without a gap.
TEST_F(GeneratePackedKTest, AnEmptyLastFileIsWrittenAgainAfterThePreviousFile) {
    Run(3, StopOn("Continuing in new sequence file "));
    ASSERT_EQ(SequenceValues(3).size(), 4u);
    std::filesystem::remove(Name(1));
    testsupport::WriteAll(Name(1), "");

    Run(3, StopOn("Continuing in new sequence file "));
    std::vector<std::string> lines = sink_.LogLines();
    EXPECT_TRUE(std::find(lines.begin(), lines.end(),
                          "Sequence file " + Name(1) +
                              " holds no value (its creation failed); the sequence goes on after the last k of "
                              "sequence file " + Name(0) + ".") != lines.end());
    EXPECT_EQ(SequenceValues(3), ReferenceKs(0, 4, kN));
    EXPECT_EQ(pktest::GetAt<int64_t>(Name(1), 16), kN);  // the header names the exponent again

    // An empty file 0 starts the sequence anew.
    for (int s = 0; s <= 1; ++s) std::filesystem::remove(Name(s));
    testsupport::WriteAll(Name(0), "");
    Run(3, StopOn("Continuing in new sequence file "));
    EXPECT_EQ(SequenceValues(3), ReferenceKs(0, 4, kN));
}

TEST(ProgressRecord, SplitsPAtTwelveDigits) {
    EXPECT_EQ(FormatProgressP(999999999989), "999999999989");
    EXPECT_EQ(FormatProgressP(1000000000039), "1,000000000039");
    EXPECT_EQ(FormatProgressP(1234567890123456), "1234,567890123456");
    EXPECT_EQ(FormatProgressP(0), "0");
    // Beyond 2^64 the part before the comma simply grows.
    EXPECT_EQ(FormatProgressP(ParseUInt128("79228162514264337593543950319").value),
              "79228162514264337,593543950319");
}

}  // namespace
}  // namespace varnesk
