#include "ConsoleSupport.h"
#include "IdUDPServer.h"
#include "UdpPeer.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

namespace {
struct TNetFixture : TConsoleFixture {
    TUdpPeer Peer;
    int ConsolePort = 0;
    TNetFixture() {
        Form->EdPort->setText("0"); // the system chooses the port
        Form->ChBxActiv->setChecked(true);
        ConsolePort = Form->UDPServer->Bindings()[0].Port;
        // From here on "To Sock" may only ever reach the test's own socket.
        Form->edtHost->setText("127.0.0.1");
        Form->edtPort->setText(QString::number(Peer.Port()));
    }
    void Deliver(const std::string& Data) {
        const std::string before = Form->LogGetText();
        Peer.SendTo(ConsolePort, Data);
        ASSERT_TRUE(PumpUntil([&] { return Form->LogGetText() != before; }));
    }
};

// "<date> <time>" or "<date>" at midnight, in the locale's short date ("7 Dec 2026", "12/7/26",
// "07.12.26", "2026-12-07") and its time with seconds.
const std::string Stamp =
    R"([0-9]{1,4}[ ./-][0-9A-Za-z]{1,3}[ ./-][0-9]{2,4}( [0-9]{1,2}:[0-9]{2}:[0-9]{2}( [AP]M)?)?)";
} // namespace

TEST(Network, ADatagramIsLoggedOnALineOfItsOwnAndTheSenderBecomesTheRemote) {
    TNetFixture f;
    ASSERT_TRUE(f.Form->UDPServer->Active());
    f.W().LogAppend("earlier");
    f.Deliver(std::string("ab\r\ncd\tef\0gh", 12));
    EXPECT_EQ(f.W().LogGetText(), "earlier\r\nabcdef");
    EXPECT_EQ(f.W().edtHost->text(), "127.0.0.1");
    EXPECT_EQ(f.W().edtPort->text(), QString::number(f.Peer.Port()));
    f.Deliver("");
    EXPECT_EQ(f.W().LogGetText(), "earlier\r\nabcdef\r\n");
    f.Deliver("\xC0\xFF!");
    EXPECT_EQ(f.W().LogGetText(), "earlier\r\nabcdef\r\n\r\n\xC0\xFF!");
}

TEST(Network, KeywordMessagesGetStampsInOrder) {
    TNetFixture f;
    f.Deliver("ssi and imei");
    EXPECT_TRUE(std::regex_match(f.W().LogGetText(),
                                 std::regex("\r\nssi and imei >>> " + Stamp + " >>> " + Stamp)))
        << f.W().LogGetText();
    f.W().LogClear();
    f.Deliver(std::string("ab\0IMEI", 7));
    EXPECT_TRUE(std::regex_match(f.W().LogGetText(), std::regex("\r\nab >>> " + Stamp)))
        << f.W().LogGetText();
    f.W().LogClear();
    f.Deliver("HELLO 1");
    EXPECT_TRUE(std::regex_match(f.W().LogGetText(),
                                 std::regex("\r\nHELLO 1 >>> 127\\.0\\.0\\.1  " + Stamp)))
        << f.W().LogGetText();
}

TEST(Network, AnActivationMessageIsRelayedUnchangedAndReplacesTheLog) {
    TNetFixture f;
    f.OpenDirect();
    f.W().LogAppend("old lines\r\nmore");
    const std::string msg("contact\0\r\n\xFF", 11);
    f.Peer.SendTo(f.ConsolePort, msg);
    EXPECT_EQ(f.Device.ReadExactly(msg.size()), msg);
    ASSERT_TRUE(PumpUntil([&] { return f.W().LogGetText().rfind("Activation ", 0) == 0; }));
    EXPECT_TRUE(std::regex_match(f.W().LogGetText(), std::regex("Activation " + Stamp)))
        << f.W().LogGetText();
}

TEST(Network, ARelayToAClosedPortLeavesOnlyTheActivationLine) {
    TNetFixture f;
    f.Deliver("ACT");
    EXPECT_TRUE(std::regex_match(f.W().LogGetText(), std::regex("Activation " + Stamp)))
        << f.W().LogGetText();
}

TEST(Network, ToSockSendsTheCommandLineWithOneCr) {
    TNetFixture f;
    f.W().EdCmdLn->clear();
    f.W().BtnETX->click();
    EXPECT_EQ(f.Peer.Receive(2000), std::optional<std::string>("\r"));
    f.W().EdCmdLn->setText(QString::fromUtf8("AT Ж"));
    f.W().BtnETX->click();
    EXPECT_EQ(f.Peer.Receive(2000), std::optional<std::string>("AT \xC6\r"));
    EXPECT_TRUE(f.W().LogGetText().empty());
}

TEST(Network, ToSockWithLettersInThePortSendsNothing) {
    TNetFixture f;
    f.W().edtPort->setText("abc");
    testing::internal::CaptureStderr();
    f.W().BtnETX->click();
    // The handler stopped at the port's text:
    EXPECT_NE(testing::internal::GetCapturedStderr().find("'abc' is not a valid integer value"),
              std::string::npos);
    EXPECT_EQ(f.Peer.Receive(100), std::nullopt);
    EXPECT_TRUE(f.Boxes.isEmpty());
}

TEST(Network, UntickingActivationStopsListening) {
    TNetFixture f;
    f.W().ChBxActiv->setChecked(false);
    EXPECT_FALSE(f.W().UDPServer->Active());
}

TEST(Network, ActivationWithAnEmptyPortLeavesTheBoxTickedAndTheEndpointInactive) {
    TConsoleFixture f;
    f.W().EdPort->clear();
    testing::internal::CaptureStderr();
    f.W().ChBxActiv->setChecked(true);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(f.W().ChBxActiv->isChecked());
    EXPECT_FALSE(f.W().UDPServer->Active());
    EXPECT_TRUE(f.Boxes.isEmpty());
}

TEST(Network, APortInUseIsSaidInABoxAndActivationIsUnticked) {
    TConsoleFixture f;
    // Another program holds the port on every address.
    const int taken = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(taken, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len), 0);
    f.W().EdPort->setText(QString::number(ntohs(a.sin_port)));
    f.W().ChBxActiv->setChecked(true);
    ::close(taken);
    EXPECT_EQ(f.Boxes, QStringList{"Could not bind socket. Address and port are already in use."});
    EXPECT_FALSE(f.W().ChBxActiv->isChecked());
    EXPECT_FALSE(f.W().UDPServer->Active());
}
