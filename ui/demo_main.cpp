// The real window with a small wide-math job already started, for pictures
// of the program: VARNESK_DEMO_DIR names a scratch folder for its files.
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "ui/app.h"
#include "ui/mainframe.h"

int main(int argc, char** argv) {
    varnesk::CVarneskApp app(argc, argv);
    const QString dir = qEnvironmentVariable("VARNESK_DEMO_DIR", QDir::tempPath());
    varnesk::ViewOptions options;
    options.programPath = (dir + "/varnesk").toStdString();
    options.timerPeriodMs = 500;
    app.SetViewOptions(options);
    if (!app.InitInstance()) return 1;
    varnesk::CVarneskView* view = app.Frame()->View();
    QTimer::singleShot(300, view, [view, dir] {
        const auto& ui = view->Ui();
        QFile::remove(dir + "/factors.txt");
        QFile::remove(dir + "/sieve.txt");
        ui.factorOutput->setText(dir + "/factors.txt");
        ui.sieveOutput->setText(dir + "/sieve.txt");
        ui.exponent->setText("1024");
        ui.bMin->setText("2");
        ui.bMax->setText("100000000");
        ui.minutesPerSave->setText("5");
        ui.startStop->click();
        // The window's size, so that the picture can be cut to it.
        QFile geometry(dir + "/geometry");
        if (geometry.open(QIODevice::WriteOnly)) {
            const QRect r = view->window()->frameGeometry();
            geometry.write(QString("%1x%2+%3+%4\n").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y()).toUtf8());
        }
    });
    return app.exec();
}
