// This process's threads as a producer of the wide sieve's blocks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/blockfill.h"
#include "engine/producer.h"

namespace varnesk {

// A backstop, four blocks a thread, short blocks so that a stop is
// answered quickly.
class CpuProducer : public BlockProducer {
public:
    CpuProducer(const KernelContext& base, int64_t twoN, int32_t n, size_t slotRoots, int threads);
    ~CpuProducer() override;

    std::string Name() const override { return "this process's threads"; }
    BlockPolicy Policy() const override;
    bool Begin(const SegmentJobInfo&, std::string*) override { return true; }
    bool Pump(BlockDesk& desk, int thread) override;
    void End() override {}

private:
    // A thread's sieve, the block it fills (handed over by exchange, so
    // that the slots it gets back are reused) and its task.
    struct alignas(64) Worker {
        std::unique_ptr<BlockSieve> sieve;
        Segment block;
        BlockTask task;
    };
    std::vector<Worker> workers_;
    size_t slotRoots_;
    UInt128 twoN_;
    bool batchedOrders_;  // the kernels search sixteen primes' orders at once
};

}  // namespace varnesk
