// The standard-math sieve over packed K sequences: its texts and files, and
// agreement with the wide-math sieve on the same primes.
#include "engine_fixture.h"
#include <thread>

#include "files/rangerecord.h"

#include "kernels/startup.h"
#include "packedk/generate.h"
#include "kernels/candidates.h"
#include "packedk/packedkdb.h"
#include "packedk/sequence.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;

// The k of the probable primes p = 2Nk + 1 after startK, as the kernels give them.
std::vector<int64_t> ProbablePrimeKs(int64_t N, size_t count, int64_t startK = 0) {
    SieveJob job;
    KernelContext k;
    StartKernels(job, k);
    CandidateStream stream(k, static_cast<uint64_t>(2 * N));
    std::vector<Candidate> found;
    std::vector<int64_t> ks;
    for (UInt128 from = static_cast<UInt128>(startK); ks.size() < count; from += 1000) {
        found.clear();
        stream.CandidatesInRange(from, from + 1000, found);
        for (size_t i = 0; i < found.size() && ks.size() < count; ++i) ks.push_back(static_cast<int64_t>(found[i].k));
    }
    return ks;
}

// Writes ks as sequence files of at most perFile values each.
void WriteSequence(const std::string& dir, int32_t n, const std::vector<int64_t>& ks, size_t perFile) {
    std::string error;
    for (size_t start = 0, number = 0; start < ks.size(); start += perFile, ++number) {
        CPackedKDB db;
        db.SetFileName(SequenceFileName(dir, n, static_cast<int32_t>(number)));
        ASSERT_TRUE(db.InitOpenNewFile(ks[start], int64_t{1} << n, error)) << error;
        for (size_t i = start + 1; i < std::min(ks.size(), start + perFile); ++i)
            ASSERT_TRUE(db.WriteNew64KValue(ks[i], error)) << error;
        db.CloseDB();
    }
}

// Writes each list as the sequence file of its number.
void WriteFiles(const std::string& dir, int32_t n, const std::vector<std::vector<int64_t>>& files) {
    std::string error;
    for (size_t f = 0; f < files.size(); ++f) {
        CPackedKDB db;
        db.SetFileName(SequenceFileName(dir, n, static_cast<int32_t>(f)));
        ASSERT_TRUE(db.InitOpenNewFile(files[f][0], int64_t{1} << n, error)) << error;
        for (size_t i = 1; i < files[f].size(); ++i) ASSERT_TRUE(db.WriteNew64KValue(files[f][i], error)) << error;
        db.CloseDB();
    }
}

// Builds a sequence with the packed K build (small files) until it has
// reached file number lastFile, and returns every stored k.
std::vector<int64_t> BuildSequence(const std::string& dir, int32_t n, int32_t lastFile, uint32_t capacity) {
    SieveJob job;
    WorkerFlags flags;
    KernelContext k;
    RecordingSink sink;
    job.packedKPath = dir;
    job.exponent = 1 << n;
    job.exponentLog2 = n;
    job.form = &sink;
    StartKernels(job, k);
    std::thread build([&] { GeneratePackedK(job, flags, k, capacity); });
    int32_t last = -1;
    while (!FindLastSequenceFile(dir, n, last) || last < lastFile) std::this_thread::yield();
    flags.m_stopRequest = 1;
    build.join();
    EXPECT_TRUE(sink.Has("Packed K file generation stopped."));
    std::vector<int64_t> ks;
    std::string error;
    FindLastSequenceFile(dir, n, last);
    for (int32_t f = 0; f <= last; ++f) {
        CPackedKDB db;
        db.SetFileName(SequenceFileName(dir, n, f));
        EXPECT_TRUE(db.ReadOpenDB(error)) << error;
        int64_t value;
        while (db.ReadNext64KValue(value, error)) ks.push_back(value);
    }
    return ks;
}

struct StandardRun : JobRun {
    void MakeStandard(const ScratchDir& dir, int32_t command, int32_t bMin, int32_t bMax, int32_t N,
                      const std::string& input = "") {
        Make(dir / "f.txt", input, dir / "o.txt", command, bMin, bMax, N, 60, 0, dir / "pk");
    }
};

TEST(StandardSieve, AgreesWithTheWideSieveOnTheSamePrimes) {
    for (int32_t n : {13, 14}) {
        const int32_t N = 1 << n;
        ScratchDir dir;
        std::filesystem::create_directories(dir / "pk");
        const auto ks = BuildSequence(dir / "pk", n, 2, 300);
        EXPECT_EQ(ks, ProbablePrimeKs(N, ks.size()));
        const int64_t lastP = 2 * int64_t{N} * ks.back() + 1;
        const int32_t bMax = 150000;  // above the first primes, below most
        StandardRun standard;
        standard.MakeStandard(dir, 0, 2, bMax, N);
        standard.Threads(n == 13 ? 1 : 3);  // the base list split across threads
        standard.Run();
        EXPECT_TRUE(standard.sink.Has("Standard math algorithm with packed K file selected."));

        JobRun wide;
        wide.NewSieve(dir / "wf.txt", dir / "wo.txt", bMax, N);
        wide.StartStop(0, static_cast<uint64_t>(lastP - 2));  // stops right after lastP
        wide.Run();

        EXPECT_TRUE(ReadAll(dir / "o.txt") == ReadAll(dir / "wo.txt")) << "N=" << N;
        auto a = FactorLines(dir / "f.txt"), b = FactorLines(dir / "wf.txt");
        EXPECT_GT(a.size(), 100u);
        EXPECT_TRUE(std::set<FactorLine>(a.begin(), a.end()) == std::set<FactorLine>(b.begin(), b.end()));
        EXPECT_EQ(a.size(), b.size());
        // Within one prime the standard sieve writes ascending b.
        for (size_t i = 1; i < a.size(); ++i) {
            if (a[i].p == a[i - 1].p) {
                EXPECT_LT(a[i - 1].b, a[i].b);
            }
        }
    }
}

TEST(StandardSieve, MissingNextFileEndsThroughTheStopPath) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "pk");
    const int32_t n = 4, N = 16;
    WriteSequence(dir / "pk", n, ProbablePrimeKs(N, 10), 6);
    StandardRun run;
    run.MakeStandard(dir, 0, 2, 1000, N);
    run.Run();
    auto logs = run.sink.Logs();
    const std::string f0 = SequenceFileName(dir / "pk", n, 0), f1 = SequenceFileName(dir / "pk", n, 1),
                      f2 = SequenceFileName(dir / "pk", n, 2);
    std::vector<std::string> want = {
        "Sequence file " + f0 + " is completed.  Switching to next file.", "Using sequence file " + f1 + ".",
        "Sequence file " + f1 + " is completed.  Switching to next file.", "Using sequence file " + f2 + ".",
        "Sequence file " + f2 + " could opened."};
    auto it = std::search(logs.begin(), logs.end(), want.begin(), want.end());
    ASSERT_NE(it, logs.end());
    it += static_cast<long>(want.size());
    ASSERT_NE(it, logs.end());
    EXPECT_EQ(it->rfind("Error opening CPackedKDB file " + f2 + "\r\n", 0), 0u);
    // Then where the sequence ends and how it goes on.
    const int64_t lastP = 32 * ProbablePrimeKs(N, 10).back() + 1;
    EXPECT_EQ(*(it + 1), "The packed K sequence ends with sequence file " + f1 + ", at p " + std::to_string(lastP) +
                             ". A packed K build in " + (dir / "pk") +
                             " with exponent 16 extends it; a resume from the output file then sieves on.");
    EXPECT_EQ(*(it + 2), "Stop request received.");
    EXPECT_EQ(ReadCandidates(dir / "o.txt").p, 32 * ProbablePrimeKs(N, 10).back() + 1);
    // Primes left unsieved: a failure, though it ends through the stop path.
    EXPECT_EQ(run.sink.Outcomes(), std::vector<JobOutcome>{JobOutcome::kFailed});

    // Moving on to the next file is no failure: ended by its end P there,
    // the job ended well.
    StandardRun within;
    within.MakeStandard(dir, 0, 2, 1000, N);
    within.StartStop(0, 32 * ProbablePrimeKs(N, 10)[7]);
    within.Run();
    EXPECT_TRUE(within.sink.Has("Sequence file " + f0 + " is completed.  Switching to next file."));
    EXPECT_TRUE(within.sink.Has("Terminal P value reached."));
    EXPECT_EQ(within.sink.Outcomes(), std::vector<JobOutcome>{JobOutcome::kNormalEnd});
}

TEST(StandardSieve, StopEndPAndResumeWithoutSievingTwice) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "pk");
    const int32_t n = 4, N = 16;
    const auto ks = ProbablePrimeKs(N, 40000);
    WriteSequence(dir / "pk", n, ks, 100000);

    // A stop before the first prime is honoured after it.
    StandardRun stop;
    stop.MakeStandard(dir, 0, 2, 3000, N);
    stop.worker->m_stopRequest = 1;
    stop.Run();
    EXPECT_EQ(ReadCandidates(dir / "o.txt").p, 32 * ks[0] + 1);

    // End P 1,000,000 is used as 1,000,001 and the first prime above it is sieved.
    StandardRun end;
    end.MakeStandard(dir, 1, 0, 0, 0, dir / "o.txt");
    end.StartStop(32 * ks[0] + 2, 1000000);
    end.Run();
    EXPECT_TRUE(end.sink.Has("Start/Stop P, start P " + std::to_string(32 * ks[0] + 1) + ", stop P 1000001"));
    EXPECT_TRUE(end.sink.Has("Terminal P value reached."));
    int64_t firstAbove = 0;
    for (int64_t k : ks)
        if (32 * k + 1 > 1000001) {
            firstAbove = 32 * k + 1;
            break;
        }
    EXPECT_EQ(ReadCandidates(dir / "o.txt").p, firstAbove);

    // One run to the same end gives the same files.
    ScratchDir one;
    std::filesystem::create_directories(one / "pk");
    WriteSequence(one / "pk", n, ks, 100000);
    StandardRun whole;
    whole.MakeStandard(one, 0, 2, 3000, N);
    whole.StartStop(0, 1000000);
    whole.Run();
    EXPECT_EQ(ReadAll(dir / "o.txt"), ReadAll(one / "o.txt"));
    auto a = FactorLines(dir / "f.txt"), b = FactorLines(one / "f.txt");
    EXPECT_EQ(a, b);
}

TEST(StandardSieve, ResumePointFromTheFileIsLocatedAndConsumed) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "pk");
    const int32_t n = 5, N = 32;
    const auto ks = ProbablePrimeKs(N, 50);
    WriteSequence(dir / "pk", n, ks, 20);
    // Resume from the 25th prime (in file 1): the 26th is the first sieved.
    std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // " << (64 * ks[24] + 1) << "\n2 32\n4 32\n";
    StandardRun run;
    run.MakeStandard(dir, 1, 0, 0, 0, dir / "in.txt");
    run.worker->m_stopRequest = 1;
    run.Run();
    EXPECT_EQ(ReadCandidates(dir / "o.txt").p, 64 * ks[25] + 1);
}

// The range record says what a standard sieve sieved, as it does for the
// wide sieve: extended by a resume from its own save, begun anew past a gap.
TEST(StandardSieve, RangeRecordCoversWhatWasSieved) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "pk");
    const int32_t n = 5, N = 32;
    WriteSequence(dir / "pk", n, ProbablePrimeKs(N, 3000), 100000);
    struct Step {
        int32_t command;
        UInt128 startP, stopP;  // startP 0: from the file's resume point
        bool extends;
    };
    const Step steps[] = {{0, 0, 100000, true}, {1, 0, 200000, true}, {1, 400000, 500000, false}};
    for (const Step& s : steps) {
        StandardRun run;
        run.MakeStandard(dir, s.command, 2, 3000, N, s.command ? dir / "o.txt" : "");
        const UInt128 resumed = s.command ? static_cast<UInt128>(ReadCandidates(dir / "o.txt").p) : 0;
        const UInt128 start = s.startP ? s.startP : resumed + 1;
        run.StartStop(start, s.stopP);
        run.Run();
        SievedRange r;
        std::string error;
        ASSERT_EQ(ReadSievedRange(SievedRangePath(dir / "f.txt"), &r, &error), RangeRead::kRead) << error;
        const UInt128 from = s.startP ? 64 * ((s.startP - 2) / 64) + 1 : resumed;
        EXPECT_TRUE(r.from == (s.extends ? 0 : from)) << FormatUInt128(r.from);
        EXPECT_EQ(FormatUInt128(r.to), std::to_string(ReadCandidates(dir / "o.txt").p));
        EXPECT_GT(r.to, s.stopP);
    }
}

TEST(StandardSieve, LastCandidateStruckEndsWithOnlyTheHeader) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "pk");
    const int32_t n = 5, N = 32;
    WriteSequence(dir / "pk", n, ProbablePrimeKs(N, 2000), 5000);
    StandardRun run;
    run.MakeStandard(dir, 0, 68, 68, N);  // 193 divides 68^32 + 1
    run.Run();
    auto logs = run.sink.Logs();
    auto it = std::find(logs.begin(), logs.end(), "All candidates factored");
    ASSERT_NE(it, logs.end());
    EXPECT_EQ(*(it + 1), "Stop request received.");
    EXPECT_EQ(ReadAll(dir / "o.txt"), "ABC $a^$b+1 // 193\n");
    EXPECT_EQ(FactorLines(dir / "f.txt"), (std::vector<FactorLine>{{193, 68, 32}}));
}

TEST(StandardSieve, MixedParityIsRefusedBeforeAnyFileIsTouched) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "pk");
    std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // 0\n2 32\n3 32\n4 32\n";
    StandardRun run;
    run.MakeStandard(dir, 1, 0, 0, 0, dir / "in.txt");
    run.Run();
    auto texts = run.sink.Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 3], "Base 3 on line 3 of input file " + (dir / "in.txt") +
                                           " is not of the parity of base 2 on line 2; a sieve walks bases of one "
                                           "parity only.");
    EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir / "f.txt"));
}

TEST(StandardSieve, ExponentTwoNeverReachesTheKernel) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "pk");
    WriteSequence(dir / "pk", 1, {1, 3, 4}, 10);
    StandardRun run;
    run.MakeStandard(dir, 0, 2, 100, 2);
    run.Run();
    auto texts = run.sink.Texts();
    EXPECT_EQ(texts.back(), "@");
    EXPECT_FALSE(run.sink.Has("Stop request received."));
    EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
}

TEST(StandardSieve, MissingSequenceFileZero) {
    ScratchDir dir;
    StandardRun run;
    run.MakeStandard(dir, 0, 2, 100, 8192);
    run.Run();
    auto texts = run.sink.Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2].rfind("Error opening CPackedKDB file " + SequenceFileName(dir / "pk", 13, 0), 0),
              0u);
    EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
}

// A prime b^N + 1 is what users hunt: neither sieve lets it strike its own
// base, while it still strikes every other base it divides.
TEST(OwnBase, APrimeBToTheNPlusOneNeverStrikesItsOwnBase) {
    {
        // 17 = 2^4 + 1, 257 = 4^4 + 1, 1297 = 6^4 + 1; 17 also divides 8^4 + 1.
        ScratchDir dir;
        std::filesystem::create_directories(dir / "pk");
        WriteSequence(dir / "pk", 2, {2, 32, 162}, 10);
        StandardRun run;
        run.MakeStandard(dir, 0, 2, 10, 4);
        run.Run();
        EXPECT_EQ(FactorLines(dir / "f.txt"), (std::vector<FactorLine>{{17, 8, 4}}));
        EXPECT_EQ(ReadCandidates(dir / "o.txt").bases, (std::vector<int32_t>{2, 4, 6, 10}));
    }
    struct Case {
        int32_t N;
        uint64_t endP;
        std::vector<int32_t> own;
    } cases[] = {{4, 1400, {2, 4, 6}}, {16, 70000, {2}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.N);
        ScratchDir dir;
        JobRun run;
        run.NewSieve(dir / "f.txt", dir / "o.txt", 10, c.N, c.endP);
        run.Run();
        const CandidateFile out = ReadCandidates(dir / "o.txt");
        for (int32_t b : c.own) EXPECT_NE(std::find(out.bases.begin(), out.bases.end(), b), out.bases.end()) << b;
        const BruteForce expected = BruteForceSieve(c.N, 2, 10, out.p);
        auto lines = FactorLines(dir / "f.txt");
        EXPECT_EQ(std::set<FactorLine>(lines.begin(), lines.end()), expected.factors);
        EXPECT_EQ(out.bases, expected.survivors);
    }
}

std::string PText(int64_t N, int64_t k) { return std::to_string(2 * N * k + 1); }

// A sequence that leaves primes out where the sieve starts would have them
// taken as sieved. The front ends refuse such a job; a job handed to the
// worker directly ends before its first prime, with no save.
TEST(StandardSieve, ASequenceThatLeavesPrimesOutWhereTheSieveStartsIsRefused) {
    const int32_t n = 5, N = 32;
    const auto ks = ProbablePrimeKs(N, 60);
    for (bool resume : {false, true}) {
        SCOPED_TRACE(resume);
        ScratchDir dir;
        std::filesystem::create_directories(dir / "pk");
        const std::string f0 = SequenceFileName(dir / "pk", n, 0), f1 = SequenceFileName(dir / "pk", n, 1);
        std::string expected;
        StandardRun run;
        if (!resume) {
            // Begun high, as by a build given a start P.
            WriteFiles(dir / "pk", n, {{ks.begin() + 10, ks.end()}});
            run.MakeStandard(dir, 0, 2, 3000, N);
            expected = "The sieve starts at P 0, below p " + PText(N, ks[10]) +
                       ", the first prime of packed K sequence file " + f0 + ": the primes between them (the first is " +
                       PText(N, ks[0]) + ") are not in the sequence and would never be sieved. A packed K build " +
                       "given no start P makes a sequence that begins at the bottom.";
        } else {
            // Files of separate builds side by side, and a start P between them.
            WriteFiles(dir / "pk", n, {{ks.begin(), ks.begin() + 15}, {ks.begin() + 30, ks.end()}});
            std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // 0\n2 32\n4 32\n";
            run.MakeStandard(dir, 1, 0, 0, 0, dir / "in.txt");
            const UInt128 startP = static_cast<UInt128>(2 * N * ks[20] + 2);
            run.StartStop(startP, startP * 2);
            expected = "The sieve starts at P " + FormatUInt128(startP) +
                       ", in a gap of the packed K sequence: sequence file " + f0 + " ends at p " + PText(N, ks[14]) +
                       " and sequence file " + f1 + " begins at p " + PText(N, ks[30]) +
                       "; the primes between them (the first is " + PText(N, ks[21]) +
                       ") are not in the sequence and would never be sieved.";
        }
        run.Run();
        EXPECT_TRUE(run.sink.Has(expected)) << expected;
        EXPECT_FALSE(run.sink.Has("Stop request received."));
        EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
        EXPECT_TRUE(FactorLines(dir / "f.txt").empty());
    }
}

// Files of separate builds put side by side: the sieve stops where the first
// file ends instead of stepping over the primes between them.
TEST(StandardSieve, AGapBetweenFilesStopsTheSieveAtItsStart) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "pk");
    const int32_t n = 5, N = 32;
    const auto ks = ProbablePrimeKs(N, 40);
    WriteFiles(dir / "pk", n, {{ks.begin(), ks.begin() + 10}, {ks.begin() + 20, ks.end()}});

    StandardRun run;
    run.MakeStandard(dir, 0, 2, 3000, N);
    run.Run();
    EXPECT_TRUE(run.sink.Has("Sequence file " + SequenceFileName(dir / "pk", n, 0) + " ends at p " + PText(N, ks[9]) +
                             " and sequence file " + SequenceFileName(dir / "pk", n, 1) + " begins at p " +
                             PText(N, ks[20]) + "; the primes between them (the first is " + PText(N, ks[10]) +
                             ") are not in the packed K sequence, so the sieve stops at p " + PText(N, ks[9]) + "."));
    EXPECT_TRUE(run.sink.Has("Stop request received."));
    EXPECT_EQ(ReadCandidates(dir / "o.txt").p, 2 * N * ks[9] + 1);
    for (const FactorLine& f : FactorLines(dir / "f.txt")) EXPECT_LE(f.p, 2 * N * ks[9] + 1);
}

// A resume whose file is at the last prime of the sequence sieves nothing
// and keeps that resume point; 0 would start the sieve over.
TEST(StandardSieve, AResumeAtTheEndOfTheSequenceKeepsItsResumePoint) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "pk");
    const int32_t n = 5, N = 32;
    const auto ks = ProbablePrimeKs(N, 10);
    WriteSequence(dir / "pk", n, ks, 100);
    std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // " << PText(N, ks.back()) << "\n2 32\n4 32\n";
    StandardRun run;
    run.MakeStandard(dir, 1, 0, 0, 0, dir / "in.txt");
    run.Run();
    EXPECT_TRUE(run.sink.Has("Stop request received."));
    EXPECT_EQ(ReadCandidates(dir / "o.txt").p, 2 * N * ks.back() + 1);
    EXPECT_EQ(ReadCandidates(dir / "o.txt").bases, (std::vector<int32_t>{2, 4}));
}

// With a start P whose k below it is not listed, the first listed k at or
// above the start P is still to be sieved, not taken as sieved.
TEST(StandardSieve, AResumeFromAStartPSievesTheFirstListedPrimeAtIt) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "pk");
    WriteSequence(dir / "pk", 5, ProbablePrimeKs(32, 200), 5000);  // k = 2 (p = 129) is not listed
    std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // 0\n68 32\n70 32\n";
    StandardRun run;
    run.MakeStandard(dir, 1, 0, 0, 0, dir / "in.txt");
    run.StartStop(193, 193);
    run.Run();
    // 193 strikes 68; 257, the first prime above the end P, strikes 70.
    EXPECT_EQ(FactorLines(dir / "f.txt"), (std::vector<FactorLine>{{193, 68, 32}, {257, 70, 32}}));
}

// A packed K file is read as it stands: a first k that gives no prime of the
// sieve ends the job before anything is sieved or saved.
TEST(StandardSieve, PackedKValuesThatGiveNoPrimeAreRefused) {
    const int64_t beyond = (INT64_MAX - 1) / 64 + 1;  // p = 64k + 1 past 2^63
    for (int64_t first : {int64_t{0}, int64_t{-5}, beyond}) {
        SCOPED_TRACE(first);
        ScratchDir dir;
        std::filesystem::create_directories(dir / "pk");
        WriteSequence(dir / "pk", 5, {first, first + 3, first + 5}, 10);
        StandardRun run;
        run.MakeStandard(dir, 0, 2, 100, 32);
        run.Run();
        EXPECT_TRUE(run.sink.Has("Sequence file " + SequenceFileName(dir / "pk", 5, 0) + " holds k = " +
                                 std::to_string(first) +
                                 ", which gives no p = k*2N+1 from 3 to below 2^63; it is not a packed K value."));
        EXPECT_FALSE(run.sink.Has("All candidates factored"));
        EXPECT_FALSE(run.sink.Has("Stop request received."));
        EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
    }
}

// Jobs that no sieve can carry out are refused before the first prime, with
// no file written: a P beyond 2^96, an output that cannot be made.
TEST(Dispatch, JobsThatCannotEndWellAreRefusedBeforeTheFirstPrime) {
    const UInt128 beyond = UInt128{1} << 96;
    struct Case {
        int32_t command;
        UInt128 startP, endP;
        std::string output;  // relative to the folder
        std::string message;
    } cases[] = {
        {0, 0, beyond, "o.txt",
         "End P 79228162514264337593543950336 is beyond the reach of the sieve: P must be below 2^96 "
         "(79228162514264337593543950336)."},
        {1, beyond + 5, 1000, "o.txt",
         "Start P 79228162514264337593543950341 is beyond the reach of the sieve: P must be below 2^96 "
         "(79228162514264337593543950336)."},
        {1, 0, 0, "no-such-folder/o.txt", "Unable to open output file %s."},
        // It would sieve one prime and move the file on.
        {1, 30000000, 20000000, "o.txt",
         "Start P 30000000 is above end P 20000000; a resume sieves from its start P up to its end P."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ScratchDir dir;
        std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // 0\n2 32\n4 32\n";
        const std::string input = ReadAll(dir / "in.txt");
        JobRun run;
        run.Make(dir / "f.txt", c.command ? dir / "in.txt" : "", dir / c.output, c.command, 2, 100, 32);
        if (c.startP || c.endP) run.StartStop(c.startP, c.endP);
        run.Run();
        EXPECT_TRUE(run.sink.Has(StringPrintf(c.message.c_str(), (dir / c.output).c_str()))) << run.sink.Texts()[0];
        EXPECT_FALSE(run.sink.Has("Wide math algorithm selected."));
        EXPECT_FALSE(std::filesystem::exists(dir / "f.txt"));
        EXPECT_FALSE(std::filesystem::exists(dir / c.output));
        EXPECT_EQ(ReadAll(dir / "in.txt"), input);
    }
}

}  // namespace
}  // namespace varnesk
