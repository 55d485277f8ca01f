#include "ConsoleSupport.h"
#include "StatusPanels.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace {
const QString OpenText = QString::fromUtf8(" Com-порт 1 [активен]");
const QString ClosedText = QString::fromUtf8(" Com-порт не выбран");

void ExpectOpenState(TBaseform& W) {
    EXPECT_TRUE(W.VaComm->IsOpen());
    EXPECT_EQ(W.StatusBar->PanelText(6), OpenText);
    EXPECT_TRUE(W.ChBxDTR->isChecked());
    EXPECT_TRUE(W.ChBxRTS->isChecked());
    EXPECT_EQ(W.StatusBar->PanelText(0), "DTR");
    EXPECT_EQ(W.StatusBar->PanelText(2), "RTS");
    EXPECT_TRUE(W.SysTimer->isActive());
}
} // namespace

TEST(PortControl, EachModeButtonOpensThePortAt115200) {
    TConsoleFixture f;
    f.W().ComboBaudrate->setCurrentIndex(f.W().ComboBaudrate->findText("9600"));
    f.OpenPacket(false);
    ExpectOpenState(f.W());
    EXPECT_EQ(f.W().RButPackTag, 1);
    EXPECT_EQ(f.W().ComboBaudrate->currentText(), "115200");
    EXPECT_EQ(f.W().VaComm->UserBaudrate(), 115200);

    f.OpenDirect();
    ExpectOpenState(f.W());
    EXPECT_EQ(f.W().RButPackTag, 0);
}

TEST(PortControl, OpenButtonReopensWithTheChosenRate) {
    TConsoleFixture f;
    f.W().ComboBaudrate->setCurrentIndex(f.W().ComboBaudrate->findText("256000"));
    f.W().BtnOpen->click();
    ExpectOpenState(f.W());
    EXPECT_EQ(f.W().VaComm->UserBaudrate(), 256000);
    EXPECT_EQ(f.W().VaComm->PortNum(), 1);
    // The mode flag is untouched by "OPEN".
    EXPECT_EQ(f.W().RButPackTag, 0);
}

TEST(PortControl, ClickingTheSelectedModeAgainDoesNotReopen) {
    TConsoleFixture f;
    f.OpenDirect();
    f.W().BtnClose->click();
    f.W().RButDirect->click(); // already selected: nothing happens
    EXPECT_FALSE(f.W().VaComm->IsOpen());
}

TEST(PortControl, CloseClearsTheTicksAndShowsTheLeadingSpaceText) {
    TConsoleFixture f;
    f.OpenDirect();
    f.W().BtnClose->click();
    EXPECT_FALSE(f.W().VaComm->IsOpen());
    EXPECT_EQ(f.W().StatusBar->PanelText(6), ClosedText);
    EXPECT_FALSE(f.W().ChBxDTR->isChecked());
    EXPECT_FALSE(f.W().ChBxRTS->isChecked());
    EXPECT_TRUE(f.W().StatusBar->PanelText(0).isEmpty());
    EXPECT_TRUE(f.W().StatusBar->PanelText(2).isEmpty());
    EXPECT_FALSE(f.W().SysTimer->isActive());
    EXPECT_TRUE(f.Boxes.isEmpty());
}

TEST(PortControl, LineTicksFollowTheOperatorWhileOpenOrClosed) {
    TConsoleFixture f;
    f.W().ChBxDTR->setChecked(true); // closed: the panel follows, the line call does nothing
    EXPECT_EQ(f.W().StatusBar->PanelText(0), "DTR");
    f.W().ChBxDTR->setChecked(false);
    EXPECT_TRUE(f.W().StatusBar->PanelText(0).isEmpty());
    f.OpenDirect();
    f.W().ChBxRTS->setChecked(false);
    EXPECT_TRUE(f.W().StatusBar->PanelText(2).isEmpty());
    f.W().ChBxRTS->setChecked(true);
    EXPECT_EQ(f.W().StatusBar->PanelText(2), "RTS");
    EXPECT_TRUE(f.Boxes.isEmpty());
}

TEST(PortControl, AFailedOpenShowsTheErrorAndMovesTheSelectionUp) {
    TConsoleFixture f;
    f.ComMap.MapCom(3, "/nonexistent/tty");
    f.W().ComboPortNum->setCurrentIndex(2);
    f.W().BtnOpen->click();
    ASSERT_EQ(f.Boxes.size(), 1);
    EXPECT_EQ(f.Boxes[0], "Specified device not found (\\\\.\\COM3).");
    EXPECT_EQ(f.W().ComboPortNum->currentText(), "Com 2");
    EXPECT_FALSE(f.W().VaComm->IsOpen());
    EXPECT_FALSE(f.W().SysTimer->isActive());
}

TEST(PortControl, AFailedOpenFromCom1LeavesNoPortAndTheNextOpenUsesPortZero) {
    TConsoleFixture f;
    TConfigHome other; // COM 1 now names nothing
    other.MapCom(1, "/nonexistent/tty");
    f.W().RButPack->setChecked(true);
    ASSERT_EQ(f.Boxes.size(), 1);
    EXPECT_EQ(f.W().ComboPortNum->currentIndex(), -1);
    // The mode handler stopped too: the flag and the rate stay changed.
    EXPECT_EQ(f.W().RButPackTag, 1);
    f.W().BtnOpen->click();
    ASSERT_EQ(f.Boxes.size(), 2);
    EXPECT_EQ(f.Boxes[1], "Specified device not found (\\\\.\\COM0).");
    EXPECT_EQ(f.W().VaComm->PortNum(), 0);
}

TEST(PortControl, SettingsShowsAndHidesThePortGroup) {
    TConsoleFixture f;
    f.W().BtSet->click();
    EXPECT_FALSE(f.W().GrBxSet->isHidden());
    f.W().BtSet->click();
    EXPECT_TRUE(f.W().GrBxSet->isHidden());
}

TEST(PortControl, TheTimerCountsDownTheReceiveCountdownToZeroThenRestsUntilBytesArrive) {
    TConsoleFixture f;
    f.OpenPacket(false);
    // The counting ends with the test's scope: closing the window at the fixture's end still
    // runs the timer's messages, after ticks is gone.
    int ticks = 0;
    QObject scope;
    QObject::connect(f.W().SysTimer, &QTimer::timeout, &scope, [&] { ++ticks; });
    std::string shown;
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(PumpUntil([&] { return f.Link().RxCountdown.load() == 0; }, 3000)) << round;
        PumpFor(60);
        const int rested = ticks;
        PumpFor(100);
        EXPECT_EQ(ticks, rested) << round; // nothing to count down: no tick
        EXPECT_FALSE(f.W().SysTimer->isActive()) << round;
        f.Device.Write("x");
        shown += "Rx- 78 \r\n";
        ASSERT_TRUE(PumpUntil([&] { return f.W().LogGetText() == shown; })) << round;
        ASSERT_TRUE(PumpUntil([&] { return f.Link().RxCountdown.load() == 0; }, 3000)) << round;
        EXPECT_GE(ticks - rested, 10) << round; // the bytes set ten ticks to count
    }
    // Pseudo-terminals have no modem lines: they read as off.
    for (int panel : {1, 3, 4, 5})
        EXPECT_TRUE(f.W().StatusBar->PanelText(panel).isEmpty());
}

TEST(PortControl, ClosingTheWindowWithThePortOpenClosesItAndStopsTheResponder) {
    TConsoleFixture f;
    f.OpenPacket(true);
    f.Form->close();
    EXPECT_FALSE(f.W().VaComm->IsOpen());
    EXPECT_FALSE(f.W().Console->Responder()->Running);
    EXPECT_EQ(f.W().StatusBar->PanelText(6), ClosedText);
}
