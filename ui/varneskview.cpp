#include "ui/varneskview.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/jobcheck.h"
#include "engine/messages.h"
#include "files/candidates.h"
#include "engine/worker.h"
#include "platform/fs.h"
#include "platform/numparse.h"
#include "platform/post.h"
#include "platform/system.h"
#include "kernels/sieve_job.h"
#include "ui/formdevice.h"
#include "ui/formrules.h"
#include "ui/packedkdlg.h"
#include "ui/statspanel.h"
#include "ui/stopsignals.h"
#include "ui/workersink.h"

namespace varnesk {

namespace {
// A number is read from at most this many characters of its field.
constexpr int kNumberChars = 63;

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string UserConfigFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString() + "/varnesk";
}

// Qt names the state folder only from 6.7 on; before, the XDG rule itself.
std::string UserStateFolder() {
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    return QStandardPaths::writableLocation(QStandardPaths::GenericStateLocation).toStdString() + "/varnesk";
#else
    const QString xdg = qEnvironmentVariable("XDG_STATE_HOME");
    const QString base = !xdg.isEmpty() && QDir::isAbsolutePath(xdg) ? xdg : QDir::homePath() + "/.local/state";
    return base.toStdString() + "/varnesk";
#endif
}
std::string S(const QString& s) { return s.toStdString(); }

// Sizes follow the font, so that a larger font or a scaled screen keeps
// every figure whole: room for this many digits.
QLineEdit* NumberEdit(QWidget* parent, const char* name, int digits) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaximumWidth(edit->fontMetrics().horizontalAdvance(QString(digits, '0')) +
                          edit->fontMetrics().averageCharWidth() * 2 + 8);
    return edit;
}

// The statistics panel's area: as wide as the panel needs, so that the
// figures never scroll sideways, and as tall as the panel would like when
// the screen has room; it scrolls down on a small screen.
class PanelScrollArea : public QScrollArea {
public:
    using QScrollArea::QScrollArea;
    QSize sizeHint() const override {
        return widget() ? widget()->sizeHint() + QSize(verticalScrollBar()->sizeHint().width(), 0)
                        : QScrollArea::sizeHint();
    }
    QSize minimumSizeHint() const override {
        if (!widget()) return QScrollArea::minimumSizeHint();
        return {widget()->minimumSizeHint().width() + verticalScrollBar()->sizeHint().width(),
                fontMetrics().lineSpacing() * 6};
    }
};

// A label whose mnemonic moves the focus to its field.
QLabel* BuddyLabel(const char* text, QWidget* buddy, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setBuddy(buddy);
    return label;
}
}  // namespace

CVarneskView::CVarneskView(UiPrompts& prompts, ViewOptions options, QWidget* parent)
    : QWidget(parent), prompts_(prompts), options_(std::move(options)), sink_(std::make_shared<QtWorkerSink>(this)) {
    BuildControls();
    // The menu marks the class in force, which a parent process may have
    // lowered before the program started.
    priority_ = CurrentPriorityClass();
    timer_.setInterval(options_.timerPeriodMs);
    connect(&timer_, &QTimer::timeout, this, &CVarneskView::OnTimer);
}

CVarneskView::~CVarneskView() {
    sink_->Detach();
    if (worker_) {
        // The window went away under a running job: let the job end, and
        // keep its sink alive since the worker still holds its address.
        worker_->m_stopRequest.store(1);
        static auto* orphans = new std::vector<std::shared_ptr<QtWorkerSink>>;
        orphans->push_back(sink_);
    }
}

TextSink* CVarneskView::Sink() const { return sink_.get(); }

void CVarneskView::BuildControls() {
    // The form keeps its own column; the statistics panel stands beside it,
    // in an area that scrolls when the screen is too small for both.
    auto* columns = new QHBoxLayout(this);
    auto* top = new QVBoxLayout;
    columns->addLayout(top, 3);
    panel_ = new CStatsPanel(this);
    panelArea_ = new PanelScrollArea(this);
    panelArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    panelArea_->setObjectName("statsArea");
    panelArea_->setWidget(panel_);
    panelArea_->setWidgetResizable(true);
    panelArea_->setFrameShape(QFrame::NoFrame);
    columns->addWidget(panelArea_, 2);

    // "New/Old"
    auto* job = new QGroupBox("New/Old", this);
    job->setObjectName("jobBox");
    auto* jobGrid = new QGridLayout(job);
    auto* firstRow = new QHBoxLayout;
    ui_.newSieve = new QRadioButton("Start Ne&w Sieve", job);
    ui_.newSieve->setToolTip("Sieve a new range of bases from P = 0: Exponent, b Min and b Max say which");
    ui_.resumeSieve = new QRadioButton("&Resume Old Sieve", job);
    ui_.resumeSieve->setToolTip("Go on with the candidate file of an earlier sieve from where it stopped");
    ui_.wideMath = new QCheckBox("Wide Range Math", job);
    ui_.wideMath->setToolTip("This program always sieves with wide math, which strikes even bases only");
    ui_.startStop = new QPushButton("Start", job);
    ui_.startStop->setObjectName("startStop");
    ui_.startStop->setToolTip("Start the job; while it runs, stop it: it saves its candidates first");
    modeGroup_ = new QButtonGroup(this);
    modeGroup_->addButton(ui_.newSieve, 0);
    modeGroup_->addButton(ui_.resumeSieve, 1);
    const int gap = fontMetrics().averageCharWidth();
    firstRow->addWidget(ui_.newSieve);
    firstRow->addSpacing(gap);
    firstRow->addWidget(ui_.resumeSieve);
    firstRow->addSpacing(gap);
    firstRow->addWidget(ui_.wideMath);
    firstRow->addStretch(1);
    firstRow->addWidget(ui_.startStop);
    jobGrid->addLayout(firstRow, 0, 0, 1, 3);

    struct FileRow {
        const char* label;
        const char* name;
        const char* placeholder;
        const char* tip;
        QLineEdit** edit;
        QPushButton** choose;
    };
    const FileRow rows[] = {
        {"F&actor Output File:", "factorOutput", "File for the factors found, e.g. factors.txt",
         "One line \"p | b^N+1\" for every base the sieve strikes: a new sieve replaces the file, a resume adds "
         "to it",
         &ui_.factorOutput, &ui_.chooseFactorOutput},
        {"Sieve &Input File:", "sieveInput", "Candidate file of the sieve to resume",
         "The candidate file an earlier sieve saved: choosing it fills Exponent, b Min and b Max and logs where "
         "it stopped",
         &ui_.sieveInput, &ui_.chooseSieveInput},
        {"Sieve O&utput File:", "sieveOutput", "Candidate file to save, e.g. sieve.txt",
         "The bases left and the last P sieved, saved every \"Min per File Save\" minutes and at the end: the "
         "input of the next resume",
         &ui_.sieveOutput, &ui_.chooseSieveOutput}};
    int row = 1;
    for (const FileRow& r : rows) {
        *r.edit = new QLineEdit(job);
        (*r.edit)->setObjectName(r.name);
        (*r.edit)->setPlaceholderText(r.placeholder);
        (*r.edit)->setToolTip(r.tip);
        (*r.edit)->setMinimumWidth(fontMetrics().averageCharWidth() * 24);
        jobGrid->addWidget(BuddyLabel(r.label, *r.edit, job), row, 0);
        jobGrid->addWidget(*r.edit, row, 1);
        *r.choose = new QPushButton("Choose", job);
        (*r.choose)->setToolTip(QString("Choose the %1").arg(QString(r.label).remove('&').remove(':').toLower()));
        jobGrid->addWidget(*r.choose, row, 2);
        ++row;
    }
    jobGrid->setColumnStretch(1, 1);
    auto* numbers = new QHBoxLayout;
    ui_.exponent = NumberEdit(job, "exponent", 11);
    ui_.exponent->setPlaceholderText("e.g. 65536");
    ui_.exponent->setToolTip("N, a power of two from 2 to 2^30, e.g. 65536");
    ui_.bMin = NumberEdit(job, "bMin", 11);
    ui_.bMin->setPlaceholderText("even, e.g. 2");
    ui_.bMin->setToolTip("The first base b; even bases only for wide math, so b Min must be even");
    ui_.bMax = NumberEdit(job, "bMax", 11);
    ui_.bMax->setPlaceholderText("e.g. 100000000");
    ui_.bMax->setToolTip(QString("The last base b: above b Min and below %1").arg(kMaxBase));
    ui_.minutesPerSave = NumberEdit(job, "minutesPerSave", 5);
    ui_.minutesPerSave->setToolTip("Minutes between two saves of the sieve output file while the job runs");
    const std::pair<const char*, QLineEdit*> numberRow[] = {{"&Exponent:", ui_.exponent},
                                                            {"&b Min:", ui_.bMin},
                                                            {"b Ma&x:", ui_.bMax},
                                                            {"&Min per File Save:", ui_.minutesPerSave}};
    for (const auto& [label, edit] : numberRow) {
        numbers->addWidget(BuddyLabel(label, edit, job));
        numbers->addWidget(edit);
        numbers->addSpacing(gap);
    }
    numbers->addStretch(1);
    jobGrid->addLayout(numbers, row, 0, 1, 3);
    top->addWidget(job);

    // "Optional Start/Stop P Value"
    auto* range = new QGroupBox("Optional Start/Stop P Value", this);
    range->setObjectName("rangeBox");
    auto* rangeRow = new QHBoxLayout(range);
    ui_.useStartStop = new QCheckBox("U&se Start/Stop Values", range);
    ui_.useStartStop->setToolTip("Sieve between a Start P and an End P of your own");
    ui_.startP = new QLineEdit(range);
    ui_.startP->setObjectName("startP");
    ui_.startP->setToolTip("A resume goes on from here instead of its file's last P; a new sieve starts at 0");
    ui_.startPLabel = BuddyLabel("Star&t P:", ui_.startP, range);
    ui_.endP = new QLineEdit(range);
    ui_.endP->setObjectName("endP");
    ui_.endP->setToolTip("The job ends, with a save, once P passes this value");
    ui_.endPLabel = BuddyLabel("E&nd P:", ui_.endP, range);
    rangeRow->addWidget(ui_.useStartStop);
    rangeRow->addSpacing(gap);
    rangeRow->addWidget(ui_.startPLabel);
    rangeRow->addWidget(ui_.startP, 1);
    rangeRow->addSpacing(gap);
    rangeRow->addWidget(ui_.endPLabel);
    rangeRow->addWidget(ui_.endP, 1);
    top->addWidget(range);

    // "Statistics"
    auto* stats = new QGroupBox("Statistics", this);
    stats->setObjectName("statisticsBox");
    auto* statsRow = new QHBoxLayout(stats);
    ui_.bLeft = new QLineEdit(stats);
    ui_.currentP = new QLineEdit(stats);
    for (QLineEdit* e : {ui_.bLeft, ui_.currentP}) {
        e->setReadOnly(true);
        e->setAlignment(Qt::AlignRight);
    }
    statsRow->addWidget(new QLabel("b's Left:", stats));
    statsRow->addWidget(ui_.bLeft, 1);
    statsRow->addSpacing(gap);
    statsRow->addWidget(new QLabel("Current P:", stats));
    statsRow->addWidget(ui_.currentP, 2);
    top->addWidget(stats);

    // The log: unsorted, nothing selectable, scrolled to its last line.
    // Lines are kept whole (a time stamp must never be cut off): the list
    // scrolls sideways instead, which needs each line's own width.
    ui_.log = new QListWidget(this);
    ui_.log->setObjectName("log");
    ui_.log->setSelectionMode(QAbstractItemView::NoSelection);
    ui_.log->setTextElideMode(Qt::ElideNone);
    ui_.log->setUniformItemSizes(false);
    ui_.log->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    ui_.log->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    ui_.log->setMinimumHeight(ui_.log->fontMetrics().lineSpacing() * 5 + 2 * ui_.log->frameWidth());
    top->addWidget(ui_.log, 1);

    // Top to bottom, left to right: the mode and Start stand at the top.
    QWidget* const order[] = {ui_.newSieve,     ui_.resumeSieve,  ui_.wideMath,          ui_.startStop,
                              ui_.factorOutput, ui_.chooseFactorOutput, ui_.sieveInput, ui_.chooseSieveInput,
                              ui_.sieveOutput,  ui_.chooseSieveOutput, ui_.exponent,    ui_.bMin,
                              ui_.bMax,         ui_.minutesPerSave, ui_.useStartStop,    ui_.startP,
                              ui_.endP,         ui_.bLeft,          ui_.currentP,        ui_.log,
                              panel_->Ui().testSeconds};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    connect(ui_.startStop, &QPushButton::clicked, this, &CVarneskView::OnStartStop);
    connect(ui_.chooseFactorOutput, &QPushButton::clicked, this, &CVarneskView::OnChooseFactorOutput);
    connect(ui_.chooseSieveInput, &QPushButton::clicked, this, &CVarneskView::OnChooseSieveInput);
    connect(ui_.chooseSieveOutput, &QPushButton::clicked, this, &CVarneskView::OnChooseSieveOutput);
    connect(ui_.sieveInput, &QLineEdit::editingFinished, this, &CVarneskView::OnSieveInputConfirmed);
    connect(ui_.newSieve, &QRadioButton::clicked, this, &CVarneskView::OnNewSieve);
    connect(ui_.resumeSieve, &QRadioButton::clicked, this, &CVarneskView::OnResumeSieve);
    connect(ui_.useStartStop, &QCheckBox::clicked, this, &CVarneskView::OnUseStartStop);

    restoreLastJob_ = new QAction("&Restore Last Job", this);
    restoreLastJob_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    restoreLastJob_->setStatusTip("Fill the fields with the files and numbers of the last job that ran");
    connect(restoreLastJob_, &QAction::triggered, this, &CVarneskView::OnRestoreLastJob);
}

// ---- initial update and start-up ----

void CVarneskView::OnInitialUpdate() {
    WriteFields();
    emit FitFrameRequested();
    QCoreApplication::postEvent(this, new QEvent(kStartUpEvent));
}

bool CVarneskView::event(QEvent* e) {
    if (e->type() == kWorkerTextEvent) {
        HandleWorkerRecord(static_cast<WorkerTextEvent*>(e)->TakeRecord());
        return true;
    }
    if (e->type() == kStartUpEvent) {
        StartUp();
        return true;
    }
    return QWidget::event(e);
}

void CVarneskView::StartUp() {
    const std::string program = options_.programPath.empty() ? ProgramPath() : options_.programPath;
    const SettingsAndLogPaths paths = ChooseSettingsAndLogPaths(
        program, options_.configFolder.empty() ? UserConfigFolder() : options_.configFolder,
        options_.stateFolder.empty() ? UserStateFolder() : options_.stateFolder);
    settingsPath_ = paths.settings;
    logPath_ = paths.log;
    if (!paths.besideProgram) {
        QDir().mkpath(Q(DirectoryOfChosenFile(settingsPath_)));
        QDir().mkpath(Q(DirectoryOfChosenFile(logPath_)));
    }
    panel_->SetSettingsFile(Q(PanelSettingsPath(settingsPath_)));
    ApplyNewSieveLayout();
    // Through the worker's own path, so that it is logged like every line.
    sink_->PostWorkerText(std::make_unique<std::string>(kBanner));
    if (!paths.besideProgram)
        sink_->PostWorkerText(std::make_unique<std::string>(
            "Installed program: settings in " + settingsPath_ + ", log in " + logPath_));
    ReadFields();
    SetStartStopControls();
    // The first field to fill; Tab goes through the rest from the top.
    ui_.factorOutput->setFocus();
    std::string why;
    bool missing = false;
    if (ReadSavedJob(settingsPath_, why, missing))
        emit StatusMessage("Ready. File > Restore Last Job (Ctrl+R) brings back the fields of the last job.");
}

// ---- reading and writing the fields ----

void CVarneskView::NotANumber(QLineEdit* edit, const char* field, const char* words) {
    // The fields are read on clicks anywhere on the form: the box names the
    // field it means, in its title and its text, and the focus goes there.
    const QString text = edit->text();
    const QString what = text.trimmed().isEmpty() ? QString("%1 is empty.").arg(field)
                                                  : QString("%1 holds \"%2\".").arg(field, text);
    prompts_.Message(this, QString(words) + "\n\n" + what, field, PromptIcon::None);
    edit->setFocus();
    edit->selectAll();
    // Once more when the action that read the fields is done: the Start/Stop
    // values are enabled only after their box's reading.
    QTimer::singleShot(0, edit, [edit] {
        if (edit->isEnabled() && edit->isVisible()) edit->setFocus();
    });
}

bool CVarneskView::ReadInt32(QLineEdit* edit, const char* field, int32_t& value) {
    ParsedNumber r = ParseInt32(S(edit->text().left(kNumberChars)));
    if (!r.hasDigits) {
        NotANumber(edit, field, "Enter an integer.");
        return false;
    }
    value = static_cast<int32_t>(r.value);
    return true;
}

bool CVarneskView::ReadPValue(QLineEdit* edit, const char* field, UInt128& value) {
    ParsedWide r = ParseUInt128(S(edit->text().left(kNumberChars)));
    if (!r.hasDigits) {
        NotANumber(edit, field, "Enter a positive integer.");
        return false;
    }
    // A minus wraps modulo 2^64 as it always did here; the start refuses
    // the result like any value of 2^96 or more.
    value = r.negative ? UInt128{static_cast<uint64_t>(0 - static_cast<uint64_t>(r.value))} : r.value;
    return true;
}

bool CVarneskView::ReadWholeNumber(QLineEdit* edit, const char* field, bool pValue, UInt128& magnitude,
                                   bool& negative) {
    const QString text = edit->text();
    const ParsedWide r = ParseWholeNumber(S(text));
    if (!r.hasDigits) {
        Refuse(StringPrintf("%s \"%s\" is not a whole number; enter digits only (a comma may stand between groups "
                            "of three digits).",
                            field, S(text.trimmed()).c_str()));
        edit->setFocus();
        return false;
    }
    if (pValue && r.negative) {
        Refuse(StringPrintf("%s %s is negative; a P value is 0 or more.", field, S(text.trimmed()).c_str()));
        edit->setFocus();
        return false;
    }
    // Beyond 128 bits the value would be shown saturated: said as typed.
    if (pValue && r.overflow) {
        Refuse(StringPrintf("%s %s is beyond the reach of the sieve: P must be below 2^96 (%s).", field,
                            S(text.trimmed()).c_str(), FormatUInt128(kWideLimitP).c_str()));
        edit->setFocus();
        return false;
    }
    magnitude = r.overflow ? ~UInt128{0} : r.value;
    negative = r.negative;
    return true;
}

bool CVarneskView::ReadJobNumbers() {
    // The lenient reading of the fields takes "250,000" as 250 and "5e13" as
    // 5; a job starts only from fields that say exactly one whole number.
    struct Int32Field {
        QLineEdit* edit;
        const char* name;
        int32_t* value;
        bool used;
        std::string range;  // what the field takes, for a value beyond 32 bits
    };
    const bool resume = model_.mode == 1;
    const Int32Field ints[] = {
        {ui_.exponent, "Exponent", &model_.job.exponent, !resume, "a power of 2 from 2 to 1073741824"},
        {ui_.bMin, "b Min", &model_.job.bMin, !resume, StringPrintf("from 1 to %d", kMaxBase - 2)},
        {ui_.bMax, "b Max", &model_.job.bMax, !resume, StringPrintf("from 2 to %d", kMaxBase - 1)},
        {ui_.minutesPerSave, "Min per File Save", &model_.job.minutesPerSave, true,
         StringPrintf("from 0 to %d minutes", kMaxSaveMinutes)}};
    for (const Int32Field& f : ints) {
        if (!f.used) continue;
        UInt128 magnitude = 0;
        bool negative = false;
        if (!ReadWholeNumber(f.edit, f.name, false, magnitude, negative)) return false;
        // A value the field cannot hold is named as typed: saturated, it
        // would be blamed on another rule (a b Min of 10^22 on b Max).
        if (magnitude > (negative ? UInt128{1} << 31 : (UInt128{1} << 31) - 1)) {
            Refuse(StringPrintf("%s %s is out of range; it must be %s.", f.name, S(f.edit->text().trimmed()).c_str(),
                                f.range.c_str()));
            f.edit->setFocus();
            return false;
        }
        const int64_t v = static_cast<int64_t>(magnitude);
        *f.value = static_cast<int32_t>(negative ? -v : v);
    }
    // A b below 1 that is not 0 was typed as such: the check names it
    // rather than asking for a value.
    model_.job.bMinGiven = model_.job.bMin != 0;
    model_.job.bMaxGiven = model_.job.bMax != 0;
    if (model_.job.minutesPerSave < 0 || model_.job.minutesPerSave > kMaxSaveMinutes) {
        Refuse(StringPrintf("Min per File Save %d is out of range; it must be from 0 to %d minutes.",
                            model_.job.minutesPerSave, kMaxSaveMinutes));
        ui_.minutesPerSave->setFocus();
        return false;
    }
    if (!model_.job.useStartStop) return true;
    const std::pair<QLineEdit*, const char*> ps[] = {{ui_.startP, "Start P"}, {ui_.endP, "End P"}};
    UInt128* const values[] = {&model_.job.startP, &model_.job.stopP};
    for (size_t i = 0; i < 2; ++i) {
        bool negative = false;
        if (!ReadWholeNumber(ps[i].first, ps[i].second, true, *values[i], negative)) return false;
    }
    return true;
}

bool CVarneskView::ReadFields() {
    model_.job.factorFile = S(ui_.factorOutput->text());
    model_.job.outputFile = S(ui_.sieveOutput->text());
    model_.job.inputFile = S(ui_.sieveInput->text());
    model_.mode = modeGroup_->checkedId();
    if (!ReadInt32(ui_.bMax, "b Max", model_.job.bMax)) return false;
    if (!ReadInt32(ui_.bMin, "b Min", model_.job.bMin)) return false;
    if (!ReadInt32(ui_.exponent, "Exponent", model_.job.exponent)) return false;
    model_.job.wideMath = ui_.wideMath->isChecked() ? 1 : 0;
    if (!ReadInt32(ui_.minutesPerSave, "Min per File Save", model_.job.minutesPerSave)) return false;
    model_.job.useStartStop = ui_.useStartStop->isChecked() ? 1 : 0;
    if (!ReadPValue(ui_.startP, "Start P", model_.job.startP)) return false;
    return ReadPValue(ui_.endP, "End P", model_.job.stopP);
}

void CVarneskView::WriteFields() {
    ui_.factorOutput->setText(Q(model_.job.factorFile));
    ui_.sieveInput->setText(Q(model_.job.inputFile));
    ui_.sieveOutput->setText(Q(model_.job.outputFile));
    if (model_.mode == 0 || model_.mode == 1) {
        modeGroup_->button(model_.mode)->setChecked(true);
    } else {
        modeGroup_->setExclusive(false);
        ui_.newSieve->setChecked(false);
        ui_.resumeSieve->setChecked(false);
        modeGroup_->setExclusive(true);
    }
    ui_.bMax->setText(QString::number(model_.job.bMax));
    ui_.bMin->setText(QString::number(model_.job.bMin));
    ui_.exponent->setText(QString::number(model_.job.exponent));
    ui_.wideMath->setChecked(model_.job.wideMath != 0);
    ui_.minutesPerSave->setText(QString::number(model_.job.minutesPerSave));
    ui_.useStartStop->setChecked(model_.job.useStartStop != 0);
    ui_.startP->setText(Q(FormatUInt128(model_.job.startP)));
    ui_.endP->setText(Q(FormatUInt128(model_.job.stopP)));
}

// ---- layouts ----

void CVarneskView::SetFileRowsEnabled(bool factor, bool input, bool output) {
    ui_.factorOutput->setEnabled(factor);
    ui_.chooseFactorOutput->setEnabled(factor);
    ui_.sieveInput->setEnabled(input);
    ui_.chooseSieveInput->setEnabled(input);
    ui_.sieveOutput->setEnabled(output);
    ui_.chooseSieveOutput->setEnabled(output);
}

void CVarneskView::ApplyNewSieveLayout() {
    if (running_) return;
    SetFileRowsEnabled(true, false, true);
    for (QLineEdit* e : {ui_.exponent, ui_.bMin, ui_.bMax}) e->setEnabled(true);
    ui_.wideMath->setEnabled(false);
    ui_.minutesPerSave->setEnabled(true);
    ui_.startStop->setText("Start");
}

void CVarneskView::ApplyResumeLayout() {
    if (running_) return;
    SetFileRowsEnabled(true, true, true);
    for (QLineEdit* e : {ui_.exponent, ui_.bMin, ui_.bMax}) e->setEnabled(false);
    ui_.wideMath->setEnabled(false);
    ui_.minutesPerSave->setEnabled(true);
    ui_.startStop->setText("Start");
}

void CVarneskView::ApplyRunningLayout() {
    SetFileRowsEnabled(false, false, false);
    restoreLastJob_->setEnabled(false);
    for (QWidget* w : std::initializer_list<QWidget*>{ui_.exponent, ui_.bMin, ui_.bMax, ui_.wideMath,
                                                       ui_.minutesPerSave, ui_.newSieve, ui_.resumeSieve,
                                                       ui_.useStartStop, ui_.startPLabel, ui_.startP, ui_.endPLabel,
                                                       ui_.endP})
        w->setEnabled(false);
}

void CVarneskView::SetStartStopControls() {
    // A running job keeps them disabled whatever asks (a new document re-runs
    // the start-up while a job may run).
    if (running_) return;
    const bool on = ui_.useStartStop->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{ui_.startPLabel, ui_.startP, ui_.endPLabel, ui_.endP})
        w->setEnabled(on);
}

void CVarneskView::RestoreLayout() {
    ui_.newSieve->setEnabled(true);
    ui_.resumeSieve->setEnabled(true);
    ReadFields();
    if (model_.mode == 1)
        ApplyResumeLayout();
    else
        ApplyNewSieveLayout();
    ui_.useStartStop->setEnabled(true);
    SetStartStopControls();
    restoreLastJob_->setEnabled(true);
}

void CVarneskView::OnNewSieve() { ApplyNewSieveLayout(); }

void CVarneskView::OnResumeSieve() {
    ReadFields();
    ApplyResumeLayout();
}

void CVarneskView::OnUseStartStop() {
    ReadFields();
    SetStartStopControls();
}

// ---- Start / Stop ----

void CVarneskView::Refuse(const std::string& message) { prompts_.Message(this, Q(message), QString(), PromptIcon::None); }

bool CVarneskView::MayReplace(const QString& name) {
    const std::string path = S(name);
    return !PathExists(path) ||
           prompts_.AskYesNo(this, Q(StringPrintf("Output File %s already exists, overwrite it?", path.c_str())), name);
}

JobRequest CVarneskView::RequestFor(int32_t command) const {
    JobRequest request = model_.job;
    request.command = command;
    request.threads = options_.workerThreads;
    return request;
}

bool CVarneskView::PrepareFiles(const JobRequest& request, bool replaceFactorFile, bool replaceOutputFile) {
    // The shared preparation: a file that cannot be made leaves every old
    // one as it was, and an output file to be replaced is removed, so that
    // the job's first save makes it whole.
    const std::vector<std::string> cannot = PrepareJobFiles(FilesOf(request), replaceFactorFile, replaceOutputFile);
    if (cannot.empty()) return true;
    Refuse(cannot.front());
    return false;
}

// After the shared check: the form's own files kept apart from the job's,
// the locks of the job, and the files the job will make tried; false after
// the refusal was shown (nothing held).
bool CVarneskView::CheckFormFiles(const JobRequest& request) {
    const JobFiles files = FilesOf(request);
    // The form's own log file must not be one of the job's files either;
    // whether it can be written is never a reason to refuse a job.
    JobFiles withLog = files;
    withLog.logFile = logPath_;
    std::string refusal = CheckDistinctFiles(withLog);
    // Nor its settings: the profile writer would add its "[Parameters]"
    // lines to the candidates or the proofs when the job ends.
    for (const std::string& own : {settingsPath_, PanelSettingsPath(settingsPath_)}) {
        if (!refusal.empty()) break;
        for (const std::string& file : {files.factorFile, files.inputFile, files.outputFile})
            if (SameFile(own, file)) {
                refusal = StringPrintf("The settings file %s must not be the factor output, input or output file.",
                                       own.c_str());
                break;
            }
    }
    if (refusal.empty()) {
        std::vector<std::string> cannot = FilesThatCannotBeMade(files, request.command == kCommandNewSieve);
        if (!cannot.empty()) refusal = cannot.front();
    }
    if (refusal.empty() && !LockJobFiles(files, jobLock_, refusal)) jobLock_.Release();
    if (refusal.empty()) return true;
    Refuse(refusal);
    return false;
}

void CVarneskView::OnStartStop() {
    if (running_) {
        if (worker_) worker_->m_stopRequest.store(1);
        return;
    }
    // A field that holds no number stops the start: the job would run with
    // values that are not on screen.
    if (!ReadFields()) return;
    if (!ReadJobNumbers()) return;
    // No mode button, or one that names no job: the check refuses it.
    JobRequest request = RequestFor(model_.mode == 0 || model_.mode == 1 ? model_.mode : -1);
    // Every check that needs no file comes before the first question, so
    // that no file is emptied for a job that is then refused.
    const JobCheck check = CheckJob(request);
    for (const std::string& notice : check.notices) Refuse(notice);
    if (!check.Runs()) return Refuse(check.message);
    if (request.command == kCommandNewSieve) model_.job.exponentLog2 = request.exponentLog2;
    if (CheckFormFiles(request)) {
        if (request.command == kCommandNewSieve) {
            // Both questions first: a No to either leaves both files as they were.
            if (MayReplace(Q(request.factorFile)) && MayReplace(Q(request.outputFile)) && PrepareFiles(request, true, true)) {
                model_.job.inputFile.clear();
                request.inputFile.clear();
                Launch(request);
            }
        } else if (SameFile(request.inputFile, request.outputFile) ||
                   (MayReplace(Q(request.outputFile)) && PrepareFiles(request, false, true))) {
            // Resuming into the file that is read is the natural way to go
            // on: it must be neither questioned nor emptied, the worker
            // replaces it safely at its first save.
            Launch(request);
        }
    }
    if (!running_) jobLock_.Release();
}

bool CVarneskView::StartWorker(const std::shared_ptr<CGfnThread>& worker) { return worker->Start(); }

void CVarneskView::Launch(const JobRequest& request) {
    auto worker = std::make_shared<CGfnThread>(request, sink_.get());
    worker->SetBelowNormal(true);
    // A GPU beside the threads when OpenCL offers one; the CPU alone
    // otherwise, or when the Options menu says so. The log says which.
    device_ = FormDevice::Attach(*worker, request, gpuWanted_);
    jobExponent_ = request.exponent;
    // The figures of an earlier job must not stand for this one.
    ui_.bLeft->clear();
    ui_.currentP->clear();
    running_ = true;
    worker_ = worker;
    // The job's threads inherit a mask without the stop signals, so that
    // those always reach a thread of the form's and never cut into a write.
    sigset_t stopSignals, oldMask;
    sigemptyset(&stopSignals);
    for (int signal : StopSignalNotifier::kSignals) sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &oldMask);
    const bool started = StartWorker(worker);
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    if (!started) {
        running_ = false;
        worker_.reset();
        Refuse("Sieve thread failed to create.");
        return;
    }
    // Records are handled only after this returns, so none is missed. A new
    // sieve starts at the bottom; a resume says where with its first record,
    // unless a Start P was given.
    const std::optional<UInt128> fromP = request.command == kCommandNewSieve ? std::optional<UInt128>(0)
                                         : request.useStartStop              ? std::optional<UInt128>(request.startP)
                                                                          : std::nullopt;
    panel_->StartJob(Now(), request.exponent, request.command != kCommandPackedK, fromP,
                     request.useStartStop ? request.stopP : 0);
    ui_.startStop->setText("Stop");
    ApplyRunningLayout();
    timer_.start(options_.timerPeriodMs);
}

// ---- worker texts, timer, priority ----

void CVarneskView::HandleWorkerRecord(WorkerRecord r) {
    switch (r.kind) {
    case WorkerRecord::kProgress:
        ui_.bLeft->setText(QString::number(r.basesLeft));
        ui_.currentP->setText(Q(FormatUInt128Grouped(r.p)));
        panel_->AddRecord(Now(), r.p, r.basesLeft);
        return;
    case WorkerRecord::kAlgebraic:
        panel_->SetAlgebraic(r.basesLeft);
        return;
    case WorkerRecord::kRange:
        // Only the edits' text changes; the model takes the values at the
        // next reading.
        ui_.bMin->setText(QString::number(r.bMin));
        ui_.bMax->setText(QString::number(r.bMax));
        ui_.exponent->setText(QString::number(r.exponent));
        panel_->SetExponent(r.exponent);
        jobExponent_ = r.exponent;
        return;
    case WorkerRecord::kEnd:
        // However the job ended, the form is idle again; its log says how.
        worker_.reset();
        jobLock_.Release();
        ui_.startStop->setText("Start");
        ui_.startStop->setEnabled(true);
        running_ = false;
        timer_.stop();
        panel_->EndJob(Now());
        LogJobSummary();
        ReadFields();
        WriteSettings();
        RestoreLayout();
        if (closePending_) emit CloseReady();
        return;
    case WorkerRecord::kLogLine:
        AddLogLine(r.text);
        return;
    case WorkerRecord::kReading:
        // A resume reading a big file says how far it has got where its
        // first progress record will show P.
        if (r.reading.bytesTotal > 0)
            ui_.currentP->setText(Q(StringPrintf("reading %d%%", static_cast<int>(100 * r.reading.bytesRead /
                                                                                  r.reading.bytesTotal))));
        return;
    }
}

void CVarneskView::LogJobSummary() {
    const std::string summary = panel_->SummaryLine();
    if (!summary.empty()) AddLogLine(summary);
    if (!device_) return;
    // As the command line's summary says it: the device's part of the p
    // range, then what it did.
    if (const auto range = panel_->SievedP(); range && range->second > range->first)
        AddLogLine("Share: " + device_->Share(range->first, range->second, jobExponent_));
    const std::string device = device_->Summary();
    if (!device.empty()) AddLogLine(device);
}

double CVarneskView::Now() const {
    if (options_.clock) return options_.clock();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void CVarneskView::AddLogLine(const std::string& text) {
    const std::string line = text + LogTimeStamp();
    auto* item = new QListWidgetItem(Q(line));
    item->setFlags(Qt::ItemIsEnabled);
    ui_.log->addItem(item);
    ui_.log->setCurrentItem(item, QItemSelectionModel::NoUpdate);
    ui_.log->scrollToItem(item);
    AppendLogLine(logPath_, line);
}

void CVarneskView::WriteSettings() {
    if (settingsPath_.empty()) return;
    const JobRequest& m = model_.job;
    const SavedJob saved{m.factorFile,     m.inputFile,          m.outputFile, m.bMax,    m.bMin, m.exponent,
                         m.minutesPerSave, model_.mode == 1 ? 1 : 0, m.useStartStop != 0, m.startP, m.stopP};
    for (const auto& [key, value] : SettingsOf(saved)) WriteProfileString(settingsPath_, kSettingsSection, key, value);
}

void CVarneskView::OnRestoreLastJob() {
    if (running_) return;
    std::string why;
    bool missing = false;
    const std::optional<SavedJob> saved = ReadSavedJob(settingsPath_, why, missing);
    if (!saved) {
        emit StatusMessage(Q(missing ? "No last job to restore: " + why + " yet; a job writes it when it ends."
                                     : "The last job was not restored: " + why + ". The fields are as they were."));
        return;
    }
    JobRequest& m = model_.job;
    m.factorFile = saved->factorFile;
    m.inputFile = saved->inputFile;
    m.outputFile = saved->outputFile;
    m.bMax = saved->bMax;
    m.bMin = saved->bMin;
    m.exponent = saved->exponent;
    m.minutesPerSave = saved->minutesPerSave;
    m.useStartStop = saved->useStartStop ? 1 : 0;
    m.startP = saved->startP;
    m.stopP = saved->stopP;
    model_.mode = saved->mode;
    WriteFields();
    // The fields hold the file's numbers already.
    lastCandidateFile_ = Q(m.inputFile);
    if (model_.mode == 1)
        ApplyResumeLayout();
    else
        ApplyNewSieveLayout();
    SetStartStopControls();
    emit StatusMessage(Q("Restored the last job from " + settingsPath_ + "."));
}

void CVarneskView::OnTimer() {
    if (running_ && worker_)
        worker_->m_tickCount.fetch_add(1);
    else if (!running_)
        timer_.stop();
}

void CVarneskView::OnPriority(int choice) {
    // The menu shows the class in force: a change the system refuses (an
    // unprivileged user cannot raise the priority again) leaves the mark
    // where it was, and says why.
    if (SetProcessPriorityClass(choice)) {
        priority_ = choice;
    } else {
        static const char* const kNames[] = {"Idle", "Below Normal", "Normal"};
        Refuse(StringPrintf("The priority class %s could not be set: the system refused it (raising the priority "
                            "again needs privileges). The priority class stays %s.",
                            kNames[choice], kNames[priority_]));
    }
    UpdateMenuState();
}

void CVarneskView::PopulateOptionsMenu(QMenu* options) {
    QMenu* priority = options->addMenu("Priority Class");
    const std::pair<const char*, int> items[] = {
        {"Normal", kPriorityNormal}, {"Below Normal", kPriorityBelowNormal}, {"Idle", kPriorityIdle}};
    for (const auto& [name, choice] : items) {
        auto* action = new QAction(name, this);
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, [this, c = choice] { OnPriority(c); });
        priority->addAction(action);
        priorityActions_[choice] = action;
    }
    buildPackedK_ = new QAction("Build Packed K File", this);
    buildPackedK_->setStatusTip("Build custom packed K files");
    usePackedK_ = new QAction("Use Packed K File", this);
    usePackedK_->setStatusTip("Use custom packed K files");
    connect(buildPackedK_, &QAction::triggered, this, &CVarneskView::OnBuildPackedK);
    connect(usePackedK_, &QAction::triggered, this, &CVarneskView::OnUsePackedK);
    options->addAction(buildPackedK_);
    options->addAction(usePackedK_);
    useGpu_ = new QAction("Sieve on the GPU too", this);
    useGpu_->setCheckable(true);
    useGpu_->setChecked(gpuWanted_);
    useGpu_->setStatusTip("Wide-math sieves also run on a GPU that OpenCL offers (from the next Start)");
    connect(useGpu_, &QAction::toggled, this, [this](bool on) { gpuWanted_ = on; });
    options->addAction(useGpu_);
    connect(options, &QMenu::aboutToShow, this, &CVarneskView::UpdateMenuState);
    connect(priority, &QMenu::aboutToShow, this, &CVarneskView::UpdateMenuState);
    UpdateMenuState();
}

void CVarneskView::PopulateFileMenu(QMenu* file) { file->addAction(restoreLastJob_); }

void CVarneskView::UpdateMenuState() {
    for (int choice = 0; choice < 3; ++choice)
        if (priorityActions_[choice]) priorityActions_[choice]->setChecked(choice == priority_);
    // The packed K commands exist but are not offered.
    if (buildPackedK_) buildPackedK_->setEnabled(false);
    if (usePackedK_) usePackedK_->setEnabled(false);
}

// ---- file choice ----

QString CVarneskView::DialogFolder(const std::string& current) const {
    const QString folder = Q(DirectoryOfChosenFile(current));
    if (!folder.isEmpty() && QFileInfo(folder).isDir()) return QFileInfo(folder).absoluteFilePath();
    return lastFolder_;
}

void CVarneskView::ChooseFile(std::string JobRequest::*field, bool open) {
    ReadFields();
    const QString filter = kTextFileFilter;
    const QString folder = DialogFolder(model_.job.*field);
    std::optional<QString> chosen =
        open ? prompts_.OpenFile(this, filter, folder) : prompts_.SaveFile(this, filter, folder);
    if (!chosen) {
        prompts_.Message(this, "File selection has been cancelled.", "Exit", PromptIcon::Information);
        return;
    }
    model_.job.*field = S(*chosen);
    lastFolder_ = QFileInfo(*chosen).absolutePath();
    if (field == &JobRequest::inputFile) {
        lastCandidateFile_ = *chosen;
        FillFromCandidateFile(model_.job.inputFile, true);
    }
    WriteFields();
}

void CVarneskView::OnSieveInputConfirmed() {
    const QString text = ui_.sieveInput->text();
    if (running_ || text.trimmed().isEmpty() || text == lastCandidateFile_) return;
    lastCandidateFile_ = text;
    FillFromCandidateFile(S(text), false);
}

void CVarneskView::FillFromCandidateFile(const std::string& path, bool intoModel) {
    // The reader's own check, as a resume makes it; a big file takes a
    // moment, which the cursor says.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const CandidateFileScan scan = ScanCandidateFile(path);
    LastLineSink sink;
    SieveJob job;
    job.inputFileName = path;
    job.form = &sink;
    const bool read = scan.refusal.empty() && scan.exponent > 0 && ReadCandidateFile(job) != 0;
    QApplication::restoreOverrideCursor();
    if (!scan.refusal.empty() || (scan.exponent > 0 && !read)) {
        AddLogLine(scan.refusal.empty() ? sink.last : scan.refusal);
        return;
    }
    const std::string resumeP = FormatUInt128(scan.resumeP);
    if (scan.exponent == 0) {
        // A header alone names no exponent: the sieve struck every base.
        AddLogLine(StringPrintf("Sieve input file %s holds no bases: every base was struck, up to P %s.", path.c_str(),
                                resumeP.c_str()));
        return;
    }
    AddLogLine(StringPrintf("Sieve input file %s: exponent %d, b from %d to %d, %d bases left, sieved up to P %s.",
                            path.c_str(), job.exponent, job.bMin, job.bMax, job.candidateCount, resumeP.c_str()));
    if (intoModel) {
        model_.job.exponent = job.exponent;
        model_.job.bMin = job.bMin;
        model_.job.bMax = job.bMax;
        // Going on in the same file is the usual resume.
        if (model_.job.outputFile.empty()) model_.job.outputFile = path;
        return;
    }
    ui_.exponent->setText(QString::number(job.exponent));
    ui_.bMin->setText(QString::number(job.bMin));
    ui_.bMax->setText(QString::number(job.bMax));
    if (ui_.sieveOutput->text().isEmpty()) ui_.sieveOutput->setText(Q(path));
}

void CVarneskView::OnChooseFactorOutput() { ChooseFile(&JobRequest::factorFile, false); }
void CVarneskView::OnChooseSieveInput() { ChooseFile(&JobRequest::inputFile, true); }
void CVarneskView::OnChooseSieveOutput() { ChooseFile(&JobRequest::outputFile, false); }

// ---- packed K commands ----

void CVarneskView::OnBuildPackedK() {
    if (running_) return;
    PackedKGen dialog(prompts_, this);
    if (!prompts_.Exec(dialog)) return;
    ReadFields();
    model_.job.exponent = dialog.Exponent();
    model_.job.packedKPath = S(dialog.Directory());
    model_.job.exponentLog2 = dialog.ExponentLog2();
    Launch(RequestFor(kCommandPackedK));
}

void CVarneskView::OnUsePackedK() {
    if (running_) return;
    CPackedKSel dialog(prompts_, this);
    dialog.SetDirectory(Q(model_.job.packedKPath));
    if (prompts_.Exec(dialog)) model_.job.packedKPath = S(dialog.Directory());
}

bool CVarneskView::JobUsesFile(const std::string& path) const {
    if (!running_) return false;
    // The model holds what the job was started with: the fields are
    // disabled while it runs.
    for (const std::string* file : {&model_.job.factorFile, &model_.job.inputFile, &model_.job.outputFile})
        if (SameFile(path, *file)) return true;
    return false;
}

// ---- closing ----

void CVarneskView::NoteStopSignal(const std::string& name) {
    AddLogLine(name + (running_ ? " received: the job stops and saves, then the program ends."
                                : " received: the program ends."));
}

bool CVarneskView::RequestClose() {
    if (!running_) return true;
    if (!closePending_) {
        closePending_ = true;
        if (worker_) worker_->m_stopRequest.store(1);
        ui_.startStop->setEnabled(false);
        emit StatusMessage("Stopping: waiting for the sieve to save...");
    }
    return false;
}

}  // namespace varnesk
