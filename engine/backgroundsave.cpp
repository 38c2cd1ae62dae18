#include "engine/backgroundsave.h"

#include <system_error>

namespace varnesk {

void CopyForSave(const SieveJob& job, SieveJob& copy) {
    copy.factorFileName = job.factorFileName;
    copy.outputFileName = job.outputFileName;
    copy.bMin = job.bMin;
    copy.bMax = job.bMax;
    copy.exponent = job.exponent;
    copy.exponentLog2 = job.exponentLog2;
    copy.exponent64 = job.exponent64;
    copy.kCursor = job.kCursor;
    copy.kCursorWide = job.kCursorWide;
    copy.currentP = job.currentP;
    copy.currentK = job.currentK;
    copy.candidateCount = job.candidateCount;
    // assign keeps the capacity: no fresh pages to fault in at each save.
    copy.candidateBitmap.assign(job.candidateBitmap.begin(), job.candidateBitmap.end());
}

BackgroundSave::~BackgroundSave() { Join(); }

void BackgroundSave::Join() {
    if (thread_.joinable()) thread_.join();
}

bool BackgroundSave::Begin(const SieveJob& job, Task task) {
    if (Busy()) return false;
    Join();
    CopyForSave(job, copy_);
    copy_.form = &kept_;
    running_.store(true, std::memory_order_relaxed);
    auto run = [this, task = std::move(task)] {
        if (!task(copy_)) failed_ = true;
        running_.store(false, std::memory_order_release);
    };
    try {
        thread_ = std::thread(run);
    } catch (const std::system_error&) {
        // No thread to be had: the save is made here, as saves were before.
        run();
    }
    return true;
}

bool BackgroundSave::Collect(TextSink* form, bool wait) {
    if (Busy() && !wait) return true;
    Join();
    for (std::string& text : kept_.texts) PostString(form, std::move(text));
    kept_.texts.clear();
    const bool ok = !failed_;
    failed_ = false;
    return ok;
}

}  // namespace varnesk
