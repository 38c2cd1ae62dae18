// Real jobs through the form: a new wide-math sieve that is stopped, then a
// resume from the file that it wrote, into that same file; and closing the
// main window while a job runs.
#include <algorithm>
#include <csignal>

#include <QDir>

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

#include "ui/mainframe.h"
#include "ui/stopsignals.h"
#include "ui_test_support.h"

namespace varnesk::testing {
namespace {

constexpr int kWaitMs = 60000;

bool LogHas(const CVarneskView& view, const std::string& prefix) {
    for (int i = 0; i < view.Ui().log->count(); ++i)
        if (view.Ui().log->item(i)->text().toStdString().rfind(prefix, 0) == 0) return true;
    return false;
}

int CountLines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

TEST(FormJob, NewSieveStopsAndResumesIntoItsOwnFile) {
    QTemporaryDir dir;
    FakePrompts prompts;
    CVarneskView view(prompts, FastOptions(dir));
    view.OnInitialUpdate();
    Pump();
    const auto& ui = view.Ui();

    StartNewJob(ui, dir);
    ASSERT_TRUE(view.IsRunning());
    const int logAtStart = ui.log->count();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ui.bLeft->text().isEmpty() && !ui.currentP->text().isEmpty(); }, kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui.log->count() > logAtStart; }, kWaitMs));
    EXPECT_TRUE(LogHas(view, "Wide math algorithm selected. "));
    // Progress moves on while the job runs.
    const QString firstP = ui.currentP->text();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui.currentP->text() != firstP; }, kWaitMs));

    ui.startStop->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.IsRunning(); }, kWaitMs));
    EXPECT_EQ(ui.startStop->text(), "Start");
    EXPECT_TRUE(ui.factorOutput->isEnabled());
    EXPECT_TRUE(LogHas(view, "Stop request received. "));
    EXPECT_EQ(CountLines(ReadAll(dir.filePath("varnesk.log"))), ui.log->count());

    const QString sieve = dir.filePath("sieve.txt");
    EXPECT_EQ(ReadAll(dir.filePath("varnesk.ini")), "[Parameters]\n"
                                                    "FactorOutputFileName=" + dir.filePath("factors.txt").toStdString() + "\n"
                                                    "SieveInputFileName=\n"
                                                    "SieveOutputFileName=" + sieve.toStdString() + "\n"
                                                    "BMax=100000\nBMin=2\nExponent=1024\nSaveFileMinutes=60\n"
                                                    "Mode=0\nUseStartStop=0\nStartP=0\nEndP=0\n");
    const std::string firstFile = ReadAll(sieve);
    ASSERT_EQ(firstFile.rfind("ABC $a^$b+1 // ", 0), 0u);
    const int firstCandidates = CountLines(firstFile) - 1;
    EXPECT_GT(firstCandidates, 1000);
    EXPECT_LT(firstCandidates, 50000);
    EXPECT_NE(ReadAll(dir.filePath("factors.txt")).find("^1024+1"), std::string::npos);

    // Resume: the file just written is both input and output.
    ui.resumeSieve->click();
    ui.sieveInput->setText(sieve);
    ui.factorOutput->setText(dir.filePath("factors2.txt"));
    ui.exponent->setText("0");
    ui.bMin->setText("0");
    ui.bMax->setText("0");
    ui.bLeft->clear();
    ui.startStop->click();
    ASSERT_TRUE(view.IsRunning());
    EXPECT_EQ(view.Worker()->Job().command, kCommandResume);
    EXPECT_EQ(ReadAll(sieve), firstFile);  // neither questioned nor emptied
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui.exponent->text() == "1024"; }, kWaitMs));  // range record
    EXPECT_GE(ui.bMin->text().toInt(), 2);
    EXPECT_LE(ui.bMax->text().toInt(), 100000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ui.bLeft->text().isEmpty(); }, kWaitMs));
    EXPECT_LE(ui.bLeft->text().toInt(), firstCandidates);
    ui.startStop->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.IsRunning(); }, kWaitMs));
    EXPECT_TRUE(ui.sieveInput->isEnabled());  // back to the resume layout
    EXPECT_FALSE(ui.exponent->isEnabled());

    const std::string secondFile = ReadAll(sieve);
    ASSERT_EQ(secondFile.rfind("ABC $a^$b+1 // ", 0), 0u);
    EXPECT_LE(CountLines(secondFile) - 1, firstCandidates);
    EXPECT_TRUE(prompts.shown.empty()) << prompts.shown[0].text.toStdString();
    // The settings now hold the range read from the file.
    const std::string ini = ReadAll(dir.filePath("varnesk.ini"));
    EXPECT_NE(ini.find("SieveInputFileName=" + sieve.toStdString() + "\n"), std::string::npos);
    EXPECT_NE(ini.find("Exponent=1024\n"), std::string::npos);
}

TEST(FormJob, ClosingTheWindowStopsTheJobAndWaitsForItsSave) {
    QTemporaryDir dir;
    FakePrompts prompts;
    CMainFrame frame(&prompts, FastOptions(dir));
    frame.OnFileNew();
    frame.show();
    Pump();
    CVarneskView* view = frame.View();
    StartNewJob(view->Ui(), dir);
    ASSERT_TRUE(view->IsRunning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view->Ui().bLeft->text().isEmpty(); }, kWaitMs));

    std::shared_ptr<CGfnThread> worker = view->Worker();
    frame.close();
    EXPECT_TRUE(frame.isVisible());
    EXPECT_EQ(worker->m_stopRequest.load(), 1);
    EXPECT_FALSE(view->Ui().startStop->isEnabled());
    EXPECT_EQ(frame.MessagePane()->text(), "Stopping: waiting for the sieve to save...");
    frame.close();  // a second attempt changes nothing
    ASSERT_TRUE(QTest::qWaitFor([&] { return !frame.isVisible(); }, kWaitMs));
    EXPECT_FALSE(view->IsRunning());
    EXPECT_TRUE(LogHas(*view, "Stop request received. "));
    EXPECT_EQ(ReadAll(dir.filePath("sieve.txt")).rfind("ABC $a^$b+1 // ", 0), 0u);
    EXPECT_TRUE(QFile::exists(dir.filePath("varnesk.ini")));
}

// A logout or shutdown sends SIGTERM, a closed terminal SIGHUP, Ctrl-C
// SIGINT: each stops the job as Close does, and the program ends only after
// its save, its end marker handled and its locks gone. Idle, it ends at once.
TEST(FormJob, StopSignalsSaveTheJobBeforeTheProgramEnds) {
    for (const bool running : {true, false})
        for (const int signal : StopSignalNotifier::kSignals) {
            const std::string name = SignalName(signal);
            SCOPED_TRACE(name + (running ? " while a job runs" : " when idle"));
            QTemporaryDir dir;
            FakePrompts prompts;
            CMainFrame frame(&prompts, FastOptions(dir));
            StopSignalNotifier stopSignals;
            ASSERT_TRUE(stopSignals.Installed());
            QObject::connect(&stopSignals, &StopSignalNotifier::Received, &frame, &CMainFrame::OnStopSignal);
            int ends = 0;
            QObject::connect(&frame, &CMainFrame::EndRequested, [&] { ++ends; });
            frame.OnFileNew();
            frame.show();
            Pump();
            CVarneskView* view = frame.View();
            std::shared_ptr<CGfnThread> worker;
            if (running) {
                StartNewJob(view->Ui(), dir);
                ASSERT_TRUE(view->IsRunning());
                ASSERT_TRUE(QTest::qWaitFor([&] { return !view->Ui().bLeft->text().isEmpty(); }, kWaitMs));
                worker = view->Worker();
            }
            std::raise(signal);
            ASSERT_TRUE(QTest::qWaitFor([&] { return ends > 0; }, kWaitMs));
            EXPECT_EQ(ends, 1);
            EXPECT_FALSE(frame.isVisible());
            EXPECT_FALSE(view->IsRunning());
            if (running) {
                EXPECT_EQ(worker->m_stopRequest.load(), 1);
                EXPECT_TRUE(LogHas(*view, name + " received: the job stops and saves, then the program ends. "));
                EXPECT_TRUE(LogHas(*view, "Stop request received. "));
                EXPECT_EQ(ReadAll(dir.filePath("sieve.txt")).rfind("ABC $a^$b+1 // ", 0), 0u);
                EXPECT_TRUE(QFile::exists(dir.filePath("varnesk.ini")));
            } else {
                EXPECT_TRUE(LogHas(*view, name + " received: the program ends. "));
            }
            EXPECT_TRUE(QDir(dir.path()).entryList({"*lock*"}, QDir::Files | QDir::Hidden).isEmpty());
        }
}

}  // namespace
}  // namespace varnesk::testing
