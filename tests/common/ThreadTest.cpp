#include "Thread.h"
#include "Application.h"
#include "EventPump.h"
#include "Exception.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {
class TCallingThread : public TThread {
public:
    std::function<void()> Body;
    std::atomic_int Calls{0};
    std::atomic_bool LastResult{true};
    std::atomic_bool Raised{false};

protected:
    void Execute() override {
        while (!Terminated()) {
            try {
                LastResult = Synchronize(Body);
            } catch (const Exception&) {
                Raised = true;
            }
            ++Calls;
            Pause(1);
        }
    }
};
} // namespace

TEST(Synchronize, RunsOnTheMainThreadAndBlocksTheCaller) {
    TestApp();
    std::atomic_bool onMain{false};
    TCallingThread t;
    t.Body = [&] { onMain = IsMainThread(); };
    t.Start();
    ASSERT_TRUE(PumpUntil([&] { return t.Calls >= 3; }));
    EXPECT_TRUE(onMain);
    EXPECT_TRUE(t.LastResult);
    t.Terminate();
    t.WaitFor();
    EXPECT_TRUE(t.Finished());
}

TEST(Synchronize, RunsAtOnceOnTheMainThread) {
    TestApp();
    TStopSignal stop;
    bool ran = false;
    EXPECT_TRUE(Synchronize([&] { ran = true; }, stop));
    EXPECT_TRUE(ran);
}

TEST(Synchronize, ErrorsTravelBackToTheCaller) {
    TestApp();
    TCallingThread t;
    t.Body = [] { throw Exception("boom"); };
    t.Start();
    ASSERT_TRUE(PumpUntil([&] { return t.Raised.load(); }));
    t.Terminate();
    t.WaitFor();
}

TEST(Synchronize, ATerminatedCallerStopsWaitingForAMainThreadThatNeverServes) {
    TestApp();
    std::atomic_int ran{0};
    TCallingThread t;
    t.Body = [&] { ++ran; };
    t.Start();
    // The main thread does not process events: the thread waits in its call until told to stop.
    Sleep(50);
    QElapsedTimer timer;
    timer.start();
    t.Terminate();
    t.WaitFor(); // would hang if the wait could not be ended
    EXPECT_FALSE(t.LastResult);
    // The abandoned call must not run later.
    QCoreApplication::processEvents();
    EXPECT_EQ(ran.load(), 0);
}

TEST(Thread, PauseEndsEarlyOnTerminate) {
    class TSleeper : public TThread {
    protected:
        void Execute() override { Pause(60000); }
    } t;
    QElapsedTimer timer;
    timer.start();
    t.Start();
    t.Terminate();
    t.WaitFor();
    EXPECT_LT(timer.elapsed(), 10000);
}

TEST(Application, TitleIsTheFileNameCutAtTheFirstDotWithTheRestInLowerCase) {
    EXPECT_EQ(ApplicationTitleFrom("/usr/bin/tevro-console"), "tevro-console");
    EXPECT_EQ(ApplicationTitleFrom("C:/X/CONSOLE.EXE"), "Console");
    EXPECT_EQ(ApplicationTitleFrom("/a/b/tEVRO.v2.bin"), "tevro");
    EXPECT_EQ(ApplicationTitleFrom("Tevro"), "Tevro");
}

TEST(Application, HandlerReceivesErrorsAndGuardedStopsThem) {
    std::string seen;
    SetApplicationExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const Exception& x) {
            seen = x.Message();
        }
    });
    Guarded([] { throw Exception("bad thing"); });
    EXPECT_EQ(seen, "bad thing");
    SetApplicationExceptionHandler({});
}
