// The worker's texts reach the form as posted events, one per text, in the
// order they were posted; the event owns its text until the form takes it.
#pragma once
#include <QEvent>
#include <QObject>
#include <memory>
#include <mutex>
#include <string>

#include "platform/post.h"

namespace varnesk {

// The stand-ins for the form's WM_USER + 1 (start-up) and WM_USER + 2
// (a worker text).
inline constexpr QEvent::Type kStartUpEvent = static_cast<QEvent::Type>(QEvent::User + 1);
inline constexpr QEvent::Type kWorkerTextEvent = static_cast<QEvent::Type>(QEvent::User + 2);

class WorkerTextEvent : public QEvent {
public:
    explicit WorkerTextEvent(std::unique_ptr<std::string> text) : QEvent(kWorkerTextEvent), text_(std::move(text)) {}
    std::unique_ptr<std::string> TakeText() { return std::move(text_); }

private:
    std::unique_ptr<std::string> text_;
};

// Called on the worker thread. Once detached (the form is going away) texts
// are dropped, so the sink may outlive its form.
class QtWorkerSink : public TextSink {
public:
    explicit QtWorkerSink(QObject* target) : target_(target) {}
    void PostWorkerText(std::unique_ptr<std::string> text) override;
    void Detach();

private:
    std::mutex mutex_;
    QObject* target_;
};

}  // namespace varnesk
