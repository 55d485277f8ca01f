// The end-to-end driver clicks at the positions in tools/xwin/Layout.h; the window built here
// must have each of its controls exactly there, so that a click never lands on a control that
// moved.
#include "Layout.h"
#include "Cp1251.h"
#include "FormFixture.h"
#include "LogView.h"
#include "StatusPanels.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>
#include <map>

namespace {
QRect InWindow(const QWidget* Form, const QWidget* W) {
    return QRect(W->mapTo(Form, QPoint(0, 0)), W->size());
}
} // namespace

TEST(FormLayout, EveryControlStandsWhereTheEndToEndDriverClicks) {
    TFormFixture f;
    TBaseform& w = *f.Form;
    ASSERT_EQ(w.size(), QSize(layout::WindowWidth, layout::WindowHeight));
    std::map<std::string, QWidget*> controls = {
        {"MemMess", w.MemMess},
        {"RButDirect", w.RButDirect},
        {"RButPack", w.RButPack},
        {"BtSet", w.BtSet},
        {"ScrChBx", w.ScrChBx},
        {"ChBxTreat", w.ChBxTreat},
        {"EdPort", w.EdPort},
        {"ChBxActiv", w.ChBxActiv},
        {"edtHost", w.edtHost},
        {"edtPort", w.edtPort},
        {"ComboPortNum", w.ComboPortNum},
        {"ComboBaudrate", w.ComboBaudrate},
        {"BtnOpen", w.BtnOpen},
        {"BtnClose", w.BtnClose},
        {"ChBxDTR", w.ChBxDTR},
        {"ChBxRTS", w.ChBxRTS},
        {"EdCmdLn", w.EdCmdLn},
        {"BtTransmit", w.BtTransmit},
        {"BtnETX", w.BtnETX},
        {"ButtonReset", w.ButtonReset},
    };
    for (QPushButton* b : w.Presets)
        controls[b->objectName().toStdString()] = b;
    // Every control the window has is in the driver's table, and no name there is unknown.
    EXPECT_EQ(std::size(layout::Controls), controls.size());
    for (const layout::TControl& c : layout::Controls) {
        const auto it = controls.find(c.Name);
        ASSERT_NE(it, controls.end()) << c.Name << " is not a control of the window";
        const QRect got = InWindow(&w, it->second);
        EXPECT_EQ(got, QRect(c.Rect.X, c.Rect.Y, c.Rect.W, c.Rect.H))
            << c.Name << " stands at " << got.x() << "," << got.y() << " size " << got.width()
            << "x" << got.height();
    }
    // The status bar, whose panels are read by their pixels, starts where panel 0 is looked for.
    const TRect first = layout::StatusPanel(0);
    EXPECT_EQ(InWindow(&w, w.StatusBar).topLeft() + QPoint(2, 4), QPoint(first.X, first.Y));
    EXPECT_EQ(w.StatusBar->height(), first.H + 7);
}

namespace {
struct TPaintCounter : QObject {
    int Paints = 0;
    bool eventFilter(QObject*, QEvent* E) override {
        Paints += E->type() == QEvent::Paint;
        return false;
    }
};
} // namespace

// A blinking caret repaints a little of its line box twice a second: that must not repaint
// the group box and the window beneath the box as well.
TEST(FormLayout, ACaretRepaintPaintsTheLineBoxAlone) {
    TFormFixture f;
    TBaseform& w = *f.Form;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    for (QLineEdit* e : {w.EdCmdLn, w.EdPort, w.edtHost, w.edtPort}) {
        SCOPED_TRACE(e->objectName().toStdString() + " in " +
                     e->parentWidget()->metaObject()->className());
        TPaintCounter below, box;
        e->parentWidget()->installEventFilter(&below);
        w.installEventFilter(&below);
        e->installEventFilter(&box);
        e->repaint(QRect(4, 4, 2, e->height() - 8));
        e->parentWidget()->removeEventFilter(&below);
        w.removeEventFilter(&below);
        e->removeEventFilter(&box);
        EXPECT_EQ(box.Paints, 1);
        EXPECT_EQ(below.Paints, 0);
    }
}

TEST(FormLog, EachRowLooksAsTheFontDrawsItsCharacters) {
    TFormFixture f;
    TBaseform& w = *f.Form;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    // A row of glyphs the font has (Latin, Cyrillic), and one with a byte it has none for.
    const std::vector<std::string> rows = {"Ab1 xyz [\xC0\xE1\xE2\xFF] WAVE", "q\x01q\xB9 Te"};
    w.LogAppend(rows[0] + "\r\n" + rows[1]);
    QWidget* view = w.MemMess->viewport();
    view->repaint();
    const QImage shot = view->grab().toImage();
    QImage want(shot.size(), shot.format());
    want.fill(w.MemMess->palette().color(QPalette::Base));
    QPainter p(&want);
    p.setFont(w.MemMess->font());
    p.setPen(w.MemMess->palette().color(QPalette::Text));
    const QFontMetrics fm(w.MemMess->font());
    // Bottom-aligned inside a 2-pixel margin: a row the font has glyphs for is laid out
    // character by character (no kerning); any other row as the text it is.
    int y = view->height() - 2 - 2 * fm.height() + fm.ascent();
    qreal x = 2;
    for (QChar c : Cp1251ToQString(rows[0])) {
        p.drawText(QPointF(x, y), QString(c));
        x += QFontMetricsF(w.MemMess->font()).horizontalAdvance(c);
    }
    p.drawText(QPointF(2, y + fm.height()), Cp1251ToQString(rows[1]));
    p.end();
    EXPECT_EQ(shot, want);
}

TEST(FormLog, AFollowingViewRedrawsItsBarAFewTimesASecondAndExactlyWhenReached) {
    TFormFixture f;
    TBaseform& w = *f.Form;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QScrollBar* bar = w.MemMess->verticalScrollBar();
    TPaintCounter barPaints;
    bar->installEventFilter(&barPaints);
    QElapsedTimer clock;
    clock.start();
    int lines = 0;
    for (; clock.elapsed() < 1000; ++lines) { // a line about every frame
        w.LogAddLine("line " + std::to_string(lines));
        PumpFor(16);
    }
    bar->removeEventFilter(&barPaints);
    EXPECT_GE(barPaints.Paints, 1);
    EXPECT_LE(barPaints.Paints, 8) << lines << " lines";
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(bar, &enter);
    EXPECT_EQ(bar->maximum(), lines);
    EXPECT_EQ(bar->value(), lines);
}
