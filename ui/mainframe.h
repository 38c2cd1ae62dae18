// The application shell: the document (which only names the processor in
// the title), the main frame with its menus, accelerators and status bar,
// and the about box.
#pragma once
#include <QDialog>
#include <QMainWindow>
#include <QObject>
#include <QString>
#include <memory>

#include "ui/prompts.h"
#include "ui/varneskview.h"

class QAction;
class QLabel;

namespace varnesk {

inline constexpr char kAppTitle[] = "Varnesk";

class CVarneskDoc : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // A new document is titled by the processor it runs on.
    bool OnNewDocument();
    // The document holds no data: open reads nothing, save writes an empty
    // file; either way the file's name becomes the title.
    bool OnOpenDocument(const QString& path);
    bool OnSaveDocument(const QString& path);

    const QString& Title() const { return title_; }
    const QString& PathName() const { return path_; }

signals:
    void TitleChanged(const QString& title);

private:
    void SetTitle(const QString& title);
    QString title_;
    QString path_;
};

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // prompts: null for the real message boxes and file dialogs.
    explicit CMainFrame(UiPrompts* prompts = nullptr, ViewOptions options = {}, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The frame's size before the form's first display shrinks it: room for
    // the form and the statistics panel beside it.
    static constexpr int kDefaultWidth = 1280;
    static constexpr int kDefaultHeight = 720;

    CVarneskView* View() const { return view_; }
    CVarneskDoc& Document() { return doc_; }
    QLabel* MessagePane() const { return messagePane_; }
    QAction* ExitAction() const { return exit_; }
    QAction* StatusBarAction() const { return statusBarToggle_; }
    QAction* AboutAction() const { return about_; }

    // Ctrl+N, Ctrl+O, Ctrl+S.
    void OnFileNew();
    void OnFileOpen();
    void OnFileSave();
    // A file named on the command line becomes the document.
    bool OpenDocument(const QString& path);
    // The same for the program's command line: a file that cannot be opened
    // leaves a new document in the window and a message saying why.
    bool OpenFromCommandLine(const QString& path);
    void OnAppAbout();
    // SIGTERM, SIGHUP or SIGINT: the program ends as Close would end it, a
    // running job stopped and saved first; then EndRequested.
    void OnStopSignal(int signal);

signals:
    // The window closed on a stop signal: the program is to end, whatever
    // dialog may still be open.
    void EndRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenus();
    void BuildStatusBar();
    void FitToView();
    // The largest size of the window's inside that the screen shows whole.
    QSize ScreenRoom() const;

    std::unique_ptr<UiPrompts> ownPrompts_;
    UiPrompts* prompts_;
    CVarneskDoc doc_;
    CVarneskView* view_;
    QLabel* messagePane_ = nullptr;
    QAction* exit_ = nullptr;
    QAction* statusBarToggle_ = nullptr;
    QAction* about_ = nullptr;
    bool endWhenClosed_ = false;
};

}  // namespace varnesk
