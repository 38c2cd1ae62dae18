// Producers beside the job's threads, faithful or failing in the ways a
// rank or a device fails: the files are one thread's byte for byte, or the
// job stops with the message and no base struck wrongly; a failure is
// never silent.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "engine/loopback.h"
#include "engine/ring.h"
#include "engine_fixture.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;
using Fault = LoopbackProducer::Fault;

constexpr int32_t kN = 1024, kBMax = 300000;
constexpr uint64_t kEndP = 50000000;

struct Files {
    std::string candidates, factors;
    std::vector<std::string> texts;
};

Files RunJob(int threads, std::vector<LoopbackProducer*> producers) {
    ScratchDir dir;
    JobRun run;
    run.NewSieve(dir / "f", dir / "o", kBMax, kN, kEndP);
    run.Threads(threads);
    for (LoopbackProducer* producer : producers) run.worker->AddProducer(producer);
    run.Run();
    return {ReadAll(dir / "o"), ReadAll(dir / "f"), run.sink.Texts()};
}

const Files& OneThread() {
    static const Files files = RunJob(1, {});
    return files;
}

bool HasText(const std::vector<std::string>& texts, const std::string& part) {
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(part) != std::string::npos; });
}

LoopbackProducer::Options With(Fault fault, int deadlineMs = 0) {
    LoopbackProducer::Options options;
    options.fault = fault;
    options.deadline = std::chrono::milliseconds(deadlineMs);
    return options;
}

TEST(Producers, FaithfulOrFailingProducersGiveOneThreadsFiles) {
    struct Case {
        const char* name;
        int threads;
        std::vector<LoopbackProducer::Options> producers;
        const char* note;  // a log line that says what happened, or null
    };
    const Case cases[] = {
        {"faithful", 1, {With(Fault::kNone)}, nullptr},
        {"primes only, roots by the job's threads", 2, {With(Fault::kPrimesOnly)}, nullptr},
        {"dies with blocks taken", 1, {With(Fault::kDies)}, "Block producer loopback (dies mid-block) failed"},
        {"silent past its deadline", 2, {With(Fault::kSilent, 150)},
         "failed (no block back within 150 ms); its blocks go back to the others"},
        {"hands blocks back", 1, {With(Fault::kHandsBack)}, nullptr},
        {"declines", 1, {With(Fault::kDeclines)}, "Block producer loopback (declines) declined the job"},
        {"several at once, one dies", 2, {With(Fault::kNone), With(Fault::kPrimesOnly), With(Fault::kDies)},
         "(dies mid-block) failed"},
    };
    const Files& want = OneThread();
    ASSERT_GT(want.factors.size(), 1000u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::unique_ptr<LoopbackProducer>> owned;
        std::vector<LoopbackProducer*> producers;
        for (const auto& options : c.producers) {
            owned.push_back(std::make_unique<LoopbackProducer>(options));
            producers.push_back(owned.back().get());
        }
        const Files got = RunJob(c.threads, producers);
        EXPECT_TRUE(got.candidates == want.candidates);
        EXPECT_TRUE(got.factors == want.factors);
        EXPECT_TRUE(HasText(got.texts, "Terminal P value reached."));
        if (c.note) {
            EXPECT_TRUE(HasText(got.texts, c.note));
        }
        EXPECT_FALSE(HasText(got.texts, "Unable to")) << "a failure stopped the job";
        // Each took part, and its fault happened, so the case tests what it says.
        for (size_t i = 0; i < owned.size(); ++i) {
            const Fault fault = c.producers[i].fault;
            if (fault == Fault::kDeclines) continue;
            EXPECT_TRUE(owned[i]->Completed() > 0 || owned[i]->Faulted()) << i;
            if (fault != Fault::kNone) {
                EXPECT_TRUE(owned[i]->Faulted()) << i;
            }
        }
    }
}

// A producer that returns roots that do not divide costs at most the rest
// of the run: the check before each strike stops the job, every line
// written is a true factor, and the saved file lists every base not struck.
TEST(Producers, AWrongRootStopsTheJobAndStrikesNoBaseWrongly) {
    LoopbackProducer wrong(With(Fault::kWrongRoot));
    const Files got = RunJob(2, {&wrong});
    ASSERT_TRUE(wrong.Faulted());
    EXPECT_TRUE(HasText(got.texts, "does not divide"));
    EXPECT_TRUE(HasText(got.texts, "Stop request received."));
    EXPECT_FALSE(HasText(got.texts, "Terminal P value reached."));

    ScratchDir dir;
    auto lines = [&](const std::string& text) {
        std::ofstream(dir / "lines") << text;
        return FactorLines(dir / "lines");
    };
    const auto wantLines = lines(OneThread().factors);
    const std::set<FactorLine> truth(wantLines.begin(), wantLines.end());
    std::set<int32_t> struck;
    for (const FactorLine& line : lines(got.factors)) {
        EXPECT_TRUE(truth.count(line)) << line.p << " | " << line.b;
        struck.insert(line.b);
    }
    EXPECT_FALSE(struck.empty());
    std::ofstream(dir / "cand") << got.candidates;
    const CandidateFile saved = ReadCandidates(dir / "cand");
    EXPECT_GT(saved.p, 0);
    EXPECT_LT(saved.p, static_cast<int64_t>(kEndP));
    std::vector<int32_t> left;
    for (int32_t b = 2; b <= kBMax; b += 2)
        if (!struck.count(b)) left.push_back(b);
    EXPECT_TRUE(saved.bases == left);
}

// Without a backstop nobody takes a failed producer's blocks: the ring says
// so instead of waiting for them.
TEST(Producers, WithNoProducerLeftTheRingSaysSo) {
    struct Case {
        Fault fault;
        const char* note;
    };
    for (const Case& c : {Case{Fault::kDies, "no producer of sieve blocks is left"},
                          Case{Fault::kPrimesOnly, "no producer is left to complete them"},
                          Case{Fault::kDeclines, "no producer of sieve blocks took the job"}}) {
        LoopbackProducer::Options options = With(c.fault);
        options.faultAfter = 0;
        LoopbackProducer producer(options);
        const SegmentJobInfo info{kN, 10, 2, kBMax};
        SegmentRing ring({&producer}, info);
        for (int64_t i = 0; i < ring.Window(); ++i)
            ring.Assign(i, static_cast<UInt128>(i) * 1000, static_cast<UInt128>(i + 1) * 1000);
        EXPECT_EQ(ring.Wait(0), nullptr);
        EXPECT_TRUE(ring.Orphaned());
        const std::vector<std::string> notes = ring.TakeNotes();
        EXPECT_TRUE(HasText(notes, c.note)) << (notes.empty() ? "" : notes.back());
    }
}

// A device takes the newest blocks of its part first, so that a batch is
// done before the host comes to it; one that asks for order (alone beside
// the job's one thread, which takes none of its part) the oldest first.
TEST(Producers, ADeviceTakesItsPartNewestFirstUnlessItAsksForOrder) {
    struct Recorder final : BlockProducer {
        BlockPolicy policy;
        std::atomic<bool> go{false};
        std::vector<int64_t> taken;
        std::string Name() const override { return "recorder"; }
        BlockPolicy Policy() const override { return policy; }
        bool Begin(const SegmentJobInfo&, std::string*) override { return true; }
        bool Pump(BlockDesk& desk, int) override {
            BlockTask task;
            if (!go.load() || !desk.Take(&task)) return false;
            taken.push_back(task.index);
            Segment done;
            return desk.Complete(task.index, done);
        }
        void End() override {}
    };
    using Order = BlockPolicy::Order;
    for (const Order order : {Order::kByClass, Order::kOldestFirst}) {
        Recorder device;
        device.policy.latency = Latency::kDevice;
        device.policy.hold = 4;
        device.policy.order = order;
        {
            SegmentRing ring({&device}, SegmentJobInfo{kN, 10, 2, kBMax});
            ASSERT_EQ(ring.Window(), 4);
            for (int64_t i = 0; i < 4; ++i)
                ring.Assign(i, static_cast<UInt128>(i) * 1000, static_cast<UInt128>(i + 1) * 1000);
            device.go = true;
            for (int64_t i = 0; i < 4; ++i) {
                ASSERT_NE(ring.Wait(i), nullptr);
                ring.Release(i);
            }
        }  // the ring's threads end here
        const std::vector<int64_t> want =
            order == Order::kByClass ? std::vector<int64_t>{3, 2, 1, 0} : std::vector<int64_t>{0, 1, 2, 3};
        EXPECT_EQ(device.taken, want);
    }
}

}  // namespace
}  // namespace varnesk
