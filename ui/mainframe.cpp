#include "ui/mainframe.h"

#include <sys/stat.h>

#include <cerrno>

#include "engine/jobcheck.h"
#include "platform/fs.h"
#include "platform/joblock.h"
#include "platform/post.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QVBoxLayout>

#include "ui/formrules.h"
#include "ui/stopsignals.h"

namespace varnesk {

namespace {
constexpr char kAnyFileFilter[] = "All Files (*)";
}

// ---- document ----

void CVarneskDoc::SetTitle(const QString& title) {
    title_ = title;
    emit TitleChanged(title_);
}

bool CVarneskDoc::OnNewDocument() {
    path_.clear();
    SetTitle(QString::fromStdString(DocumentTitleForThisCpu()));
    return true;
}

bool CVarneskDoc::OnOpenDocument(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    path_ = path;
    SetTitle(QFileInfo(path).fileName());
    return true;
}

bool CVarneskDoc::OnSaveDocument(const QString& path) {
    // The document holds nothing, so saving makes an empty file: made beside
    // and renamed over, never by cutting a file short in place, and never
    // over a folder or a device.
    if (!RecreateEmptyFile(path.toStdString())) return false;
    path_ = path;
    SetTitle(QFileInfo(path).fileName());
    return true;
}

// ---- about box ----

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Varnesk");
    auto* top = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* icon = new QLabel(this);
    QIcon appIcon = QApplication::windowIcon();
    if (appIcon.isNull()) appIcon = style()->standardIcon(QStyle::SP_ComputerIcon);
    icon->setPixmap(appIcon.pixmap(32, 32));
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addSpacing(12);
    row->addWidget(new QLabel("Varnesk, Version 1.0", this), 1, Qt::AlignTop);
    top->addLayout(row);
    top->addStretch(1);
    auto* ok = new QPushButton("OK", this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    top->addWidget(ok, 0, Qt::AlignRight);
    // 181 by 88 dialog units: a quarter of the font's average character
    // wide and an eighth of its height high.
    const QFontMetrics fm = fontMetrics();
    setMinimumSize(181 * fm.averageCharWidth() / 4, 88 * fm.height() / 8);
}

// ---- main frame ----

CMainFrame::CMainFrame(UiPrompts* prompts, ViewOptions options, QWidget* parent)
    : QMainWindow(parent), ownPrompts_(prompts ? nullptr : new QtPrompts), prompts_(prompts ? prompts : ownPrompts_.get()) {
    view_ = new CVarneskView(*prompts_, std::move(options), this);
    setCentralWidget(view_);
    BuildMenus();
    BuildStatusBar();

    connect(&doc_, &CVarneskDoc::TitleChanged, this,
            [this](const QString& title) { setWindowTitle(title + " - " + kAppTitle); });
    connect(view_, &CVarneskView::FitFrameRequested, this, &CMainFrame::FitToView);
    connect(view_, &CVarneskView::StatusMessage, messagePane_, &QLabel::setText);
    connect(view_, &CVarneskView::CloseReady, this, [this] { QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection); });
    setWindowTitle(kAppTitle);
    // The framework's default frame size; the form's first display shrinks it.
    resize(QSize(kDefaultWidth, kDefaultHeight).boundedTo(ScreenRoom()));
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::BuildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    view_->PopulateFileMenu(file);
    file->addSeparator();
    exit_ = file->addAction("E&xit");
    exit_->setStatusTip("Quit the application; prompts to save documents");
    connect(exit_, &QAction::triggered, this, &QWidget::close);

    QMenu* options = menuBar()->addMenu("&Options");
    view_->PopulateOptionsMenu(options);

    QMenu* viewMenu = menuBar()->addMenu("&View");
    statusBarToggle_ = viewMenu->addAction("&Status Bar");
    statusBarToggle_->setCheckable(true);
    statusBarToggle_->setChecked(true);
    statusBarToggle_->setStatusTip("Show or hide the status bar");
    connect(statusBarToggle_, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });

    QMenu* help = menuBar()->addMenu("&Help");
    about_ = help->addAction("&About Varnesk...");
    about_->setStatusTip("Display program information and version number");
    connect(about_, &QAction::triggered, this, &CMainFrame::OnAppAbout);

    // Accelerators without menu items.
    const std::pair<QKeySequence, void (CMainFrame::*)()> keys[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_N), &CMainFrame::OnFileNew},
        {QKeySequence(Qt::CTRL | Qt::Key_O), &CMainFrame::OnFileOpen},
        {QKeySequence(Qt::CTRL | Qt::Key_S), &CMainFrame::OnFileSave}};
    for (const auto& [key, handler] : keys) {
        auto* action = new QAction(this);
        action->setShortcut(key);
        connect(action, &QAction::triggered, this, handler);
        addAction(action);
    }
}

void CMainFrame::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    // Menu prompts are shown over the message pane and "Ready" comes back.
    messagePane_ = new QLabel("Ready", bar);
    bar->addWidget(messagePane_, 1);
    for (const char* indicator : {"CAP", "NUM", "SCRL"}) {
        auto* pane = new QLabel(indicator, bar);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setAlignment(Qt::AlignCenter);
        pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance("SCRL") + pane->fontMetrics().averageCharWidth() * 2);
        bar->addPermanentWidget(pane);
    }
}

void CMainFrame::FitToView() {
    // Shrink to the form, never enlarge; and never beyond the screen, where
    // the window manager would cut off its right side and the status bar.
    const QSize fit = sizeHint().boundedTo(ScreenRoom());
    resize(std::min(width(), fit.width()), std::min(height(), fit.height()));
}

QSize CMainFrame::ScreenRoom() const {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    // The window manager's frame takes a title bar and borders from it;
    // before the window is shown, a title bar of the style's height.
    QSize frame = frameGeometry().size() - geometry().size();
    if (frame.isNull()) frame = QSize(0, style()->pixelMetric(QStyle::PM_TitleBarHeight));
    const QSize room = screen->availableGeometry().size() - frame;
    return room.expandedTo(minimumSizeHint());
}

void CMainFrame::OnFileNew() {
    if (!doc_.OnNewDocument()) return;
    view_->OnInitialUpdate();
}

void CMainFrame::OnFileOpen() {
    std::optional<QString> path = prompts_->OpenFile(this, kAnyFileFilter, QString());
    if (!path || !doc_.OnOpenDocument(*path)) return;
    view_->OnInitialUpdate();
}

bool CMainFrame::OpenDocument(const QString& path) {
    if (!doc_.OnOpenDocument(path)) return false;
    view_->OnInitialUpdate();
    return true;
}

void CMainFrame::OnFileSave() {
    QString path = doc_.PathName();
    if (path.isEmpty()) {
        std::optional<QString> chosen = prompts_->SaveFile(this, kAnyFileFilter, QString());
        if (!chosen) return;
        path = *chosen;
    }
    // The document holds nothing: saving it over a file empties that file.
    // A job's file is never offered: the job would go on writing into a
    // file that no longer has a name, and its results would be lost.
    const std::string name = path.toStdString();
    auto refuse = [&](const std::string& why) {
        prompts_->Message(this, QString::fromStdString("The document was not saved: " + why), QString(),
                          PromptIcon::Warning);
    };
    if (view_->JobUsesFile(name))
        return refuse(StringPrintf("File %s is in use by the job running in this window; saving over it would "
                                   "destroy the job's results.",
                                   name.c_str()));
    // Held until the save is done, so that no job can take the file between
    // the question and the save.
    JobLock guard;
    std::string why;
    if (!guard.LockFile(name, "File", why)) return refuse(why);
    // The document is empty: saving it over a file throws away all that the
    // file holds (a candidate file of weeks, a factor file). Only a file that
    // holds nothing, as an earlier save of the document does, may be replaced.
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        return refuse(StringPrintf("File %s is not empty (%lld bytes): saving this empty document over it would "
                                   "destroy what it holds. Save the document under another name.",
                                   name.c_str(), static_cast<long long>(st.st_size)));
    // An empty file of another name still needs the user's consent.
    if (PathExists(name) && path != doc_.PathName() &&
        !prompts_->AskYesNo(this,
                            QString::fromStdString(StringPrintf(
                                "File %s already exists; saving replaces it with this empty document. Replace it?",
                                name.c_str())),
                            path))
        return;
    if (!doc_.OnSaveDocument(path))
        refuse(StringPrintf("File %s cannot be written: %s", name.c_str(), ErrorText(errno).c_str()));
}

bool CMainFrame::OpenFromCommandLine(const QString& path) {
    if (OpenDocument(path)) return true;
    OnFileNew();
    const std::string name = path.toStdString();
    const PathState state = InspectPath(name);
    const std::string why = state.kind == PathKind::Missing ? std::string("it does not exist")
                            : state.kind == PathKind::Folder ? std::string("it is a folder")
                                                             : ErrorText(state.error ? state.error : EACCES);
    prompts_->Message(this,
                      QString::fromStdString(StringPrintf("The file %s named on the command line cannot be opened: %s.",
                                                          name.c_str(), why.c_str())),
                      QString(), PromptIcon::Warning);
    return false;
}

void CMainFrame::OnAppAbout() {
    CAboutDlg about(this);
    prompts_->Exec(about);
}

void CMainFrame::OnStopSignal(int signal) {
    endWhenClosed_ = true;
    view_->NoteStopSignal(SignalName(signal));
    close();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // A running job is stopped first, so that its candidate file is written;
    // the window closes once the end marker has been handled.
    if (!view_->RequestClose()) {
        event->ignore();
        return;
    }
    event->accept();
    if (endWhenClosed_) emit EndRequested();
}

}  // namespace varnesk
