// What a save guarantees: every strike it records already has its proof on
// disk, a save that fails (a full disk) leaves the previous file whole and
// the sieve going, and lost factor lines keep the candidate file at its last
// save; the job's lock goes on with each file a save makes, and the next
// job's start removes only what killed saves left.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "engine/jobcheck.h"
#include "engine_fixture.h"
#include "files/file_hooks.h"
#include "platform/fs.h"
#include "tests/support/scratch.h"

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
    // Each with the system's reason after it.
    const std::string reason = "Output file " + (dir_ / "o") + " cannot be written: No space left on device.";
    for (auto at = std::find(texts.begin(), texts.end(), failure); at != texts.end();
         at = std::find(at + 1, texts.end(), failure))
        EXPECT_EQ(at + 1 == texts.end() ? "" : *(at + 1), reason);
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

JobFiles FilesOf(int32_t command, const std::string& factors, const std::string& input, const std::string& output) {
    JobFiles files;
    files.command = command;
    files.exponentLog2 = 5;
    files.factorFile = factors;
    files.inputFile = input;
    files.outputFile = output;
    return files;
}

// A job locked and prepared as the front ends do it, then run.
struct LockedRun {
    JobFiles files;
    JobLock lock;
    JobRun run;
    void Prepare(bool replaceFactorFile, bool replaceOutputFile) {
        std::string message;
        ASSERT_TRUE(LockJobFiles(files, lock, message)) << message;
        ASSERT_TRUE(PrepareJobFiles(files, replaceFactorFile, replaceOutputFile).empty());
    }
};

// What the factor file begins with follows from what it was when the job
// began: a new sieve's (made empty by its preparation) and a resume's new
// one begin with the banner, one that was there, even empty, is continued.
TEST_F(Durability, TheFactorFileBeginsAsTheJobFoundIt) {
    const std::string banner = "Hollowmere for k^32+1 [k == 2 to 2000]\n\n";
    const struct {
        const char* what;
        int32_t command;
        const char* before;  // nullptr: no file
        std::string begins;
    } cases[] = {
        {"a new sieve", kCommandNewSieve, nullptr, banner},
        {"a new sieve over an old file", kCommandNewSieve, "7 | 2^32+1\n", banner},
        {"a resume into a new file", kCommandResume, nullptr, banner},
        {"a resume into an empty file", kCommandResume, "", "\nContinuing Sieve\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        std::string input = "ABC $a^$b+1 // 0\n";
        for (int32_t b = 2; b <= 2000; b += 2) input += StringPrintf("%d 32\n", b);
        testsupport::WriteAll(dir / "in", input);
        if (c.before) testsupport::WriteAll(dir / "f", c.before);
        LockedRun job;
        const bool resume = c.command == kCommandResume;
        job.files = FilesOf(c.command, dir / "f", resume ? dir / "in" : "", dir / "o");
        job.Prepare(!resume, true);
        job.run.Make(dir / "f", resume ? dir / "in" : "", dir / "o", c.command, 2, 2000, 32);
        job.run.StartStop(5, 100000);
        job.run.Run();
        EXPECT_EQ(ReadAll(dir / "f").substr(0, c.begins.size()), c.begins);
        EXPECT_FALSE(FactorLines(dir / "f").empty());
        if (c.before && *c.before) {
            EXPECT_EQ(ReadAll(dir / "f").find(c.before), std::string::npos);
        }
    }
}

// A resume in place: at every save a hard link made to the output meets the
// job's lock, and neither the input it read nor any file a save replaced is
// still held open, taking up space.
TEST_F(Durability, EveryNameOfTheOutputMeetsTheLockAndReplacedFilesAreLetGo) {
    JobRun first;
    first.NewSieve(dir_ / "f", dir_ / "o", 30000, 256, 3000000);
    first.Run();
    const UInt128 resumeP = static_cast<UInt128>(ReadCandidates(dir_ / "o").p);

    LockedRun job;
    job.files = FilesOf(kCommandResume, dir_ / "f", dir_ / "o", dir_ / "o");
    job.Prepare(false, false);
    JobRun& run = job.run;
    run.Resume(dir_ / "f", dir_ / "o", dir_ / "o");
    run.request.minutesPerSave = 0;
    run.StartStop(resumeP + 1, resumeP + 20000000);
    int saves = 0, held = 0, deleted = 0;
    const std::string written = " p value written to " + (dir_ / "o") + ".";
    run.sink.SetHook([&](const std::string& text) {
        if (text[0] == '$') {
            if (saves < 4) run.worker->m_tickCount.fetch_add(1);
            return;
        }
        if (!text.ends_with(written)) return;
        // Posted on the job's thread once the save has ended, before the
        // next can begin.
        const std::string link = dir_ / StringPrintf("o%d", ++saves);
        if (::link((dir_ / "o").c_str(), link.c_str()) != 0) return;
        held += JobLock::IsHeld(link);
        deleted += testsupport::DeletedFilesHeld(dir_.Path());
    });
    run.worker->m_tickCount = 1;
    run.Run();
    EXPECT_GE(saves, 3);
    EXPECT_EQ(held, saves);
    EXPECT_EQ(deleted, 0);
}

// A job's start removes what saves killed midway left beside its files,
// each kind told by how it begins; a user's file of such a name stays.
TEST_F(Durability, AJobsStartRemovesOnlyTheLeftoversOfItsOwnSaves) {
    const struct {
        const char* beside;
        std::string content;
        bool ours;  // made as a save makes it, then left as a kill leaves it
        bool removed;
    } files[] = {
        {"o", "ABC $a^$b+1 // 7\n2 32\n4 3", true, true},
        {"o", "", true, true},
        {"f.algebraic", "3^32+1 | 27^32+1\n", true, true},
        {"f.range", "varnesk range 1\nN 32\n", true, true},
        {"f.algebraic", "ABC $a^$b+1 // 7\n", true, false},  // not that kind's text
        {"o", "my own notes\n", false, false},
        {"o", "ABC $a^$b+1 // 7\n", false, false},
        {"f", "", false, false},
        {"f", "Hollowmere for k^32+1 [k == 2 to 2000]\n\n", true, true},
        {"f", "7 | 2^32+1\n", true, false},
    };
    std::vector<std::string> names;
    for (const auto& f : files) {
        std::string name = dir_ / (std::string(f.beside) + ".varnesk-tmp-123456");
        if (f.ours) {
            const int fd = CreateTempBeside(dir_ / f.beside, name);
            ASSERT_GE(fd, 0);
            ::close(fd);
        }
        testsupport::WriteAll(name, f.content);
        names.push_back(name);
    }
    const JobFiles job = FilesOf(kCommandNewSieve, dir_ / "f", "", dir_ / "o");
    JobLock lock;
    std::string message;
    ASSERT_TRUE(LockJobFiles(job, lock, message)) << message;
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(std::filesystem::exists(names[i]), !files[i].removed) << names[i] << " " << files[i].content;
}

}  // namespace
}  // namespace varnesk
