#include "StatusPanels.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHelpEvent>
#include <QPainter>
#include <QPointer>
#include <QStyleOption>
#include <QToolTip>

namespace {
// One painted panel as an accessible object of its own.
class TPanelAccessible : public QAccessibleInterface {
public:
    TPanelAccessible(TStatusBar* Bar, int Index) : m_bar(Bar), m_index(Index) {}
    bool isValid() const override { return !m_bar.isNull(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_bar ? m_bar->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return m_bar ? QAccessible::queryAccessibleInterface(m_bar.data()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text T) const override {
        if (!m_bar)
            return {};
        if (T == QAccessible::Name)
            return m_bar->PanelText(m_index);
        if (T == QAccessible::Description)
            return m_bar->PanelToolTip(m_index);
        return {};
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!m_bar)
            return {};
        const QRect r = m_bar->PanelRect(m_index);
        return QRect(m_bar->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return QAccessible::StaticText; }
    QAccessible::State state() const override {
        QAccessible::State s;
        s.readOnly = true;
        return s;
    }

private:
    QPointer<TStatusBar> m_bar;
    int m_index;
};

// The bar, a status bar whose children are its panels.
class TStatusBarAccessible : public QAccessibleWidget {
public:
    explicit TStatusBarAccessible(TStatusBar* Bar)
        : QAccessibleWidget(Bar, QAccessible::StatusBar) {
        for (int i = 0; i < Bar->PanelCount(); ++i)
            m_ids.push_back(QAccessible::registerAccessibleInterface(new TPanelAccessible(Bar, i)));
    }
    ~TStatusBarAccessible() override {
        for (QAccessible::Id id : m_ids)
            QAccessible::deleteAccessibleInterface(id);
    }
    int childCount() const override { return static_cast<int>(m_ids.size()); }
    QAccessibleInterface* child(int Index) const override {
        return Index >= 0 && Index < childCount()
                   ? QAccessible::accessibleInterface(m_ids[static_cast<size_t>(Index)])
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* Child) const override {
        for (int i = 0; i < childCount(); ++i)
            if (child(i) == Child)
                return i;
        return -1;
    }
    QAccessibleInterface* childAt(int X, int Y) const override {
        auto* bar = static_cast<TStatusBar*>(widget());
        return child(bar->PanelAt(bar->mapFromGlobal(QPoint(X, Y))));
    }

private:
    std::vector<QAccessible::Id> m_ids;
};

QAccessibleInterface* StatusBarFactory(const QString& ClassName, QObject* Object) {
    if (ClassName == QLatin1String("TStatusBar") && Object && Object->isWidgetType())
        return new TStatusBarAccessible(static_cast<TStatusBar*>(Object));
    return nullptr;
}
} // namespace

TStatusBar::TStatusBar(std::vector<TPanel> Panels, QWidget* Parent)
    : QWidget(Parent), m_panels(std::move(Panels)) {
    static const bool installed = [] {
        QAccessible::installFactory(StatusBarFactory);
        return true;
    }();
    (void)installed;
}

void TStatusBar::SetPanelText(int Index, const QString& Text) {
    TPanel& panel = m_panels.at(Index);
    if (panel.Text == Text)
        return;
    panel.Text = Text;
    update();
    if (QAccessible::isActive())
        if (QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(this))
            if (QAccessibleInterface* child = bar->child(Index)) {
                QAccessibleEvent e(child, QAccessible::NameChanged);
                QAccessible::updateAccessibility(&e);
            }
}

void TStatusBar::SetPanelToolTip(int Index, const QString& Text) {
    m_panels.at(Index).ToolTip = Text;
}

QRect TStatusBar::PanelRect(int Index) const {
    int x = 0;
    for (int i = 0; i < Index; ++i)
        x += m_panels[static_cast<size_t>(i)].Width;
    const bool last = Index + 1 == PanelCount();
    const int w = last ? std::max(m_panels.at(Index).Width, width() - x) : m_panels.at(Index).Width;
    return QRect(x, 0, w, height());
}

int TStatusBar::PanelAt(const QPoint& P) const {
    for (int i = 0; i < PanelCount(); ++i)
        if (PanelRect(i).contains(P))
            return i;
    return -1;
}

bool TStatusBar::event(QEvent* E) {
    if (E->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(E);
        const int i = PanelAt(help->pos());
        if (i >= 0 && !m_panels[static_cast<size_t>(i)].ToolTip.isEmpty())
            QToolTip::showText(help->globalPos(), m_panels[static_cast<size_t>(i)].ToolTip, this,
                               PanelRect(i));
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(E);
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
