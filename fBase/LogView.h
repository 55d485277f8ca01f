// The read-only view of the console log: draws only the rows on screen, so its cost does not
// grow with the log; follows the end while scrolled to the bottom.
#pragma once

#include "ConsoleLog.h"

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QList>
#include <QRawFont>
#include <QTimer>
#include <array>
#include <vector>

class TLogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TLogView(TConsoleLog& Log, QWidget* Parent = nullptr);
    static constexpr int FrameMs = 16;

    // Tells the view that the log has changed; the view catches up once per event-loop turn.
    void LogChanged();
    // The selection as byte offsets into the log's text.
    size_t SelectionStart() const { return std::min(m_anchor, m_caret); }
    size_t SelectionEnd() const { return std::max(m_anchor, m_caret); }
    void SelectAll();
    void CopySelection();
    QString SelectedText() const;
    bool FollowsEnd() const { return m_followEnd; }
    // Selects the bytes [Begin, End) (the X selection gets them too) and scrolls them into view.
    void SelectAndShow(size_t Begin, size_t End);
    // Actions the context menu offers after its own (Copy and Select All).
    void AddMenuActions(const QList<QAction*>& Actions) { m_menuActions += Actions; }
    // The log row on top of the view; the view follows the end when it shows the last one.
    size_t TopRow() const;

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void mouseDoubleClickEvent(QMouseEvent*) override;
    void keyPressEvent(QKeyEvent*) override;
    void contextMenuEvent(QContextMenuEvent*) override;
    void scrollContentsBy(int, int) override;
    void changeEvent(QEvent*) override;
    void wheelEvent(QWheelEvent*) override;
    bool eventFilter(QObject*, QEvent*) override;

private:
    struct TVisualRow {
        int y;
        size_t begin, end;
    };
    // Catches up with the log. While the view follows a growing log, its scroll bar is brought
    // up to date at most every BarMs unless Exact: its slider hardly moves, and redrawing it
    // every frame cost as much as the text.
    void Sync(bool Exact = false);
    void SyncBar(bool Exact);
    // Draws the bytes [Begin, End) of the log from X on the baseline.
    void DrawBytes(QPainter& P, qreal X, int Baseline, size_t Begin, size_t End);
    void UpdateMetrics();
    // Splits one log row into visual rows that fit the width, at blanks where it can.
    void WrapRow(size_t Row, std::vector<std::pair<size_t, size_t>>& Out) const;
    size_t OffsetAt(const QPoint& P) const;
    int TextWidth() const;

    TConsoleLog& m_log;
    bool m_syncPending = false;
    bool m_followEnd = true;
    uint64_t m_generation = 0;
    // Each byte's advance, unrounded: the rows wrap, draw, highlight and take clicks alike.
    std::array<qreal, 256> m_advance{};
    // Each byte's glyph in the font, 0 where the font lacks it: a row whose bytes all have one
    // is drawn from them without shaping; any other row as text, with the font's fallbacks.
    QRawFont m_rawFont;
    std::array<quint32, 256> m_glyph{};
    QList<quint32> m_runGlyphs;
    QList<QPointF> m_runPositions;
    static constexpr int BarMs = 250;
    QElapsedTimer m_barClock;
    QTimer m_barTimer;
    int m_lineHeight = 13;
    int m_ascent = 10;
    std::vector<TVisualRow> m_visible;
    uint64_t m_visibleGeneration = 0;
    size_t m_anchor = 0, m_caret = 0;
    bool m_selecting = false;
    QList<QAction*> m_menuActions;
};
