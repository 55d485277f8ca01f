// The responder step over the capture buffer, with a port that records what it is given.
#include "Exception.h"
#include "PacketTestSupport.h"
#include "uThread.h"

#include <gtest/gtest.h>
#include <optional>

namespace {

class AnswerRequestTest : public ::testing::Test {
protected:
    void SetUp() override { ResetPacketLink(); }
    void TearDown() override { ResetPacketLink(); }

    // One responder step; returns what it wrote, if anything.
    std::optional<TBytes> Step() {
        const size_t before = written.size();
        TestLink.AnswerRequest(
            [this](const std::string& s) {
                written.emplace_back(s.begin(), s.end());
                if (throwOnWrite)
                    throw Exception("write failed");
                return acceptWrites;
            },
            [this] { ++writeErrors; });
        EXPECT_EQ(SendRd, SendWr) << "the answer ring is emptied by every step";
        if (written.size() == before)
            return std::nullopt;
        EXPECT_EQ(written.size(), before + 1) << "at most one write per step";
        return written.back();
    }

    std::vector<TBytes> written;
    bool acceptWrites = true;
    bool throwOnWrite = false;
    int writeErrors = 0;
};

struct TRequestCase {
    const char* what;
    TBytes request;
    std::optional<TBytes> answer;
};

const TRequestCase RequestCases[] = {
    {"kind 1, copied back", {0x1E, 0x02, 0x05, 0x01, 0xC3}, TBytes{0x1E, 0x02, 0x05, 0x01, 0xC3}},
    {"kind 2, copied back", {0x1E, 0x02, 0x06, 0x02, 0x74}, TBytes{0x1E, 0x02, 0x06, 0x02, 0x74}},
    {"extra payload byte not echoed",
     {0x1E, 0x03, 0x07, 0x02, 0x41, 0xA5},
     TBytes{0x1E, 0x02, 0x07, 0x02, 0xB0}},
    {"kind 3, not answered", {0x1E, 0x02, 0x07, 0x03, 0xEE}, std::nullopt},
    {"empty request", {0x1E, 0x00, 0x30}, std::nullopt},
    {"garbage before",
     {0x11, 0x22, 0x1E, 0x02, 0x09, 0x01, 0x8E},
     TBytes{0x1E, 0x02, 0x09, 0x01, 0x8E}},
    {"bad CRC", {0x1E, 0x02, 0x05, 0x01, 0xC4}, std::nullopt},
    {"P1 zero, sent like any byte", Frame({0x00, 0x01}), Frame({0x00, 0x01})},
    {"length 1 carries no kind", Frame({0x05}), std::nullopt},
};

} // namespace

// Each request alone, with the rings at the start and across their wrap, while bytes are
// still arriving (countdown 10) and after the countdown has run out.
TEST_F(AnswerRequestTest, AnswersEachRequestAtMostOnce) {
    for (const auto& c : RequestCases)
        for (uint8_t captureAt : {0, 251})
            for (uint8_t sendAt : {0, 253})
                for (uint8_t ticks : {10, 0}) {
                    SCOPED_TRACE(testing::Message()
                                 << c.what << ", capture at " << int(captureAt) << ", send at "
                                 << int(sendAt) << ", countdown " << int(ticks));
                    ResetPacketLink(captureAt, sendAt);
                    // Stale contents where a short request would find its kind.
                    std::fill(std::begin(PacketBuf), std::end(PacketBuf), 0x01);
                    RxCountdown = ticks;
                    written.clear();
                    Capture(c.request);
                    EXPECT_EQ(Step(), c.answer);
                    // Consumed: nothing more, ever, from the same bytes.
                    EXPECT_EQ(Step(), std::nullopt);
                    RxCountdown = 0;
                    EXPECT_EQ(Step(), std::nullopt);
                    EXPECT_EQ(CaptureRd, CaptureWr);
                    EXPECT_EQ(writeErrors, 0);
                }
}

TEST_F(AnswerRequestTest, AnswersOnlyKindsOneAndTwo) {
    for (unsigned kind = 0; kind < 256; ++kind) {
        const TBytes request = Frame({0x5A, static_cast<uint8_t>(kind)});
        Capture(request);
        const auto answer = Step();
        if (kind == 1 || kind == 2)
            EXPECT_EQ(answer, request) << "kind " << kind;
        else
            EXPECT_EQ(answer, std::nullopt) << "kind " << kind;
        EXPECT_EQ(CaptureRd, CaptureWr);
    }
}

TEST_F(AnswerRequestTest, TwoRequestsInOneBurstAreAnsweredInTwoSteps) {
    RxCountdown = 10;
    Capture({0x1E, 0x02, 0x05, 0x01, 0xC3, 0x1E, 0x02, 0x06, 0x02, 0x74});
    EXPECT_EQ(Step(), (TBytes{0x1E, 0x02, 0x05, 0x01, 0xC3}));
    EXPECT_EQ(Step(), (TBytes{0x1E, 0x02, 0x06, 0x02, 0x74}));
    EXPECT_EQ(Step(), std::nullopt);
}

TEST_F(AnswerRequestTest, SplitRequestIsAnsweredOnceItsLastByteIsIn) {
    RxCountdown = 10;
    Capture({0x1E, 0x02, 0x05});
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_EQ(Step(), std::nullopt);
    RxCountdown = 3; // some timer ticks went by
    Capture({0x01, 0xC3});
    EXPECT_EQ(Step(), (TBytes{0x1E, 0x02, 0x05, 0x01, 0xC3}));
}

TEST_F(AnswerRequestTest, SplitRequestIsGivenUpWhenTheCountdownRunsOut) {
    RxCountdown = 10;
    Capture({0x1E, 0x02, 0x05});
    EXPECT_EQ(Step(), std::nullopt);
    RxCountdown = 0; // ten timer ticks without a receive event
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_EQ(CaptureRd, CaptureWr);
    RxCountdown = 10; // the rest arrives late
    Capture({0x01, 0xC3});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Step(), std::nullopt);
    EXPECT_TRUE(written.empty());
}

TEST_F(AnswerRequestTest, RefusedWriteIsReportedOnceAndNotRetried) {
    acceptWrites = false;
    Capture({0x1E, 0x02, 0x05, 0x01, 0xC3});
    EXPECT_EQ(Step(), (TBytes{0x1E, 0x02, 0x05, 0x01, 0xC3}));
    EXPECT_EQ(writeErrors, 1);
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_EQ(writeErrors, 1);
    // The next request goes out normally once the port takes bytes again.
    acceptWrites = true;
    Capture({0x1E, 0x02, 0x06, 0x02, 0x74});
    EXPECT_EQ(Step(), (TBytes{0x1E, 0x02, 0x06, 0x02, 0x74}));
    EXPECT_EQ(writeErrors, 1);
}

TEST_F(AnswerRequestTest, WriteErrorReachesTheCallerWithTheRingEmptied) {
    throwOnWrite = true;
    Capture({0x1E, 0x02, 0x05, 0x01, 0xC3});
    EXPECT_THROW(Step(), Exception);
    EXPECT_EQ(SendRd, SendWr);
    EXPECT_EQ(CaptureRd, CaptureWr);
    EXPECT_EQ(writeErrors, 0);
    throwOnWrite = false;
    Capture({0x1E, 0x02, 0x06, 0x02, 0x74});
    EXPECT_EQ(Step(), (TBytes{0x1E, 0x02, 0x06, 0x02, 0x74}));
}

// More answers than the answer ring holds: its indices wrap and every answer stays whole.
TEST_F(AnswerRequestTest, ManyRequestsInTurn) {
    RxCountdown = 10;
    for (unsigned n = 0; n < 300; ++n) {
        const TBytes request = Frame({static_cast<uint8_t>(n), static_cast<uint8_t>(1 + n % 2)});
        Capture(request);
        ASSERT_EQ(Step(), request) << "request " << n;
    }
    EXPECT_EQ(SendWr, static_cast<uint8_t>(300 * 5));
}
