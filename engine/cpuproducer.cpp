#include "engine/cpuproducer.h"

#include <algorithm>

namespace varnesk {

CpuProducer::CpuProducer(const KernelContext& base, int64_t twoN, int32_t n, size_t slotRoots, int threads)
    : slotRoots_(slotRoots),
      twoN_(static_cast<UInt128>(twoN)),
      batchedOrders_(base.table.orders16.fn != nullptr) {
    // Threads take blocks in turn: one sieve over k for all, so that each
    // window is sieved once, not once a thread.
    std::shared_ptr<SharedKSieve> shared;
    if (threads > 1) shared = std::make_shared<SharedKSieve>(static_cast<uint64_t>(twoN));
    workers_.resize(static_cast<size_t>(std::max(threads, 1)));
    for (Worker& worker : workers_) worker.sieve = std::make_unique<BlockSieve>(base, twoN, n, slotRoots, shared);
}

CpuProducer::~CpuProducer() = default;

BlockPolicy CpuProducer::Policy() const {
    const int threads = static_cast<int>(workers_.size());
    BlockPolicy policy;
    // Fewer primes per block for large N keep a stop answered quickly. At
    // small N a prime costs about a hundred ns: short blocks spend much of
    // that on the hand-over, which holds a second thread back (n = 6: 1.6
    // times one thread with 64 primes a block, 1.9 with 1,024) and leaves
    // the sixteen-lane order search half empty. Longer blocks cost the
    // scalar order search of the other paths (0.88 times), by measurement;
    // the slots' root lists stay within 1 MB a block.
    policy.blockWork = int64_t{1} << 23;
    const size_t byRoots = (size_t{1} << 18) / std::max<size_t>(slotRoots_, 1);
    policy.maxPrimes = static_cast<int>(std::clamp<size_t>(byRoots, 8, batchedOrders_ ? 1024 : 16));
    policy.hold = 4 * threads;
    policy.threads = threads;
    policy.backstop = true;
    return policy;
}

bool CpuProducer::Pump(BlockDesk& desk, int thread) {
    Worker& worker = workers_[static_cast<size_t>(thread)];
    BlockTask& task = worker.task;
    if (!desk.Take(&task)) return false;
    Segment& seg = worker.block;
    seg.kFrom = task.kFrom;
    seg.kTo = task.kTo;
    if (task.finish) {
        seg.count = 0;
        for (const UInt128 k : task.primes) {
            PrimeSlot& slot = seg.AddSlot(slotRoots_);
            slot.k = k;
            slot.p = k * twoN_ + 1;
            slot.outcome = PrimeSlot::kPrime;
        }
        worker.sieve->Finish(seg);
    } else {
        worker.sieve->Fill(seg);
    }
    desk.Complete(task.index, seg);
    // With the block handed over, not while it is held.
    if (!task.finish) worker.sieve->PrepareAhead();
    return true;
}

}  // namespace varnesk
