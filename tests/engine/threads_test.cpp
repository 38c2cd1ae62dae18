// Several threads give byte for byte the files of one.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "engine_fixture.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;

TEST(Threads, WideSieveFilesEqualThoseOfOneThread) {
    for (int32_t N : {16, 1024, 65536}) {
        ScratchDir dir;
        std::string out[2], factors[2];
        for (int t = 0; t < 2; ++t) {
            JobRun run;
            const std::string tag = std::to_string(t);
            run.NewSieve(dir / ("f" + tag), dir / ("o" + tag), 300000, N, N == 65536 ? 200000000 : 20000000);
            run.Threads(t == 0 ? 1 : 3);
            run.Run();
            out[t] = ReadAll(dir / ("o" + tag));
            factors[t] = ReadAll(dir / ("f" + tag));
        }
        EXPECT_GT(factors[0].size(), 1000u);
        EXPECT_TRUE(out[0] == out[1]) << "N=" << N;
        EXPECT_TRUE(factors[0] == factors[1]) << "N=" << N;
    }
}

TEST(Threads, StopUnderSeveralThreadsLeavesAGapFreeResumePoint) {
    const int32_t N = 1024, bMax = 400000;
    // A threaded run stopped a third of the way, as its progress records
    // tell (a ticker asks for them), resumed to the same end. A stop after
    // a time would miss the run on a fast machine; on a loaded one the
    // ticker may not run before the end, and the run is tried again four
    // times as long.
    constexpr uint64_t kFirstEndP = 300000000, kLastEndP = kFirstEndP << 6;
    for (uint64_t endP = kFirstEndP;; endP *= 4) {
        SCOPED_TRACE(endP);
        ScratchDir dir;
        JobRun first;
        first.NewSieve(dir / "f", dir / "o", bMax, N, endP);
        first.Threads(3);
        first.sink.SetHook([&](const std::string& text) {
            if (text[0] == '$' && std::stoull(text.substr(text.rfind(' ') + 1)) >= endP / 3)
                first.worker->m_stopRequest = 1;
        });
        std::atomic<bool> done{false};
        std::thread ticker([&] {
            while (!done) {
                first.worker->m_tickCount.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        first.Run();
        done = true;
        ticker.join();
        const int64_t saved = ReadCandidates(dir / "o").p;
        if (saved >= static_cast<int64_t>(endP) && endP < kLastEndP) continue;
        ASSERT_LT(saved, static_cast<int64_t>(endP)) << "no progress record came between a third of the way and the end";

        JobRun whole;
        whole.NewSieve(dir / "wf", dir / "wo", bMax, N, endP);
        whole.Run();
        JobRun second;
        second.Resume(dir / "f", dir / "o", dir / "o");
        second.StartStop(static_cast<uint64_t>(saved) + 1, endP);
        second.Threads(2);
        second.Run();
        EXPECT_TRUE(ReadAll(dir / "o") == ReadAll(dir / "wo"));
        auto a = FactorLines(dir / "f"), b = FactorLines(dir / "wf");
        EXPECT_TRUE(a == b);
        break;
    }
}

// Every kernel path the CPU has gives the scalar path's files, on both
// sides of 2^51 where the vector arithmetic changes.
TEST(Threads, EveryKernelPathGivesTheSameFiles) {
    struct Case {
        int32_t N, bMax;
        uint64_t startP, endP;
    };
    for (const Case& c : {Case{1024, 300000, 0, 20000000},
                          Case{65536, 1000000, (1ULL << 51) - 20000000000ULL, (1ULL << 51) + 20000000000ULL},
                          // Small N, where sixteen primes' order searches run at once (the
                          // first case strikes from the start; these hold the resume points).
                          Case{64, 100000, 1000000000000000ULL, 1000000000000000ULL + 100000000ULL},
                          Case{128, 100000, (1ULL << 63) - 200000000ULL, (1ULL << 63) - 100000000ULL},
                          // Sixteen walks at once: every root of a prime below bMax is
                          // listed, more than a block's slot holds at N = 8192.
                          Case{8192, 1000000, 0, 3000000}, Case{16, 2000, 0, 5000000}}) {
        ScratchDir dir;
        std::string want[2];
        for (KernelPath path : {KernelPath::Scalar, KernelPath::Avx2, KernelPath::Avx512}) {
            if (!KernelPathAvailable(path)) {
                std::printf("the %s kernels are not available on this CPU or build: skipped\n", KernelPathName(path));
                continue;
            }
            const std::string tag = KernelPathName(path);
            std::string input;
            if (c.startP != 0) {
                input = dir / ("in" + tag);
                std::ofstream in(input);
                in << "ABC $a^$b+1 // " << c.startP << "\n";
                for (int32_t b = 2; b <= c.bMax; b += 2) in << b << " " << c.N << "\n";
            }
            JobRun run;
            run.Make(dir / ("f" + tag), input, dir / ("o" + tag), c.startP ? 1 : 0, 2, c.bMax, c.N);
            run.StartStop(c.startP, c.endP);
            run.Threads(2);
            run.Kernel(path);
            run.Run();
            const std::string got[2] = {ReadAll(dir / ("o" + tag)), ReadAll(dir / ("f" + tag))};
            if (path == KernelPath::Scalar) {
                want[0] = got[0];
                want[1] = got[1];
                if (c.startP == 0) {
                    EXPECT_GT(want[1].size(), 1000u);
                }
                continue;
            }
            EXPECT_TRUE(got[0] == want[0]) << tag << " N=" << c.N;
            EXPECT_TRUE(got[1] == want[1]) << tag << " N=" << c.N;
        }
    }
}

}  // namespace
}  // namespace varnesk
