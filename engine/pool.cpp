#include "engine/pool.h"

#include <immintrin.h>

namespace varnesk {

namespace {
// Loops follow each other within microseconds while a sieve runs; waiting a
// little in a spin keeps a sleeping thread's wake-up latency out of every
// batch. Beyond that the threads block.
constexpr int kSpins = 20000;

template <typename Ready>
bool SpinUntil(Ready ready) {
    for (int i = 0; i < kSpins; ++i) {
        if (ready()) return true;
        _mm_pause();
    }
    return ready();
}
}  // namespace

WorkerPool::WorkerPool(int threads) {
    for (int t = 1; t < threads; ++t) helpers_.emplace_back([this, t] { HelperLoop(t); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    for (auto& h : helpers_) h.join();
}

void WorkerPool::RunIndices(int thread) {
    for (int i = next_.fetch_add(1); i < count_; i = next_.fetch_add(1)) (*fn_)(i, thread);
}

void WorkerPool::HelperLoop(int thread) {
    unsigned seen = 0;
    for (;;) {
        auto ready = [&] { return quit_.load() || generation_.load(std::memory_order_acquire) != seen; };
        if (!SpinUntil(ready)) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, ready);
        }
        if (quit_) return;
        seen = generation_.load(std::memory_order_acquire);
        RunIndices(thread);
        if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> lock(mutex_);
            done_.notify_one();
        }
    }
}

void WorkerPool::ParallelFor(int count, const std::function<void(int, int)>& fn) {
    if (helpers_.empty() || count <= 1) {
        for (int i = 0; i < count; ++i) fn(i, 0);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fn_ = &fn;
        count_ = count;
        next_.store(0);
        busy_.store(static_cast<int>(helpers_.size()));
        generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    RunIndices(0);
    auto finished = [&] { return busy_.load(std::memory_order_acquire) == 0; };
    if (!SpinUntil(finished)) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, finished);
    }
    fn_ = nullptr;
}

}  // namespace varnesk
