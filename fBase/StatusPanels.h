// A status bar of fixed-width panels, each with its own text and alignment.
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
    };
    explicit TStatusBar(std::vector<TPanel> Panels, QWidget* Parent = nullptr);
    int PanelCount() const { return static_cast<int>(m_panels.size()); }
    QString PanelText(int Index) const { return m_panels.at(Index).Text; }
    void SetPanelText(int Index, const QString& Text);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    std::vector<TPanel> m_panels;
};
