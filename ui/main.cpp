#include "ui/app.h"

int main(int argc, char** argv) {
    varnesk::CVarneskApp app(argc, argv);
    if (!app.InitInstance()) return 1;
    return app.exec();
}
