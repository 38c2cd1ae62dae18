// Several threads give byte for byte the files of one.
#include <chrono>
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
            run.Make(dir / ("f" + tag), "", dir / ("o" + tag), 0, 2, 300000, N);
            run.StartStop(0, N == 65536 ? 200000000 : 20000000);
            run.worker->SetThreads(t == 0 ? 1 : 3);
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
    ScratchDir dir;
    const int32_t N = 1024, bMax = 400000;
    const uint64_t endP = 300000000;
    JobRun whole;
    whole.Make(dir / "wf", "", dir / "wo", 0, 2, bMax, N);
    whole.StartStop(0, endP);
    whole.Run();

    // A threaded run stopped in the middle, resumed to the same end.
    RecordingSink sink;
    auto first = std::make_shared<CGfnThread>(dir / "f", "", dir / "o", 0, 2, bMax, N, 10, &sink, 1, 0, "");
    first->SetThreads(3);
    first->m_useStartStop = 1;
    first->m_stopP = endP;
    ASSERT_TRUE(first->Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    first->m_stopRequest = 1;
    for (int i = 0; i < 5000 && (sink.Texts().empty() || sink.Texts().back() != "@"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(sink.Texts().back(), "@");
    const int64_t saved = ReadCandidates(dir / "o").p;
    if (saved > static_cast<int64_t>(endP)) GTEST_SKIP() << "the run ended before the stop";

    JobRun second;
    second.Make(dir / "f", dir / "o", dir / "o", 1, 0, 0, 0);
    second.StartStop(static_cast<uint64_t>(saved) + 1, endP);
    second.worker->SetThreads(2);
    second.Run();
    EXPECT_TRUE(ReadAll(dir / "o") == ReadAll(dir / "wo"));
    auto a = FactorLines(dir / "f"), b = FactorLines(dir / "wf");
    EXPECT_TRUE(a == b);
}

}  // namespace
}  // namespace varnesk
