#include "Baseform.h"

TBaseform::TBaseform(QWidget* Parent) : QWidget(Parent) {
    setWindowTitle(QString::fromUtf8("  TEVRO SERVICE PROGRAM "));
    resize(644, 494);
}
