// Where the window and its panels lie on the screen, for the screen checks
// (tests/scripts/form_screens.sh). Not for users: set in the environment,
//   VARNESK_GEOMETRY_REPORT=opened|maximized[,dark]
// makes the program print the report once its window is shown and laid out
// ("maximized": after it filled the screen's free area; "dark": under a
// dark palette), then run on until it is ended, two minutes at most.
#pragma once
#include <QString>
#include <cstdio>
#include <string>

class QApplication;

namespace varnesk {

class CMainFrame;

struct GeometryReportRequest {
    bool wanted = false;
    bool maximized = false;
    bool dark = false;
};
GeometryReportRequest ParseGeometryReportRequest(const QString& value);

// A dark palette under the Fusion style, as a dark desktop theme gives one.
void UseDarkPalette(QApplication& app);

// One line for the screen, one for the window, one per main panel, then
// "end": positions and sizes in the screen's logical pixels, each with the
// smallest size it can be given without cutting its content.
//   screen WxH available X,Y WxH ratio R
//   window X,Y WxH minimum WxH
//   panel NAME X,Y WxH minimum WxH [hidden]
std::string GeometryReport(const CMainFrame& frame);

// Once the frame is exposed (and made to fill the screen's free area when
// asked), writes the report to out.
void StartGeometryReport(CMainFrame& frame, const GeometryReportRequest& request, std::FILE* out);

}  // namespace varnesk
