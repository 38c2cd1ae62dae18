// The real window with a small wide-math job already started, for pictures
// of the program: VARNESK_DEMO_DIR names a scratch folder for its files.
// With VARNESK_DEMO_SHOT set, the window saves a picture of itself there
// after VARNESK_DEMO_SECONDS (default 6) and the program ends.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "ui/app.h"
#include "ui/mainframe.h"
#include "ui/statspanel.h"

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
        ui.useStartStop->click();
        ui.endP->setText(qEnvironmentVariable("VARNESK_DEMO_END_P", "10000000000000"));
        view->Panel()->Ui().testSeconds->setText(qEnvironmentVariable("VARNESK_DEMO_TEST_SECONDS", "0.05"));
        ui.startStop->click();
        // The window's size, so that the picture can be cut to it.
        QFile geometry(dir + "/geometry");
        if (geometry.open(QIODevice::WriteOnly)) {
            const QRect r = view->window()->frameGeometry();
            geometry.write(QString("%1x%2+%3+%4\n").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y()).toUtf8());
        }
    });
    const QString shot = qEnvironmentVariable("VARNESK_DEMO_SHOT");
    if (!shot.isEmpty()) {
        const int seconds = qEnvironmentVariableIntValue("VARNESK_DEMO_SECONDS");
        QTimer::singleShot((seconds > 0 ? seconds : 6) * 1000, view, [view, shot] {
            // From the display itself, as a screenshot tool would take it.
            QWidget* window = view->window();
            const QRect r = window->frameGeometry();
            QPixmap picture;
            if (QScreen* screen = QGuiApplication::primaryScreen())
                picture = screen->grabWindow(0, r.x(), r.y(), r.width(), r.height());
            if (picture.isNull()) picture = window->grab();
            const bool saved = picture.save(shot);
            // Stop the job so that its files are saved before the end.
            QTimer::singleShot(0, window, &QWidget::close);
            if (!saved) qWarning("could not save %s", qPrintable(shot));
        });
    }
    return app.exec();
}
