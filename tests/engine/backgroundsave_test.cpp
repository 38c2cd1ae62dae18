// Saves beside the sieve: the copy a save writes is the candidate set at its
// resume point whatever the sieve strikes meanwhile, a save is never queued
// twice, and a stop waits for the save being written before the final one.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

#include "engine/backgroundsave.h"
#include "engine_fixture.h"
#include "files/candidates.h"
#include "files/file_hooks.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;

SieveJob LiveJob(const std::string& output, RecordingSink* sink) {
    SieveJob job;
    job.bMin = 2;
    job.bMax = 4000;
    job.exponent = 64;
    job.exponentLog2 = 6;
    job.exponent64 = 64;
    job.outputFileName = output;
    job.form = sink;
    SetUpNewCandidates(job);
    job.currentP = 1153;
    return job;
}

// The file a save of job as it stands now would write.
std::string FileOf(const SieveJob& job) {
    char* bytes = nullptr;
    size_t size = 0;
    std::FILE* out = ::open_memstream(&bytes, &size);
    int32_t count = 0;
    EXPECT_TRUE(WriteCandidateLines(out, job, &count));
    std::fclose(out);
    std::string text(bytes, size);
    std::free(bytes);
    return text;
}

void Strike(SieveJob& job, int32_t b) {
    if (BitTestAndClear(b, job.candidateBitmap.data())) --job.candidateCount;
}

// What the sieve does while the save writes; the file must be the set as it
// was when the save began.
TEST(BackgroundSave, TheCopyHoldsTheBasesAtItsResumePointWhileTheSieveStrikesOn) {
    struct Case {
        const char* what;
        std::function<void(SieveJob&)> before, meanwhile;
    } cases[] = {
        {"strikes half the bases and moves p",
         [](SieveJob&) {},
         [](SieveJob& j) {
             for (int32_t b = 2; b <= 4000; b += 4) Strike(j, b);
             j.currentP = 2689;
         }},
        {"strikes every base left",
         [](SieveJob& j) {
             for (int32_t b = 2; b <= 4000; b += 6) Strike(j, b);
         },
         [](SieveJob& j) {
             for (int32_t b = 2; b <= 4000; b += 2) Strike(j, b);
             j.currentP = 100000000003;
         }},
        {"frees its bitmap (a job that ends)",
         [](SieveJob& j) { Strike(j, 4000); },
         [](SieveJob& j) {
             j.candidateBitmap = {};
             j.candidateCount = 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        RecordingSink sink;
        SieveJob job = LiveJob(dir / "o", &sink);
        c.before(job);
        const std::string expected = FileOf(job);
        const int32_t expectedCount = job.candidateCount;

        std::promise<void> struck;
        std::shared_future<void> go = struck.get_future().share();
        BackgroundSave saves;
        ASSERT_TRUE(saves.Begin(job, [go](SieveJob& copy) {
            go.wait();
            return WriteCandidateFile(copy) == 1;
        }));
        c.meanwhile(job);
        struck.set_value();
        EXPECT_TRUE(saves.Collect(&sink, true));
        EXPECT_FALSE(saves.Busy());
        EXPECT_EQ(ReadAll(dir / "o"), expected);
        ASSERT_EQ(sink.Logs().size(), 1u);
        EXPECT_EQ(sink.Logs()[0].rfind(std::to_string(expectedCount) + " items ", 0), 0u) << sink.Logs()[0];
    }
}

// A save asked for while one is being written is refused, not queued: once
// the first ends there is one file and one text, and the next may begin.
TEST(BackgroundSave, ASaveDueWhileOneWritesIsNotQueuedTwice) {
    ScratchDir dir;
    RecordingSink sink;
    SieveJob job = LiveJob(dir / "o", &sink);
    std::promise<void> release;
    std::shared_future<void> go = release.get_future().share();
    std::atomic<int> ran{0};
    auto task = [&](SieveJob& copy) {
        ++ran;
        go.wait();
        return WriteCandidateFile(copy) == 1;
    };
    BackgroundSave saves;
    ASSERT_TRUE(saves.Begin(job, task));
    for (int i = 0; i < 3; ++i) {
        Strike(job, 10 + 2 * i);
        EXPECT_TRUE(saves.Busy());
        EXPECT_FALSE(saves.Begin(job, task));
        // Nothing ended yet: nothing to pass on.
        EXPECT_TRUE(saves.Collect(&sink, false));
        EXPECT_TRUE(sink.Logs().empty());
    }
    release.set_value();
    EXPECT_TRUE(saves.Collect(&sink, true));
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(sink.Logs().size(), 1u);
    EXPECT_EQ(ReadCandidates(dir / "o").bases.size(), 2000u);

    ASSERT_TRUE(saves.Begin(job, task));
    EXPECT_TRUE(saves.Collect(&sink, true));
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(ReadCandidates(dir / "o").bases.size(), 1997u);
}

// The texts of several saves come in order, each once; a failed save is
// reported once.
TEST(BackgroundSave, TextsComeInOrderAndAFailureIsReportedOnce) {
    RecordingSink sink;
    SieveJob job;
    BackgroundSave saves;
    const bool results[] = {true, false, true};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(saves.Begin(job, [i, &results](SieveJob& copy) {
            PostText(copy.form, "save %d", i);
            return results[i];
        }));
        while (saves.Busy()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(saves.Collect(&sink, true));
    EXPECT_EQ(sink.Logs(), (std::vector<std::string>{"save 0", "save 1", "save 2"}));
    EXPECT_TRUE(saves.Collect(&sink, true));
    EXPECT_EQ(sink.Logs().size(), 3u);
}

// A stop that comes while a save is being written: the sieve says so at
// once, waits for that save, then writes its final one; both files are
// whole and the last one holds the stop's resume point.
TEST(BackgroundSave, AStopDuringASaveWaitsForItThenSavesTheEnd) {
    ScratchDir dir;
    JobRun run;
    run.NewSieve(dir / "f", dir / "o", 60000, 64, 4000000000, 0);  // a save at every progress report
    static CGfnThread* worker;
    static const RecordingSink* sink;
    static std::atomic<int> saves;
    static std::vector<std::string> pAtOpen;
    worker = run.worker.get();
    sink = &run.sink;
    saves = 0;
    pAtOpen.clear();
    files_internal::gSaveFault = [](files_internal::SaveStep step) {
        if (step != files_internal::SaveStep::Open) return false;
        pAtOpen.push_back(FormatUInt128(files_internal::gSavingJob->currentP));
        if (++saves == 1) {
            // The stop comes while this save is still to be written, which
            // holds it until the sieve has taken the stop, however long the
            // sieve's thread waits for a core.
            worker->m_stopRequest = 1;
            for (int i = 0; i < 60000 && !sink->Has("Stop request received."); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    };
    run.worker->m_tickCount = 1;
    run.Run();
    files_internal::gSaveFault = nullptr;

    ASSERT_EQ(saves, 2);
    const auto logs = run.sink.Logs();
    const auto stop = std::find(logs.begin(), logs.end(), "Stop request received.");
    ASSERT_NE(stop, logs.end());
    // After the stop: the first save's text, then the final one's.
    std::vector<std::string> written;
    for (auto it = stop; it != logs.end(); ++it)
        if (it->find(" p value written to ") != std::string::npos) written.push_back(*it);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_NE(written[0].find(" items " + pAtOpen[0] + " p value"), std::string::npos) << written[0];
    EXPECT_NE(written[1].find(" items " + pAtOpen[1] + " p value"), std::string::npos) << written[1];
    const CandidateFile file = ReadCandidates(dir / "o");
    EXPECT_EQ(std::to_string(file.p), pAtOpen[1]);
    const auto progress = run.sink.ProgressRecords();
    EXPECT_EQ(FormatUInt128(progress.back().p), pAtOpen[1]);
    EXPECT_EQ(static_cast<int32_t>(file.bases.size()), progress.back().basesLeft);
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
        EXPECT_NE(e.path().filename().string().rfind("o.", 0), 0u) << e.path();
    EXPECT_EQ(run.sink.Texts().back(), "@");
    EXPECT_EQ(run.worker->Outcome(), JobOutcome::kNormalEnd);
}

}  // namespace
}  // namespace varnesk
