// The responder thread: its steps run on the main thread, it waits without calls while
// nothing is unread, and Running is cleared however the loop ends.
#include "Application.h"
#include "EventPump.h"
#include "Exception.h"
#include "PacketTestSupport.h"
#include "uThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {
// Long enough that only a wake-up, never the idle check, ends the responder's wait in time.
constexpr unsigned NoIdleCheck = 600000;

class UserThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        ResetPacketLink();
    }
    void TearDown() override {
        SetApplicationExceptionHandler(nullptr);
        ResetPacketLink();
    }
    // Stops the thread while serving its main-thread calls, as closing the window does.
    static void Stop(TUserThread& T) {
        T.Terminate();
        EXPECT_TRUE(PumpUntil([&] { return !T.Running; }));
        T.WaitFor();
        EXPECT_FALSE(T.Running);
    }
};

} // namespace

TEST_F(UserThreadTest, RunsStepsOnTheMainThreadWhileBytesAreUnread) {
    Capture({0x11}); // unread, and the step below leaves it so
    std::vector<bool> onMain;
    std::vector<uint8_t> countdown;
    TUserThread t(
        TestLink,
        [&] {
            onMain.push_back(IsMainThread());
            countdown.push_back(RxCountdown);
        },
        NoIdleCheck);
    EXPECT_FALSE(t.Running);
    t.Start();
    ASSERT_TRUE(PumpUntil([&] { return onMain.size() >= 5; }));
    EXPECT_TRUE(t.Running);
    EXPECT_EQ(std::count(onMain.begin(), onMain.end(), false), 0);
    EXPECT_EQ(countdown.front(), 1) << "the countdown is set to 1 when the thread starts";
    Stop(t);
    const size_t steps = onMain.size();
    PumpFor(50);
    EXPECT_EQ(onMain.size(), steps) << "no step after the thread has ended";
}

TEST_F(UserThreadTest, AnswersRequestsThroughTheStep) {
    std::vector<TBytes> written;
    TUserThread t(
        TestLink,
        [&] {
            TestLink.AnswerRequest(
                [&](const std::string& s) {
                    written.emplace_back(s.begin(), s.end());
                    return true;
                },
                [] {});
        },
        NoIdleCheck);
    t.Start();
    ASSERT_TRUE(PumpUntil([&] { return t.Running.load(); }));
    RxCountdown = 10;
    TestLink.CaptureBytes("\x1E\x02\x05\x01\xC3\x1E\x02\x06\x02\x74", 10);
    ASSERT_TRUE(PumpUntil([&] { return written.size() >= 2; }));
    EXPECT_EQ(written[0], (TBytes{0x1E, 0x02, 0x05, 0x01, 0xC3}));
    EXPECT_EQ(written[1], (TBytes{0x1E, 0x02, 0x06, 0x02, 0x74}));
    Stop(t);
}

TEST_F(UserThreadTest, IdleResponderWaitsForCapturedBytes) {
    int steps = 0;
    TUserThread t(
        TestLink,
        [&] {
            ++steps;
            CaptureRd = CaptureWr; // takes whatever was captured
        },
        NoIdleCheck);
    t.Start();
    ASSERT_TRUE(PumpUntil([&] { return steps >= 1; }));
    PumpFor(200);
    EXPECT_EQ(steps, 1) << "no calls while nothing is unread";
    for (int round = 2; round <= 4; ++round) {
        TestLink.CaptureBytes("\x1E", 1); // the capture wakes the responder
        ASSERT_TRUE(PumpUntil([&] { return steps >= round; }));
        PumpFor(50);
        EXPECT_EQ(steps, round);
    }
    Stop(t); // the idle wait ends at the stop request, not at the idle check
}

TEST_F(UserThreadTest, BytesCapturedWithoutNoticeAreExaminedAtTheIdleCheck) {
    int steps = 0;
    bool sawBytes = false;
    TUserThread t(
        TestLink,
        [&] {
            ++steps;
            sawBytes = sawBytes || CaptureRd != CaptureWr;
            CaptureRd = CaptureWr;
        },
        20);
    t.Start();
    ASSERT_TRUE(PumpUntil([&] { return steps >= 1; }));
    Capture({0x11}); // no NoteCaptured
    EXPECT_TRUE(PumpUntil([&] { return sawBytes; }));
    Stop(t);
}

TEST_F(UserThreadTest, ThrowingStepIsReportedAndTheThreadGoesOn) {
    std::vector<std::string> reported;
    bool reportedOnMain = true;
    SetApplicationExceptionHandler([&](std::exception_ptr e) {
        reportedOnMain = reportedOnMain && IsMainThread();
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            reported.push_back(x.what());
        } catch (...) {
            reported.push_back("?");
        }
    });
    Capture({0x11});
    int steps = 0;
    TUserThread t(
        TestLink,
        [&] {
            if (++steps % 2)
                throw Exception("port gone");
            throw 42;
        },
        NoIdleCheck);
    t.Start();
    ASSERT_TRUE(PumpUntil([&] { return reported.size() >= 4; }));
    EXPECT_TRUE(t.Running);
    EXPECT_TRUE(reportedOnMain);
    EXPECT_EQ(reported[0], "port gone");
    EXPECT_EQ(reported[1], "?");
    Stop(t);
}

TEST_F(UserThreadTest, StopsWhileItsMainThreadCallIsNotServed) {
    int steps = 0;
    auto t = std::make_unique<TUserThread>(
        TestLink, [&] { ++steps; }, NoIdleCheck);
    t->Start();
    ASSERT_TRUE(SleepUntil([&] { return t->Running.load(); }));
    t->Terminate();
    EXPECT_TRUE(SleepUntil([&] { return t->Finished(); }));
    EXPECT_FALSE(t->Running);
    t.reset();
    PumpFor(20); // the abandoned call is dropped, not run
    EXPECT_EQ(steps, 0);
}

TEST_F(UserThreadTest, DestroyingAnIdleResponderStopsIt) {
    int steps = 0;
    auto t = std::make_unique<TUserThread>(
        TestLink, [&] { ++steps; }, NoIdleCheck);
    t->Start();
    ASSERT_TRUE(PumpUntil([&] { return steps >= 1; }));
    PumpFor(20); // now in its idle wait
    t.reset();   // returns only once the thread has ended; a missed wake-up hangs the test
    Capture({0x11});
    TestLink.NoteCaptured();
    PumpFor(20);
    EXPECT_EQ(steps, 1);
}
