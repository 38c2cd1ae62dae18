// What a save guarantees: every strike it records already has its proof on
// disk, a save that fails (a full disk) leaves the previous file whole and
// the sieve going, and lost factor lines keep the candidate file at its last
// save.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "engine_fixture.h"
#include "files/file_hooks.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;
using files_internal::SaveStep;

// The hook has no context of its own; one test at a time sets this.
struct SaveWatch {
    CGfnThread* worker = nullptr;
    std::string factorPath, outputPath;
    std::atomic<int> saves{0};  // attempts, counted at their first step
    int failFrom = 0, failTo = 0;  // attempts [failFrom, failTo] fail at Write
    int missingProofs = 0;
    std::vector<std::string> seenAtOpen;  // the output file as each attempt found it
    bool tempLeftOver = false;
};
SaveWatch* gWatch = nullptr;

// Every even base that the saved bitmap no longer holds must have its line
// on disk. The save is made from a copy on a thread of its own while the
// sieve strikes on, so the copy is what it records.
int MissingProofs(const SaveWatch& w) {
    const SieveJob& j = *files_internal::gSavingJob;
    std::vector<bool> proved(static_cast<size_t>(j.bMax) + 1);
    const std::string text = ReadAll(w.factorPath);
    for (size_t bar = text.find(" | "); bar != std::string::npos; bar = text.find(" | ", bar + 3)) {
        const int32_t b = std::atoi(text.c_str() + bar + 3);
        if (b >= 0 && b <= j.bMax) proved[static_cast<size_t>(b)] = true;
    }
    int missing = 0;
    for (int32_t b = j.bMin; b <= j.bMax; b += 2)
        if (!BitTest(b, j.candidateBitmap.data()) && !proved[static_cast<size_t>(b)]) ++missing;
    return missing;
}

bool WatchSave(SaveStep step) {
    SaveWatch& w = *gWatch;
    if (step == SaveStep::Open) {
        ++w.saves;
        w.missingProofs += MissingProofs(w);
        w.seenAtOpen.push_back(ReadAll(w.outputPath));
        // Any file beside the output whose name begins with its name.
        const std::filesystem::path out(w.outputPath);
        for (const auto& e : std::filesystem::directory_iterator(out.parent_path()))
            if (e.path() != out && e.path().filename().string().rfind(out.filename().string() + ".", 0) == 0)
                w.tempLeftOver = true;
        return false;
    }
    return step == SaveStep::Write && w.saves >= w.failFrom && w.saves <= w.failTo;
}

class Durability : public ::testing::Test {
protected:
    void SetUp() override { gWatch = &watch_; }
    void TearDown() override {
        files_internal::gSaveFault = nullptr;
        gWatch = nullptr;
    }
    void Watch(JobRun& run, const std::string& factors, const std::string& output) {
        watch_.worker = run.worker.get();
        watch_.factorPath = dir_ / factors;
        watch_.outputPath = dir_ / output;
    }
    SaveWatch watch_;
    ScratchDir dir_;
};

// Saves at ticks throughout a run and at its end: the factor lines are
// written before the candidate file that drops their bases.
TEST_F(Durability, EverySaveFindsTheProofsOfItsStrikesOnDisk) {
    JobRun run;
    run.NewSieve(dir_ / "f", dir_ / "o", 60000, 64, 40000000, 0);
    Watch(run, "f", "o");
    files_internal::gSaveFault = WatchSave;
    std::atomic<bool> done{false};
    // A tick 20 ms after each save has been made, however slow the saves
    // (sanitizers), for at most a dozen saves.
    std::thread ticker([&] {
        while (!done && watch_.saves < 12) {
            const int before = watch_.saves;
            run.worker->m_tickCount.fetch_add(1);
            while (!done && watch_.saves == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    run.Run();
    done = true;
    ticker.join();
    EXPECT_GE(watch_.saves, 1);
    EXPECT_EQ(watch_.missingProofs, 0);
    EXPECT_TRUE(run.sink.Has("Terminal P value reached."));
}

// Saves 2 to 4 hit a full disk after writing part of the new file. The old
// file stays as save 1 left it, the temporary file goes, the sieve goes on,
// and the next save and the end of the run are those of a run without the
// failures.
TEST_F(Durability, FullDiskKeepsThePreviousFileAndTheSieveGoesOn) {
    const int32_t N = 256, bMax = 30000;
    const uint64_t endP = 5000000;
    JobRun whole;
    whole.NewSieve(dir_ / "wf", dir_ / "wo", bMax, N, endP, 0);
    whole.Run();

    JobRun run;
    run.NewSieve(dir_ / "f", dir_ / "o", bMax, N, endP, 0);
    Watch(run, "f", "o");
    watch_.failFrom = 2;
    watch_.failTo = 4;
    files_internal::gSaveFault = WatchSave;
    // Saves at eight ticks in a row, then only at the end. They run beside
    // the sieve, which would reach its end P long before the eighth: each
    // progress report waits for the save before it, then asks for one more
    // tick at the next prime.
    run.sink.SetHook([&](const std::string& text) {
        if (text[0] != '$') return;
        while (run.worker->SaveRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (watch_.saves < 7) run.worker->m_tickCount.fetch_add(1);
    });
    run.worker->m_tickCount = 1;
    run.Run();

    ASSERT_EQ(watch_.saves, 9);  // eight at ticks, one at the end
    const auto& seen = watch_.seenAtOpen;
    EXPECT_TRUE(seen[0].empty());  // the sieve had not saved before
    EXPECT_FALSE(seen[1].empty());
    EXPECT_EQ(seen[2], seen[1]);  // the failed saves changed nothing
    EXPECT_EQ(seen[3], seen[1]);
    EXPECT_EQ(seen[4], seen[1]);
    EXPECT_NE(seen[5], seen[1]);  // save 5 went through
    EXPECT_FALSE(watch_.tempLeftOver);
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
        EXPECT_NE(e.path().filename().string().rfind("o.", 0), 0u) << e.path();

    const std::string failure = "Unable to open output file " + (dir_ / "o") + ".";
    auto texts = run.sink.Texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), failure), 3);
    // Progress went on after the last failure.
    auto last = std::find(texts.rbegin(), texts.rend(), failure);
    EXPECT_TRUE(std::any_of(texts.rbegin(), last, [](const std::string& t) { return !t.empty() && t[0] == '$'; }));
    EXPECT_TRUE(run.sink.Has("Terminal P value reached."));
    EXPECT_TRUE(ReadAll(dir_ / "o") == ReadAll(dir_ / "wo"));
    EXPECT_TRUE(FactorLines(dir_ / "f") == FactorLines(dir_ / "wf"));
    EXPECT_EQ(watch_.missingProofs, 0);
}

// Factor lines that cannot be written: the sieve stops and saves nothing
// more, so that the candidate file never drops a base whose proof is lost.
TEST_F(Durability, LostFactorLinesKeepTheCandidateFileAtItsLastSave) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    JobRun run;
    run.NewSieve("/dev/full", dir_ / "o", 20000, 64, 30000000, 0);
    run.Run();
    EXPECT_TRUE(run.sink.Has("Unable to write output factor file /dev/full; the sieve output file keeps its last save."));
    EXPECT_TRUE(run.sink.Has("Stop request received."));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "o"));
    EXPECT_EQ(run.sink.Texts().back(), "@");
}

}  // namespace
}  // namespace varnesk
