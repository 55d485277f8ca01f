#include "Baseform.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TBaseform form;
    form.show();
    return app.exec();
}
