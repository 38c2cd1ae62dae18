// The application object: start-up of the one main window.
#pragma once
#include <QApplication>
#include <QIcon>
#include <memory>

#include "ui/varneskview.h"

namespace varnesk {

class CMainFrame;

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
    ViewOptions viewOptions_;
};

}  // namespace varnesk
