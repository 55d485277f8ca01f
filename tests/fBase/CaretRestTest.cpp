// The command line's caret stops blinking after a spell without input and blinks again at the
// next; a minimised window tells the port that nobody sees its lines.
#include "CaretRest.h"
#include "FormFixture.h"
#include "LogView.h"

#include <QApplication>
#include <QLineEdit>
#include <QStyleHints>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// Timer events delivered to the command line or to the objects it owns (its blink timer).
struct TBlinkCount : QObject {
    explicit TBlinkCount(QObject* Edit) : m_edit(Edit) { qApp->installEventFilter(this); }
    bool eventFilter(QObject* Watched, QEvent* E) override {
        if (E->type() == QEvent::Timer && (Watched == m_edit || Watched->parent() == m_edit))
            ++Count;
        return false;
    }
    int Count = 0;
    QObject* m_edit;
};

} // namespace

TEST(CaretRest, BlinkingStopsWithoutInputAndComesBackWithIt) {
    TFormFixture f;
    f.Form->show();
    QApplication::setActiveWindow(f.Form.get());
    ASSERT_TRUE(PumpUntil([&] { return f.Form->isActiveWindow(); }));
    f.Form->EdCmdLn->setFocus();
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    ASSERT_GT(flash, 0);
    TBlinkCount blinks(f.Form->EdCmdLn);
    f.Form->CaretRest().SetAfter(std::chrono::milliseconds(flash + 200));
    PumpFor(flash); // a whole blink period with input a moment ago
    EXPECT_FALSE(f.Form->CaretRest().Resting());
    EXPECT_GT(blinks.Count, 0);
    ASSERT_TRUE(PumpUntil([&] { return f.Form->CaretRest().Resting(); }, 3000));
    EXPECT_EQ(QGuiApplication::styleHints()->cursorFlashTime(), 0);
    blinks.Count = 0;
    PumpFor(flash + 100);
    EXPECT_EQ(blinks.Count, 0);
    // Each kind of input wakes it: a key in the command line, a click elsewhere in the window.
    const std::function<void()> inputs[] = {
        [&] { QTest::keyClick(f.Form->EdCmdLn, Qt::Key_A); },
        [&] { QTest::mouseClick(f.Form->MemMess->viewport(), Qt::LeftButton); },
    };
    for (const auto& input : inputs) {
        ASSERT_TRUE(PumpUntil([&] { return f.Form->CaretRest().Resting(); }, 3000));
        input();
        EXPECT_FALSE(f.Form->CaretRest().Resting());
        EXPECT_EQ(QGuiApplication::styleHints()->cursorFlashTime(), flash);
    }
    // Input to another window does not.
    ASSERT_TRUE(PumpUntil([&] { return f.Form->CaretRest().Resting(); }, 3000));
    QLineEdit other;
    other.show();
    QTest::keyClick(&other, Qt::Key_A);
    EXPECT_TRUE(f.Form->CaretRest().Resting());
}

TEST(CaretRest, AMinimisedWindowTellsThePortNobodySeesItsLines) {
    TFormFixture f;
    f.Form->show();
    PumpFor(20);
    EXPECT_TRUE(f.Form->VaComm->ModemLinesSeen());
    f.Form->showMinimized();
    ASSERT_TRUE(PumpUntil([&] { return !f.Form->VaComm->ModemLinesSeen(); }));
    f.Form->showNormal();
    ASSERT_TRUE(PumpUntil([&] { return f.Form->VaComm->ModemLinesSeen(); }));
}
