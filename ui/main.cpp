#include "ui/app.h"

int main(int argc, char** argv) {
    // Before the application object, which needs a display.
    const int info = varnesk::AnswerInfoOptions(argc, argv, stdout);
    if (info >= 0) return info;
    varnesk::CVarneskApp app(argc, argv);
    if (!app.InitInstance()) return 1;
    return app.exec();
}
