#include "ConsoleSupport.h"
#include "Util.h"
#include "uThread.h"

#include <QCheckBox>
#include <QPushButton>
#include <gtest/gtest.h>

namespace {
const std::string Kind1 = Bytes({0x1E, 0x02, 0x05, 0x01, 0xC3});
const std::string Kind2 = Bytes({0x1E, 0x02, 0x06, 0x02, 0x74});

struct TResponderFixture : TConsoleFixture {
    TResponderFixture() {
        OpenPacket(true);
        Device.ReadFor(20); // nothing pending before the test speaks
    }
    // Writes Request and waits until the window has captured it and a step has taken it out of
    // the capture buffer: whatever answer it gets is then on its way.
    void SendAndWaitTaken(const std::string& Request) {
        const uint8_t end = static_cast<uint8_t>(Link().CaptureWr + Request.size());
        ASSERT_TRUE(Device.Write(Request));
        ASSERT_TRUE(PumpUntil([&] { return Link().CaptureWr == end && Link().CaptureRd == end; }));
    }
};
} // namespace

TEST(Responder, AnswersRequestsOnTheWire) {
    struct TCase {
        const char* Name;
        std::string Request, Answer;
    } cases[] = {
        {"kind 1 echoed", Kind1, Kind1},
        {"kind 2 echoed", Kind2, Kind2},
        {"extra payload byte not echoed", Bytes({0x1E, 0x03, 0x07, 0x02, 0x41, 0xA5}),
         Bytes({0x1E, 0x02, 0x07, 0x02, 0xB0})},
        {"garbage before", Bytes({0x11, 0x22, 0x1E, 0x02, 0x09, 0x01, 0x8E}),
         Bytes({0x1E, 0x02, 0x09, 0x01, 0x8E})},
        {"P1 zero", Bytes({0x1E, 0x02, 0x00, 0x01, 0x3C}), Bytes({0x1E, 0x02, 0x00, 0x01, 0x3C})},
        {"kind 3 ignored", Bytes({0x1E, 0x02, 0x07, 0x03, 0xEE}), ""},
        {"empty request ignored", Bytes({0x1E, 0x00, 0x30}), ""},
        {"bad CRC ignored", Bytes({0x1E, 0x02, 0x05, 0x01, 0xC4}), ""},
        {"length 1 carries no kind", Bytes({0x1E, 0x01, 0x05, 0x45}), ""},
    };
    TResponderFixture f;
    for (const auto& c : cases) {
        if (c.Answer.empty()) {
            f.SendAndWaitTaken(c.Request);
            EXPECT_EQ(Hex(f.Device.ReadFor(100)), "") << c.Name;
        } else {
            ASSERT_TRUE(f.Device.Write(c.Request));
            EXPECT_EQ(Hex(f.Device.ReadExactly(c.Answer.size())), Hex(c.Answer)) << c.Name;
        }
    }
    EXPECT_EQ(f.W().LogGetText().find("Error"), std::string::npos);
    // Nothing consumed is answered later.
    EXPECT_EQ(Hex(f.Device.ReadFor(100)), "");
}

TEST(Responder, TwoRequestsInOneBurstGetTwoAnswersInOrder) {
    TResponderFixture f;
    ASSERT_TRUE(f.Device.Write(Kind1 + Kind2));
    EXPECT_EQ(Hex(f.Device.ReadExactly(10)), Hex(Kind1 + Kind2));
}

TEST(Responder, ARequestSplitOverTwoReceiveEventsIsAnsweredOnceComplete) {
    TResponderFixture f;
    ASSERT_TRUE(f.Device.Write(Kind1.substr(0, 3)));
    ASSERT_TRUE(
        PumpUntil([&] { return f.W().LogGetText().find("Rx- 1E 02 05") != std::string::npos; }));
    EXPECT_EQ(Hex(f.Device.ReadFor(10)), "");
    ASSERT_TRUE(f.Device.Write(Kind1.substr(3)));
    EXPECT_EQ(Hex(f.Device.ReadExactly(5)), Hex(Kind1));
}

TEST(Responder, AnIncompleteRequestIsGivenUpOnceTheCountdownRunsOut) {
    TResponderFixture f;
    ASSERT_TRUE(f.Device.Write(Kind1.substr(0, 3)));
    ASSERT_TRUE(
        PumpUntil([&] { return f.W().LogGetText().find("Rx- 1E 02 05") != std::string::npos; }));
    ASSERT_TRUE(PumpUntil([&] { return f.Link().RxCountdown.load() == 0; }));
    // The next step consumes the bytes it gave up.
    ASSERT_TRUE(PumpUntil([&] { return f.Link().CaptureRd == f.Link().CaptureWr; }));
    ASSERT_TRUE(f.Device.Write(Kind1.substr(3)));
    EXPECT_EQ(Hex(f.Device.ReadFor(150)), "");
}

TEST(Responder, NothingIsAnsweredWhileTreatIsUnticked) {
    TResponderFixture f;
    f.W().ChBxTreat->setChecked(false);
    ASSERT_TRUE(f.Device.Write(Kind1));
    ASSERT_TRUE(f.LogIs("Rx- 1E 02 05 01 C3 \r\n"));
    EXPECT_EQ(Hex(f.Device.ReadFor(100)), "");
}

TEST(Responder, AnAnswerToAClosedPortIsReportedInTheLog) {
    TResponderFixture f;
    // Complete a request in the capture buffer with the port closed: the step still answers.
    f.W().BtnClose->click();
    f.Link().RxCountdown = 10;
    f.Link().CaptureBytes(Kind1.data(), Kind1.size());
    EXPECT_TRUE(PumpUntil(
        [&] { return f.W().LogGetText().find("Error writing to: Port 1") != std::string::npos; }));
    EXPECT_TRUE(f.Boxes.isEmpty());
}
