// Whole jobs with the device beside the job's threads (PoCL will do): the
// files are the CPU's byte for byte for N from 4 to 2^24 and p from the
// first primes to 2^80, a job stopped on one side resumes on the other, and
// a faulty device is caught in its first blocks: by the check of its
// primes against the host's, by the audit, by the proof of each strike, by
// the walk's end check, or answered without a difference.
#include <gtest/gtest.h>

#include <algorithm>

#include "gpu/attach.h"
#include "gpu/producer.h"
#include "tests/engine/engine_fixture.h"
#include "tests/gpu/gpu_fixture.h"

namespace varnesk::gpu {
namespace {
using varnesk::testing::JobRun;
using varnesk::testing::ReadAll;
using varnesk::testing::ScratchDir;
using Fault = GpuProducer::Fault;

constexpr UInt128 kTwo(int e) { return UInt128{1} << e; }

bool HasText(const std::vector<std::string>& texts, const std::string& part) {
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(part) != std::string::npos; });
}

GpuProducer::Options DeviceOptions(Fault fault = Fault::kNone, bool auditWarmUp = true) {
    GpuProducer::Options options;
    options.device = testing::TestProgram()->Device();
    // Unpaced and near: the slow test device surely takes part in a short job.
    options.batch = 4;
    options.hold = 4;
    options.yieldAfterRounds = 1 << 30;
    // A walk made to go astray needs the tests' build of the kernels.
    options.program = fault == Fault::kBrokenWalk ? testing::FaultProgram() : testing::TestProgram();
    options.fault = fault;
    options.faultAfter = 0;
    options.auditWarmUp = auditWarmUp;
    return options;
}

// Who sieves a leg: the job's two threads, the device beside them, or the
// device alone beside the job's one thread, the host's.
enum Who { kCpu, kBeside, kAlone };

struct Leg {
    Who who;
    UInt128 startP;   // a resume's start (0: a new sieve, or the file's resume point)
    UInt128 endP;
};

struct Outcome {
    std::string candidates, factors;
    std::vector<std::string> texts;
    int64_t deviceBlocks = 0;
    JobOutcome outcome = JobOutcome::kFailed;
};

// A new sieve and then resumes of its output, each leg on the CPU or with
// the device; the files as the last leg leaves them.
Outcome RunLegs(int32_t n, int32_t bMin, int32_t bMax, const std::vector<Leg>& legs, Fault fault = Fault::kNone,
                bool auditWarmUp = true) {
    ScratchDir dir;
    Outcome out;
    // Each leg writes its own output; the next resumes from it.
    const std::vector<std::string> outputs = {dir / "o0", dir / "o1", dir / "o2", dir / "o3"};
    for (size_t i = 0; i < legs.size(); ++i) {
        const Leg& leg = legs[i];
        JobRun run;
        run.Make(dir / "f", i == 0 ? std::string() : outputs[i - 1], outputs[i],
                 i == 0 ? kCommandNewSieve : kCommandResume, bMin, bMax, int32_t{1} << n);
        run.StartStop(leg.startP, leg.endP);
        run.Threads(leg.who == kAlone ? 1 : 2);
        std::unique_ptr<GpuProducer> device;
        if (leg.who != kCpu) {
            device = std::make_unique<GpuProducer>(DeviceOptions(fault, auditWarmUp));
            AttachDevice(*run.worker, *device);
        }
        run.Run();
        if (device) out.deviceBlocks += device->Blocks();
        const std::vector<std::string> texts = run.sink.Texts();
        out.texts.insert(out.texts.end(), texts.begin(), texts.end());
        out.outcome = run.worker->Outcome();
        out.candidates = ReadAll(outputs[i]);
    }
    out.factors = ReadAll(dir / "f");
    return out;
}

TEST(GpuJobs, FilesAreTheCpusByteForByte) {
    VARNESK_NEED_DEVICE();
    struct Case {
        const char* name;
        int32_t n, bMin, bMax;
        std::vector<UInt128> ends;  // a new sieve to the first, a resume to the second
        UInt128 startP;             // the resume's start P
        bool heavy = false;         // minutes under a sanitizer: left to the release build
    };
    // Each leg long enough in blocks (up to 64 primes each) that the
    // device's part of the window lies within it.
    int64_t deviceBlocks = 0;
    const Case cases[] = {
        {"N=4, p below bMax", 2, 2, 200000, {300000, 2000000}, 300000},
        {"N=1024, translates", 10, 2, 300000, {20000000, 60000000}, 20000000},
        {"N=32, odd bases", 5, 3, 100001, {500000, 10000000}, 500000},
        {"N=2^16 at 10^12", 16, 2, 2000000, {100, 1000000000000ULL + 2000000000ULL}, 1000000000000ULL, true},
        {"N=64 across 2^63", 6, 2, 1000000, {100, kTwo(63) + 10000000}, kTwo(63) - 10000000},
        {"N=256 across 2^64", 8, 2, 1000000, {100, kTwo(64) + 20000000}, kTwo(64) - 20000000},
        {"N=2^24 at 2^64", 24, 2, 1000000, {100, kTwo(64) + 22000000000ULL}, kTwo(64), true},
        {"N=1024 at 2^80", 10, 2, 1000000, {100, kTwo(80) + 100000000}, kTwo(80)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        if (c.heavy) {
            std::fprintf(stderr, "Left to the release build under a sanitizer: %s.\n", c.name);
            continue;
        }
#endif
        // Every way of splitting the run between the two: CPU alone, device
        // throughout, beside the threads or alone, and a stop on one side
        // resumed on the other.
        const Who splits[][2] = {{kCpu, kCpu}, {kBeside, kBeside}, {kAlone, kAlone}, {kBeside, kCpu}, {kCpu, kAlone}};
        const char* names[] = {"CPU", "device", "device alone"};
        Outcome want;
        for (const auto& split : splits) {
            std::vector<Leg> legs;
            for (size_t i = 0; i < c.ends.size(); ++i)
                legs.push_back({split[std::min<size_t>(i, 1)], i == 1 ? c.startP : 0, c.ends[i]});
            const Outcome got = RunLegs(c.n, c.bMin, c.bMax, legs);
            if (split[0] == kCpu && split[1] == kCpu) {
                want = got;
                ASSERT_TRUE(HasText(want.texts, "Terminal P value reached."));
                continue;
            }
            SCOPED_TRACE(std::string(names[split[0]]) + " then " + names[split[1]]);
            EXPECT_TRUE(got.candidates == want.candidates);
            EXPECT_TRUE(got.factors == want.factors);
            EXPECT_EQ(got.outcome, JobOutcome::kNormalEnd);
            EXPECT_TRUE(HasText(got.texts, "sieves beside this process's threads"));
            deviceBlocks += got.deviceBlocks;
        }
    }
    // Whether the device takes part in one short leg depends on when its
    // thread runs (a block that it leaves drifts into the threads' part),
    // so only the whole run must have sieved on it.
    EXPECT_GT(deviceBlocks, 0);
}

TEST(GpuJobs, AFaultyDeviceIsCaughtOrChangesNothing) {
    VARNESK_NEED_DEVICE();
    struct Job {
        int32_t n, bMax;
        UInt128 startP, endP;
    };
    // Hits on many primes, so that each fault has a hit to spoil and the
    // audit a list to compare; and enough blocks of the CPU's length at this
    // N (about forty) that the device gets its part of the window.
    const Job dense{8, 400000, 0, 200000000};
    // About one prime in a hundred with a hit, one hit a block: an audit of
    // a prime a block almost never sees one.
    const Job sparse{10, 100000, 10000000000ULL, 10500000000ULL};
    struct Case {
        const char* name;
        Fault fault;
        const Job& job;
        bool sameFiles;     // the files are the CPU's
        const char* text;   // what the log says, or null
        bool early = false;  // caught before the device hands over its first batches
        bool auditWarmUp = true;
        Who who = kBeside;
    };
    const Case cases[] = {
        {"a small hit buffer splits its slices", Fault::kOverflow, dense, true, nullptr},
        {"no non-residue: the threads complete the primes", Fault::kNoResidue, dense, true, nullptr},
        {"a broken walk fails the device; the threads go on", Fault::kBrokenWalk, dense, true,
         "the walk's end check failed"},
        {"a dropped hit stops the job at the audit", Fault::kDropHit, dense, false, "its results cannot be trusted",
         true},
        {"a wrong base the audit does not see is refused by the proof", Fault::kWrongBase, dense, false,
         "does not divide", false, false},
        {"one prime in thirteen left out stops the job at the check of its primes", Fault::kDropPrime, dense, false,
         "left out the probable prime", true},
        // Alone, with its other batch on the device when the first fails.
        {"a broken walk fails the device alone; the host's thread goes on", Fault::kBrokenWalk, dense, true,
         "the walk's end check failed", false, true, kAlone},
        {"a device alone that drops a hit stops the job", Fault::kDropHit, dense, false,
         "its results cannot be trusted", true, true, kAlone},
        {"a device alone with a small hit buffer changes nothing", Fault::kOverflow, dense, true, nullptr, false, true,
         kAlone},
        {"one hit in seven dropped, where hits are rare, stops the job at the audit", Fault::kDropSeventh, sparse, false,
         "its results cannot be trusted", true},
    };
    for (const Job* job : {&dense, &sparse}) {
        const Outcome want = RunLegs(job->n, 2, job->bMax, {{kCpu, job->startP, job->endP}});
        ASSERT_TRUE(HasText(want.texts, "Terminal P value reached."));
        for (const Case& c : cases) {
            if (&c.job != job) continue;
            SCOPED_TRACE(c.name);
            const Outcome got =
                RunLegs(job->n, 2, job->bMax, {{c.who, job->startP, job->endP}}, c.fault, c.auditWarmUp);
            EXPECT_TRUE(got.deviceBlocks > 0 || !c.sameFiles || c.fault == Fault::kBrokenWalk);
            if (c.text) {
                EXPECT_TRUE(HasText(got.texts, c.text));
            }
            if (c.sameFiles) {
                EXPECT_TRUE(got.candidates == want.candidates);
                EXPECT_TRUE(got.factors == want.factors);
                EXPECT_EQ(got.outcome, JobOutcome::kNormalEnd);
                continue;
            }
            // Stopped as a failure; every line written is one the CPU writes,
            // in the same order: the file is a prefix of the CPU's.
            EXPECT_EQ(got.outcome, JobOutcome::kFailed);
            EXPECT_FALSE(HasText(got.texts, "Terminal P value reached."));
            EXPECT_EQ(want.factors.compare(0, got.factors.size(), got.factors), 0);
            EXPECT_LT(got.factors.size(), want.factors.size());
            // Caught in its first batches (of four blocks, each with about ten
            // hits where they are rare), whatever the job's length.
            if (c.early) {
                EXPECT_LE(got.deviceBlocks, 16);
            }
        }
    }
}

}  // namespace
}  // namespace varnesk::gpu

namespace varnesk::gpu {
namespace {

// The device's batches from made-up times: never more than twice the last
// (a first block without a prime to walk took no time: the next batch is
// not half the device's part), at most half a second of the device's time,
// beside the threads back within half the host's lead, a single block too
// slow for that lead a pause, and a test's fixed length kept.
TEST(GpuPace, BatchesFollowTheDevicesTimeAndTheHostsLead) {
    struct Case {
        const char* name;
        bool alone;
        int fixed;
        double perBlock, turnPerBlock, lead;  // seconds
        int want;                             // the batch it settles at
        double pause = 0;                     // after a first batch of one block
    };
    const Case cases[] = {
        {"alone: half a second of the device", true, 0, 0.02, 0.04, 0, 25},
        {"alone: half its part at most", true, 0, 0.0001, 0.0002, 0, 512},
        {"beside the threads: back within half the lead", false, 0, 0.02, 0.1, 1.0, 5},
        {"beside the threads, the lead unknown: unchanged", false, 0, 0.02, 0.1, 0, 1},
        {"a single block too slow pauses the device", false, 0, 0.3, 0.6, 1.0, 1, 2.4},
        {"a test's fixed length", false, 4, 0.02, 0.1, 1.0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BatchPace pace(512, c.alone, c.fixed);
        // A first block without a prime to walk: no time on the device.
        EXPECT_EQ(pace.Update(0.00001, 0.001, 1, c.lead), 0);
        EXPECT_LE(pace.Batch(), c.fixed ? c.fixed : 2);
        double pause = 0;
        for (int round = 0; round < 40; ++round) {
            const int blocks = pace.Batch();
            pause = pace.Update(c.perBlock * blocks, c.turnPerBlock * blocks, static_cast<size_t>(blocks), c.lead);
            EXPECT_LE(pace.Batch(), std::max(2 * blocks, c.fixed));
            if (pause > 0) break;
        }
        EXPECT_EQ(pace.Batch(), c.want);
        EXPECT_DOUBLE_EQ(pause, c.pause);
    }
}

}  // namespace
}  // namespace varnesk::gpu
