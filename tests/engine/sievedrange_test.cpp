// The range record a sieve keeps beside its factor file: written after
// every save of the candidate file, extended by a run that goes on from it,
// begun anew by one that does not.
#include <filesystem>

#include "engine_fixture.h"
#include "files/candidates.h"
#include "files/rangerecord.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;

uint64_t FingerprintOf(const std::string& candidateFile) {
    RecordingSink sink;
    SieveJob job;
    job.inputFileName = candidateFile;
    job.form = &sink;
    EXPECT_EQ(ReadCandidateFile(job), 1);
    return CandidateFingerprint(job);
}

SievedRange RecordOf(const std::string& factorFile) {
    SievedRange r;
    std::string error;
    EXPECT_EQ(ReadSievedRange(SievedRangePath(factorFile), &r, &error), RangeRead::kRead) << error;
    return r;
}

// Each run on one factor file, in order: where it starts from, and what the
// record then says.
TEST(SievedRange, EachRunRecordsWhatItSieved) {
    ScratchDir dir;
    const std::string f = dir / "f.txt", o = dir / "o.txt";
    std::ofstream(dir / "other.txt") << "ABC $a^$b+1 // 40001\n4 32\n6 32\n10 32\n";
    const uint64_t fresh = [] {
        SieveJob job;
        job.bMin = 2;
        job.bMax = 2000;
        job.exponent = 32;
        SetUpNewCandidates(job);
        return CandidateFingerprint(job);
    }();
    struct Step {
        const char* what;
        int32_t command;
        std::string input;
        UInt128 startP, stopP;
        UInt128 from;         // expected
        bool sameFingerprint;  // as the new sieve's
    };
    const Step steps[] = {
        {"new sieve", 0, "", 0, 30000, 0, true},
        {"resume from its output", 1, o, 0, 60000, 0, true},
        {"resume with a start P inside the range", 1, o, 50001, 70000, 0, true},
        {"another candidate set", 1, dir / "other.txt", 0, 90000, 40001, false},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        JobRun run;
        run.Make(f, s.input, o, s.command, 2, 2000, 32);
        if (s.command == 0) {
            run.StartStop(0, s.stopP);
        } else {
            UInt128 resume = 0;
            ASSERT_TRUE(ReadResumePoint(s.input, resume));
            run.StartStop(s.startP ? s.startP : resume + 1, s.stopP);
        }
        run.Run();
        const SievedRange r = RecordOf(f);
        EXPECT_EQ(r.exponent, 32);
        EXPECT_TRUE(r.from == s.from) << FormatUInt128(r.from);
        EXPECT_EQ(FormatUInt128(r.to), std::to_string(ReadCandidates(o).p));
        EXPECT_GT(r.to, s.stopP);
        EXPECT_EQ(r.fingerprint == fresh, s.sameFingerprint);
        EXPECT_EQ(r.saved, FingerprintOf(o));
    }
}

// Periodic saves write it too, and a stop before the end P records the part
// done; a record that cannot be written is reported once and stops nothing.
TEST(SievedRange, EverySaveWritesItAndAFailureStopsNothing) {
    for (const bool blocked : {false, true}) {
        SCOPED_TRACE(blocked);
        ScratchDir dir;
        const std::string f = dir / "f.txt", o = dir / "o.txt";
        if (blocked) std::filesystem::create_directory(SievedRangePath(f));
        JobRun run;
        run.NewSieve(f, o, 2000, 32, 100000000, 0);  // a save at every progress report
        int records = 0;
        std::string seenP, recordedTo;
        run.sink.SetHook([&](const std::string& text) {
            // A save's texts come once it has ended, record included, and
            // before the next save begins.
            if (records >= 100 && seenP.empty() && !blocked && text.find(" p value written to ") != std::string::npos) {
                seenP = std::to_string(ReadCandidates(o).p);
                recordedTo = FormatUInt128(RecordOf(f).to);
            }
            if (text[0] != '$') return;
            ++records;
            run.worker->m_tickCount.fetch_add(1);
            if (records == 200) run.worker->m_stopRequest = 1;
        });
        run.Run();
        const auto logs = run.sink.Logs();
        const int failures = static_cast<int>(std::count_if(logs.begin(), logs.end(), [](const std::string& l) {
            return l.rfind("Range record ", 0) == 0;
        }));
        const int64_t saved = ReadCandidates(o).p;
        EXPECT_GT(saved, 5000);
        EXPECT_LT(saved, 100000000);
        if (blocked) {
            EXPECT_EQ(failures, 1);
            EXPECT_TRUE(run.sink.Has("Stop request received."));
            continue;
        }
        EXPECT_EQ(failures, 0);
        EXPECT_FALSE(seenP.empty());
        EXPECT_EQ(recordedTo, seenP);
        EXPECT_EQ(FormatUInt128(RecordOf(f).to), std::to_string(saved));
    }
}

}  // namespace
}  // namespace varnesk
