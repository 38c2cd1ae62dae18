#include "ui/workersink.h"

#include <QCoreApplication>

namespace varnesk {

void QtWorkerSink::PostWorkerText(std::unique_ptr<std::string> text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (target_) QCoreApplication::postEvent(target_, new WorkerTextEvent(std::move(text)));
}

void QtWorkerSink::Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = nullptr;
}

}  // namespace varnesk
