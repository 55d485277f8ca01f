#include "Look.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPixmap>
#include <QStyleFactory>

namespace {
// The first of the families that this machine has; the design's Windows faces come first.
QString PickFamily(std::initializer_list<QString> Families) {
    for (const QString& f : Families)
        if (QFontDatabase::hasFamily(f))
            return f;
    return QString();
}

} // namespace

QFont Font(std::initializer_list<QString> Families, int PixelSize, bool Bold) {
    QFont f;
    f.setFamily(PickFamily(Families));
    f.setPixelSize(PixelSize);
    f.setBold(Bold);
    f.setKerning(false);
    f.setStyleHint(QFont::SansSerif);
    return f;
}

QIcon MakeIcon() {
    QPixmap pm(32, 32);
    pm.fill(QColor(0, 96, 160));
    QPainter p(&pm);
    p.setPen(Qt::white);
    p.setFont(Font({"DejaVu Sans", "Liberation Sans"}, 24, true));
    p.drawText(pm.rect(), Qt::AlignCenter, "T");
    return QIcon(pm);
}

void ApplyConsoleStyle() {
    // The classic desktop look: group box captions sit on the frame, as the layout expects.
    if (QStyle* style = QStyleFactory::create("Windows"))
        QApplication::setStyle(style);
}
