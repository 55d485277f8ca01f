#include "LogView.h"

#include "Cp1251.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>

namespace {
constexpr int Margin = 2;
}

TLogView::TLogView(TConsoleLog& Log, QWidget* Parent) : QAbstractScrollArea(Parent), m_log(Log) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setCursor(Qt::IBeamCursor);
    // The paint fills every pixel itself: the toolkit need not fill the background first.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    verticalScrollBar()->setSingleStep(1);
    // The operator reaching for the bar finds it exact.
    verticalScrollBar()->installEventFilter(this);
    m_barTimer.setSingleShot(true);
    connect(&m_barTimer, &QTimer::timeout, this, [this] { SyncBar(true); });
    UpdateMetrics();
    Sync(true);
}

void TLogView::LogChanged() {
    if (m_syncPending)
        return;
    m_syncPending = true;
    // Changes are gathered for one frame: however fast the device talks, the view is drawn at
    // most about 60 times a second, and what it draws is always the log's whole current text.
    QTimer::singleShot(FrameMs, Qt::PreciseTimer, this, [this] { Sync(); });
}

void TLogView::Sync(bool Exact) {
    m_syncPending = false;
    if (m_generation != m_log.Generation()) {
        m_generation = m_log.Generation();
        m_anchor = m_caret = 0;
        m_followEnd = true;
    }
    m_anchor = std::min(m_anchor, m_log.Size());
    m_caret = std::min(m_caret, m_log.Size());
    SyncBar(Exact);
    viewport()->update();
}

void TLogView::SyncBar(bool Exact) {
    QScrollBar* bar = verticalScrollBar();
    const int max = static_cast<int>(m_log.RowCount() - 1);
    const int page = std::max(1, viewport()->height() / m_lineHeight);
    const bool follow = m_followEnd;
    if (bar->maximum() == max && bar->pageStep() == page && (!follow || bar->value() == max))
        return; // every change of the bar redraws it, even one to the same values
    // Painting follows the end by itself; the bar may lag a little behind it.
    if (!Exact && follow && m_barClock.isValid() && m_barClock.elapsed() < BarMs) {
        if (!m_barTimer.isActive())
            m_barTimer.start(static_cast<int>(BarMs - m_barClock.elapsed()));
        return;
    }
    m_barTimer.stop();
    m_barClock.start();
    const QSignalBlocker block(bar);
    if (bar->maximum() != max)
        bar->setRange(0, max);
    if (bar->pageStep() != page)
        bar->setPageStep(page);
    if (follow)
        bar->setValue(max);
}

bool TLogView::eventFilter(QObject* O, QEvent* E) {
    if (O == verticalScrollBar() &&
        (E->type() == QEvent::Enter || E->type() == QEvent::MouseButtonPress ||
         E->type() == QEvent::Wheel))
        SyncBar(true);
    return QAbstractScrollArea::eventFilter(O, E);
}

void TLogView::wheelEvent(QWheelEvent* E) {
    SyncBar(true);
    QAbstractScrollArea::wheelEvent(E);
}

void TLogView::UpdateMetrics() {
    QFontMetricsF fm(font());
    for (int b = 0; b < 256; ++b)
        m_advance[b] = fm.horizontalAdvance(Cp1251ToChar(static_cast<unsigned char>(b)));
    const QFontMetrics rows(font());
    m_lineHeight = std::max(1, rows.height());
    m_ascent = rows.ascent();
    m_rawFont = QRawFont::fromFont(font());
    m_glyph.fill(0);
    if (m_rawFont.isValid())
        for (int b = 0x20; b < 256; ++b) {
            const QList<quint32> g = m_rawFont.glyphIndexesForString(
                QString(Cp1251ToChar(static_cast<unsigned char>(b))));
            if (g.size() == 1)
                m_glyph[b] = g[0];
        }
}

void TLogView::DrawBytes(QPainter& P, qreal X, int Baseline, size_t Begin, size_t End) {
    const std::string_view text = m_log.Text();
    m_runGlyphs.resize(static_cast<qsizetype>(End - Begin));
    m_runPositions.resize(static_cast<qsizetype>(End - Begin));
    qreal x = 0;
    for (size_t i = Begin; i < End; ++i) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        const quint32 g = m_glyph[b];
        if (g == 0) {
            P.drawText(QPointF(X, Baseline), Cp1251ToQString(text.data() + Begin, End - Begin));
            return;
        }
        m_runGlyphs[static_cast<qsizetype>(i - Begin)] = g;
        m_runPositions[static_cast<qsizetype>(i - Begin)] = QPointF(x, 0);
        x += m_advance[b];
    }
    if (End == Begin)
        return;
    QGlyphRun run;
    run.setRawFont(m_rawFont);
    run.setGlyphIndexes(m_runGlyphs);
    run.setPositions(m_runPositions);
    P.drawGlyphRun(QPointF(X, Baseline), run);
}

void TLogView::changeEvent(QEvent* E) {
    if (E->type() == QEvent::FontChange) {
        UpdateMetrics();
        viewport()->update();
    }
    QAbstractScrollArea::changeEvent(E);
}

int TLogView::TextWidth() const {
    return std::max(8, viewport()->width() - 2 * Margin);
}

void TLogView::WrapRow(size_t Row, std::vector<std::pair<size_t, size_t>>& Out) const {
    const std::string_view text = m_log.Text();
    const size_t begin = m_log.RowStart(Row), end = m_log.RowEnd(Row);
    const int width = TextWidth();
    size_t start = begin;
    if (begin == end) {
        Out.emplace_back(begin, end);
        return;
    }
    while (start < end) {
        qreal x = 0;
        size_t i = start, lastBlank = std::string::npos;
        while (i < end) {
            const qreal w = m_advance[static_cast<unsigned char>(text[i])];
            if (x + w > width && i > start)
                break;
            if (text[i] == ' ')
                lastBlank = i;
            x += w;
            ++i;
        }
        size_t cut = i;
        if (i < end && lastBlank != std::string::npos && lastBlank > start)
            cut = lastBlank + 1; // break after the blank, as a word-wrapping text box does
        Out.emplace_back(start, cut);
        start = cut;
    }
}

void TLogView::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    p.setFont(font());
    const QPalette& pal = palette();
    // In bands: a taller fill is split over worker threads, whose wake-ups cost more than it.
    const QRect area = viewport()->rect();
    for (int y = area.top(); y <= area.bottom(); y += 64)
        p.fillRect(QRect(area.left(), y, area.width(), std::min(64, area.bottom() - y + 1)),
                   pal.color(QPalette::Base));
    m_visible.clear();
    m_visibleGeneration = m_log.Generation();
    const std::string_view text = m_log.Text();
    const int height = viewport()->height();
    std::vector<std::pair<size_t, size_t>> pieces;

    const size_t rows = m_log.RowCount();
    QScrollBar* bar = verticalScrollBar();
    if (m_followEnd || bar->value() >= bar->maximum()) {
        // Bottom-aligned: the log's end is in view.
        int y = height - Margin;
        for (size_t r = rows; r-- > 0 && y > 0;) {
            pieces.clear();
            WrapRow(r, pieces);
            for (size_t k = pieces.size(); k-- > 0 && y > 0;) {
                y -= m_lineHeight;
                m_visible.push_back({y, pieces[k].first, pieces[k].second});
            }
        }
        std::reverse(m_visible.begin(), m_visible.end());
    } else {
        int y = Margin;
        for (size_t r = static_cast<size_t>(bar->value()); r < rows && y < height; ++r) {
            pieces.clear();
            WrapRow(r, pieces);
            for (auto& piece : pieces) {
                if (y >= height)
                    break;
                m_visible.push_back({y, piece.first, piece.second});
                y += m_lineHeight;
            }
        }
    }

    const size_t selB = SelectionStart(), selE = SelectionEnd();
    const QColor selBack = pal.color(QPalette::Highlight),
                 selText = pal.color(QPalette::HighlightedText);
    const QColor normal = pal.color(QPalette::Text);
    for (const auto& row : m_visible) {
        const int baseline = row.y + m_ascent;
        p.setPen(normal);
        DrawBytes(p, Margin, baseline, row.begin, row.end);
        if (selE > selB && selB < row.end && selE > row.begin) {
            // Selected part drawn over a highlight.
            qreal x = Margin;
            size_t from = std::max(selB, row.begin), to = std::min(selE, row.end);
            for (size_t i = row.begin; i < from; ++i)
                x += m_advance[static_cast<unsigned char>(text[i])];
            qreal w = 0;
            for (size_t i = from; i < to; ++i)
                w += m_advance[static_cast<unsigned char>(text[i])];
            p.fillRect(QRectF(x, row.y, w, m_lineHeight), selBack);
            p.setPen(selText);
            DrawBytes(p, x, baseline, from, to);
        }
    }
}

void TLogView::resizeEvent(QResizeEvent* E) {
    QAbstractScrollArea::resizeEvent(E);
    Sync(true);
}

void TLogView::scrollContentsBy(int, int) {
    QScrollBar* bar = verticalScrollBar();
    m_followEnd = bar->value() >= bar->maximum();
    viewport()->update();
}

size_t TLogView::OffsetAt(const QPoint& P) const {
    // The rows on screen are those of the last paint; after the log was emptied or replaced
    // they name text that is gone until the next paint.
    if (m_visible.empty() || m_visibleGeneration != m_log.Generation())
        return m_log.Size();
    const TVisualRow* row = &m_visible.front();
    if (P.y() < row->y)
        return row->begin;
    for (const auto& r : m_visible)
        if (P.y() >= r.y)
            row = &r;
    const std::string_view text = m_log.Text();
    qreal x = Margin;
    for (size_t i = row->begin; i < row->end; ++i) {
        const qreal w = m_advance[static_cast<unsigned char>(text[i])];
        if (P.x() < x + w / 2)
            return i;
        x += w;
    }
    return row->end;
}

void TLogView::mousePressEvent(QMouseEvent* E) {
    if (E->button() != Qt::LeftButton)
        return;
    SyncBar(true); // a drag past the edge scrolls from where the view is
    setFocus(Qt::MouseFocusReason);
    m_caret = OffsetAt(E->pos());
    if (!(E->modifiers() & Qt::ShiftModifier))
        m_anchor = m_caret;
    m_selecting = true;
    viewport()->update();
}

void TLogView::mouseMoveEvent(QMouseEvent* E) {
    if (!m_selecting)
        return;
    QScrollBar* bar = verticalScrollBar();
    if (E->pos().y() < 0)
        bar->setValue(bar->value() - 1);
    else if (E->pos().y() > viewport()->height())
        bar->setValue(bar->value() + 1);
    m_caret = OffsetAt(E->pos());
    viewport()->update();
}

void TLogView::mouseReleaseEvent(QMouseEvent*) {
    m_selecting = false;
    if (SelectionEnd() > SelectionStart())
        if (QClipboard* cb = QApplication::clipboard(); cb && cb->supportsSelection())
            cb->setText(SelectedText(), QClipboard::Selection);
}

void TLogView::mouseDoubleClickEvent(QMouseEvent* E) {
    if (E->button() != Qt::LeftButton)
        return;
    // Selects the word under the pointer: the bytes between blanks and line breaks.
    const std::string_view text = m_log.Text();
    const size_t at = OffsetAt(E->pos());
    auto isBreak = [&](size_t i) { return text[i] == ' ' || text[i] == '\r' || text[i] == '\n'; };
    size_t b = at, e = at;
    while (b > 0 && !isBreak(b - 1))
        --b;
    while (e < text.size() && !isBreak(e))
        ++e;
    m_anchor = b;
    m_caret = e;
    m_selecting = false;
    viewport()->update();
}

void TLogView::keyPressEvent(QKeyEvent* E) {
    SyncBar(true);
    QScrollBar* bar = verticalScrollBar();
    if (E->matches(QKeySequence::Copy)) {
        CopySelection();
    } else if (E->matches(QKeySequence::SelectAll)) {
        SelectAll();
    } else if (E->key() == Qt::Key_PageUp) {
        bar->setValue(bar->value() - bar->pageStep());
    } else if (E->key() == Qt::Key_PageDown) {
        bar->setValue(bar->value() + bar->pageStep());
    } else if (E->key() == Qt::Key_Up) {
        bar->setValue(bar->value() - 1);
    } else if (E->key() == Qt::Key_Down) {
        bar->setValue(bar->value() + 1);
    } else if (E->key() == Qt::Key_Home && (E->modifiers() & Qt::ControlModifier)) {
        bar->setValue(0);
    } else if (E->key() == Qt::Key_End && (E->modifiers() & Qt::ControlModifier)) {
        bar->setValue(bar->maximum());
    } else {
        QAbstractScrollArea::keyPressEvent(E);
    }
}

void TLogView::contextMenuEvent(QContextMenuEvent* E) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("Copy"), this, &TLogView::CopySelection);
    copy->setEnabled(SelectionEnd() > SelectionStart());
    menu.addAction(tr("Select All"), this, &TLogView::SelectAll);
    if (!m_menuActions.isEmpty()) {
        menu.addSeparator();
        menu.addActions(m_menuActions);
    }
    menu.exec(E->globalPos());
}

void TLogView::SelectAndShow(size_t Begin, size_t End) {
    Sync(true); // the view's rows and range as the log is now
    End = std::min(End, m_log.Size());
    Begin = std::min(Begin, End);
    m_anchor = Begin;
    m_caret = End;
    m_selecting = false;
    if (End > Begin)
        if (QClipboard* cb = QApplication::clipboard(); cb && cb->supportsSelection())
            cb->setText(SelectedText(), QClipboard::Selection);
    // The match's row a third of the way down, so what leads up to it shows too. The view
    // stays there while text keeps arriving, as it does when the operator scrolls up.
    QScrollBar* bar = verticalScrollBar();
    const int page = bar->pageStep();
    const int row = static_cast<int>(m_log.RowOf(Begin));
    bar->setValue(std::max(0, row - page / 3));
    m_followEnd = bar->value() >= bar->maximum();
    viewport()->update();
}

size_t TLogView::TopRow() const {
    return static_cast<size_t>(verticalScrollBar()->value());
}

void TLogView::SelectAll() {
    m_anchor = 0;
    m_caret = m_log.Size();
    viewport()->update();
}

QString TLogView::SelectedText() const {
    const size_t b = SelectionStart(), e = std::min(SelectionEnd(), m_log.Size());
    if (e <= b)
        return {};
    QString s = Cp1251ToQString(m_log.Text().data() + b, e - b);
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return s;
}

void TLogView::CopySelection() {
    if (SelectionEnd() <= SelectionStart())
        return;
    if (QClipboard* cb = QApplication::clipboard())
        cb->setText(SelectedText());
}
