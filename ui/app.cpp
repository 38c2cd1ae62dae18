#include "ui/app.h"

#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <string_view>

#include "kernels/kernels.h"

#include "ui/geometryreport.h"
#include "ui/mainframe.h"
#include "ui/stopsignals.h"

namespace varnesk {

QIcon MakeAppIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(32, 80, 160));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(1, 1, 30, 30, 6, 6);
    painter.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPolyline(QPolygon({QPoint(8, 8), QPoint(16, 24), QPoint(24, 8)}));
    painter.end();
    return QIcon(pixmap);
}

int AnswerInfoOptions(int argc, const char* const* argv, std::FILE* out) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        // After "--" every word is a file name.
        if (arg == "--") return -1;
        if (arg == "--help" || arg == "--version") {
            std::fputs(arg == "--help" ? kHelpText : kVersionText, out);
            if (arg == "--version") std::fputc('\n', out);
            return std::fflush(out) == 0 && !std::ferror(out) ? 0 : 1;
        }
    }
    return -1;
}

CVarneskApp::CVarneskApp(int& argc, char** argv) : QApplication(argc, argv) {}

CVarneskApp::~CVarneskApp() = default;

bool CVarneskApp::InitInstance() {
    setApplicationName(kAppTitle);
    setOrganizationName(kAppTitle);
    // Lets the desktop match the window to the installed menu entry.
    setDesktopFileName("varnesk");
    setWindowIcon(MakeAppIcon());
    // A kernel path forced through the environment must be one this CPU has.
    const std::string kernelError = KernelEnvironmentError();
    if (!kernelError.empty()) {
        QMessageBox::critical(nullptr, kAppTitle, QString::fromStdString(kernelError));
        return false;
    }
    const GeometryReportRequest report = ParseGeometryReportRequest(qEnvironmentVariable("VARNESK_GEOMETRY_REPORT"));
    if (report.dark) UseDarkPalette(*this);
    frame_ = std::make_unique<CMainFrame>(nullptr, viewOptions_);
    // A logout, a shutdown or Ctrl-C in the terminal ends the program as
    // Close does: a running job stops and saves first.
    stopSignals_ = std::make_unique<StopSignalNotifier>();
    connect(stopSignals_.get(), &StopSignalNotifier::Received, frame_.get(), &CMainFrame::OnStopSignal);
    connect(frame_.get(), &CMainFrame::EndRequested, this, &QCoreApplication::quit, Qt::QueuedConnection);
    const QStringList args = arguments();
    if (args.size() > 1) {
        // The window opens in any case, so that the message has a place.
        frame_->show();
        frame_->OpenFromCommandLine(args.at(1));
        return true;
    }
    frame_->OnFileNew();
    frame_->show();
    if (report.wanted) StartGeometryReport(*frame_, report, stdout);
    return true;
}

}  // namespace varnesk
