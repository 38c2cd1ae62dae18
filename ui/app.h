// The application object: start-up of the one main window.
#pragma once
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <memory>

#include "ui/varneskview.h"

namespace varnesk {

class CMainFrame;
class StopSignalNotifier;

inline constexpr char kVersionText[] = "varnesk 1.0 (Varnesk Build 306)";
inline constexpr char kHelpText[] =
    "Usage: varnesk [FILE]\n"
    "       varnesk --help | --version\n"
    "\n"
    "The desktop program of Varnesk, a sieve for generalized Fermat numbers b^N+1.\n"
    "\n"
    "  FILE       a document to open; its name becomes the window's title\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Qt's own options (such as -platform NAME) are accepted as well.\n"
    "Standard math and packed K files: varnesk-cli --help (--standard --packed-k DIR,\n"
    "build-packed-k).\n";

// --help and --version, answered before any window system is needed (they
// must work without a display). The exit status, or -1 to go on.
int AnswerInfoOptions(int argc, const char* const* argv, std::FILE* out);

// A small drawn icon for the window and the about box.
QIcon MakeAppIcon();

class CVarneskApp : public QApplication {
public:
    CVarneskApp(int& argc, char** argv);
    ~CVarneskApp() override;
    // Creates and shows the main window; false ends the program without one.
    bool InitInstance();
    CMainFrame* Frame() const { return frame_.get(); }
    // Before InitInstance: options for the form (timer period, file paths).
    void SetViewOptions(ViewOptions options) { viewOptions_ = std::move(options); }

private:
    std::unique_ptr<CMainFrame> frame_;
    std::unique_ptr<StopSignalNotifier> stopSignals_;
    ViewOptions viewOptions_;
};

}  // namespace varnesk
