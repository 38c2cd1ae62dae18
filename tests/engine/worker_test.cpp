// The worker's set-up, dispatch, texts and end marker.
#include <xmmintrin.h>

#include <chrono>
#include <thread>

#include "engine_fixture.h"
#include "files/candidates.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;

TEST(Texts, ProgressRecordSplitsPAtTenToTheTwelfth) {
    EXPECT_EQ(FormatProgressRecord(17, 1000000000000LL - 11), "$ 17 999999999989");
    EXPECT_EQ(FormatProgressRecord(17, 1000000000000LL + 39), "$ 17 1,000000000039");
    EXPECT_EQ(FormatProgressRecord(0, 1234567890123456LL), "$ 0 1234,567890123456");
    EXPECT_EQ(FormatProgressRecord(5, 0), "$ 5 0");
}

TEST(NewCandidates, EveryOtherBaseFromBMinIsSet) {
    SieveJob job;
    job.bMin = 2, job.bMax = 10, job.exponent = 32;
    SetUpNewCandidates(job);
    EXPECT_EQ(job.candidateCount, 5);
    EXPECT_EQ(job.candidateBitmap.size(), 2u);
    EXPECT_EQ(job.candidateBitmap[0], (1u << 2) | (1u << 4) | (1u << 6) | (1u << 8) | (1u << 10));
    EXPECT_EQ(job.rootCapacity, 36);
    EXPECT_EQ(job.exponent64, 32);
    job.bMin = 3, job.bMax = 9;
    SetUpNewCandidates(job);
    EXPECT_EQ(job.candidateCount, 4);
    EXPECT_EQ(job.candidateBitmap[0], (1u << 3) | (1u << 5) | (1u << 7) | (1u << 9));
}

TEST(Construction, KeepsTheTwelveValues) {
    RecordingSink sink;
    CGfnThread w("f", "i", "o", 1, 2, 10, 1024, 10, &sink, 1, 5, "pk");
    EXPECT_EQ(w.Job().saveIntervalSeconds, 300);
    EXPECT_EQ(w.Job().command, 1);
    EXPECT_EQ(w.Job().packedKPath, "pk");
    EXPECT_EQ(w.m_stopRequest.load(), 0);
    EXPECT_EQ(w.m_tickCount.load(), 0);
    EXPECT_EQ(w.Job().firstPrime, 999);
}

TEST(Dispatch, EveryFailedJobEndsWithOneEndMarker) {
    ScratchDir dir;
    {
        JobRun run;
        run.Make(dir / "f.txt", "", dir / "o.txt", 7, 2, 10, 32);
        run.Run();
        EXPECT_EQ(run.sink.Texts(), (std::vector<std::string>{"Invalid command parameter to sieve thread.", "@"}));
    }
    {
        // Standard math without packed K files: the input file is not read
        // and no output is touched.
        JobRun run;
        run.Make(dir / "f.txt", dir / "missing.txt", dir / "o.txt", 1, 2, 10, 32, 60, 0, "");
        run.Run();
        EXPECT_EQ(run.sink.Texts(),
                  (std::vector<std::string>{"Thread terminated, packed K file required for non-wide math.", "@"}));
        EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
    }
    {
        // An exponent that is not a power of two in the input file.
        std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // 5\n2 3072\n4 3072\n";
        JobRun run;
        run.Make(dir / "f.txt", dir / "in.txt", dir / "o.txt", 1, 0, 0, 0);
        run.Run();
        auto texts = run.sink.Texts();
        ASSERT_GE(texts.size(), 3u);
        EXPECT_EQ(texts[texts.size() - 3], "Exponent 3072 is not a proper power of 2 for GFN testing.");
        EXPECT_EQ(texts[texts.size() - 2], "Thread terminated due to input file parsing failure.");
        EXPECT_EQ(texts.back(), "@");
        EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
        EXPECT_FALSE(std::filesystem::exists(dir / "f.txt"));
    }
}

TEST(Dispatch, RoundingModeOtherThanNearestStopsTheJob) {
    ScratchDir dir;
    JobRun run;
    run.Make(dir / "f.txt", "", dir / "o.txt", 0, 2, 10, 32);
    unsigned saved = _mm_getcsr();
    _mm_setcsr((saved & ~0x6000u) | 0x4000u);
    run.Run();
    _mm_setcsr(saved);
    EXPECT_EQ(run.sink.Texts(), (std::vector<std::string>{"AssemblyInit returned 16384", "@"}));
    EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
}

TEST(Thread, StopAndTicksReachARunningSieve) {
    ScratchDir dir;
    RecordingSink sink;
    auto worker = std::make_shared<CGfnThread>(dir / "f.txt", "", dir / "o.txt", 0, 2, 1000, 1024, 10, &sink, 1, 0, "");
    ASSERT_TRUE(worker->Start());
    std::weak_ptr<CGfnThread> weak = worker;
    // Ticks until a progress record shows up, then the stop.
    for (int i = 0; i < 2000; ++i) {
        worker->m_tickCount++;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        bool progress = false;
        for (auto& t : sink.Texts()) progress |= t[0] == '$';
        if (progress) break;
    }
    worker->m_stopRequest = 1;
    for (int i = 0; i < 5000 && (sink.Texts().empty() || sink.Texts().back() != "@"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    auto texts = sink.Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "@");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "@"), 1);
    EXPECT_TRUE(sink.Has("Stop request received."));
    // The front end may still write both flags after the end marker.
    worker->m_stopRequest = 1;
    worker->m_tickCount++;
    worker.reset();
    for (int i = 0; i < 1000 && !weak.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace varnesk
