#include "engine/pool.h"

namespace varnesk {

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
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
            if (quit_) return;
            seen = generation_;
        }
        RunIndices(thread);
        std::lock_guard<std::mutex> lock(mutex_);
        if (--busy_ == 0) done_.notify_one();
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
        busy_ = static_cast<int>(helpers_.size());
        ++generation_;
    }
    wake_.notify_all();
    RunIndices(0);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return busy_ == 0; });
    fn_ = nullptr;
}

}  // namespace varnesk
