// What a pseudo-terminal cannot show: modem lines, failing queries, a full output queue.
#include "ConsoleSupport.h"
#include "FakeVaPlatform.h"
#include "StatusPanels.h"

#include <QComboBox>
#include <QPushButton>
#include <gtest/gtest.h>

namespace {
struct TFakeConsole : TFormFixture {
    std::shared_ptr<TFakePlatform> Platform = std::make_shared<TFakePlatform>();
    std::shared_ptr<TFakeDevice> Device = Platform->Device("\\\\.\\COM1");
    TFakeConsole() { Form->VaComm->SetPlatform(Platform); }
    TBaseform& W() { return *Form; }
};
} // namespace

TEST(ConsoleModem, OpeningDropsThenRaisesDtrAndRts) {
    TFakeConsole f;
    f.W().BtnOpen->click();
    ASSERT_TRUE(f.W().VaComm->IsOpen());
    // Each tick change runs its box's handler, which sets the line to the same level again.
    EXPECT_EQ(f.Device->Escapes(),
              (std::vector<int>{CLRDTR, CLRRTS, SETDTR, SETDTR, SETRTS, SETRTS}));
    f.W().BtnClose->click();
    // The port is closed when the close notification runs: the line calls leave the lines alone.
    EXPECT_EQ(f.Device->Escapes().size(), 6u);
}

TEST(ConsoleModem, TheStatusBarFollowsTheModemLines) {
    TFakeConsole f;
    f.W().BtnOpen->click();
    f.Device->SetModem(MS_DSR_ON | MS_CTS_ON);
    ASSERT_TRUE(PumpUntil([&] { return f.W().StatusBar->PanelText(1) == "DSR"; }));
    EXPECT_EQ(f.W().StatusBar->PanelText(3), "CTS");
    EXPECT_EQ(f.W().StatusBar->PanelText(4), "");
    EXPECT_EQ(f.W().StatusBar->PanelText(5), "");
    f.Device->SetModem(MS_RING_ON | MS_RLSD_ON);
    ASSERT_TRUE(PumpUntil([&] { return f.W().StatusBar->PanelText(4) == "RING"; }));
    EXPECT_EQ(f.W().StatusBar->PanelText(5), "DCD");
    EXPECT_EQ(f.W().StatusBar->PanelText(1), "");
    EXPECT_EQ(f.W().StatusBar->PanelText(3), "");
    // After the close the polled panels keep their last texts.
    f.W().BtnClose->click();
    EXPECT_EQ(f.W().StatusBar->PanelText(4), "RING");
}

TEST(ConsoleModem, OneTickMakesOneQueryForTheFourPanels) {
    TFakeConsole f;
    f.W().BtnOpen->click();
    f.Device->SetModem(MS_DSR_ON | MS_RLSD_ON);
    const int before = f.Device->Calls(TFakeOp::ModemStatus);
    for (int i = 0; i < 10; ++i)
        f.W().SysTimerTimer();
    EXPECT_EQ(f.Device->Calls(TFakeOp::ModemStatus) - before, 10);
    EXPECT_EQ(f.W().StatusBar->PanelText(1), "DSR");
    EXPECT_EQ(f.W().StatusBar->PanelText(5), "DCD");
    EXPECT_EQ(f.W().StatusBar->PanelText(3), "");
}

TEST(ConsoleModem, ALastingQueryFailureIsReportedOnceUntilItRecoversOrThePortReopens) {
    TFakeConsole f;
    f.W().BtnOpen->click();
    f.Device->Fail(TFakeOp::ModemStatus, EIO, -1);
    ASSERT_TRUE(PumpUntil([&] { return f.Device->Calls(TFakeOp::ModemStatus) > 40; }));
    ASSERT_EQ(f.Boxes.size(), 1);
    EXPECT_EQ(f.Boxes[0], "Error reading modem state (5), Input/output error");

    f.Device->Fail(TFakeOp::ModemStatus, 0, 0); // recovers
    const int calls = f.Device->Calls(TFakeOp::ModemStatus);
    ASSERT_TRUE(PumpUntil([&] { return f.Device->Calls(TFakeOp::ModemStatus) > calls + 8; }));
    f.Device->Fail(TFakeOp::ModemStatus, EIO, -1);
    ASSERT_TRUE(PumpUntil([&] { return f.Boxes.size() == 2; }));
    // Further failing queries, and no further box.
    const int failed = f.Device->Calls(TFakeOp::ModemStatus);
    ASSERT_TRUE(PumpUntil([&] { return f.Device->Calls(TFakeOp::ModemStatus) > failed + 8; }));
    EXPECT_EQ(f.Boxes.size(), 2);

    f.W().BtnOpen->click(); // a reopen reports a lasting failure again, once
    ASSERT_TRUE(PumpUntil([&] { return f.Boxes.size() == 3; }));
    const int reopened = f.Device->Calls(TFakeOp::ModemStatus);
    ASSERT_TRUE(PumpUntil([&] { return f.Device->Calls(TFakeOp::ModemStatus) > reopened + 8; }));
    EXPECT_EQ(f.Boxes.size(), 3);
}

TEST(ConsoleModem, AFullOutputQueueDuringAnAnswerIsShownAndTheResponderGoesOn) {
    TFakeConsole f;
    f.W().ChBxTreat->setChecked(true);
    f.W().RButPack->setChecked(true);
    ASSERT_TRUE(f.W().VaComm->IsOpen());
    f.W().VaComm->Buffers().SetWriteTimeout(50);
    f.Device->HoldWrites();
    ASSERT_TRUE(f.W().VaComm->WriteText(std::string(2046, 'x'))); // the queue is nearly full
    const std::string request = Bytes({0x1E, 0x02, 0x05, 0x01, 0xC3});
    f.Device->Feed(request);
    ASSERT_TRUE(PumpUntil([&] { return f.Boxes.size() == 1; }));
    EXPECT_EQ(f.Boxes[0], "Output buffer is full. Please check comm status.");
    f.Device->Grant(-1);
    ASSERT_TRUE(PumpUntil([&] { return f.Device->Written().size() == 2046; }));
    f.Device->Feed(request);
    EXPECT_TRUE(PumpUntil([&] { return f.Device->Written() == std::string(2046, 'x') + request; }));
    EXPECT_TRUE(f.W().Console->Responder()->Running);
    EXPECT_EQ(f.Boxes.size(), 1);
}
