// The main form with a worker that is created but never started: the order
// of its checks, its messages, the hand-over and the worker texts.
#include <QApplication>
#include <functional>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cinttypes>
#include <thread>

#include "engine/messages.h"
#include "gpu/opencl.h"
#include "platform/joblock.h"
#include "platform/post.h"
#include "platform/system.h"
#include "ui/formdevice.h"
#include "ui/formrules.h"
#include "ui_test_support.h"

namespace varnesk::testing {
namespace {

constexpr int kStampLength = 12;  // " mm/dd hh:mm"

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ViewOptions options;
        options.programPath = Path("varnesk").toStdString();
        options.timerPeriodMs = 20;
        options.workerThreads = 1;
        view = std::make_unique<HeldView>(prompts, options);
        view->OnInitialUpdate();
        Pump();
        Pump();
        prompts.Clear();
    }

    QString Path(const QString& name) const { return dir.filePath(name); }
    const CVarneskView::Controls& ui() const { return view->Ui(); }

    // A new sieve with fresh output names unless given.
    void FillNew(const QString& exponent, const QString& bMin, const QString& bMax) {
        ++attempt;
        ui().factorOutput->setText(Path(QString("factors%1.txt").arg(attempt)));
        ui().sieveOutput->setText(Path(QString("sieve%1.txt").arg(attempt)));
        ui().exponent->setText(exponent);
        ui().bMin->setText(bMin);
        ui().bMax->setText(bMax);
    }
    void Start() { ui().startStop->click(); }
    void EndJob() { PostEnd(*view); }
    void ExpectIdle() {
        EXPECT_FALSE(view->IsRunning());
        EXPECT_FALSE(view->Worker());
        EXPECT_EQ(ui().startStop->text(), "Start");
    }

    QTemporaryDir dir;
    FakePrompts prompts;
    std::unique_ptr<HeldView> view;
    int attempt = 0;
};

TEST_F(FormTest, StartsWithTheDefaultsAndTheBanner) {
    EXPECT_EQ(ui().factorOutput->text(), "");
    EXPECT_EQ(ui().sieveInput->text(), "");
    EXPECT_EQ(ui().sieveOutput->text(), "");
    EXPECT_EQ(ui().exponent->text(), "0");
    EXPECT_EQ(ui().bMin->text(), "0");
    EXPECT_EQ(ui().bMax->text(), "0");
    EXPECT_EQ(ui().minutesPerSave->text(), "60");
    EXPECT_EQ(ui().startP->text(), "0");
    EXPECT_EQ(ui().endP->text(), "0");
    EXPECT_TRUE(ui().newSieve->isChecked());
    EXPECT_TRUE(ui().wideMath->isChecked());
    EXPECT_FALSE(ui().wideMath->isEnabled());
    EXPECT_FALSE(ui().sieveInput->isEnabled());
    EXPECT_FALSE(ui().chooseSieveInput->isEnabled());
    EXPECT_FALSE(ui().startP->isEnabled());
    EXPECT_FALSE(ui().endPLabel->isEnabled());
    EXPECT_TRUE(ui().useStartStop->isEnabled());
    EXPECT_EQ(ui().startStop->text(), "Start");
    EXPECT_TRUE(ui().bLeft->isReadOnly());
    EXPECT_TRUE(ui().currentP->alignment() & Qt::AlignRight);

    EXPECT_EQ(view->SettingsPath(), Path("varnesk.ini").toStdString());
    EXPECT_EQ(view->LogPath(), Path("varnesk.log").toStdString());
    ASSERT_EQ(ui().log->count(), 1);
    const std::string line = ui().log->item(0)->text().toStdString();
    EXPECT_EQ(line.rfind("Varnesk Build 306 ", 0), 0u);
    EXPECT_EQ(line.size(), std::string("Varnesk Build 306").size() + kStampLength);
    EXPECT_EQ(ReadAll(Path("varnesk.log")), line + "\n");
    // Written at the end of a job only, never read.
    EXPECT_FALSE(QFile::exists(Path("varnesk.ini")));
    EXPECT_TRUE(prompts.shown.empty());
}

// Installed in /usr/bin: the settings and the log go to the user's folders,
// created on start, and the log says where they are.
TEST(InstalledForm, KeepsItsFilesInTheUserFoldersAndSaysWhich) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    ViewOptions options;
    options.programPath = "/usr/bin/varnesk";
    options.configFolder = home.filePath("config/varnesk").toStdString();
    options.stateFolder = home.filePath("state/varnesk").toStdString();
    FakePrompts prompts;
    HeldView view(prompts, options);
    view.OnInitialUpdate();
    Pump();
    Pump();
    EXPECT_EQ(view.SettingsPath(), options.configFolder + "/varnesk.ini");
    EXPECT_EQ(view.LogPath(), options.stateFolder + "/varnesk.log");
    EXPECT_TRUE(QDir(home.filePath("config/varnesk")).exists());
    ASSERT_EQ(view.Ui().log->count(), 2);
    const std::string said = view.Ui().log->item(1)->text().toStdString();
    EXPECT_NE(said.find(view.SettingsPath()), std::string::npos) << said;
    EXPECT_NE(said.find(view.LogPath()), std::string::npos) << said;
    const std::string log = ReadAll(home.filePath("state/varnesk/varnesk.log"));
    EXPECT_EQ(log.rfind("Varnesk Build 306 ", 0), 0u);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
    EXPECT_FALSE(QFile::exists("/usr/bin/varnesk.log"));
}

TEST_F(FormTest, ExponentMustBeAPowerOfTwoFromTwoToTwoToThirty) {
    const std::pair<int32_t, int32_t> pass[] = {{2, 1}, {1073741824, 30}};
    for (auto [exponent, n] : pass) {
        FillNew(QString::number(exponent), "2", "10");
        Start();
        ASSERT_TRUE(view->IsRunning()) << exponent;
        EXPECT_EQ(view->Worker()->Job().exponent, exponent);
        EXPECT_EQ(view->Worker()->Job().exponentLog2, n);
        EXPECT_EQ(view->ExponentLog2(), n);
        EndJob();
    }
    EXPECT_TRUE(prompts.shown.empty());
    for (int32_t exponent : {1, 0, 3, 6, -2}) {
        prompts.Clear();
        FillNew(QString::number(exponent), "2", "10");
        WriteText(ui().factorOutput->text(), "old factors\n");
        WriteText(ui().sieveOutput->text(), "old sieve\n");
        prompts.answers = {true, true};
        Start();
        EXPECT_EQ(prompts.Messages(),
                  std::vector<std::string>{StringPrintf("Exponent %d is not a proper power of 2 for GFN testing.", exponent)});
        ExpectIdle();
        // The exponent is looked at before any question, and no file is touched.
        EXPECT_TRUE(prompts.Questions().empty());
        EXPECT_EQ(ReadAll(ui().factorOutput->text()), "old factors\n");
        EXPECT_EQ(ReadAll(ui().sieveOutput->text()), "old sieve\n");
    }
    EXPECT_EQ(view->starts, 2);
}

TEST_F(FormTest, NewSieveChecksComeInTheirOrder) {
    struct Case {
        const char* factor;
        const char* output;
        const char* exponent;
        const char* bMin;
        const char* bMax;
        const char* message;
    };
    const Case cases[] = {
        {"", "", "3", "0", "0", "A factoring output file name is required."},
        {"f.txt", "", "3", "0", "0", "An output file name is required."},
        {"f.txt", "s.txt", "1024", "0", "10", "A minimum b value is required."},
        {"f.txt", "s.txt", "1024", "2", "0", "A maximum b value is required"},
        {"f.txt", "s.txt", "1024", "10", "10", "The maximum b value must be greater than the minimum B value."},
        {"f.txt", "s.txt", "1024", "11", "10", "The maximum b value must be greater than the minimum B value."},
        // A number below 1 is named, not asked for; one beyond 32 bits is
        // named in its own field, not blamed on the other.
        {"f.txt", "s.txt", "1024", "-5", "10", "The minimum b value -5 is below 1; bases start at 1."},
        {"f.txt", "s.txt", "1024", "2", "-5", "The maximum b value -5 is below 1; bases start at 1."},
        {"f.txt", "s.txt", "1024", "99999999999999999999999", "10",
         "b Min 99999999999999999999999 is out of range; it must be from 1 to 2147483581."},
        {"f.txt", "s.txt", "1024", "2", "-2147483649", "b Max -2147483649 is out of range; it must be from 2 to 2147483582."},
        {"f.txt", "s.txt", "4294967296", "2", "10",
         "Exponent 4294967296 is out of range; it must be a power of 2 from 2 to 1073741824."},
        // The wide sieve strikes even bases only.
        {"f.txt", "s.txt", "64", "3", "100001",
         "The minimum b value 3 is odd: the wide math sieve strikes even bases only, so this job would strike "
         "nothing. Use 4 as the minimum b value."},
    };
    for (const Case& c : cases) {
        QFile::remove(Path("f.txt"));
        QFile::remove(Path("s.txt"));
        prompts.Clear();
        ui().factorOutput->setText(*c.factor ? Path(c.factor) : QString());
        ui().sieveOutput->setText(*c.output ? Path(c.output) : QString());
        ui().exponent->setText(c.exponent);
        ui().bMin->setText(c.bMin);
        ui().bMax->setText(c.bMax);
        Start();
        EXPECT_EQ(prompts.Messages(), std::vector<std::string>{c.message});
        ExpectIdle();
        // The name checks come before any file is touched.
        if (!*c.output) {
            EXPECT_FALSE(QFile::exists(Path("f.txt")));
        }
    }
    EXPECT_EQ(view->starts, 0);
}

TEST_F(FormTest, NewSieveHandsOverTheTwelveValuesAndRunsUntilTheEndMarker) {
    ui().factorOutput->setText(Path("factors.txt"));
    ui().sieveOutput->setText(Path("sieve.txt"));
    ui().sieveInput->setText("left over.txt");
    ui().exponent->setText("1024");
    ui().bMin->setText("4");
    ui().bMax->setText("99");
    ui().minutesPerSave->setText("7");
    ui().useStartStop->click();
    ui().endP->setText("1000");
    Start();
    ASSERT_TRUE(view->IsRunning());
    std::shared_ptr<CGfnThread> worker = view->Worker();
    const SieveJob& job = worker->Job();
    EXPECT_EQ(job.factorFileName, Path("factors.txt").toStdString());
    EXPECT_EQ(job.inputFileName, "");
    EXPECT_EQ(job.outputFileName, Path("sieve.txt").toStdString());
    EXPECT_EQ(job.command, kCommandNewSieve);
    EXPECT_EQ(job.bMin, 4);
    EXPECT_EQ(job.bMax, 99);
    EXPECT_EQ(job.exponent, 1024);
    EXPECT_EQ(job.exponentLog2, 10);
    EXPECT_EQ(job.form, view->Sink());
    EXPECT_EQ(job.wideMath, 1);
    EXPECT_EQ(job.saveIntervalSeconds, 420);
    EXPECT_EQ(job.packedKPath, "");
    EXPECT_EQ(worker->m_useStartStop, 1);
    EXPECT_EQ(worker->m_startP, 0u);
    EXPECT_EQ(worker->m_stopP, 1000u);
    // The model forgot the input name; its control keeps the text.
    EXPECT_EQ(view->Model().job.inputFile, "");
    EXPECT_EQ(ui().sieveInput->text(), "left over.txt");

    // Running layout.
    EXPECT_EQ(ui().startStop->text(), "Stop");
    for (QWidget* w : std::initializer_list<QWidget*>{
             ui().factorOutput, ui().chooseFactorOutput, ui().sieveOutput, ui().chooseSieveOutput, ui().exponent,
             ui().bMin, ui().bMax, ui().minutesPerSave, ui().newSieve, ui().resumeSieve, ui().useStartStop,
             ui().startP, ui().endP, ui().startPLabel, ui().endPLabel})
        EXPECT_FALSE(w->isEnabled()) << w->metaObject()->className();
    EXPECT_TRUE(ui().startStop->isEnabled());
    EXPECT_TRUE(ui().log->isEnabled());

    // The timer feeds the tick counter; Stop only raises the flag.
    EXPECT_TRUE(QTest::qWaitFor([&] { return worker->m_tickCount.load() >= 2; }, 5000));
    Start();
    Start();
    EXPECT_EQ(worker->m_stopRequest.load(), 1);
    EXPECT_TRUE(view->IsRunning());
    EXPECT_EQ(ui().startStop->text(), "Stop");
    EXPECT_EQ(view->starts, 1);

    ui().sieveInput->setText("");
    EndJob();
    ExpectIdle();
    const int ticks = worker->m_tickCount.load();
    QTest::qWait(100);
    EXPECT_EQ(worker->m_tickCount.load(), ticks);  // the timer was killed

    // Restored: new-sieve layout, start/stop controls by the check box.
    EXPECT_TRUE(ui().newSieve->isEnabled());
    EXPECT_TRUE(ui().resumeSieve->isEnabled());
    EXPECT_TRUE(ui().factorOutput->isEnabled());
    EXPECT_FALSE(ui().sieveInput->isEnabled());
    EXPECT_TRUE(ui().exponent->isEnabled());
    EXPECT_FALSE(ui().wideMath->isEnabled());
    EXPECT_TRUE(ui().useStartStop->isEnabled());
    EXPECT_TRUE(ui().startP->isEnabled());
    EXPECT_EQ(ReadAll(Path("varnesk.ini")), "[Parameters]\n"
                                            "FactorOutputFileName=" + Path("factors.txt").toStdString() + "\n"
                                            "SieveInputFileName=\n"
                                            "SieveOutputFileName=" + Path("sieve.txt").toStdString() + "\n"
                                            "BMax=99\nBMin=4\nExponent=1024\nSaveFileMinutes=7\n"
                                            "Mode=0\nUseStartStop=1\nStartP=0\nEndP=1000\n");
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(FormTest, OverwriteQuestionsComeFactorFileFirst) {
    const QString factor = Path("factors.txt"), sieve = Path("sieve.txt");
    auto fill = [&] {
        WriteText(factor, "old factors\n");
        WriteText(sieve, "old sieve\n");
        ui().factorOutput->setText(factor);
        ui().sieveOutput->setText(sieve);
        ui().exponent->setText("1024");
        ui().bMin->setText("2");
        ui().bMax->setText("100");
    };
    const std::string askFactor = "Output File " + factor.toStdString() + " already exists, overwrite it?";
    const std::string askSieve = "Output File " + sieve.toStdString() + " already exists, overwrite it?";

    fill();
    prompts.answers = {false};
    Start();
    EXPECT_EQ(prompts.Questions(), std::vector<std::string>{askFactor});
    EXPECT_EQ(prompts.shown[0].caption, factor);
    EXPECT_EQ(ReadAll(factor), "old factors\n");
    EXPECT_EQ(ReadAll(sieve), "old sieve\n");
    ExpectIdle();

    fill();
    prompts.Clear();
    prompts.answers = {true, false};
    Start();
    EXPECT_EQ(prompts.Questions(), (std::vector<std::string>{askFactor, askSieve}));
    EXPECT_EQ(prompts.shown[1].caption, sieve);
    // The job does not start, so neither file is touched.
    EXPECT_EQ(ReadAll(factor), "old factors\n");
    EXPECT_EQ(ReadAll(sieve), "old sieve\n");
    ExpectIdle();

    fill();
    prompts.Clear();
    prompts.answers = {true, true};
    Start();
    EXPECT_TRUE(view->IsRunning());
    EXPECT_EQ(ReadAll(factor), "");
    EXPECT_EQ(ReadAll(sieve), "");
    EXPECT_TRUE(prompts.Messages().empty());
}

TEST_F(FormTest, AnOutputFileThatCannotBeCreatedStopsTheStart) {
    ui().factorOutput->setText(Path("no such folder/factors.txt"));
    ui().sieveOutput->setText(Path("sieve.txt"));
    WriteText(Path("sieve.txt"), "old sieve\n");
    ui().exponent->setText("1024");
    ui().bMin->setText("2");
    ui().bMax->setText("100");
    Start();
    EXPECT_EQ(prompts.Messages(),
              std::vector<std::string>{"Output File " + Path("no such folder/factors.txt").toStdString() +
                                       " cannot be created."});
    EXPECT_TRUE(prompts.Questions().empty());
    ExpectIdle();
    EXPECT_EQ(ReadAll(Path("sieve.txt")), "old sieve\n");
}

TEST_F(FormTest, StartAndEndPOnANewSieve) {
    auto attemptWith = [&](const char* startP, const char* endP) {
        prompts.Clear();
        FillNew("1024", "2", "100");
        ui().startP->setText(startP);
        ui().endP->setText(endP);
        Start();
    };
    ui().useStartStop->click();
    attemptWith("0", "4");
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"Start/Stop P specified.  Ending P must be > 4"});
    ExpectIdle();

    attemptWith("0", "5");
    EXPECT_TRUE(prompts.Messages().empty());
    ASSERT_TRUE(view->IsRunning());
    EXPECT_EQ(view->Worker()->m_stopP, 5u);
    EndJob();

    // A start P is only noted on a new sieve, and handed over all the same.
    attemptWith("7", "100");
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{
                                      "Start/Stop P specified with a new sieve, the starting P value will be ignored"});
    ASSERT_TRUE(view->IsRunning());
    EXPECT_EQ(view->Worker()->m_startP, 7u);
    EndJob();

    // The notice comes before the end P check.
    attemptWith("7", "4");
    EXPECT_EQ(prompts.Messages(),
              (std::vector<std::string>{"Start/Stop P specified with a new sieve, the starting P value will be ignored",
                                        "Start/Stop P specified.  Ending P must be > 4"}));
    ExpectIdle();
}

class ResumeTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        ui().resumeSieve->click();
        WriteText(Path("in.txt"), kInput);
    }
    static constexpr char kInput[] = "ABC $a^$b+1 // 1000\n2 1024\n4 1024\n";
};

TEST_F(ResumeTest, ChecksComeInTheirOrder) {
    EXPECT_TRUE(ui().sieveInput->isEnabled());
    EXPECT_FALSE(ui().exponent->isEnabled());
    Start();
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"An input file name is required."});
    prompts.Clear();
    ui().sieveInput->setText(Path("missing.txt"));
    Start();
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"A factoring output file name is required."});
    prompts.Clear();
    ui().factorOutput->setText(Path("factors.txt"));
    Start();
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"An output file name is required."});
    prompts.Clear();
    ui().sieveOutput->setText(Path("out.txt"));
    Start();
    EXPECT_EQ(prompts.Messages(),
              std::vector<std::string>{"Input File " + Path("missing.txt").toStdString() + " does not exist."});
    EXPECT_FALSE(QFile::exists(Path("out.txt")));
    ExpectIdle();

    // Start and end P are checked after the output file was prepared.
    ui().sieveInput->setText(Path("in.txt"));
    ui().useStartStop->click();
    const std::pair<const char*, const char*> refused[] = {{"4", "100"}, {"5", "4"}, {"30000000", "20000000"}};
    const char* messages[] = {"Start/Stop P specified.  Starting P must be > 4",
                              "Start/Stop P specified.  Ending P must be > 4",
                              "Start P 30000000 is above end P 20000000; a resume sieves from its start P up to its "
                              "end P."};
    for (int i = 0; i < 3; ++i) {
        prompts.Clear();
        QFile::remove(Path("out.txt"));
        ui().startP->setText(refused[i].first);
        ui().endP->setText(refused[i].second);
        Start();
        EXPECT_EQ(prompts.Messages(), std::vector<std::string>{messages[i]});
        EXPECT_EQ(ReadAll(Path("out.txt")), "");
        ExpectIdle();
    }
    EXPECT_FALSE(QFile::exists(Path("factors.txt")));  // never touched on a resume
}

TEST_F(ResumeTest, HandsOverTheInputFileAndLeavesTheFactorFileAlone) {
    WriteText(Path("factors.txt"), "earlier factors\n");
    ui().sieveInput->setText(Path("in.txt"));
    ui().factorOutput->setText(Path("factors.txt"));
    ui().sieveOutput->setText(Path("out.txt"));
    ui().useStartStop->click();
    ui().startP->setText("5");
    ui().endP->setText("5");
    Start();
    ASSERT_TRUE(view->IsRunning());
    const SieveJob& job = view->Worker()->Job();
    EXPECT_EQ(job.command, kCommandResume);
    EXPECT_EQ(job.inputFileName, Path("in.txt").toStdString());
    EXPECT_EQ(view->Worker()->m_startP, 5u);
    EXPECT_EQ(ReadAll(Path("factors.txt")), "earlier factors\n");
    EXPECT_EQ(ReadAll(Path("out.txt")), "");
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(ResumeTest, StartAndEndPBeyond2To64AreHandedOverExactlyAndRefusedFrom2To96) {
    ui().sieveInput->setText(Path("in.txt"));
    ui().factorOutput->setText(Path("factors.txt"));
    ui().sieveOutput->setText(Path("out.txt"));
    ui().useStartStop->click();
    ui().startP->setText("18446744073709551617");
    ui().endP->setText("79228162514264337593543950335");
    Start();
    ASSERT_TRUE(view->IsRunning());
    EXPECT_EQ(FormatUInt128(view->Worker()->m_startP), "18446744073709551617");
    EXPECT_EQ(FormatUInt128(view->Worker()->m_stopP), "79228162514264337593543950335");
    EXPECT_TRUE(prompts.shown.empty());
    EndJob();

    // Named as typed, beyond 2^128 too.
    for (const char* endP : {"79228162514264337593543950336", "99999999999999999999999999999999999999999999"}) {
        prompts.Clear();
        QFile::remove(Path("out.txt"));
        ui().startP->setText("5");
        ui().endP->setText(endP);
        Start();
        EXPECT_EQ(prompts.Messages(),
                  std::vector<std::string>{"End P " + std::string(endP) +
                                           " is beyond the reach of the sieve: P must be below 2^96 "
                                           "(79228162514264337593543950336)."});
        ExpectIdle();
    }
}

TEST_F(ResumeTest, IntoTheFileThatIsReadNeitherAsksNorEmptiesIt) {
    ASSERT_TRUE(QFile::link(Path("in.txt"), Path("alias.txt")));
    ui().factorOutput->setText(Path("factors.txt"));
    for (const char* output : {"in.txt", "alias.txt"}) {
        ui().sieveInput->setText(Path("in.txt"));
        ui().sieveOutput->setText(Path(output));
        Start();
        ASSERT_TRUE(view->IsRunning()) << output;
        EXPECT_EQ(view->Worker()->Job().outputFileName, Path(output).toStdString());
        EndJob();
    }
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(ReadAll(Path("in.txt")), kInput);

    // Another existing file is still questioned.
    WriteText(Path("other.txt"), "x");
    ui().sieveOutput->setText(Path("other.txt"));
    prompts.answers = {false};
    Start();
    EXPECT_EQ(prompts.Questions().size(), 1u);
    ExpectIdle();
}

TEST_F(FormTest, ResumeRadioReadsTheFieldsUpToTheFirstBadOne) {
    ui().bMax->setText("500");
    ui().bMin->setText("  12abc");
    ui().exponent->setText("x");
    ui().minutesPerSave->setText("9");
    ui().resumeSieve->click();
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"Enter an integer.\n\nExponent holds \"x\"."});
    EXPECT_EQ(view->Model().job.bMax, 500);
    EXPECT_EQ(view->Model().job.bMin, 12);
    EXPECT_EQ(view->Model().job.exponent, 0);
    EXPECT_EQ(view->Model().job.minutesPerSave, 60);
    EXPECT_EQ(view->Model().mode, 1);
    // The resume layout all the same.
    EXPECT_TRUE(ui().sieveInput->isEnabled());
    EXPECT_FALSE(ui().exponent->isEnabled());
    // "Start New Sieve" reads nothing.
    prompts.Clear();
    ui().newSieve->click();
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_TRUE(ui().exponent->isEnabled());
}

TEST_F(FormTest, NumbersAreReadFromTheFirst63Characters) {
    view->show();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    ui().exponent->setText(QString(63, ' ') + "5");
    ui().useStartStop->click();
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"Enter an integer.\n\nExponent holds \"" +
                                                           std::string(63, ' ') + "5\"."});
    EXPECT_EQ(QApplication::focusWidget(), ui().exponent);
    prompts.Clear();
    ui().exponent->setText(QString(62, ' ') + "5");
    ui().startP->setText("abc");
    ui().endP->setText("1");
    ui().useStartStop->click();
    EXPECT_EQ(view->Model().job.exponent, 5);
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"Enter a positive integer.\n\nStart P holds \"abc\"."});
    EXPECT_EQ(view->Model().job.useStartStop, 0);  // read before start P
    EXPECT_EQ(view->Model().job.stopP, 0u);
    prompts.Clear();
    ui().startP->setText("-1");
    ui().endP->setText("18446744073709551615");
    ui().useStartStop->click();
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(view->Model().job.startP, UINT64_MAX);
    EXPECT_EQ(view->Model().job.stopP, UINT64_MAX);
    EXPECT_TRUE(ui().startP->isEnabled());
}

// The fields are read on clicks anywhere on the form: the box names the
// field that holds no number, in its title and its text, and the focus goes
// to that field.
TEST_F(FormTest, AFieldWithoutANumberIsNamedAndGetsTheFocus) {
    view->show();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    struct Case {
        QLineEdit* edit;
        const char* field;
        const char* text;
        QString says;
    } cases[] = {
        {ui().bMax, "b Max", "abc", "Enter an integer.\n\nb Max holds \"abc\"."},
        {ui().bMin, "b Min", "", "Enter an integer.\n\nb Min is empty."},
        {ui().exponent, "Exponent", "-", "Enter an integer.\n\nExponent holds \"-\"."},
        {ui().minutesPerSave, "Min per File Save", "x5", "Enter an integer.\n\nMin per File Save holds \"x5\"."},
        {ui().startP, "Start P", "abc", "Enter a positive integer.\n\nStart P holds \"abc\"."},
        {ui().endP, "End P", " ", "Enter a positive integer.\n\nEnd P is empty."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        for (QLineEdit* e : {ui().bMax, ui().bMin, ui().exponent, ui().minutesPerSave, ui().startP, ui().endP})
            e->setText("2");
        c.edit->setText(c.text);
        ui().useStartStop->setChecked(false);
        ui().useStartStop->setFocus();
        prompts.Clear();
        ui().useStartStop->click();  // Start P and End P are enabled after the reading
        Pump();
        ASSERT_EQ(prompts.shown.size(), 1u);
        EXPECT_EQ(prompts.shown[0].caption, c.field);
        EXPECT_EQ(prompts.shown[0].text, c.says);
        EXPECT_EQ(QApplication::focusWidget(), c.edit);
    }
}

TEST_F(FormTest, OtherRefusals) {
    FillNew("1024", "2", "100");
    ui().wideMath->setChecked(false);
    Start();
    EXPECT_EQ(prompts.Messages(),
              std::vector<std::string>{messages::kPackedKRequired});
    prompts.Clear();
    ui().wideMath->setChecked(true);
    ui().newSieve->group()->setExclusive(false);
    ui().newSieve->setChecked(false);
    Start();
    EXPECT_EQ(view->Model().mode, -1);
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"Invalid Sieve Type selected."});
    ExpectIdle();
}

TEST_F(FormTest, AThreadThatCannotStartLeavesTheFormIdle) {
    view->startResult = false;
    FillNew("1024", "2", "100");
    Start();
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"Sieve thread failed to create."});
    ExpectIdle();
    EXPECT_TRUE(ui().factorOutput->isEnabled());
    EXPECT_EQ(ReadAll(ui().sieveOutput->text()), "");  // prepared files stay
}

TEST_F(FormTest, WorkerTextsGoToTheirFields) {
    // p is shown with all its groups, beyond 2^64 too.
    const std::pair<const char*, const char*> records[] = {
        {"999999999989", "999,999,999,989"},
        {"1000000000039", "1,000,000,000,039"},
        {"9223372036854775809", "9,223,372,036,854,775,809"},  // 2^63 + 1
        {"100000000000000000039", "100,000,000,000,000,000,039"},
    };
    for (const auto& [p, shown] : records) {
        PostProgress(*view, 16, ParseUInt128(p).value);
        EXPECT_EQ(ui().currentP->text().toStdString(), shown) << p;
    }
    EXPECT_EQ(ui().bLeft->text(), "16");

    PostRange(*view, 3, 99, 2048);
    EXPECT_EQ(ui().bMin->text(), "3");
    EXPECT_EQ(ui().bMax->text(), "99");
    EXPECT_EQ(ui().exponent->text(), "2048");
    EXPECT_EQ(view->Model().job.exponent, 0);  // taken at the next reading

    const int before = ui().log->count();
    Post(*view, "Stop request received.");
    Post(*view, "");
    ASSERT_EQ(ui().log->count(), before + 2);
    const std::string stop = ui().log->item(before)->text().toStdString();
    const std::string empty = ui().log->item(before + 1)->text().toStdString();
    EXPECT_EQ(stop.rfind("Stop request received. ", 0), 0u);
    EXPECT_EQ(empty.size(), static_cast<size_t>(kStampLength));
    EXPECT_EQ(empty[0], ' ');
    EXPECT_EQ(ui().log->currentRow(), before + 1);
    const std::string log = ReadAll(Path("varnesk.log"));
    EXPECT_NE(log.find("\n" + stop + "\n" + empty + "\n"), std::string::npos);
    EXPECT_EQ(log.back(), '\n');
    // Progress and range records are not logged.
    EXPECT_EQ(log.find('$'), std::string::npos);
    EXPECT_EQ(log.find('&'), std::string::npos);
}

TEST_F(FormTest, WorkerTextsPostedFromAnotherThreadArriveInOrder) {
    TextSink* sink = view->Sink();
    std::thread([sink] {
        for (int i = 0; i < 200; ++i) PostText(sink, "line %d", i);
    }).join();
    const int before = ui().log->count();
    Pump();
    ASSERT_EQ(ui().log->count(), before + 200);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(ui().log->item(before + i)->text().toStdString().rfind(StringPrintf("line %d ", i), 0), 0u);
}

TEST_F(FormTest, ChooseButtonsFillTheirFields) {
    ui().bMin->setText("12");
    prompts.files = {Path("f.txt"), Path("in.txt"), Path("out.txt"), std::nullopt};
    ui().chooseFactorOutput->click();
    ui().resumeSieve->click();
    ui().chooseSieveInput->click();
    ui().chooseSieveOutput->click();
    EXPECT_EQ(ui().factorOutput->text(), Path("f.txt"));
    EXPECT_EQ(ui().sieveInput->text(), Path("in.txt"));
    EXPECT_EQ(ui().sieveOutput->text(), Path("out.txt"));
    EXPECT_EQ(ui().bMin->text(), "12");
    ASSERT_EQ(prompts.shown.size(), 3u);
    EXPECT_EQ(prompts.shown[0].kind, Prompt::Save);
    EXPECT_EQ(prompts.shown[1].kind, Prompt::Open);
    EXPECT_EQ(prompts.shown[2].kind, Prompt::Save);
    for (const auto& p : prompts.shown) EXPECT_EQ(p.text, "Text Files (*.txt);;All Files (*)");

    prompts.Clear();
    ui().chooseFactorOutput->click();
    ASSERT_EQ(prompts.shown.size(), 2u);
    EXPECT_EQ(prompts.shown[1].text, "File selection has been cancelled.");
    EXPECT_EQ(prompts.shown[1].caption, "Exit");
    EXPECT_EQ(prompts.shown[1].icon, PromptIcon::Information);
    EXPECT_EQ(ui().factorOutput->text(), Path("f.txt"));
}

TEST_F(FormTest, PriorityMenuChecksTheChosenItem) {
    QMenu options;
    view->PopulateOptionsMenu(&options);
    auto checked = [&] {
        std::vector<int> out;
        for (int c = 0; c < 3; ++c)
            if (view->PriorityAction(c)->isChecked()) out.push_back(c);
        return out;
    };
    // The class in force, which the process may have been given lowered.
    EXPECT_EQ(checked(), std::vector<int>{CurrentPriorityClass()});
    EXPECT_EQ(view->PriorityAction(kPriorityNormal)->text(), "Normal");
    EXPECT_EQ(view->PriorityAction(kPriorityBelowNormal)->text(), "Below Normal");
    EXPECT_EQ(view->PriorityAction(kPriorityIdle)->text(), "Idle");
    // Lowering is always allowed; raising again only with privileges. The
    // mark follows what is in force, and a refusal is said.
    view->PriorityAction(kPriorityIdle)->trigger();
    EXPECT_EQ(view->PriorityChoice(), kPriorityIdle);
    EXPECT_EQ(checked(), std::vector<int>{kPriorityIdle});
    prompts.Clear();
    view->PriorityAction(kPriorityNormal)->trigger();
    view->PriorityAction(kPriorityNormal)->trigger();  // a second click keeps the mark
    EXPECT_EQ(checked(), std::vector<int>{CurrentPriorityClass()});
    if (CurrentPriorityClass() == kPriorityNormal) {
        EXPECT_TRUE(prompts.Messages().empty());
    } else {
        ASSERT_EQ(prompts.Messages().size(), 2u);
        EXPECT_EQ(prompts.Messages()[0],
                  "The priority class Normal could not be set: the system refused it (raising the priority again "
                  "needs privileges). The priority class stays Idle.");
    }

    QList<QAction*> items = options.actions();
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0]->text(), "Priority Class");
    EXPECT_EQ(items[1], view->BuildPackedKAction());
    EXPECT_EQ(items[1]->text(), "Build Packed K File");
    EXPECT_EQ(items[1]->statusTip(), "Build custom packed K files");
    EXPECT_EQ(items[2]->text(), "Use Packed K File");
    EXPECT_EQ(items[2]->statusTip(), "Use custom packed K files");
    // The GPU beside the threads: on unless switched off, and it stays
    // switchable.
    EXPECT_EQ(items[3]->text(), "Sieve on the GPU too");
    EXPECT_TRUE(items[3]->isCheckable());
    EXPECT_TRUE(items[3]->isChecked());
    items[3]->trigger();
    EXPECT_FALSE(items[3]->isChecked());
    emit options.aboutToShow();
    EXPECT_FALSE(items[1]->isEnabled());
    EXPECT_FALSE(items[2]->isEnabled());
    EXPECT_TRUE(items[3]->isEnabled());
}

// A sieve's log says which device sieves, or that the CPU alone does and
// why; a device's share of the job follows the job's end.
TEST_F(FormTest, TheLogSaysWhichDeviceSievesAndItsShare) {
    QMenu options;
    view->PopulateOptionsMenu(&options);
    QAction* gpu = options.actions().at(3);
    const QByteArray cpuDevices = qgetenv("VARNESK_OPENCL_CPU");
    auto newLines = [&](int from) {
        std::vector<std::string> lines;
        for (int i = from; i < ui().log->count(); ++i) {
            const std::string line = ui().log->item(i)->text().toStdString();
            lines.push_back(line.substr(0, line.size() - kStampLength));
        }
        return lines;
    };
    auto start = [&] {
        const int before = ui().log->count();
        FillNew("1024", "2", "100");
        Start();
        EXPECT_TRUE(view->IsRunning());
        Pump();
        return newLines(before);
    };
    const std::string beside = " sieves beside this process's threads.";
    auto named = [&](const std::string& line) {
        return (line.rfind("The device ", 0) == 0 && line.size() > beside.size() &&
                line.compare(line.size() - beside.size(), beside.size(), beside) == 0);
    };

    gpu->trigger();  // off
    EXPECT_EQ(start(), std::vector<std::string>{kGpuSwitchedOff});
    EndJob();
    gpu->trigger();  // on again

    // OpenCL on the CPU is no GPU: the CPU alone sieves, unless this machine
    // has a GPU of its own.
    qunsetenv("VARNESK_OPENCL_CPU");
    std::vector<std::string> lines = start();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(named(lines[0]) || lines[0].find("the CPU alone sieves, with this process's threads.") !=
                                       std::string::npos)
        << lines[0];
    EndJob();

    // Taken as a device when asked: named at the start, its share at the end.
    qputenv("VARNESK_OPENCL_CPU", "1");
    const bool any = !gpu::ListDevices().empty();
    lines = start();
    ASSERT_EQ(lines.size(), 1u);
    if (!any) {
        EXPECT_EQ(lines[0].rfind("No OpenCL device is present (", 0), 0u) << lines[0];
    } else {
        EXPECT_TRUE(named(lines[0])) << lines[0];
        PostProgress(*view, 40, 12289);
        PostProgress(*view, 30, 40961);
        const int before = ui().log->count();
        EndJob();
        // The command line's summary, then the device's share: never
        // started, it sieved no block.
        const std::vector<std::string> end = newLines(before);
        ASSERT_EQ(end.size(), 2u);
        EXPECT_EQ(end[0].rfind("Summary: P 12289 to 40961, about 3 primes, 10 bases removed, ", 0), 0u) << end[0];
        EXPECT_EQ(end[1], "Share: GPU 0%");
    }
    if (cpuDevices.isNull())
        qunsetenv("VARNESK_OPENCL_CPU");
    else
        qputenv("VARNESK_OPENCL_CPU", cpuDevices);
}

// Each of these starts is refused before any question is asked or any file
// touched, and no job starts with values other than those on screen.
TEST_F(FormTest, StartsThatWouldHarmFilesAreRefusedFirst) {
    const QString factor = Path("factors.txt"), sieve = Path("sieve.txt"), folder = Path("folder");
    ASSERT_TRUE(QDir().mkpath(folder));
    JobLock other;  // another job, from this program or the command line
    struct Case {
        const char* what;
        std::function<void()> fill;
        std::string message;
    } cases[] = {
        {"factor file is the output", [&] { ui().factorOutput->setText(sieve); },
         "The factor output file and the output file must be different files."},
        {"output is a folder", [&] { ui().sieveOutput->setText(folder); },
         "Output File " + folder.toStdString() + " is a folder; a file of that name is needed."},
        {"b max beyond the limit", [&] { ui().bMax->setText("2147483600"); },
         "The maximum b value must be less than 2147483583."},
        {"b max not a number", [&] { ui().bMax->setText("abc"); }, "Enter an integer.\n\nb Max holds \"abc\"."},
        {"output in use",
         [&] {
             std::string ignored;
             ASSERT_TRUE(other.LockFile(sieve.toStdString(), "Output File", ignored));
         },
         "Output File " + sieve.toStdString() + " is in use by another job; only one job at a time may write it."},
        {"settings file as the output", [&] { ui().sieveOutput->setText(Path("varnesk.ini")); },
         "The settings file " + Path("varnesk.ini").toStdString() +
             " must not be the factor output, input or output file."},
        {"settings file as the factor file", [&] { ui().factorOutput->setText(Path("./varnesk.ini")); },
         "The settings file " + Path("varnesk.ini").toStdString() +
             " must not be the factor output, input or output file."},
        {"panel settings as the output", [&] { ui().sieveOutput->setText(Path("varnesk-panel.ini")); },
         "The settings file " + Path("varnesk-panel.ini").toStdString() +
             " must not be the factor output, input or output file."},
        {"settings file as the input",
         [&] {
             WriteText(Path("varnesk.ini"), "ABC $a^$b+1 // 5441\n4 32\n");
             ui().resumeSieve->click();
             ui().sieveInput->setText(Path("varnesk.ini"));
         },
         "The settings file " + Path("varnesk.ini").toStdString() +
             " must not be the factor output, input or output file."},
        {"resume into its own factor file",
         [&] {
             ui().resumeSieve->click();
             ui().sieveInput->setText(sieve);
             ui().factorOutput->setText(sieve);
         },
         "The factor output file must not be the input or the output file."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        prompts.Clear();
        ui().newSieve->click();
        WriteText(factor, "old factors\n");
        WriteText(sieve, "ABC $a^$b+1 // 5441\n4 32\n");
        ui().factorOutput->setText(factor);
        ui().sieveOutput->setText(sieve);
        ui().exponent->setText("1024");
        ui().bMin->setText("2");
        ui().bMax->setText("100");
        c.fill();
        prompts.answers = {true, true};
        Start();
        EXPECT_EQ(prompts.Messages(), std::vector<std::string>{c.message});
        EXPECT_TRUE(prompts.Questions().empty());
        ExpectIdle();
        EXPECT_EQ(ReadAll(factor), "old factors\n");
        EXPECT_EQ(ReadAll(sieve), "ABC $a^$b+1 // 5441\n4 32\n");
        other.Release();
    }
    EXPECT_EQ(view->starts, 0);
}

// The lenient reading takes "250,000" as 250 and "5e13" as 5; a start
// takes only fields that say one whole number, and names the field that
// does not.
TEST_F(FormTest, NumberFieldsMustHoldOneWholeNumberToStart) {
    const auto notWhole = [](const char* field, const char* text) {
        return std::string(field) + " \"" + text +
               "\" is not a whole number; enter digits only (a comma may stand between groups of three digits).";
    };
    struct Case {
        QLineEdit* edit;
        const char* text;
        std::string message;  // empty: the start goes on
    } cases[] = {
        {ui().bMax, "250,000x", notWhole("b Max", "250,000x")},
        {ui().bMax, "25,0000", notWhole("b Max", "25,0000")},
        {ui().bMax, "2500,000", notWhole("b Max", "2500,000")},
        {ui().bMax, "2,50", notWhole("b Max", "2,50")},
        {ui().bMax, "250 000", notWhole("b Max", "250 000")},
        {ui().bMin, "2.0", notWhole("b Min", "2.0")},
        {ui().exponent, "1024 ", ""},
        {ui().exponent, "0x400", notWhole("Exponent", "0x400")},
        {ui().endP, "5e13", notWhole("End P", "5e13")},
        {ui().endP, "-5", "End P -5 is negative; a P value is 0 or more."},
        {ui().startP, "1.5", notWhole("Start P", "1.5")},
        {ui().minutesPerSave, "10 min", notWhole("Min per File Save", "10 min")},
        {ui().minutesPerSave, "-3", "Min per File Save -3 is out of range; it must be from 0 to 35791394 minutes."},
        {ui().minutesPerSave, "35791395",
         "Min per File Save 35791395 is out of range; it must be from 0 to 35791394 minutes."},
        {ui().minutesPerSave, "99999999999",
         "Min per File Save 99999999999 is out of range; it must be from 0 to 35791394 minutes."},
        {ui().minutesPerSave, "35,791,394", ""},
        {ui().minutesPerSave, "0", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        prompts.Clear();
        FillNew("1024", "2", " 250,000 ");
        ui().minutesPerSave->setText("60");
        if (!ui().useStartStop->isChecked()) ui().useStartStop->click();
        ui().startP->setText("0");
        ui().endP->setText("50,000,000,000,000");
        c.edit->setText(c.text);
        Start();
        if (!c.message.empty()) {
            EXPECT_EQ(prompts.Messages(), std::vector<std::string>{c.message});
            ExpectIdle();
            EXPECT_FALSE(QFile::exists(ui().sieveOutput->text()));
            continue;
        }
        ASSERT_TRUE(view->IsRunning());
        EXPECT_TRUE(prompts.shown.empty());
        const SieveJob& job = view->Worker()->Job();
        EXPECT_EQ(job.bMax, 250000);
        EXPECT_EQ(job.exponent, 1024);
        EXPECT_EQ(job.saveIntervalSeconds, view->Model().job.minutesPerSave * 60);
        EXPECT_EQ(FormatUInt128(view->Worker()->m_stopP), "50000000000000");
        EndJob();
    }
    // Fields a job does not use are not looked at: Start/Stop values that
    // are off, and the b range of a resume, which its input file gives.
    prompts.Clear();
    FillNew("1024", "2", "100");
    ui().useStartStop->click();
    ASSERT_FALSE(ui().useStartStop->isChecked());
    ui().endP->setText("5e13");
    Start();
    ASSERT_TRUE(view->IsRunning());
    EndJob();
    WriteText(Path("in.txt"), "ABC $a^$b+1 // 1000\n2 1024\n4 1024\n");
    ui().resumeSieve->click();
    ui().sieveInput->setText(Path("in.txt"));
    ui().sieveOutput->setText(Path("resumed.txt"));
    ui().bMax->setText("100,00");
    Start();
    EXPECT_TRUE(prompts.Messages().empty());
    EXPECT_TRUE(view->IsRunning());
}

// A job's figures are its own: cleared at its start, and the final record
// of the stop path is what stays shown after it.
TEST_F(FormTest, StatisticsBelongToTheRunningJob) {
    ui().bLeft->setText("999");
    ui().currentP->setText("12345");
    FillNew("1024", "2", "100");
    Start();
    ASSERT_TRUE(view->IsRunning());
    EXPECT_EQ(ui().bLeft->text(), "");
    EXPECT_EQ(ui().currentP->text(), "");
    PostProgress(*view, 40, 12289);
    Post(*view, "Stop request received.");
    EndJob();
    EXPECT_EQ(ui().bLeft->text(), "40");
    EXPECT_EQ(ui().currentP->text(), "12,289");
}

}  // namespace
}  // namespace varnesk::testing
