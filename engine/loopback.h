// A producer in this process that behaves as a remote one: its own kernels
// and thread, its results through the byte form that crosses between
// processes, and faults on request, the ways a rank or a device goes
// wrong. For tests, and as the pattern for a producer that is not the job's
// own threads.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "engine/blockfill.h"

namespace varnesk {

class LoopbackProducer : public BlockProducer {
public:
    enum class Fault {
        kNone,        // every block filled faithfully
        kPrimesOnly,  // probable primes without their roots (kPrime), left to a backstop
        kDies,        // reports a failure with blocks taken and unfinished
        kWrongRoot,   // one block's roots moved by two: bases they do not divide
        kSilent,      // keeps the blocks it takes and never says so; its deadline tells
        kHandsBack,   // hands every other block it takes back unfinished
        kDeclines,    // refuses the job in Begin
    };
    struct Options {
        Fault fault = Fault::kNone;
        int hold = 4;
        // Blocks it completes faithfully before its fault.
        int faultAfter = 2;
        std::chrono::milliseconds deadline{0};
        // Large: the job's threads leave its blocks to it while it has room,
        // so that it is sure to get some.
        int yieldAfterRounds = 1 << 30;
        KernelPath path = KernelPath::Scalar;
    };

    explicit LoopbackProducer(Options options);
    ~LoopbackProducer() override;

    std::string Name() const override;
    BlockPolicy Policy() const override;
    bool Begin(const SegmentJobInfo& info, std::string* reason) override;
    bool Pump(BlockDesk& desk, int thread) override;
    void End() override;

    // Blocks whose results it handed over, and whether its fault happened.
    int64_t Completed() const { return completed_.load(); }
    bool Faulted() const { return faulted_.load(); }

private:
    bool Fill(BlockDesk& desk, const BlockTask& task);

    Options options_;
    SieveJob job_;
    KernelContext kernels_;
    std::unique_ptr<BlockSieve> sieve_;
    std::deque<BlockTask> held_;
    Segment filled_, received_;
    std::vector<uint8_t> bytes_;
    int64_t taken_ = 0;
    std::atomic<int64_t> completed_{0};
    std::atomic<bool> faulted_{false};
};

}  // namespace varnesk
