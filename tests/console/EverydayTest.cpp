// What the operator does with the log and the command line beyond the window's design: capture,
// find, the history keys, the port names as tooltips and the status panels as accessible text.
#include "ConsoleSupport.h"
#include "FileText.h"

#include "CommandHistory.h"
#include "LogTools.h"
#include "LogView.h"
#include "ScriptTools.h"
#include "StatusPanels.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace {} // namespace

TEST(LogCaptureInTheWindow, GetsWhatTheLogGetsWithAMarkForAScreenClearOnly) {
    TConsoleFixture f;
    f.OpenDirect();
    const std::string path = f.ComMap.Dir() + "/capture.txt";
    f.W().LogAppend("before\r\n"); // not captured: capture starts later
    f.W().LogTools().StartCapture(QString::fromStdString(path));
    ASSERT_TRUE(f.W().LogTools().Capturing());

    ASSERT_TRUE(f.Device.Write("\xCF\xF0\xE8\xE2\xE5\xF2 1\rtwo"));
    ASSERT_TRUE(f.LogIs("before\r\n\xCF\xF0\xE8\xE2\xE5\xF2 1\r\ntwo"));
    f.W().ButtonReset->click(); // "Clean": no mark
    f.W().LogAddLine("Error writing to: Port 1");
    f.W().ScrChBx->setChecked(true);
    ASSERT_TRUE(f.Device.Write("\r\rscreen"));
    ASSERT_TRUE(f.LogIs("screen"));
    f.W().LogSetText("Activation 1");
    f.W().LogTools().StopCapture();
    EXPECT_EQ(ReadFile(path), "Привет 1\ntwo\nError writing to: Port 1\n"
                              "----- screen cleared -----\nscreen\nActivation 1");
    f.W().LogAppend("after");
    EXPECT_EQ(ReadFile(path).find("after"), std::string::npos) << "captured after it stopped";
}

TEST(LogCaptureInTheWindow, WhatIsCapturedReachesTheFileWhenTheWindowGoes) {
    TConsoleFixture f;
    const std::string path = f.ComMap.Dir() + "/capture.txt";
    f.W().LogTools().StartCapture(QString::fromStdString(path));
    std::string want;
    for (int i = 0; i < 1000; ++i) {
        f.W().LogAddLine("line " + std::to_string(i));
        want += "line " + std::to_string(i) + "\n";
    }
    f.Form->close();
    f.Form.reset();
    EXPECT_TRUE(ReadFile(path) == want);
}

TEST(LogCaptureInTheWindow, AFileThatCannotBeMadeIsSaidAndCaptureStaysOff) {
    TConsoleFixture f;
    f.W().LogTools().StartCapture("/nonexistent-folder/capture.txt");
    EXPECT_FALSE(f.W().LogTools().Capturing());
    EXPECT_FALSE(f.W().LogTools().CaptureAction->isChecked());
    ASSERT_EQ(f.Boxes.size(), 1);
    EXPECT_TRUE(f.Boxes[0].contains("/nonexistent-folder/capture.txt"));
    EXPECT_TRUE(f.Boxes[0].contains("No such file or directory"));
}

TEST(LogCaptureInTheWindow, AWriteFailureTurnsCaptureOffAndIsSaidOnce) {
    TConsoleFixture f;
    f.W().LogTools().StartCapture("/dev/full");
    ASSERT_TRUE(f.W().LogTools().Capturing());
    f.W().LogAppend("abc");
    EXPECT_TRUE(PumpUntil([&] { return !f.W().LogTools().Capturing(); }, 3000));
    f.W().LogAppend("more");
    PumpFor(600);
    EXPECT_FALSE(f.W().LogTools().CaptureAction->isChecked());
    ASSERT_EQ(f.Boxes.size(), 1) << f.Boxes.join(" | ").toStdString();
    EXPECT_TRUE(f.Boxes[0].contains("No space left on device"));
}

TEST(LogSaveInTheWindow, SavesTheWholeLogWhileTheLogGoesOn) {
    TConsoleFixture f;
    const std::string path = f.ComMap.Dir() + "/saved.txt";
    f.W().LogAppend("\xC4\xE0\r\nnext");
    f.W().LogTools().StartSave(QString::fromStdString(path));
    f.W().LogAppend(" later"); // after the start: not in this file
    ASSERT_TRUE(PumpUntil([&] { return !f.W().LogTools().Saving(); }, 5000));
    EXPECT_EQ(ReadFile(path), "Да\nnext");
    EXPECT_TRUE(f.Boxes.isEmpty());
    EXPECT_TRUE(f.W().LogTools().SaveAction->isEnabled());
}

TEST(LogSaveInTheWindow, AFailureIsSaidNamingTheFileAndTheReason) {
    TConsoleFixture f;
    f.W().LogAppend("x");
    f.W().LogTools().StartSave("/nonexistent-folder/saved.txt");
    ASSERT_TRUE(PumpUntil([&] { return !f.W().LogTools().Saving(); }, 5000));
    ASSERT_EQ(f.Boxes.size(), 1);
    EXPECT_TRUE(f.Boxes[0].contains("/nonexistent-folder/saved.txt"));
    EXPECT_TRUE(f.Boxes[0].contains("No such file or directory"));
}

TEST(LogFindInTheWindow, SelectsTheMatchAndScrollsItIntoViewWhileTextArrives) {
    TConsoleFixture f;
    f.W().show();
    f.W().LogAppend("first line\r\nthe NEEDLE is here\r\n");
    for (int i = 0; i < 5000; ++i)
        f.W().LogAppend("filler " + std::to_string(i) + "\r\n");
    PumpFor(50);
    TLogView* view = f.W().MemMess;
    ASSERT_TRUE(view->FollowsEnd());
    TLogTools& tools = f.W().LogTools();
    tools.ShowFindBox();
    tools.FindBox()->Text->setText("needle");
    ASSERT_TRUE(tools.Find(false));
    EXPECT_EQ(view->SelectedText(), "NEEDLE");
    EXPECT_LE(view->TopRow(), 1u);
    // Match case finds nothing; the selection stays.
    tools.FindBox()->MatchCase->setChecked(true);
    EXPECT_FALSE(tools.Find(false));
    EXPECT_EQ(view->SelectedText(), "NEEDLE");
    // More text does not pull the view away from the match.
    f.W().LogAppend("still arriving\r\n");
    PumpFor(50);
    EXPECT_LE(view->TopRow(), 1u);
    EXPECT_FALSE(view->FollowsEnd());
    // Next and previous go through the matches and round the ends.
    tools.FindBox()->MatchCase->setChecked(false);
    tools.FindBox()->Text->setText("filler 4999");
    ASSERT_TRUE(tools.Find(false));
    const size_t last = view->SelectionStart();
    EXPECT_GT(view->TopRow(), 4000u);
    tools.FindBox()->Text->setText("line");
    ASSERT_TRUE(tools.Find(false)); // rounds the end: the first line's
    EXPECT_LT(view->SelectionStart(), last);
    EXPECT_EQ(view->SelectionStart(), 6u);
    ASSERT_TRUE(tools.Find(true)); // rounds the start: backwards from the end
    EXPECT_EQ(std::string(f.W().LogGetText().substr(view->SelectionStart(), 4)), "line");
    EXPECT_EQ(view->SelectionStart(), f.W().LogGetText().rfind("line"));
}

TEST(CommandLineHistory, UpAndDownRecallTheLinesSentAndTheKeysStayAsTheyWere) {
    TConsoleFixture f;
    f.OpenDirect();
    QLineEdit* cmd = f.W().EdCmdLn;
    f.W().show();
    QApplication::setActiveWindow(f.Form.get());
    cmd->setFocus();
    cmd->setText("AT1");
    QTest::keyClick(cmd, Qt::Key_Return);
    EXPECT_EQ(f.Device.ReadExactly(5), "AT1\r\n");
    cmd->setText("AT2");
    f.W().BtTransmit->click(); // "To COM" stores the line too
    EXPECT_EQ(f.Device.ReadExactly(5), "AT2\r\n");
    QTest::keyClick(cmd, Qt::Key_Return); // the same line again: stored once
    EXPECT_EQ(f.Device.ReadExactly(5), "AT2\r\n");
    cmd->setText("typing");
    const std::pair<Qt::Key, const char*> steps[] = {
        {Qt::Key_Up, "AT2"},   {Qt::Key_Up, "AT1"},      {Qt::Key_Up, "AT1"},
        {Qt::Key_Down, "AT2"}, {Qt::Key_Down, "typing"}, {Qt::Key_Down, "typing"},
    };
    for (const auto& [key, want] : steps) {
        QTest::keyClick(cmd, key);
        EXPECT_EQ(cmd->text().toStdString(), want);
    }
    EXPECT_EQ(f.Device.ReadFor(50), "") << "the history keys send nothing";
    EXPECT_EQ(f.W().CommandHistory().History().Size(), 2u);
}

TEST(PortNames, EachPortItemAndPanelSixNameTheDevice) {
    TConsoleFixture f; // COM 1 is the test's pseudo-terminal, through the COM map
    f.ComMap.MapCom(5, "/nonexistent/ttyUSB4");
    QComboBox* ports = f.W().ComboPortNum;
    f.W().show();
    ports->showPopup(); // the list looks the names up as it opens
    const std::string map = f.ComMap.Dir() + "/tevro-console/com/";
    EXPECT_EQ(ports->itemData(0, Qt::ToolTipRole).toString().toStdString(),
              map + "COM1 \u2192 " + f.Device.SlavePath());
    EXPECT_EQ(ports->itemData(4, Qt::ToolTipRole).toString().toStdString(),
              map + "COM5 \u2192 /nonexistent/ttyUSB4: not present");
    ports->hidePopup();
    EXPECT_TRUE(f.W().StatusBar->PanelToolTip(6).isEmpty());
    f.OpenDirect();
    EXPECT_EQ(f.W().StatusBar->PanelToolTip(6).toStdString(),
              map + "COM1 \u2192 " + f.Device.SlavePath());
    f.W().BtnCloseClick();
    EXPECT_TRUE(f.W().StatusBar->PanelToolTip(6).isEmpty());
}

TEST(StatusPanelsAccessible, EachPanelIsAChildNamedByItsText) {
    TConsoleFixture f;
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(f.W().StatusBar);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->role(), QAccessible::StatusBar);
    ASSERT_EQ(bar->childCount(), 9);
    EXPECT_EQ(bar->child(6)->text(QAccessible::Name), QString::fromUtf8("Com-порт не выбран"));
    EXPECT_EQ(bar->child(0)->text(QAccessible::Name), "");
    f.OpenDirect();
    const std::pair<int, QString> open[] = {
        {0, "DTR"}, {2, "RTS"}, {6, QString::fromUtf8(" Com-порт 1 [активен]")}};
    for (const auto& [panel, text] : open)
        EXPECT_EQ(bar->child(panel)->text(QAccessible::Name), text) << panel;
    EXPECT_EQ(bar->indexOfChild(bar->child(6)), 6);
    EXPECT_EQ(bar->child(6)->parent(), bar);
}

TEST(LogTicks, TimestampsStartEachLineAndWhatIsSentShowsMarked) {
    TConsoleFixture f;
    f.OpenDirect();
    const std::string stamp = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} ";
    // Off: the log is as it always was, and nothing sent shows.
    f.W().EdCmdLn->setText("AT");
    f.W().BtTransmit->click();
    ASSERT_TRUE(f.Device.Write("OK\r"));
    ASSERT_TRUE(f.LogIs("OK\r\n"));
    f.W().ScriptTools().TimestampsAction->setChecked(true);
    f.W().ScriptTools().ShowSentAction->setChecked(true);
    auto shows = [&](const char* Text) {
        return PumpUntil([&] { return f.W().LogGetText().find(Text) != std::string::npos; });
    };
    ASSERT_TRUE(f.Device.Write("one\rtw"));
    ASSERT_TRUE(shows("tw"));
    ASSERT_TRUE(f.Device.Write("o\r\n"));
    ASSERT_TRUE(shows("two\r\n"));
    f.W().BtTransmit->click();
    ASSERT_EQ(f.Device.ReadExactly(8), "AT\r\nAT\r\n");
    ASSERT_TRUE(f.Device.Write("OK\r"));
    EXPECT_TRUE(PumpUntil([&] {
        return std::regex_match(f.W().LogGetText(),
                                std::regex("OK\r\n" + stamp + "one\r\n" + stamp + "two\r\n" +
                                           stamp + "> AT\r\n" + stamp + "OK\r\n"));
    })) << f.W().LogGetText();
}
