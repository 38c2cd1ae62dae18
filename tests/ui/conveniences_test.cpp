// What the form offers around its fixed design: the last job brought back
// from the settings file, a candidate file that fills the fields, the
// keyboard's way through the form, whole log lines and where the file
// dialogs open.
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <set>

#include "files/candidates.h"
#include "ui/formrules.h"
#include "ui/statspanel.h"
#include "ui_test_support.h"

namespace varnesk::testing {
namespace {

constexpr int kStampLength = 12;  // " mm/dd hh:mm"

class Conveniences : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        view = MakeView();
    }
    std::unique_ptr<HeldView> MakeView() {
        auto v = std::make_unique<HeldView>(prompts, FastOptions(dir));
        QObject::connect(v.get(), &CVarneskView::StatusMessage, [this](const QString& text) { status = text; });
        v->OnInitialUpdate();
        Pump();
        Pump();
        prompts.Clear();
        return v;
    }
    QString Path(const QString& name) const { return dir.filePath(name); }
    const CVarneskView::Controls& ui() const { return view->Ui(); }
    // Every field as the user sees it.
    QStringList Fields() const {
        QStringList out;
        for (QLineEdit* e : {ui().factorOutput, ui().sieveInput, ui().sieveOutput, ui().exponent, ui().bMin,
                             ui().bMax, ui().minutesPerSave, ui().startP, ui().endP})
            out << e->text();
        out << QString::number(ui().resumeSieve->isChecked()) << QString::number(ui().useStartStop->isChecked());
        return out;
    }
    std::string LastLogLine() const {
        const std::string line = ui().log->item(ui().log->count() - 1)->text().toStdString();
        return line.substr(0, line.size() - kStampLength);
    }

    QTemporaryDir dir;
    FakePrompts prompts;
    QString status;
    std::unique_ptr<HeldView> view;
};

// A job's fields go to the settings file when it ends; the next start shows
// the defaults all the same, and File > Restore Last Job brings them back.
TEST_F(Conveniences, TheLastJobComesBackFromTheSettingsFileOnRequest) {
    ui().factorOutput->setText(Path("factors.txt"));
    ui().sieveOutput->setText(Path("sieve.txt"));
    ui().exponent->setText("65536");
    ui().bMin->setText("10");
    ui().bMax->setText("2000");
    ui().minutesPerSave->setText("15");
    ui().useStartStop->click();
    ui().endP->setText("123456789012345678901234");
    ui().startStop->click();
    ASSERT_TRUE(view->IsRunning());
    EXPECT_FALSE(view->RestoreLastJobAction()->isEnabled());
    PostEnd(*view);
    EXPECT_TRUE(view->RestoreLastJobAction()->isEnabled());
    const QStringList atEnd = Fields();

    view = MakeView();
    EXPECT_EQ(Fields(), (QStringList{"", "", "", "0", "0", "0", "60", "0", "0", "0", "0"}));
    EXPECT_TRUE(status.contains("Restore Last Job (Ctrl+R)")) << status.toStdString();
    view->RestoreLastJobAction()->trigger();
    EXPECT_EQ(Fields(), atEnd);
    EXPECT_TRUE(ui().endP->isEnabled());
    EXPECT_FALSE(ui().sieveInput->isEnabled());  // a new sieve's layout
    EXPECT_EQ(status, "Restored the last job from " + Path("varnesk.ini") + ".");
    EXPECT_TRUE(prompts.shown.empty());
}

// A settings file that is missing or damaged changes nothing and is named
// in the status bar, never in a message box; a resume comes back with its
// layout.
TEST_F(Conveniences, AMissingOrDamagedSettingsFileLeavesTheFieldsAsTheyAre) {
    const std::string fixed = "[Parameters]\nFactorOutputFileName=/f.txt\nSieveInputFileName=/in.txt\n"
                              "SieveOutputFileName=/out.txt\nBMax=900\nBMin=100\nExponent=1024\n";
    const QString ini = Path("varnesk.ini");
    struct Case {
        const char* what;
        std::optional<std::string> content;  // none: no file; "/": a folder
        std::string said;
    } cases[] = {
        {"missing", std::nullopt, "No last job to restore: there is no settings file " + ini.toStdString()},
        {"a folder", "/", "cannot be read: Is a directory"},
        {"garbage", std::string("\x7f" "ELF\x01\x02\0\0", 8), "has no FactorOutputFileName in its [Parameters]"},
        {"another section", "[Window]\nBMax=5\n", "has no FactorOutputFileName in its [Parameters]"},
        {"a key missing", fixed, "has no SaveFileMinutes in its [Parameters]"},
        {"no number", fixed + "SaveFileMinutes=soon\n", "SaveFileMinutes=soon in the settings file"},
        {"beyond 32 bits", fixed + "SaveFileMinutes=4294967356\n", "SaveFileMinutes=4294967356 in the"},
        {"no such mode", fixed + "SaveFileMinutes=5\nMode=7\n", "Mode=7 in the settings file"},
        {"a negative P", fixed + "SaveFileMinutes=5\nStartP=-5\n", "StartP=-5 in the settings file"},
    };
    ui().factorOutput->setText("typed.txt");
    ui().bMax->setText("77");
    const QStringList before = Fields();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(ini);
        QDir(ini).removeRecursively();
        if (c.content == "/")
            ASSERT_TRUE(QDir().mkpath(ini));
        else if (c.content)
            WriteText(ini, *c.content);
        status.clear();
        view->RestoreLastJobAction()->trigger();
        EXPECT_EQ(Fields(), before);
        EXPECT_TRUE(status.contains(QString::fromStdString(c.said))) << status.toStdString();
    }
    EXPECT_TRUE(prompts.shown.empty());

    // Whole again, with the mode and the Start/Stop values of a resume.
    QDir(ini).removeRecursively();
    WriteText(ini, fixed + "SaveFileMinutes=5\nMode=1\nUseStartStop=1\nStartP=77\nEndP=99999999999999999999\n");
    view->RestoreLastJobAction()->trigger();
    EXPECT_EQ(Fields(), (QStringList{"/f.txt", "/in.txt", "/out.txt", "1024", "100", "900", "5", "77",
                                     "99999999999999999999", "1", "1"}));
    EXPECT_TRUE(ui().sieveInput->isEnabled());
    EXPECT_FALSE(ui().exponent->isEnabled());
    EXPECT_TRUE(ui().startP->isEnabled());
}

// The sieve input file, chosen or typed and confirmed, fills the exponent
// and the range, says where it stopped, and is offered as the output; a
// file the reader refuses is named in the log with the reader's reason.
TEST_F(Conveniences, ACandidateFileFillsTheFormAndABadOneIsNamedInTheLog) {
    const QString good = Path("resume.txt"), bad = Path("notes.txt"), struck = Path("struck.txt");
    WriteText(good, "ABC $a^$b+1 // 1000000007\n6 1024\n10 1024\n36 1024\n");
    WriteText(bad, "shopping list\n");
    WriteText(struck, "ABC $a^$b+1 // 5000000\n");
    const std::string said = "Sieve input file " + good.toStdString() +
                             ": exponent 1024, b from 6 to 36, 3 bases left, sieved up to P 1000000007.";
    struct Case {
        const char* what;
        QString file;
        bool typed;
        QString output;  // in the output field before
        std::string log;
        QStringList numbers;  // exponent, b min, b max, output after
    } cases[] = {
        {"chosen", good, false, "", said, {"1024", "6", "36", good}},
        {"typed", good, true, "", said, {"1024", "6", "36", good}},
        {"an output of its own", good, true, Path("new.txt"), said, {"1024", "6", "36", Path("new.txt")}},
        {"refused, chosen", bad, false, "", CheckCandidateFile(bad.toStdString()), {"0", "0", "0", ""}},
        {"refused, typed", bad, true, "", CheckCandidateFile(bad.toStdString()), {"0", "0", "0", ""}},
        {"every base struck", struck, false, "",
         "Sieve input file " + struck.toStdString() + " holds no bases: every base was struck, up to P 5000000.",
         {"0", "0", "0", ""}},
    };
    ASSERT_FALSE(cases[3].log.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        view = MakeView();
        ui().resumeSieve->click();
        ui().sieveOutput->setText(c.output);
        if (c.typed) {
            ui().sieveInput->setText(c.file);
            QTest::keyClick(ui().sieveInput, Qt::Key_Return);
        } else {
            prompts.files = {c.file};
            ui().chooseSieveInput->click();
        }
        EXPECT_EQ(ui().sieveInput->text(), c.file);
        EXPECT_EQ((QStringList{ui().exponent->text(), ui().bMin->text(), ui().bMax->text(), ui().sieveOutput->text()}),
                  c.numbers);
        EXPECT_EQ(LastLogLine(), c.log);
        EXPECT_TRUE(prompts.Messages().empty());
    }
    // Confirmed again unchanged, the file is not read again.
    const int lines = ui().log->count();
    QTest::keyClick(ui().sieveInput, Qt::Key_Return);
    EXPECT_EQ(ui().log->count(), lines);
}

// Tab goes from the top left to the bottom right, the mode and Start first;
// each label's mnemonic takes the focus to its field; the first field to
// fill has the focus at start.
TEST_F(Conveniences, TheKeyboardGoesThroughTheFormInOrder) {
    const CStatsPanel::Fields& panel = view->Panel()->Ui();
    const std::vector<QWidget*> order = {
        ui().newSieve,    ui().resumeSieve,        ui().wideMath,       ui().startStop,        ui().factorOutput,
        ui().chooseFactorOutput, ui().sieveInput, ui().chooseSieveInput, ui().sieveOutput, ui().chooseSieveOutput,
        ui().exponent,    ui().bMin,               ui().bMax,           ui().minutesPerSave,   ui().useStartStop,
        ui().startP,      ui().endP,               ui().bLeft,          ui().currentP,         ui().log,
        panel.testSeconds};
    const std::set<QWidget*> ours(order.begin(), order.end());
    std::vector<QWidget*> chain;
    for (QWidget* w = view->nextInFocusChain(); w != view.get() && chain.size() < 200; w = w->nextInFocusChain())
        if (ours.count(w)) chain.push_back(w);
    EXPECT_EQ(chain, order);
    EXPECT_EQ(view->focusWidget(), ui().factorOutput);

    const std::pair<QString, QWidget*> labels[] = {
        {"F&actor Output File:", ui().factorOutput}, {"Sieve &Input File:", ui().sieveInput},
        {"Sieve O&utput File:", ui().sieveOutput},   {"&Exponent:", ui().exponent},
        {"&b Min:", ui().bMin},                      {"b Ma&x:", ui().bMax},
        {"&Min per File Save:", ui().minutesPerSave}, {"Star&t P:", ui().startP},
        {"E&nd P:", ui().endP}};
    std::map<QString, QWidget*> found;
    for (QLabel* l : view->findChildren<QLabel*>())
        if (l->buddy()) found[l->text()] = l->buddy();
    for (const auto& [text, buddy] : labels) EXPECT_EQ(found[text], buddy) << text.toStdString();
    // No two keys alike, nor like the menus' (File, Options, View, Help).
    QStringList keys = {"f", "o", "v", "h"};
    for (const QString& text : {ui().newSieve->text(), ui().resumeSieve->text(), ui().useStartStop->text()})
        found[text] = nullptr;
    for (const auto& [text, buddy] : found) keys << text.mid(text.indexOf('&') + 1, 1).toLower();
    EXPECT_EQ(QSet<QString>(keys.begin(), keys.end()).size(), keys.size()) << keys.join(' ').toStdString();
    EXPECT_EQ(ui().exponent->toolTip(), "N, a power of two from 2 to 2^30, e.g. 65536");
}

// A line longer than the list is wide keeps its end (the time stamp),
// whatever lines follow it: the list scrolls sideways.
TEST_F(Conveniences, TheLogKeepsWholeLines) {
    view->resize(500, 400);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    Post(*view, "The device Example OpenCL GPU with a long name sieves beside this process's threads, and this "
                "line goes on well past the width of the list.");
    Post(*view, "Stop request received.");
    Pump();
    QListWidgetItem* item = ui().log->item(ui().log->count() - 2);
    EXPECT_GE(ui().log->visualItemRect(item).width(), ui().log->fontMetrics().horizontalAdvance(item->text()));
    EXPECT_GT(ui().log->horizontalScrollBar()->maximum(), 0);
}

// A file dialog opens in the folder of its field's file, else where the
// last file was chosen.
TEST_F(Conveniences, FileDialogsOpenWhereTheFileIs) {
    ASSERT_TRUE(QDir().mkpath(Path("sub")));
    prompts.files = {Path("f.txt"), Path("sub/out.txt"), Path("x.txt"), Path("sub/y.txt"), Path("z.txt")};
    ui().chooseFactorOutput->click();  // nothing to go by: the dialog's own choice
    ui().sieveOutput->setText("/no/such/folder/out.txt");
    ui().chooseSieveOutput->click();  // no such folder: the last one used
    ui().chooseFactorOutput->click();  // its own file's folder, not the last one used
    ui().chooseSieveOutput->click();
    ui().factorOutput->setText("relative-name.txt");
    ui().chooseFactorOutput->click();  // no folder in the name: the last one used
    std::vector<QString> folders;
    for (const Prompt& p : prompts.shown) folders.push_back(p.folder);
    const QString top = QDir(dir.path()).absolutePath(), sub = QDir(Path("sub")).absolutePath();
    EXPECT_EQ(folders, (std::vector<QString>{"", top, top, sub, sub}));
}

}  // namespace
}  // namespace varnesk::testing
