// Sending a file through the window's console to lrzsz's receiver on the device's side of the
// line: what arrives, and a cancel that ends both sides and lets a held command go after.
#include "ConsoleSupport.h"
#include "FileText.h"
#include "TransferRig.h"

#include <QLineEdit>
#include <QPushButton>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

namespace {
std::string RandomFile(const std::string& Path, size_t Size) {
    std::mt19937 rng(7);
    std::string bytes(Size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng());
    std::ofstream(Path, std::ios::binary) << bytes;
    return bytes;
}
} // namespace

TEST(SendFile, YmodemThroughTheConsoleGivesTheReceiverTheFileWithItsName) {
    TConsoleFixture f;
    f.OpenDirect();
    const std::string dir = f.ComMap.Dir();
    ::mkdir((dir + "/in").c_str(), 0700);
    const std::string file = RandomFile(dir + "/in/app.bin", 65537);
    TPty far;
    TChild rb({"rb", "-b"}, dir, far.Slave());
    TPtyBridge line(f.Device.Master(), far.Master());
    ASSERT_TRUE(f.W().Console->SendFile(
        {.Path = dir + "/in/app.bin", .Protocol = TTransferProtocol::Ymodem}));
    ASSERT_TRUE(
        PumpUntil([&] { return !f.W().Console->Transferring() && rb.Poll().has_value(); }, 30000))
        << f.W().LogGetText();
    EXPECT_EQ(rb.Poll(), 0);
    EXPECT_TRUE(ReadFile(dir + "/app.bin") == file);
    const std::string log = f.W().LogGetText();
    EXPECT_NE(log.find("app.bin"), std::string::npos) << log;
    EXPECT_EQ(log.find("Rx"), std::string::npos) << "the protocol's bytes were shown";
}

TEST(SendFile, CancelEndsBothSidesAndAHeldCommandGoesAfter) {
    TConsoleFixture f;
    f.OpenDirect();
    const std::string dir = f.ComMap.Dir();
    RandomFile(dir + "/big.bin", 4 << 20);
    TPty far;
    TChild rx({"rx", "-b", "got.bin"}, dir, far.Slave());
    TPtyBridge line(f.Device.Master(), far.Master());
    quint64 sent = 0;
    QObject::connect(f.W().Console.get(), &TConsole::TransferProgress,
                     [&](quint64 Sent, quint64) { sent = Sent; });
    ASSERT_TRUE(f.W().Console->SendFile(
        {.Path = dir + "/big.bin", .Protocol = TTransferProtocol::Xmodem1K}));
    ASSERT_TRUE(PumpUntil([&] { return sent >= 8192; }, 30000));
    f.W().EdCmdLn->setText("AT");
    f.W().BtTransmit->click(); // held: the line is the transfer's
    f.W().Console->CancelTransfer();
    EXPECT_FALSE(f.W().Console->Transferring());
    ASSERT_TRUE(PumpUntil([&] { return rx.Poll().has_value(); }, 15000))
        << "the receiver did not end";
    EXPECT_NE(rx.Poll(), 0);
    // The protocol's cancel, then the command that waited for the line.
    std::string tail;
    ASSERT_TRUE(PumpUntil(
        [&] { return (tail = line.TailFromA()).find("AT\r\n") != std::string::npos; }, 5000))
        << "the held command did not go out";
    EXPECT_LT(tail.rfind("\x18\x18"), tail.find("AT\r\n")) << "no cancel sequence before it";
    const std::string log = f.W().LogGetText();
    EXPECT_NE(log.find("Held"), std::string::npos) << log;
    EXPECT_NE(log.find("cancel"), std::string::npos) << log;
}
