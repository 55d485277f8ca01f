// A status bar of fixed-width panels, each with its own text and alignment. The panels are
// painted, so they are told to assistive technologies one by one: each panel is an accessible
// child whose name is its text and whose description is its tooltip.
#pragma once

#include <QString>
#include <QWidget>
#include <vector>

class TStatusBar : public QWidget {
    Q_OBJECT
public:
    struct TPanel {
        int Width;
        Qt::Alignment Alignment;
        QString Text;
        QString ToolTip = {};
    };
    explicit TStatusBar(std::vector<TPanel> Panels, QWidget* Parent = nullptr);
    int PanelCount() const { return static_cast<int>(m_panels.size()); }
    QString PanelText(int Index) const { return m_panels.at(Index).Text; }
    void SetPanelText(int Index, const QString& Text);
    QString PanelToolTip(int Index) const { return m_panels.at(Index).ToolTip; }
    void SetPanelToolTip(int Index, const QString& Text);
    // The panel's rectangle in the bar, and the panel at a point of it (-1 for none).
    QRect PanelRect(int Index) const;
    int PanelAt(const QPoint& P) const;

protected:
    void paintEvent(QPaintEvent*) override;
    bool event(QEvent* E) override;

private:
    std::vector<TPanel> m_panels;
};
