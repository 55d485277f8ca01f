#include "EventPump.h"

QCoreApplication& TestApp() {
    if (auto* app = QCoreApplication::instance())
        return *app;
    static int argc = 1;
    static char arg0[] = "tevro_tests";
    static char* argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}
