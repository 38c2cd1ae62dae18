// The application shell: caption, menus, status bar, accelerators and the
// about box.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>

#include <QDir>
#include <QFileInfo>
#include <QRadioButton>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

#include "platform/joblock.h"
#include "ui/app.h"
#include "ui/formrules.h"
#include "ui/mainframe.h"
#include "ui_test_support.h"

namespace varnesk::testing {
namespace {

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        ViewOptions options;
        options.programPath = dir.filePath("varnesk").toStdString();
        frame = std::make_unique<CMainFrame>(&prompts, options);
        frame->OnFileNew();
        Pump();
        Pump();
    }
    QAction* Shortcut(QKeyCombination key) {
        for (QAction* a : frame->actions())
            if (a->shortcut() == QKeySequence(key)) return a;
        return nullptr;
    }
    static QStringList Texts(const QList<QAction*>& actions) {
        QStringList out;
        for (QAction* a : actions) out << (a->isSeparator() ? QString("-") : a->text());
        return out;
    }

    QTemporaryDir dir;
    FakePrompts prompts;
    std::unique_ptr<CMainFrame> frame;
};

TEST_F(ShellTest, CaptionNamesTheProcessorThenTheProgram) {
    const QString title = QString::fromStdString(DocumentTitleForThisCpu());
    EXPECT_EQ(frame->Document().Title(), title);
    EXPECT_EQ(frame->windowTitle(), title + " - Varnesk");
}

TEST_F(ShellTest, MenusAndTheirPrompts) {
    const QList<QAction*> bar = frame->menuBar()->actions();
    EXPECT_EQ(Texts(bar), (QStringList{"&File", "&Options", "&View", "&Help"}));
    EXPECT_EQ(Texts(bar[0]->menu()->actions()), (QStringList{"&Restore Last Job", "-", "E&xit"}));
    EXPECT_EQ(bar[0]->menu()->actions()[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    EXPECT_EQ(Texts(bar[1]->menu()->actions()),
              (QStringList{"Priority Class", "Build Packed K File", "Use Packed K File", "Sieve on the GPU too"}));
    EXPECT_EQ(Texts(bar[1]->menu()->actions()[0]->menu()->actions()), (QStringList{"Normal", "Below Normal", "Idle"}));
    EXPECT_FALSE(bar[1]->menu()->actions()[1]->isEnabled());
    EXPECT_FALSE(bar[1]->menu()->actions()[2]->isEnabled());
    EXPECT_EQ(Texts(bar[2]->menu()->actions()), QStringList{"&Status Bar"});
    EXPECT_EQ(Texts(bar[3]->menu()->actions()), QStringList{"&About Varnesk..."});
    EXPECT_EQ(frame->ExitAction()->statusTip(), "Quit the application; prompts to save documents");
    EXPECT_EQ(frame->StatusBarAction()->statusTip(), "Show or hide the status bar");
}

TEST_F(ShellTest, StatusBarHasItsPanesAndCanBeHidden) {
    frame->show();
    QStatusBar* bar = frame->statusBar();
    QStringList panes;
    for (QLabel* label : bar->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) panes << label->text();
    EXPECT_EQ(panes, (QStringList{"Ready", "CAP", "NUM", "SCRL"}));
    EXPECT_TRUE(frame->StatusBarAction()->isChecked());
    frame->StatusBarAction()->trigger();
    EXPECT_FALSE(bar->isVisible());
    frame->StatusBarAction()->trigger();
    EXPECT_TRUE(bar->isVisible());
}

TEST_F(ShellTest, TheFrameShrinksToTheFormButNeverGrows) {
    EXPECT_LE(frame->width(), CMainFrame::kDefaultWidth);
    EXPECT_LE(frame->height(), CMainFrame::kDefaultHeight);
    const QSize fitted = frame->size();
    frame->resize(300, 200);
    frame->OnFileNew();
    EXPECT_EQ(frame->size(), QSize(300, 200));
    EXPECT_GT(fitted.width(), 300);
}

// The window fits a screen of 1024 by 768 (the statistics panel scrolls
// down when it must) and never opens larger than the screen.
TEST_F(ShellTest, TheWindowFitsASmallScreen) {
    const QSize smallest = frame->minimumSizeHint();
    EXPECT_LE(smallest.width(), 1024);
    EXPECT_LE(smallest.height(), 768 - 60);  // a title bar and a desktop panel
    const QSize screen = frame->screen()->availableGeometry().size();
    EXPECT_LE(frame->width(), std::max(screen.width(), smallest.width()));
    EXPECT_LE(frame->height(), std::max(screen.height(), smallest.height()));
}

TEST_F(ShellTest, NewDocumentRerunsTheFormsInitialUpdate) {
    const auto& ui = frame->View()->Ui();
    ASSERT_EQ(ui.log->count(), 1);
    ui.bMin->setText("77");  // never read into the model
    frame->setWindowTitle("x");
    Shortcut(Qt::CTRL | Qt::Key_N)->trigger();
    Pump();
    Pump();
    EXPECT_EQ(ui.bMin->text(), "0");
    EXPECT_EQ(ui.log->count(), 2);  // the banner again
    EXPECT_TRUE(frame->windowTitle().startsWith("64 Bit Hollowmere - CPU="));
}

// The document is empty: a save may replace only a file that holds nothing,
// as an earlier save of it does. A candidate or factor file, opened or
// chosen in Save As, is refused by name whatever the answer would be.
TEST_F(ShellTest, SaveReplacesOnlyAFileThatHoldsNothing) {
    struct Case {
        const char* what;
        const char* holds;  // null: no such file
        bool opened;        // the document's own name (opened), else chosen in Save As
        std::vector<bool> answers;
        bool saved;
    } cases[] = {
        {"a new name", nullptr, false, {}, true},
        {"its own empty file", "", true, {}, true},
        {"an opened candidate file", "ABC $a^$b+1 // 127000000000\n2 64\n", true, {true}, false},
        {"a candidate file chosen", "ABC $a^$b+1 // 127000000000\n2 64\n", false, {true}, false},
        {"a factor file chosen", "1283 | 2^64+1\n", false, {true}, false},
        {"another empty file, No", "", false, {false}, false},
        {"another empty file, Yes", "", false, {true}, true},
    };
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = dir.filePath(QString("doc%1.txt").arg(++i));
        if (c.holds) WriteText(path, c.holds);
        frame->OnFileNew();
        prompts.Clear();
        if (c.opened) {
            prompts.files = {path};
            Shortcut(Qt::CTRL | Qt::Key_O)->trigger();
        } else {
            prompts.files = {path};
        }
        prompts.answers = {c.answers.begin(), c.answers.end()};
        Shortcut(Qt::CTRL | Qt::Key_S)->trigger();
        EXPECT_EQ(ReadAll(path), c.saved || !c.holds ? std::string() : std::string(c.holds));
        EXPECT_EQ(QFile::exists(path), c.saved || c.holds != nullptr);
        EXPECT_EQ(frame->windowTitle() == QFileInfo(path).fileName() + " - Varnesk", c.saved || c.opened);
        const bool refused = c.holds && *c.holds;
        if (refused) {
            EXPECT_EQ(prompts.Messages(), std::vector<std::string>{
                                              "The document was not saved: File " + path.toStdString() +
                                              " is not empty (" + std::to_string(std::string(c.holds).size()) +
                                              " bytes): saving this empty document over it would destroy what it "
                                              "holds. Save the document under another name."});
            EXPECT_TRUE(prompts.Questions().empty());
        } else {
            EXPECT_TRUE(prompts.Messages().empty());
            EXPECT_EQ(prompts.Questions().size(), c.answers.size());
        }
    }
    EXPECT_EQ(prompts.Questions(), std::vector<std::string>{"File " + dir.filePath("doc7.txt").toStdString() +
                                                            " already exists; saving replaces it with this empty "
                                                            "document. Replace it?"});
}

// Every question of the program is about destroying a file: Enter (and
// Escape) answer No.
TEST(QtPromptsTest, NoIsTheDefaultAnswer) {
    for (int key : {Qt::Key_Return, Qt::Key_Escape}) {
        QtPrompts prompts;
        bool seen = false;
        std::function<void()> answer = [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return QTimer::singleShot(10, answer);
            seen = true;
            EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
            QTest::keyClick(box, static_cast<Qt::Key>(key));
        };
        QTimer::singleShot(0, answer);
        EXPECT_FALSE(prompts.AskYesNo(nullptr, "Output File x.txt already exists, overwrite it?", "x.txt")) << key;
        EXPECT_TRUE(seen);
    }
}

TEST_F(ShellTest, OpenNamesTheDocument) {
    const QString other = dir.filePath("other.txt");
    WriteText(other, "not read");
    prompts.files = {other, std::nullopt};
    Shortcut(Qt::CTRL | Qt::Key_O)->trigger();
    EXPECT_EQ(frame->windowTitle(), "other.txt - Varnesk");
    Shortcut(Qt::CTRL | Qt::Key_O)->trigger();  // cancelled: nothing changes
    EXPECT_EQ(frame->windowTitle(), "other.txt - Varnesk");
    EXPECT_EQ(prompts.Messages().size(), 0u);
}

// Saving the empty document over a job's file would leave the job writing
// into a file without a name: refused, whoever holds it, before any question.
TEST_F(ShellTest, SaveNeverReplacesAFileThatAJobHolds) {
    const QString held = dir.filePath("held.txt"), folder = dir.filePath("folder");
    ASSERT_TRUE(QDir().mkpath(folder));
    WriteText(held, "281000 proof lines\n");
    JobLock other;  // a job of another window or of the command line
    std::string ignored;
    ASSERT_TRUE(other.LockFile(held.toStdString(), "Factor output file", ignored));
    const std::string refusal = "The document was not saved: File " + held.toStdString() +
                                " is in use by another job; only one job at a time may write it.";
    // Opened, then saved under its own name; or chosen as the new name.
    prompts.files = {held};
    Shortcut(Qt::CTRL | Qt::Key_O)->trigger();
    Shortcut(Qt::CTRL | Qt::Key_S)->trigger();
    frame->OnFileNew();
    prompts.files = {held};
    Shortcut(Qt::CTRL | Qt::Key_S)->trigger();
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>(2, refusal));
    EXPECT_TRUE(prompts.Questions().empty());
    EXPECT_EQ(ReadAll(held), "281000 proof lines\n");

    // Free again and empty: the question, then the save.
    other.Release();
    WriteText(held, "");
    prompts.Clear();
    prompts.files = {held};
    prompts.answers = {true};
    Shortcut(Qt::CTRL | Qt::Key_S)->trigger();
    EXPECT_EQ(prompts.Questions().size(), 1u);
    EXPECT_EQ(frame->windowTitle(), "held.txt - Varnesk");
    EXPECT_FALSE(QFile::exists(held + ".varnesk-lock"));

    // A folder is never replaced, and the failure is said.
    frame->OnFileNew();
    prompts.Clear();
    prompts.files = {folder};
    prompts.answers = {true};
    Shortcut(Qt::CTRL | Qt::Key_S)->trigger();
    ASSERT_EQ(prompts.Messages().size(), 1u);
    EXPECT_EQ(prompts.Messages()[0].rfind("The document was not saved: File " + folder.toStdString() +
                                              " cannot be written: ",
                                          0),
              0u)
        << prompts.Messages()[0];
    EXPECT_TRUE(QFileInfo(folder).isDir());
}

TEST_F(ShellTest, SaveNeverReplacesAFileOfTheJobInThisWindow) {
    // Enough bases that the job outlives the test's saves.
    std::string input = "ABC $a^$b+1 // 1000\n";
    for (int b = 2; b <= 40000; b += 2) input += std::to_string(b) + " 1024\n";
    WriteText(dir.filePath("in.txt"), input);
    const auto& ui = frame->View()->Ui();
    ui.resumeSieve->click();
    ui.sieveInput->setText(dir.filePath("in.txt"));
    ui.factorOutput->setText(dir.filePath("factors.txt"));
    ui.sieveOutput->setText(dir.filePath("out.txt"));
    ui.startStop->click();
    ASSERT_TRUE(frame->View()->IsRunning());
    for (const char* name : {"in.txt", "factors.txt", "out.txt"}) {
        SCOPED_TRACE(name);
        prompts.Clear();
        frame->OnFileNew();
        const QString path = dir.filePath(name);
        const std::string before = ReadAll(path);
        prompts.files = {path};
        Shortcut(Qt::CTRL | Qt::Key_S)->trigger();
        ASSERT_EQ(prompts.Messages().size(), 1u);
        EXPECT_EQ(prompts.Messages()[0], "The document was not saved: File " + path.toStdString() +
                                             " is in use by the job running in this window; saving over it would "
                                             "destroy the job's results.");
        EXPECT_TRUE(prompts.Questions().empty());
        EXPECT_GE(ReadAll(path).size(), before.size());
    }
    ui.startStop->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !frame->View()->IsRunning(); }, 60000));
}

TEST(ShellInfo, HelpAndVersionNeedNoDisplay) {
    struct Case {
        std::vector<const char*> args;
        int status;
        const char* starts;
    } cases[] = {
        {{"varnesk", "--version"}, 0, "varnesk 1.0 (Varnesk Build 306)\n"},
        {{"varnesk", "--help"}, 0, "Usage: varnesk [FILE]\n"},
        {{"varnesk", "-platform", "offscreen", "--help"}, 0, "Usage: varnesk [FILE]\n"},
        {{"varnesk"}, -1, ""},
        {{"varnesk", "doc.vsk"}, -1, ""},
        {{"varnesk", "--", "--help"}, -1, ""},
    };
    for (const Case& c : cases) {
        char* text = nullptr;
        size_t size = 0;
        std::FILE* out = open_memstream(&text, &size);
        ASSERT_NE(out, nullptr);
        const int status = AnswerInfoOptions(static_cast<int>(c.args.size()), c.args.data(), out);
        std::fclose(out);
        const std::string printed(text, size);
        std::free(text);
        EXPECT_EQ(status, c.status) << c.args.back();
        EXPECT_EQ(printed.rfind(c.starts, 0), 0u) << printed;
        if (c.status < 0) {
            EXPECT_EQ(printed, "");
        }
    }
    // The help names everything the program takes.
    for (const char* word : {"[FILE]", "--help", "--version", "varnesk-cli", "--standard --packed-k DIR", "build-packed-k"})
        EXPECT_NE(std::string(kHelpText).find(word), std::string::npos) << word;
}

// A file named on the command line that cannot be opened still gets the
// window, with a message that says why.
TEST_F(ShellTest, AFileOnTheCommandLineThatCannotBeOpenedIsReported) {
    const QString missing = dir.filePath("missing.vsk");
    EXPECT_FALSE(frame->OpenFromCommandLine(missing));
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"The file " + missing.toStdString() +
                                                           " named on the command line cannot be opened: it does "
                                                           "not exist."});
    EXPECT_FALSE(frame->windowTitle().startsWith("missing.vsk"));
}

TEST_F(ShellTest, AboutBox) {
    bool seen = false;
    prompts.onExec = [&](QDialog& dialog) {
        seen = true;
        EXPECT_EQ(dialog.windowTitle(), "About Varnesk");
        QStringList texts;
        for (QLabel* l : dialog.findChildren<QLabel*>()) texts << l->text();
        EXPECT_TRUE(texts.contains("Varnesk, Version 1.0"));
        auto buttons = dialog.findChildren<QPushButton*>();
        EXPECT_EQ(buttons.size(), 1);
        EXPECT_EQ(buttons.value(0)->text(), "OK");
        EXPECT_TRUE(buttons.value(0)->isDefault());
        buttons.value(0)->click();
        return dialog.result() == QDialog::Accepted;
    };
    frame->AboutAction()->trigger();
    EXPECT_TRUE(seen);
}

TEST_F(ShellTest, ExitClosesAnIdleWindow) {
    frame->show();
    frame->ExitAction()->trigger();
    EXPECT_FALSE(frame->isVisible());
}

}  // namespace
}  // namespace varnesk::testing
