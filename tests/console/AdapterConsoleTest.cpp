// The console on USB adapters and UARTs as their drivers behave (driver profiles over a
// pseudo-terminal): what the status bar asks of the driver, sends after an unplug, a new OPEN
// after a replug, and long activation messages.
#include "ConsoleSupport.h"
#include "DriverProfile.h"
#include "FileText.h"
#include "LogTools.h"
#include "StatusPanels.h"
#include "UdpPeer.h"

#include "IdUDPServer.h"
#include "Util.h"
#include "uThread.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <thread>

namespace {

struct TAdapterConsole : TConsoleFixture {
    std::shared_ptr<TDriverProfile> Profile;
    explicit TAdapterConsole(const char* Driver)
        : Profile(std::make_shared<TDriverProfile>(DriverProfileNamed(Driver))) {
        Form->VaComm->SetPlatform(ProfilePlatform(Profile));
    }
    void Unplug() {
        Profile->Unplug();
        Device.Unplug();
        // The status timer meets the loss first and reports it, once.
        ASSERT_TRUE(PumpUntil([&] { return Boxes.size() == 1; }));
        EXPECT_EQ(Boxes[0], "Error reading modem state (5), Input/output error");
    }
    int WriteErrors() {
        const std::string log = Form->LogGetText();
        int n = 0;
        for (size_t at = log.find("Error writing to: Port 1"); at != std::string::npos;
             at = log.find("Error writing to: Port 1", at + 1))
            ++n;
        return n;
    }
    // Listening on a port the system chose; the remote is the test's own socket.
    int Activate(TUdpPeer& Peer) {
        Form->EdPort->setText("0");
        Form->ChBxActiv->setChecked(true);
        Form->edtHost->setText("127.0.0.1");
        Form->edtPort->setText(QString::number(Peer.Port()));
        return Form->UDPServer->Bindings()[0].Port;
    }
};

TEST(ConsoleOnAdapters, TheStatusBarFollowsTheLinesWithoutTheWindowAskingTheDriver) {
    for (const char* driver : {"ftdi_sio", "cp210x", "pl2303"}) {
        TAdapterConsole f(driver);
        f.OpenDirect();
        ASSERT_TRUE(f.W().VaComm->IsOpen()) << driver;
        f.Profile->SetInputLines(TIOCM_DSR | TIOCM_CTS);
        ASSERT_TRUE(PumpUntil([&] { return f.W().StatusBar->PanelText(1) == "DSR"; })) << driver;
        EXPECT_EQ(f.W().StatusBar->PanelText(3), "CTS") << driver;
        f.Profile->SetInputLines(TIOCM_RI | TIOCM_CD);
        ASSERT_TRUE(PumpUntil([&] { return f.W().StatusBar->PanelText(5) == "DCD"; })) << driver;
        EXPECT_EQ(f.W().StatusBar->PanelText(4), "RING") << driver;
        EXPECT_EQ(f.W().StatusBar->PanelText(1), "") << driver;
        PumpFor(200); // forty ticks
        EXPECT_LE(f.Profile->CallsOn(TIOCMGET, std::this_thread::get_id()), 2) << driver;
    }
}

TEST(ConsoleOnAdapters, AfterAnUnplugEverySendIsReportedAsAWriteError) {
    TAdapterConsole f("ftdi_sio");
    TUdpPeer peer;
    const int consolePort = f.Activate(peer);
    f.OpenDirect();
    ASSERT_TRUE(f.W().VaComm->IsOpen());
    f.W().EdCmdLn->setText("AT");
    f.W().BtTransmit->click();
    ASSERT_EQ(f.Device.ReadExactly(4), "AT\r\n");
    f.Unplug();

    const std::pair<const char*, std::function<void()>> sends[] = {
        {"To COM", [&] { f.W().BtTransmit->click(); }},
        {"Enter", [&] { QTest::keyClick(f.W().EdCmdLn, Qt::Key_Return); }},
        {"+", [&] { QTest::keyClick(f.W().EdCmdLn, Qt::Key_Plus); }},
        {"preset", [&] { f.W().Presets[3]->click(); }},
        {"activation relay", [&] { peer.SendTo(consolePort, "ACT 1"); }},
    };
    // A capture file gets each report as often as the log shows it: once.
    const std::string capture = f.ComMap.Dir() + "/capture.txt";
    for (const auto& [what, send] : sends) {
        f.W().LogClear();
        f.W().LogTools().StartCapture(QString::fromStdString(capture));
        send();
        EXPECT_TRUE(PumpUntil([&] { return f.WriteErrors() == 1; })) << what;
        f.W().LogTools().StopCapture();
        const std::string file = ReadFile(capture);
        EXPECT_EQ(file.find("Error writing to"), file.rfind("Error writing to")) << what << file;
    }
    // The relay's report follows the activation line that replaced the log.
    EXPECT_EQ(f.W().LogGetText().rfind("Activation ", 0), 0u);
    EXPECT_NE(f.W().LogGetText().find("\r\nError writing to: Port 1"), std::string::npos);
    EXPECT_EQ(f.Boxes.size(), 1);
}

TEST(ConsoleOnAdapters, AnAnswerToARequestAfterAnUnplugIsReportedAsAWriteError) {
    TAdapterConsole f("cp210x");
    f.OpenPacket(true);
    ASSERT_TRUE(f.W().VaComm->IsOpen());
    f.Unplug();
    // A request that was captured just before the loss is answered into the void.
    for (int b : {0x1E, 0x02, 0x05, 0x01, 0xC3})
        f.Link().CaptureBuf[f.Link().CaptureWr++] = uint8_t(b);
    f.Link().NoteCaptured();
    EXPECT_TRUE(PumpUntil([&] { return f.WriteErrors() == 1; })) << f.W().LogGetText();
}

TEST(ConsoleOnAdapters, CloseAndOpenWorkWhenTheAdapterIsBackUnderAnotherName) {
    TAdapterConsole f("ftdi_sio");
    f.OpenDirect();
    f.Unplug();
    // The receive handler's read meets the same loss: not a second report.
    EXPECT_NO_THROW(f.W().VaCommRxChar(f.W().VaComm.get(), 1));
    f.W().BtnClose->click();
    EXPECT_FALSE(f.W().VaComm->IsOpen());
    TPtyDevice back;
    std::filesystem::remove(f.ComMap.Dir() + "/tevro-console/com/COM1");
    f.ComMap.MapCom(1, back.SlavePath());
    f.Profile->Replug();
    f.W().BtnOpen->click();
    ASSERT_TRUE(f.W().VaComm->IsOpen());
    f.W().EdCmdLn->setText("ATI");
    QTest::keyClick(f.W().EdCmdLn, Qt::Key_Return);
    EXPECT_EQ(back.ReadExactly(5), "ATI\r\n");
    ASSERT_TRUE(back.Write("OK\r"));
    EXPECT_TRUE(PumpUntil([&] { return f.W().LogGetText().find("OK\r\n") != std::string::npos; }));
    EXPECT_EQ(f.Boxes.size(), 1);
}

TEST(ConsoleOnAdapters, AnActivationMessageOfAWholeDatagramReachesTheDeviceWhole) {
    for (const char* driver : {"pty", "ftdi_sio", "cdc-acm"}) {
        TAdapterConsole f(driver);
        TUdpPeer peer;
        const int consolePort = f.Activate(peer);
        f.OpenDirect();
        ASSERT_TRUE(f.W().VaComm->IsOpen()) << driver;
        std::string msg = "ACT";
        while (msg.size() < 65507) // the longest datagram, longer than the write queue
            msg += char('0' + msg.size() % 43);
        peer.SendTo(consolePort, msg);
        EXPECT_EQ(f.Device.ReadExactly(msg.size(), 5000), msg) << driver;
        EXPECT_TRUE(PumpUntil([&] { return f.W().LogGetText().rfind("Activation ", 0) == 0; }));
        EXPECT_EQ(f.WriteErrors(), 0) << driver;
        EXPECT_TRUE(f.Boxes.empty()) << driver << " " << f.Boxes.join("|").toStdString();
    }
}

} // namespace
