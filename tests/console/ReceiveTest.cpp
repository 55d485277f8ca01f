#include "ConsoleSupport.h"

#include <QCheckBox>
#include <gtest/gtest.h>

namespace {
// Delivers Data to the window as one receive event: the bytes wait in the port until all have
// come, then the handler runs once, as when the device sends them in one burst.
void Receive(TConsoleFixture& F, const std::string& Data) {
    auto handler = F.W().VaComm->OnRxChar;
    F.W().VaComm->OnRxChar = nullptr;
    ASSERT_TRUE(F.Device.Write(Data));
    ASSERT_TRUE(
        PumpUntil([&] { return F.W().VaComm->ReadCount() == static_cast<int>(Data.size()); }));
    F.W().VaComm->OnRxChar = handler;
    F.W().VaCommRxChar(F.W().VaComm.get(), static_cast<int>(Data.size()));
}
} // namespace

TEST(ReceiveDirect, PrintableBytesShowAndCrStartsANewLine) {
    TConsoleFixture f;
    f.OpenDirect();
    Receive(f, "AB\nC\r");
    EXPECT_EQ(f.W().LogGetText(), "ABC\r\n");
    Receive(f, std::string("A\0B", 3));
    EXPECT_EQ(f.W().LogGetText(), "ABC\r\nA");
    Receive(f, "\t\x7F\xC0\xFF");
    EXPECT_EQ(f.W().LogGetText(), "ABC\r\nA\x7F\xC0\xFF");
}

TEST(ReceiveDirect, ScreenModeShowsEveryByteAndClearsOnTwoLeadingCrs) {
    TConsoleFixture f;
    f.W().ScrChBx->setChecked(true);
    f.OpenDirect();
    Receive(f, "A\r\nB");
    EXPECT_EQ(f.W().LogGetText(), "A\r\n\r\nB");
    Receive(f, "X\r\r");
    EXPECT_EQ(f.W().LogGetText(), "A\r\n\r\nBX\r\n\r\n") << "a chunk not starting with two CRs";
    Receive(f, "\r");
    Receive(f, "\rY");
    EXPECT_EQ(f.W().LogGetText(), "A\r\n\r\nBX\r\n\r\n\r\n\r\nY")
        << "two CRs split over two chunks cleared the log";
    Receive(f, "\r\rX\t");
    EXPECT_EQ(f.W().LogGetText(), "X\t");
    Receive(f, std::string("Q\0R", 3));
    EXPECT_EQ(f.W().LogGetText(), "X\tQ");
}

TEST(ReceivePacket, BytesShowAsHexLinesAndAreCapturedWhileTreatIsTicked) {
    TConsoleFixture f;
    f.OpenPacket(false);
    const uint8_t wr = f.Link().CaptureWr;
    Receive(f, Bytes({0x1E, 0x02, 0x05}));
    EXPECT_EQ(f.W().LogGetText(), "Rx- 1E 02 05 \r\n");
    EXPECT_EQ(f.Link().CaptureWr, wr) << "captured with Treat unticked";
    EXPECT_EQ(f.Link().RxCountdown.load(), 10);

    std::string big;
    for (int i = 0; i < 300; ++i)
        big += static_cast<char>(i % 7 == 0 ? 0 : 0x40 + i % 3); // no start byte: nothing answered
    f.W().ChBxTreat->setChecked(true);
    f.W().LogClear();
    Receive(f, big);
    EXPECT_EQ(f.W().LogGetText(), "Rx- " + Hex(big) + "\r\n");
    EXPECT_EQ(f.Link().CaptureWr, static_cast<uint8_t>(wr + 300 % 256));
}

TEST(ReceivePacket, SwitchingModesChangesOnlyWhatComesNext) {
    TConsoleFixture f;
    f.OpenDirect();
    Receive(f, "hi");
    f.OpenPacket(false);
    Receive(f, "hi");
    EXPECT_EQ(f.W().LogGetText(), "hiRx- 68 69 \r\n");
}

TEST(ReceivePacket, BytesReachTheLogThroughTheReceiveEvent) {
    TConsoleFixture f;
    f.OpenPacket(false);
    f.Device.Write("\x01");
    EXPECT_TRUE(f.LogIs("Rx- 01 \r\n"));
}
