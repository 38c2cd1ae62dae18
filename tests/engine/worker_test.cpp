// The worker's set-up, dispatch, records and end marker with its outcome.
#include <xmmintrin.h>

#include <chrono>
#include <functional>
#include <thread>

#include "engine_fixture.h"
#include "files/candidates.h"
#include "files/file_hooks.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;

TEST(Texts, ProgressPSplitsAtTenToTheTwelfth) {
    EXPECT_EQ(FormatProgressP(1000000000000LL - 11), "999999999989");
    EXPECT_EQ(FormatProgressP(1000000000000LL + 39), "1,000000000039");
    EXPECT_EQ(FormatProgressP(1234567890123456LL), "1234,567890123456");
    EXPECT_EQ(FormatProgressP(0), "0");
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

TEST(Construction, TakesTheRequest) {
    RecordingSink sink;
    JobRequest request;
    request.command = kCommandResume;
    request.minutesPerSave = 5;
    request.packedKPath = "pk";
    request.useStartStop = 1;
    request.startP = UInt128{1} << 70;
    request.stopP = (UInt128{1} << 71) + 1;
    request.threads = 0;
    CGfnThread w(request, &sink);
    EXPECT_EQ(w.Job().saveIntervalSeconds, 300);
    EXPECT_EQ(w.Job().command, 1);
    EXPECT_EQ(w.Job().packedKPath, "pk");
    EXPECT_EQ(w.Job().form, &sink);
    EXPECT_EQ(w.m_useStartStop, 1);
    EXPECT_TRUE(w.m_startP == request.startP && w.m_stopP == request.stopP);
    EXPECT_EQ(w.m_stopRequest.load(), 0);
    EXPECT_EQ(w.m_tickCount.load(), 0);
    EXPECT_EQ(w.Job().firstPrime, 999);
    EXPECT_GE(w.Threads(), 1);  // 0: one per hardware thread
}

TEST(Dispatch, EveryFailedJobEndsWithOneEndMarker) {
    ScratchDir dir;
    {
        JobRun run;
        run.Make(dir / "f.txt", "", dir / "o.txt", 7, 2, 10, 32);
        run.Run();
        EXPECT_EQ(run.sink.Texts(), (std::vector<std::string>{"Invalid command parameter to sieve thread.", "@"}));
        EXPECT_EQ(run.sink.Outcomes(), std::vector<JobOutcome>{JobOutcome::kFailed});
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
        run.Resume(dir / "f.txt", dir / "in.txt", dir / "o.txt");
        run.Run();
        auto texts = run.sink.Texts();
        ASSERT_GE(texts.size(), 3u);
        EXPECT_EQ(texts[texts.size() - 3], "Exponent 3072 is not a proper power of 2 for GFN testing.");
        EXPECT_EQ(texts[texts.size() - 2], "Thread terminated due to input file parsing failure.");
        EXPECT_EQ(texts.back(), "@");
        EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
        EXPECT_FALSE(std::filesystem::exists(dir / "f.txt"));
        EXPECT_EQ(run.sink.Outcomes(), std::vector<JobOutcome>{JobOutcome::kFailed});
    }
}

TEST(Dispatch, RoundingModeOtherThanNearestStopsTheJob) {
    ScratchDir dir;
    JobRun run;
    run.NewSieve(dir / "f.txt", dir / "o.txt", 10, 32);
    unsigned saved = _mm_getcsr();
    _mm_setcsr((saved & ~0x6000u) | 0x4000u);
    run.Run();
    _mm_setcsr(saved);
    EXPECT_EQ(run.sink.Texts(), (std::vector<std::string>{"AssemblyInit returned 16384", "@"}));
    EXPECT_EQ(run.sink.Outcomes(), std::vector<JobOutcome>{JobOutcome::kFailed});
    EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
}

// The outcome says what happened, whatever the log lines say: a failed save
// still ends through "Stop request received.", a resume with nothing left
// is no failure.
TEST(Outcome, SaysHowTheJobEnded) {
    struct Case {
        const char* what;
        std::function<void(JobRun&, const ScratchDir&)> make;
        JobOutcome outcome;
        bool stopLine;  // the job left its main loop through the stop path
    };
    const Case cases[] = {
        {"to its end P",
         [](JobRun& r, const ScratchDir& d) {
             r.NewSieve(d / "f.txt", d / "o.txt", 1000, 32, 20000);
         },
         JobOutcome::kNormalEnd, true},
        {"stopped at once",
         [](JobRun& r, const ScratchDir& d) {
             r.NewSieve(d / "f.txt", d / "o.txt", 1000, 32);
             r.worker->m_stopRequest = 1;
         },
         JobOutcome::kNormalEnd, true},
        {"every base struck before",
         [](JobRun& r, const ScratchDir& d) {
             std::ofstream(d / "in.txt") << "ABC $a^$b+1 // 1009\n";
             r.Resume(d / "f.txt", d / "in.txt", d / "in.txt");
         },
         JobOutcome::kNothingToDo, false},
        {"saves that cannot be made",
         [](JobRun& r, const ScratchDir& d) {
             r.NewSieve(d / "f.txt", d / "o.txt", 1000, 32, 20000, 0);
             files_internal::gSaveFault = [](files_internal::SaveStep step) {
                 return step == files_internal::SaveStep::Rename;
             };
         },
         JobOutcome::kFailed, true},
        {"no factor file",
         [](JobRun& r, const ScratchDir& d) { r.NewSieve(d / "no/f.txt", d / "o.txt", 1000, 32); },
         JobOutcome::kFailed, false},
        {"unknown command",
         [](JobRun& r, const ScratchDir& d) { r.Make(d / "f.txt", "", d / "o.txt", 5, 2, 1000, 32); },
         JobOutcome::kFailed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        JobRun run;
        c.make(run, dir);
        run.Run();
        files_internal::gSaveFault = nullptr;
        EXPECT_EQ(run.sink.Outcomes(), std::vector<JobOutcome>{c.outcome});
        EXPECT_EQ(run.worker->Outcome(), c.outcome);
        EXPECT_EQ(run.sink.Has("Stop request received."), c.stopLine);
        EXPECT_EQ(run.sink.Texts().back(), "@");
    }
}

TEST(Thread, StopAndTicksReachARunningSieve) {
    ScratchDir dir;
    JobRun run;
    run.NewSieve(dir / "f.txt", dir / "o.txt", 1000, 1024, 0, 0);
    std::shared_ptr<CGfnThread> worker = std::move(run.worker);
    const RecordingSink& sink = run.sink;
    ASSERT_TRUE(worker->Start());
    std::weak_ptr<CGfnThread> weak = worker;
    // Ticks until a progress record shows up, then the stop.
    for (int i = 0; i < 2000; ++i) {
        worker->m_tickCount++;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (!sink.ProgressRecords().empty()) break;
    }
    worker->m_stopRequest = 1;
    ASSERT_TRUE(run.WaitForEnd());
    auto texts = sink.Texts();
    EXPECT_EQ(texts.back(), "@");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "@"), 1);
    EXPECT_TRUE(sink.Has("Stop request received."));
    EXPECT_EQ(sink.Outcomes(), std::vector<JobOutcome>{JobOutcome::kNormalEnd});
    // The front end may still write both flags after the end marker.
    worker->m_stopRequest = 1;
    worker->m_tickCount++;
    worker.reset();
    for (int i = 0; i < 1000 && !weak.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace varnesk
