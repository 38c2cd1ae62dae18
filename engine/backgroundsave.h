// Saves made on a thread of their own from a copy of the candidate set, so
// that the sieve strikes on while a big file is written. One save at a time:
// a save that comes due while the last is still being written waits for it
// rather than queueing behind it, and nothing is ever queued twice.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernels/sieve_job.h"
#include "platform/post.h"

namespace varnesk {

class BackgroundSave {
public:
    // Runs on the save's thread with the copy, whose form keeps the texts
    // it posts until Collect hands them on. False when the save failed.
    using Task = std::function<bool(SieveJob& copy)>;

    BackgroundSave() = default;
    // Waits for the save being written.
    ~BackgroundSave();
    BackgroundSave(const BackgroundSave&) = delete;
    BackgroundSave& operator=(const BackgroundSave&) = delete;

    // Copies what a save writes (the bitmap of surviving bases, the range,
    // N, the resume point, the count, the file names) and runs task on the
    // copy. False, with nothing copied, while the last save is still running.
    bool Begin(const SieveJob& job, Task task);
    // A save is being written; may be asked from any thread.
    bool Busy() const { return running_.load(std::memory_order_acquire); }
    // Posts to form the texts of the saves that have ended since the last
    // call, in order, after waiting for the one running when wait is set.
    // False when one of them failed.
    bool Collect(TextSink* form, bool wait);

private:
    class Kept : public TextSink {
    public:
        void PostWorkerText(std::unique_ptr<std::string> text) override {
            if (text) texts.push_back(std::move(*text));
        }
        std::vector<std::string> texts;
    };
    void Join();

    std::thread thread_;
    std::atomic<bool> running_{false};
    // Owned by the save's thread while it runs; by the caller otherwise.
    SieveJob copy_;
    Kept kept_;
    bool failed_ = false;
};

// The copy of job that a save writes, into copy (whose bitmap keeps its
// memory from one save to the next).
void CopyForSave(const SieveJob& job, SieveJob& copy);

}  // namespace varnesk
