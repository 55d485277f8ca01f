// Many open/close and activation cycles with traffic in each: nothing may be left behind, no
// descriptor, no thread, and no memory beyond what the log holds.
#include "ConsoleSupport.h"
#include "IdUDPServer.h"
#include "ProcessCounts.h"
#include "UdpPeer.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

constexpr int Cycles = 1000;

struct TCounts {
    int Fds = OpenDescriptors();
    int Threads = ::Threads();
    size_t Resident = ResidentBytes();
};

bool BackTo(const TCounts& Before) {
    return PumpUntil([&] { return OpenDescriptors() <= Before.Fds && Threads() <= Before.Threads; },
                     3000);
}

void ExpectFlatMemory(const TCounts& Before, size_t LogBytes) {
    const size_t now = ResidentBytes();
    const size_t growth = now > Before.Resident ? now - Before.Resident : 0;
    std::printf("resident memory grew by %zu kB over %d cycles (log %zu bytes)\n", growth / 1024,
                Cycles, LogBytes);
    if (UnderMemoryChecker)
        return;
    // The allocator keeps some freed memory for reuse; a leak of even a few hundred bytes per
    // cycle would pass this in no case.
    EXPECT_LE(growth, LogBytes * 4 + 4u * 1024 * 1024);
}

} // namespace

TEST(Churn, OpenAndCloseAThousandTimesWithBytesBothWays) {
    TConsoleFixture f;
    f.W().VaComm->SetClosePauseForTesting(0); // the pause lets a real device settle
    const int closedThreads = Threads();
    auto cycle = [&](int I) {
        f.W().BtnOpen->click();
        if (!f.W().VaComm->IsOpen())
            return false;
        f.W().LogClear();
        const std::string rx = "from the device " + std::to_string(I);
        if (!f.Device.Write(rx + "\r") || !f.LogIs(rx + "\r\n"))
            return false;
        const std::string tx = "AT+N=" + std::to_string(I);
        f.W().EdCmdLn->setText(QString::fromStdString(tx));
        f.W().BtTransmit->click();
        if (f.Device.ReadExactly(tx.size() + 2) != tx + "\r\n")
            return false;
        f.W().BtnClose->click();
        return !f.W().VaComm->IsOpen();
    };
    // The first cycles make what lives on (the toolkit's own threads and caches).
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(cycle(i));
    const int heldWhileOpen = f.FdsWhileOpen(closedThreads);
    const TCounts before;
    for (int i = 0; i < Cycles; ++i)
        ASSERT_TRUE(cycle(i)) << "cycle " << i;
    EXPECT_EQ(f.FdsWhileOpen(closedThreads), heldWhileOpen);
    EXPECT_TRUE(f.Boxes.isEmpty()) << f.Boxes.join('\n').toStdString();
    ExpectFlatMemory(before, f.W().LogGetText().size());
}

TEST(Churn, TickAndUntickActivationAThousandTimesWithDatagrams) {
    TConsoleFixture f;
    TUdpPeer peer;
    f.W().edtHost->setText("127.0.0.1");
    f.W().EdPort->setText("0"); // the system chooses a free port each time
    int got = 0;
    auto cycle = [&](int I) {
        f.W().ChBxActiv->setChecked(true);
        if (!f.W().UDPServer->Active())
            return false;
        const int port = f.W().UDPServer->Bindings()[0].Port;
        f.W().LogClear();
        peer.SendTo(port, "text " + std::to_string(I));
        if (!f.LogIs("\r\ntext " + std::to_string(I)))
            return false;
        ++got;
        // A second datagram is on its way while the box is unticked: it is either delivered
        // or not, and nothing hangs.
        peer.SendTo(port, "late " + std::to_string(I));
        f.W().ChBxActiv->setChecked(false);
        return !f.W().UDPServer->Active();
    };
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(cycle(i));
    const TCounts before;
    for (int i = 0; i < Cycles; ++i)
        ASSERT_TRUE(cycle(i)) << "cycle " << i;
    EXPECT_EQ(got, Cycles + 5);
    EXPECT_TRUE(BackTo(before)) << "descriptors " << before.Fds << " -> " << OpenDescriptors()
                                << ", threads " << before.Threads << " -> " << Threads();
    ExpectFlatMemory(before, f.W().LogGetText().size());
}
