#include "StatusPanels.h"

#include <QPainter>
#include <QStyleOption>

TStatusBar::TStatusBar(std::vector<TPanel> Panels, QWidget* Parent)
    : QWidget(Parent), m_panels(std::move(Panels)) {}

void TStatusBar::SetPanelText(int Index, const QString& Text) {
    TPanel& panel = m_panels.at(Index);
    if (panel.Text == Text)
        return;
    panel.Text = Text;
    update();
}

void TStatusBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette& pal = palette();
    int x = 0;
    for (size_t i = 0; i < m_panels.size(); ++i) {
        const TPanel& panel = m_panels[i];
        // The last panel takes what is left, as in a status bar of the desktop.
        const int w = (i + 1 == m_panels.size()) ? std::max(panel.Width, width() - x) : panel.Width;
        QRect r(x, 2, w - 2, height() - 3);
        p.setPen(pal.color(QPalette::Dark));
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(pal.color(QPalette::Light));
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
        p.setPen(pal.color(QPalette::WindowText));
        p.drawText(r.adjusted(3, 1, -3, -1), panel.Alignment | Qt::AlignVCenter, panel.Text);
        x += w;
    }
}
