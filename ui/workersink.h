// What the worker posts reaches the form as posted events, one per log line
// or record, in the order they were posted; the event owns its record until
// the form takes it.
#pragma once
#include <QEvent>
#include <QObject>
#include <memory>
#include <mutex>
#include <string>

#include "platform/post.h"

namespace varnesk {

// The stand-ins for the form's WM_USER + 1 (start-up) and WM_USER + 2
// (a worker text, now any of the worker's records).
inline constexpr QEvent::Type kStartUpEvent = static_cast<QEvent::Type>(QEvent::User + 1);
inline constexpr QEvent::Type kWorkerTextEvent = static_cast<QEvent::Type>(QEvent::User + 2);

class WorkerTextEvent : public QEvent {
public:
    explicit WorkerTextEvent(WorkerRecord record) : QEvent(kWorkerTextEvent), record_(std::move(record)) {}
    WorkerRecord TakeRecord() { return std::move(record_); }

private:
    WorkerRecord record_;
};

// Called on the worker thread. Once detached (the form is going away)
// records are dropped, so the sink may outlive its form.
class QtWorkerSink : public TextSink {
public:
    explicit QtWorkerSink(QObject* target) : target_(target) {}
    void PostWorkerText(std::unique_ptr<std::string> text) override;
    void PostProgressRecord(int32_t basesLeft, UInt128 p) override;
    void PostAlgebraicRecord(int32_t algebraicLeft) override;
    void PostRangeRecord(int32_t bMin, int32_t bMax, int32_t exponent) override;
    void PostEndMarker(JobOutcome outcome) override;
    void PostReadingRecord(const ReadingProgress& reading) override;
    void Detach();

private:
    void Post(WorkerRecord record);
    std::mutex mutex_;
    QObject* target_;
};

}  // namespace varnesk
