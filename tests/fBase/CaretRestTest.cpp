// The caret rests without input in the window; a minimised window hides the port's lines.
#include "CaretRest.h"
#include "FormFixture.h"
#include "LogView.h"

#include <QApplication>
#include <QLineEdit>
#include <QStyleHints>
#include <QTest>
#include <gtest/gtest.h>

namespace {
struct TBlinks : QObject { // timer events for the command line or what it owns: its blink
    explicit TBlinks(QObject* Edit) : Edit(Edit) { qApp->installEventFilter(this); }
    bool eventFilter(QObject* W, QEvent* E) override {
        Count += E->type() == QEvent::Timer && (W == Edit || W->parent() == Edit);
        return false;
    }
    QObject* Edit;
    int Count = 0;
};
} // namespace

TEST(CaretRest, BlinkingStopsWithoutInputInTheWindowAndComesBackWithIt) {
    TFormFixture f;
    f.Form->show();
    QApplication::setActiveWindow(f.Form.get());
    ASSERT_TRUE(PumpUntil([&] { return f.Form->isActiveWindow(); }));
    f.Form->EdCmdLn->setFocus();
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    TBlinks blinks(f.Form->EdCmdLn);
    TCaretRest& rest = f.Form->CaretRest();
    rest.SetAfter(std::chrono::milliseconds(flash + 200));
    PumpFor(flash);
    EXPECT_GT(blinks.Count, 0);
    ASSERT_TRUE(PumpUntil([&] { return rest.Resting(); }));
    blinks.Count = 0;
    PumpFor(flash + 100);
    EXPECT_EQ(blinks.Count, 0);
    QLineEdit other; // input elsewhere does not wake it; a key or a click in the window does
    other.show();
    QTest::keyClick(&other, Qt::Key_A);
    EXPECT_TRUE(rest.Resting());
    for (QWidget* w : {static_cast<QWidget*>(f.Form->EdCmdLn), f.Form->MemMess->viewport()}) {
        ASSERT_TRUE(PumpUntil([&] { return rest.Resting(); }));
        w == static_cast<QWidget*>(f.Form->EdCmdLn) ? QTest::keyClick(w, Qt::Key_A)
                                                    : QTest::mouseClick(w, Qt::LeftButton);
        EXPECT_FALSE(rest.Resting());
        EXPECT_EQ(QGuiApplication::styleHints()->cursorFlashTime(), flash);
    }
    f.Form->showMinimized();
    EXPECT_TRUE(PumpUntil([&] { return !f.Form->VaComm->ModemLinesSeen(); }));
    f.Form->showNormal();
    EXPECT_TRUE(PumpUntil([&] { return f.Form->VaComm->ModemLinesSeen(); }));
}
