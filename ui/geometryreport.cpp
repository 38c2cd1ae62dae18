#include "ui/geometryreport.h"

#include <QApplication>
#include <QGroupBox>
#include <QListWidget>
#include <QMenuBar>
#include <QPalette>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyleFactory>
#include <QTimer>
#include <QWindow>
#include <memory>

#include "platform/post.h"
#include "ui/mainframe.h"

namespace varnesk {

namespace {
QString Size(const QSize& s) { return QString("%1x%2").arg(s.width()).arg(s.height()); }
QString At(const QPoint& p) { return QString("%1,%2").arg(p.x()).arg(p.y()); }

// What a layout can squeeze the widget to: its hint, or its own minimum.
QSize SmallestSize(const QWidget* w) {
    QSize hint = w->minimumSizeHint().expandedTo(QSize(0, 0));
    if (w->minimumWidth() > 0) hint.setWidth(w->minimumWidth());
    if (w->minimumHeight() > 0) hint.setHeight(w->minimumHeight());
    return hint;
}
}  // namespace

GeometryReportRequest ParseGeometryReportRequest(const QString& value) {
    GeometryReportRequest r;
    for (const QString& word : value.split(',', Qt::SkipEmptyParts)) {
        r.wanted = true;
        if (word == "maximized") r.maximized = true;
        if (word == "dark") r.dark = true;
    }
    return r;
}

void UseDarkPalette(QApplication& app) {
    app.setStyle(QStyleFactory::create("Fusion"));
    QPalette p;
    const QColor window(45, 45, 48), base(30, 30, 32), text(225, 225, 225), disabled(128, 128, 128);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, disabled);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::red);
    p.setColor(QPalette::Link, QColor(100, 160, 240));
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::black);
    p.setColor(QPalette::Light, window.lighter(150));
    p.setColor(QPalette::Midlight, window.lighter(125));
    p.setColor(QPalette::Mid, window.lighter(110).lighter(130));
    p.setColor(QPalette::Dark, window.darker(150));
    p.setColor(QPalette::Shadow, Qt::black);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabled);
    app.setPalette(p);
}

std::string GeometryReport(const CMainFrame& frame) {
    QStringList lines;
    const QScreen* screen = frame.screen();
    if (screen)
        lines << QString("screen %1 available %2 %3 ratio %4")
                     .arg(Size(screen->geometry().size()), At(screen->availableGeometry().topLeft()),
                          Size(screen->availableGeometry().size()))
                     .arg(screen->devicePixelRatio());
    const QRect outer = frame.frameGeometry();
    lines << QString("window %1 %2 minimum %3").arg(At(outer.topLeft()), Size(outer.size()), Size(SmallestSize(&frame)));
    const CVarneskView* view = frame.View();
    const std::pair<const char*, const QWidget*> panels[] = {
        {"menuBar", frame.menuBar()},
        {"jobBox", view->findChild<QGroupBox*>("jobBox")},
        {"rangeBox", view->findChild<QGroupBox*>("rangeBox")},
        {"statisticsBox", view->findChild<QGroupBox*>("statisticsBox")},
        {"log", view->Ui().log},
        {"statsArea", view->PanelArea()},
        {"statusBar", frame.statusBar()}};
    for (const auto& [name, w] : panels) {
        if (!w) {
            lines << QString("panel %1 missing").arg(name);
            continue;
        }
        lines << QString("panel %1 %2 %3 minimum %4%5")
                     .arg(name, At(w->mapToGlobal(QPoint(0, 0))), Size(w->size()), Size(SmallestSize(w)),
                          w->isVisible() ? "" : " hidden");
    }
    // Whether the statistics panel needs its scroll bars at this size.
    if (const QScrollArea* area = view->PanelArea())
        lines << QString("scrolls %1 %2 content %3 minimum %4")
                     .arg(area->horizontalScrollBar()->isVisible() ? "sideways" : "-",
                          area->verticalScrollBar()->isVisible() ? "down" : "-", Size(area->widget()->size()),
                          Size(SmallestSize(area->widget())));
    lines << "end";
    return (lines.join('\n') + '\n').toStdString();
}

void StartGeometryReport(CMainFrame& frame, const GeometryReportRequest& request, std::FILE* out) {
    if (request.maximized) frame.showMaximized();
    // Once the window is on the screen, however slow the machine, and not
    // before a second has passed, so that what starts with the window (the
    // demonstration's job) shows in the panels measured.
    auto* poll = new QTimer(&frame);
    auto steps = std::make_shared<int>(0);
    auto polls = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, &frame, [&frame, poll, steps, polls, request, out] {
        QWindow* window = frame.windowHandle();
        if (++*polls < 10 || !window || !window->isExposed()) return;
        const QRect room = frame.screen()->availableGeometry();
        // Without a window manager nothing maximizes: filled as one would.
        if (request.maximized && ++*steps == 1 && frame.frameGeometry() != room) {
            frame.setGeometry(room.marginsRemoved(QMargins(frame.geometry().left() - frame.frameGeometry().left(),
                                                           frame.geometry().top() - frame.frameGeometry().top(),
                                                           frame.frameGeometry().right() - frame.geometry().right(),
                                                           frame.frameGeometry().bottom() - frame.geometry().bottom())));
            return;
        }
        poll->stop();
        std::fputs(GeometryReport(frame).c_str(), out);
        std::fflush(out);
        QTimer::singleShot(120000, &frame, &QWidget::close);
    });
    poll->start(100);
}

}  // namespace varnesk
