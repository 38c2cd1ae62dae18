// A fixed set of helper threads that run the index range of one loop
// together with the calling thread. Used to spread the per-prime work of a
// sieve; everything that must stay in order is done by the caller afterwards.
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace varnesk {

class WorkerPool {
public:
    // threads: helpers + the caller; 1 runs everything on the caller.
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int Size() const { return static_cast<int>(helpers_.size()) + 1; }
    // fn(index, thread) for every index in [0, count); thread is 0 for the
    // caller and 1.. for helpers. Returns when every index is done.
    void ParallelFor(int count, const std::function<void(int, int)>& fn);

private:
    void HelperLoop(int thread);
    void RunIndices(int thread);

    std::vector<std::thread> helpers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(int, int)>* fn_ = nullptr;
    int count_ = 0;
    std::atomic<int> next_{0};
    std::atomic<int> busy_{0};
    std::atomic<unsigned> generation_{0};
    std::atomic<bool> quit_{false};
};

}  // namespace varnesk
