// The wide-math sieve end to end, against a brute-force model.
#include <cinttypes>

#include "engine_fixture.h"
#include "kernels/candidates.h"
#include "kernels/startup.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;

TEST(WideSieve, FirstPrimeOfN32StrikesItsRootsInListOrder) {
    ScratchDir dir;
    JobRun run;
    run.NewSieve(dir / "f.txt", dir / "o.txt", 100, 32, 194);
    run.Run();
    auto lines = FactorLines(dir / "f.txt");
    std::vector<int32_t> first;
    for (auto& l : lines)
        if (l.p == 193) first.push_back(l.b);
    EXPECT_EQ(first, (std::vector<int32_t>{68, 76, 74, 60, 94, 20, 88}));
    const std::string want =
        "Hollowmere for k^32+1 [k == 2 to 100]\n\n193 | 68^32+1\n193 | 76^32+1\n193 | 74^32+1\n"
        "193 | 60^32+1\n193 | 94^32+1\n193 | 20^32+1\n193 | 88^32+1\n257 | ";
    EXPECT_EQ(ReadAll(dir / "f.txt").substr(0, want.size()), want);
    auto logs = run.sink.Logs();
    EXPECT_EQ(logs[0], "Wide math algorithm selected.");
    EXPECT_EQ(logs[1], "Start/Stop P, stop P 195");
    EXPECT_TRUE(run.sink.Has("Terminal P value reached."));
    EXPECT_EQ(ReadCandidates(dir / "o.txt").p, 257);
}

TEST(WideSieve, BannerWhenNoFactorFileAndTranslatesAbovePWhenBMaxExceedsIt) {
    ScratchDir dir;
    JobRun run;
    run.NewSieve(dir / "f.txt", dir / "o.txt", 500, 32, 194);
    run.Run();
    std::string text = ReadAll(dir / "f.txt");
    EXPECT_EQ(text.rfind("Hollowmere for k^32+1 [k == 2 to 500]\n\n", 0), 0u);
    auto lines = FactorLines(dir / "f.txt");
    auto at68 = std::find(lines.begin(), lines.end(), FactorLine{193, 68, 32});
    ASSERT_NE(at68, lines.end());
    ASSERT_NE(at68 + 1, lines.end());
    EXPECT_EQ(*(at68 + 1), (FactorLine{193, 454, 32}));  // 261 is odd
}

TEST(WideSieve, MatchesBruteForceForManyExponentsAndRanges) {
    struct Case {
        int32_t N, bMin, bMax;
        int64_t endP;
    };
    for (Case c : {Case{2, 2, 400, 3000}, Case{4, 2, 600, 6000}, Case{8, 10, 1200, 9000}, Case{16, 2, 2000, 12000},
                   Case{32, 2, 3000, 30000}, Case{64, 100, 900, 40000}, Case{256, 2, 5000, 60000},
                   Case{1024, 2, 200, 300000}}) {
        ScratchDir dir;
        JobRun run;
        run.Make(dir / "f.txt", "", dir / "o.txt", 0, c.bMin, c.bMax, c.N);
        run.StartStop(0, static_cast<uint64_t>(c.endP));
        run.Run();
        CandidateFile out = ReadCandidates(dir / "o.txt");
        ASSERT_GT(out.p, c.endP);
        BruteForce want = BruteForceSieve(c.N, c.bMin, c.bMax, out.p);
        auto lines = FactorLines(dir / "f.txt");
        std::set<FactorLine> got(lines.begin(), lines.end());
        EXPECT_EQ(got.size(), lines.size()) << "a base struck twice, N=" << c.N;
        EXPECT_EQ(got, want.factors) << "N=" << c.N;
        EXPECT_EQ(out.bases, want.survivors) << "N=" << c.N;
    }
}

// The odd powers among the candidates are named beside the factor file when
// a sieve starts, and counted with each progress record; the candidate and
// factor files are those of a sieve that knows nothing of them.
TEST(WideSieve, RecordsTheAlgebraicBasesAtItsStartAndCountsThemAsItGoes) {
    ScratchDir dir;
    const int32_t N = 32;
    JobRun run;
    run.NewSieve(dir / "f.txt", dir / "o.txt", 5000, N, 30000);
    run.Run();
    const std::string record = ReadAll(dir / "f.txt.algebraic");
    EXPECT_EQ(record,
              "2^32+1 | 8^32+1\n2^32+1 | 32^32+1\n4^32+1 | 64^32+1\n2^32+1 | 128^32+1\n6^32+1 | 216^32+1\n"
              "2^32+1 | 512^32+1\n10^32+1 | 1000^32+1\n4^32+1 | 1024^32+1\n12^32+1 | 1728^32+1\n"
              "2^32+1 | 2048^32+1\n14^32+1 | 2744^32+1\n16^32+1 | 4096^32+1\n");
    const CandidateFile out = ReadCandidates(dir / "o.txt");
    const BruteForce want = BruteForceSieve(N, 2, 5000, out.p);
    EXPECT_EQ(out.bases, want.survivors);
    int32_t left = 0;
    for (int32_t b : {8, 32, 64, 128, 216, 512, 1000, 1024, 1728, 2048, 2744, 4096})
        left += std::count(out.bases.begin(), out.bases.end(), b) ? 1 : 0;
    const std::vector<int32_t> counts = run.sink.AlgebraicRecords();
    ASSERT_EQ(counts.size(), run.sink.ProgressRecords().size());
    EXPECT_EQ(counts.front(), 12);
    EXPECT_EQ(counts.back(), left);
    EXPECT_LT(left, 12);

    // A resume records the odd powers it still holds.
    JobRun resume;
    resume.Resume(dir / "f.txt", dir / "o.txt", dir / "o.txt");
    resume.StartStop(static_cast<uint64_t>(out.p) + 1, 40000);
    resume.Run();
    const std::string resumed = ReadAll(dir / "f.txt.algebraic");
    EXPECT_EQ(static_cast<int32_t>(std::count(resumed.begin(), resumed.end(), '\n')), left);

    // A range without odd powers writes none, and empties an earlier one.
    for (bool earlier : {false, true}) {
        ScratchDir other;
        if (earlier) testsupport::WriteAll(other / "f.txt.algebraic", "2^32+1 | 8^32+1\n");
        JobRun small;
        small.NewSieve(other / "f.txt", other / "o.txt", 6, N, 1000);
        small.Run();
        EXPECT_EQ(std::filesystem::exists(other / "f.txt.algebraic"), earlier);
        if (earlier) {
            EXPECT_EQ(ReadAll(other / "f.txt.algebraic"), "");
        }
        EXPECT_TRUE(small.sink.AlgebraicRecords().empty());
    }
}

TEST(WideSieve, StopAndResumeEqualsOneRun) {
    ScratchDir dir;
    const int32_t N = 64, bMax = 4000;
    JobRun whole;
    whole.NewSieve(dir / "whole-f.txt", dir / "whole-o.txt", bMax, N, 50000);
    whole.Run();

    JobRun first;
    first.NewSieve(dir / "f.txt", dir / "o.txt", bMax, N, 20000);
    first.Run();
    int64_t saved = ReadCandidates(dir / "o.txt").p;
    JobRun second;  // resume from its own output, as users do
    second.Resume(dir / "f.txt", dir / "o.txt", dir / "o.txt");
    second.StartStop(static_cast<uint64_t>(saved) + 1, 50000);
    second.Run();
    EXPECT_EQ(ReadAll(dir / "o.txt"), ReadAll(dir / "whole-o.txt"));
    auto a = FactorLines(dir / "f.txt"), b = FactorLines(dir / "whole-f.txt");
    EXPECT_EQ(std::set<FactorLine>(a.begin(), a.end()), std::set<FactorLine>(b.begin(), b.end()));
    EXPECT_EQ(a.size(), b.size());
}

TEST(WideSieve, StopBeforeTheFirstPrimeStillSievesIt) {
    ScratchDir dir;
    JobRun run;
    run.NewSieve(dir / "f.txt", dir / "o.txt", 100, 32);
    run.worker->m_stopRequest = 1;
    run.Run();
    EXPECT_EQ(ReadCandidates(dir / "o.txt").p, 193);
    auto logs = run.sink.Logs();
    EXPECT_EQ(logs.back().rfind("43 items 193 p value written to ", 0), 0u);
}

TEST(WideSieve, StopBeforeTheFirstPrimeNeverSavesPZero) {
    // A resume point whose next twenty k hold no probable prime, with the
    // stop asked for before the job starts: the run sieves at most one prime
    // and the resume point never falls back to 0.
    const int32_t N = 32;
    int64_t kc = 0;
    {
        SieveJob job;
        KernelContext k;
        ASSERT_EQ(StartKernels(job, k), 0);
        CandidateStream stream(k, 2 * N);
        std::vector<Candidate> found;
        for (kc = 1000; kc < 100000; ++kc) {
            found.clear();
            stream.CandidatesInRange(static_cast<UInt128>(kc), static_cast<UInt128>(kc + 20), found);
            if (found.empty()) break;
        }
    }
    ScratchDir dir;
    const int64_t resumeP = 2 * N * kc + 1;
    std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // " << resumeP << "\n2 32\n4 32\n";
    JobRun run;
    run.Resume(dir / "f.txt", dir / "in.txt", dir / "o.txt");
    run.worker->m_stopRequest = 1;
    run.Run();
    CandidateFile out = ReadCandidates(dir / "o.txt");
    EXPECT_GE(out.p, resumeP);
    EXPECT_LT(out.p, resumeP + 2 * N * 1000);
    EXPECT_EQ(out.bases, (std::vector<int32_t>{2, 4}));
}

TEST(WideSieve, StartPOnAResumePlacesTheFirstPrime) {
    ScratchDir dir;
    std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // 0\n2 65536\n4 65536\n6 65536\n";
    JobRun run;
    run.Resume(dir / "f.txt", dir / "in.txt", dir / "o.txt");
    run.StartStop(1000000, 1000001);
    run.Run();
    EXPECT_TRUE(run.sink.Has("Start/Stop P, start P 999999, stop P 1000001"));
    EXPECT_TRUE(run.sink.Has("& 2 6 65536"));
    int64_t want = 0;
    for (int64_t k = 8; !want; ++k)
        if (IsPrime(static_cast<uint64_t>(131072 * k + 1))) want = 131072 * k + 1;
    EXPECT_EQ(ReadCandidates(dir / "o.txt").p, want);
}

// The job ends with the first prime above the end P, wherever that falls
// among the primes without roots that the ordered pass takes at once (b up
// to 50 leaves most primes without one), on one thread and on two.
TEST(WideSieve, EndPEndsAfterTheFirstPrimeAboveIt) {
    for (const int64_t endP : {int64_t{2000000}, int64_t{2000000 + 7 * 2048}, int64_t{9000000}})
        for (const int threads : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << "end P " << endP << ", " << threads << " threads");
            ScratchDir dir;
            JobRun run;
            run.NewSieve(dir / "f.txt", dir / "o.txt", 50, 1024, endP);
            run.Threads(threads);
            run.Run();
            auto logs = run.sink.Logs();
            EXPECT_EQ(logs[1], "Start/Stop P, stop P " + std::to_string(endP + 1));
            auto it = std::find(logs.begin(), logs.end(), "Terminal P value reached.");
            ASSERT_NE(it, logs.end());
            EXPECT_EQ(*(it + 1), "Stop request received.");
            int64_t want = 0;
            for (int64_t p = endP + 1 + 2048 - endP % 2048; !want; p += 2048)
                if (IsPrime(static_cast<uint64_t>(p))) want = p;
            EXPECT_EQ(ReadCandidates(dir / "o.txt").p, want);
        }
}

TEST(WideSieve, UnwritableFactorFileEndsTheJobAtOnce) {
    ScratchDir dir;
    JobRun run;
    run.NewSieve(dir / "no/such/dir/f.txt", dir / "o.txt", 100, 32);
    run.Run();
    EXPECT_EQ(run.sink.Texts(),
              (std::vector<std::string>{"Unable to open output factor file " + (dir / "no/such/dir/f.txt") + ".", "@"}));
    EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
}

TEST(WideSieve, StopsCleanlyBeforePReaches2To96) {
    // Far below the limit the last finished prime becomes the resume point;
    // with no prime left below it, the run keeps the point it started from.
    for (int64_t margin : {int64_t{3000}, int64_t{10}}) {
        ScratchDir dir;
        const UInt128 N = 1024;
        const UInt128 startK = ((UInt128{1} << 96) / (2 * N)) - static_cast<UInt128>(margin);
        const UInt128 startP = 2 * N * startK + 1;
        std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // " << FormatUInt128(startP) << "\n2 1024\n";
        JobRun run;
        run.Resume(dir / "f.txt", dir / "in.txt", dir / "o.txt");
        run.Run();
        EXPECT_TRUE(run.sink.Has("P value reached 2^96, the limit of this sieve; stopping."));
        EXPECT_TRUE(run.sink.Has("Stop request received."));
        const std::string header = ReadAll(dir / "o.txt").substr(0, ReadAll(dir / "o.txt").find('\n'));
        const UInt128 saved = ParseUInt128(header.substr(15)).value;
        if (margin > 100) {
            EXPECT_GT(saved, startP);
        } else {
            EXPECT_EQ(FormatUInt128(saved), FormatUInt128(startP));  // no prime in the last ten k
        }
        EXPECT_LT(saved, UInt128{1} << 96);
        EXPECT_EQ(ReadCandidates(dir / "o.txt").bases, (std::vector<int32_t>{2}));
    }
}

}  // namespace
}  // namespace varnesk
