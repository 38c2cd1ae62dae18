#include "ui/workersink.h"

#include <QCoreApplication>

namespace varnesk {

void QtWorkerSink::Post(WorkerRecord record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (target_) QCoreApplication::postEvent(target_, new WorkerTextEvent(std::move(record)));
}

void QtWorkerSink::PostWorkerText(std::unique_ptr<std::string> text) {
    if (text) Post(WorkerRecord::LogLine(std::move(*text)));
}

void QtWorkerSink::PostProgressRecord(int32_t basesLeft, UInt128 p) { Post(WorkerRecord::Progress(basesLeft, p)); }

void QtWorkerSink::PostAlgebraicRecord(int32_t algebraicLeft) { Post(WorkerRecord::Algebraic(algebraicLeft)); }

void QtWorkerSink::PostRangeRecord(int32_t bMin, int32_t bMax, int32_t exponent) {
    Post(WorkerRecord::Range(bMin, bMax, exponent));
}

void QtWorkerSink::PostEndMarker(JobOutcome outcome) { Post(WorkerRecord::End(outcome)); }

void QtWorkerSink::PostReadingRecord(const ReadingProgress& reading) { Post(WorkerRecord::Reading(reading)); }

void QtWorkerSink::Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = nullptr;
}

}  // namespace varnesk
