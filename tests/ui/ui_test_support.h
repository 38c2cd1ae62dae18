// Shared by the user-interface tests: scripted answers to every prompt, a
// form whose worker is created but not started, scratch folders and file
// helpers.
#pragma once
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/worker.h"
#include "ui/prompts.h"
#include "ui/varneskview.h"

namespace varnesk::testing {

struct Prompt {
    enum Kind { Message, YesNo, Open, Save, Dialog } kind;
    QString text;  // message or question; the filter for file dialogs
    QString caption;
    PromptIcon icon = PromptIcon::None;
    QString folder;  // where a file dialog opened
};

class FakePrompts : public UiPrompts {
public:
    std::vector<Prompt> shown;
    std::deque<bool> answers;                      // for AskYesNo
    std::deque<std::optional<QString>> files;      // for OpenFile / SaveFile
    std::function<bool(QDialog&)> onExec;          // for Exec

    void Message(QWidget*, const QString& text, const QString& caption, PromptIcon icon) override {
        shown.push_back({Prompt::Message, text, caption, icon, QString()});
    }
    bool AskYesNo(QWidget*, const QString& text, const QString& caption) override {
        shown.push_back({Prompt::YesNo, text, caption, PromptIcon::Question, QString()});
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << text.toStdString();
            return false;
        }
        bool a = answers.front();
        answers.pop_front();
        return a;
    }
    std::optional<QString> OpenFile(QWidget*, const QString& filter, const QString& folder) override {
        return File(Prompt::Open, filter, folder);
    }
    std::optional<QString> SaveFile(QWidget*, const QString& filter, const QString& folder) override {
        return File(Prompt::Save, filter, folder);
    }
    bool Exec(QDialog& dialog) override {
        shown.push_back({Prompt::Dialog, dialog.windowTitle(), QString(), PromptIcon::None, QString()});
        if (!onExec) {
            ADD_FAILURE() << "unexpected dialog";
            return false;
        }
        return onExec(dialog);
    }

    // The texts of the message boxes, in order.
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        for (const auto& p : shown)
            if (p.kind == Prompt::Message) out.push_back(p.text.toStdString());
        return out;
    }
    std::vector<std::string> Questions() const {
        std::vector<std::string> out;
        for (const auto& p : shown)
            if (p.kind == Prompt::YesNo) out.push_back(p.text.toStdString());
        return out;
    }
    void Clear() { shown.clear(); }

private:
    std::optional<QString> File(Prompt::Kind kind, const QString& filter, const QString& folder) {
        shown.push_back({kind, filter, QString(), PromptIcon::None, folder});
        if (files.empty()) {
            ADD_FAILURE() << "unexpected file dialog";
            return std::nullopt;
        }
        auto f = files.front();
        files.pop_front();
        return f;
    }
};

// A form that creates its worker but never starts the thread, so that the
// hand-over can be inspected and the end marker fed by hand.
class HeldView : public CVarneskView {
public:
    using CVarneskView::CVarneskView;
    bool startResult = true;
    int starts = 0;

protected:
    bool StartWorker(const std::shared_ptr<CGfnThread>&) override {
        ++starts;
        return startResult;
    }
};

// A form whose program lives in dir, quick to tick, one sieve thread.
inline ViewOptions FastOptions(const QTemporaryDir& dir) {
    ViewOptions options;
    options.programPath = dir.filePath("varnesk").toStdString();
    options.timerPeriodMs = 50;
    options.workerThreads = 1;
    return options;
}

// A small new sieve (N = 1024, b up to 100,000) with its files in dir.
inline void StartNewJob(const CVarneskView::Controls& ui, const QTemporaryDir& dir) {
    ui.factorOutput->setText(dir.filePath("factors.txt"));
    ui.sieveOutput->setText(dir.filePath("sieve.txt"));
    ui.exponent->setText("1024");
    ui.bMin->setText("2");
    ui.bMax->setText("100000");
    ui.startStop->click();
}

inline void Pump() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

inline std::string ReadAll(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteText(const QString& path, const std::string& text) {
    std::ofstream out(path.toStdString(), std::ios::binary);
    out << text;
}

// What the worker posts, handed to the form as its event would.
inline void Post(CVarneskView& view, const std::string& logLine) {
    view.HandleWorkerRecord(WorkerRecord::LogLine(logLine));
}
inline void PostProgress(CVarneskView& view, int32_t basesLeft, UInt128 p) {
    view.HandleWorkerRecord(WorkerRecord::Progress(basesLeft, p));
}
inline void PostAlgebraic(CVarneskView& view, int32_t algebraicLeft) {
    view.HandleWorkerRecord(WorkerRecord::Algebraic(algebraicLeft));
}
inline void PostRange(CVarneskView& view, int32_t bMin, int32_t bMax, int32_t exponent) {
    view.HandleWorkerRecord(WorkerRecord::Range(bMin, bMax, exponent));
}
inline void PostEnd(CVarneskView& view, JobOutcome outcome = JobOutcome::kNormalEnd) {
    view.HandleWorkerRecord(WorkerRecord::End(outcome));
}

}  // namespace varnesk::testing
