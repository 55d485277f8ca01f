#include "ConsoleSupport.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

TEST(CommandLine, ToComSendsTheLineWithCrLfAndKeepsIt) {
    TConsoleFixture f;
    f.OpenDirect();
    f.W().EdCmdLn->setText(QString::fromUtf8("AT+CSQ Привет"));
    f.W().BtTransmit->click();
    EXPECT_EQ(f.Device.ReadExactly(15), "AT+CSQ \xCF\xF0\xE8\xE2\xE5\xF2\r\n");
    EXPECT_EQ(f.W().EdCmdLn->text(), QString::fromUtf8("AT+CSQ Привет"));
    f.W().EdCmdLn->clear();
    f.W().BtTransmit->click();
    EXPECT_EQ(f.Device.ReadExactly(2), "\r\n");
}

TEST(CommandLine, SpecialKeysGoToThePortBeforeTheBoxHandlesThem) {
    TConsoleFixture f;
    f.OpenDirect();
    QLineEdit* cmd = f.W().EdCmdLn;
    f.W().show();
    QApplication::setActiveWindow(f.Form.get());
    cmd->setFocus();
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(cmd, Qt::Key_Plus, Qt::NoModifier);
        EXPECT_EQ(f.Device.ReadExactly(1), "+") << "plus " << i;
    }
    EXPECT_EQ(cmd->text(), "+++");
    QTest::keyClick(cmd, Qt::Key_Return);
    EXPECT_EQ(f.Device.ReadExactly(5), "+++\r\n");
    QTest::keyClick(cmd, Qt::Key_Escape);
    EXPECT_EQ(f.Device.ReadExactly(1), "\x1B");
    cmd->selectAll();
    QTest::keyClick(cmd, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(f.Device.ReadExactly(1), "\x18");
    EXPECT_EQ(cmd->text(), "") << "Ctrl+X also cuts, as the box does";
    QTest::keyClick(cmd, Qt::Key_A);
    EXPECT_EQ(cmd->text(), "a") << "the box took the key";
    EXPECT_EQ(f.Device.ReadFor(50), "") << "an ordinary key sends nothing";
    EXPECT_EQ(QApplication::focusWidget(), cmd);
}

TEST(CommandLine, EveryPresetSendsItsCommandWithCrLf) {
    TConsoleFixture f;
    f.OpenDirect();
    const char* sent[] = {"AT+WOPEN=0",  "AT+WOPEN=1",    "AT+WOPEN=2",
                          "AT+WCFM=2",   "AT+WMFM=0,1,2", "AT+WFM=1,\"SIM3VONLY\"",
                          "AT+WMBS=5,1", "AT+STSF=0",     "AT+WIND=0",
                          "at+Factory",  "at+LogOn",      "AT&F"};
    for (int i = 0; i < 12; ++i) {
        f.W().Presets[i]->click();
        const std::string want = std::string(sent[i]) + "\r\n";
        EXPECT_EQ(f.Device.ReadExactly(want.size()), want) << f.W().PresetTable[i].Name;
    }
    EXPECT_EQ(f.Device.ReadFor(30), "");
    EXPECT_TRUE(f.W().LogGetText().empty());
}

TEST(CommandLine, ARefusedWriteIsReportedWithThePortNumber) {
    TConsoleFixture f;
    f.W().LogAppend("partial");
    f.W().BtTransmit->click(); // before any open: port 0, although "Com 1" is shown
    EXPECT_EQ(f.W().LogGetText(), "partial\r\nError writing to: Port 0");
    f.W().Presets[11]->click();
    EXPECT_EQ(f.W().LogGetText(),
              "partial\r\nError writing to: Port 0\r\nError writing to: Port 0");
    f.OpenDirect();
    f.W().BtnClose->click();
    f.W().LogClear();
    f.W().EdCmdLnKeyPress(13);
    EXPECT_EQ(f.W().LogGetText(), "Error writing to: Port 1\r\n");
    EXPECT_TRUE(f.Boxes.isEmpty());
}
