// The component over real pseudo-terminals: the test plays the device on the master.
#include "CpuTime.h"
#include "SerialTestSupport.h"

#include "Application.h"
#include "VaComm.h"

#include <gtest/gtest.h>
#include <thread>

namespace {

// Counts the line-error notifications that reach the component.
class TCountingComm : public TVaComm {
public:
    int ErrNotifications = 0;
    int NotificationsOffMain = 0;

protected:
    void DispatchEvents(uint32_t Mask) override {
        if (!IsMainThread())
            ++NotificationsOffMain;
        if (Mask & EV_ERR)
            ++ErrNotifications;
        TVaComm::DispatchEvents(Mask);
    }
};

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        RecordApplicationErrors(Errors);
        Comm.SetClosePauseForTesting(0);
        Comm.SetDeviceName(Device.SlavePath());
        Comm.SetUserBaudrate(115200);
        Comm.SetMonitorEvents({ceError, ceRxChar, ceTxEmpty, ceRxFlag});
        Comm.OnRxChar = [this](TVaCustomComm* Sender, int) {
            OnMain = OnMain && IsMainThread();
            Received += Sender->ReadText();
        };
        Comm.OnTxEmpty = [this](TVaCustomComm*) { ++TxEmpty; };
    }
    void TearDown() override { SetApplicationExceptionHandler(nullptr); }

    TConfigHome Home;
    TPtyDevice Device;
    TCountingComm Comm;
    std::string Received;
    bool OnMain = true;
    int TxEmpty = 0;
    std::vector<std::string> Errors;
};

TEST_F(PtyPort, OpensClosesAndReopens) {
    int opens = 0, closes = 0;
    Comm.OnOpen = [&](TVaCustomComm*) { ++opens; };
    Comm.OnClose = [&](TVaCustomComm* S) {
        ++closes;
        EXPECT_FALSE(S->IsOpen());
    };
    Comm.Open();
    EXPECT_TRUE(Comm.IsOpen());
    EXPECT_EQ(MessageOf([&] { Comm.Open(); }), "Can't perform this operation while port is open");
    EXPECT_TRUE(Comm.IsOpen());
    Comm.Close();
    EXPECT_FALSE(Comm.IsOpen());
    Comm.Close(); // closed already: no second OnClose
    Comm.Open();
    ASSERT_TRUE(Device.Write("after reopen"));
    EXPECT_TRUE(PumpUntil([&] { return Received == "after reopen"; }));
    Comm.Close();
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(closes, 2);
}

// How long closing a closed port takes is a figure of bench/serial_throughput.
TEST_F(PtyPort, CloseOfAnOpenPortPauses) {
    TVaComm comm;
    comm.SetDeviceName(Device.SlavePath());
    comm.SetUserBaudrate(9600);
    comm.Open();
    QElapsedTimer t;
    t.start();
    comm.Close();
    EXPECT_GE(t.elapsed(), 300);
}

TEST_F(PtyPort, OpenErrorsNameTheDevice) {
    Comm.SetDeviceName("/dev/no-such-serial-device");
    EXPECT_EQ(MessageOf([&] { Comm.Open(); }),
              "Specified device not found (/dev/no-such-serial-device).");
    EXPECT_FALSE(Comm.IsOpen());

    // COM0 names nothing; a COM map entry whose target is gone is not found either.
    Comm.SetDeviceName("\\\\.\\COM%d");
    Comm.SetPortNum(0);
    EXPECT_EQ(MessageOf([&] { Comm.Open(); }), "Specified device not found (\\\\.\\COM0).");
    Home.MapCom(9, "/dev/no-such-serial-device");
    Comm.SetPortNum(9);
    EXPECT_EQ(MessageOf([&] { Comm.Open(); }), "Specified device not found (\\\\.\\COM9).");

    // A device held by another open is busy.
    TVaComm holder;
    holder.SetClosePauseForTesting(0);
    holder.SetDeviceName(Device.SlavePath());
    holder.SetUserBaudrate(9600);
    holder.Open();
    Comm.SetDeviceName(Device.SlavePath());
    EXPECT_EQ(MessageOf([&] { Comm.Open(); }), "Can't open specified device " + Device.SlavePath() +
                                                   " (Error 16, Device or resource busy)");
    EXPECT_FALSE(Comm.IsOpen());
    holder.Close();
    Comm.Open(); // a later open may be tried
    EXPECT_TRUE(Comm.IsOpen());
}

TEST_F(PtyPort, OpensTheComMapEntryByNumber) {
    Home.MapCom(12, Device.SlavePath());
    Comm.SetDeviceName("\\\\.\\COM%d");
    Comm.SetPortNum(12);
    Comm.Open();
    ASSERT_TRUE(Comm.WriteText("via COM12"));
    EXPECT_EQ(Device.ReadExactly(9), "via COM12");
}

TEST_F(PtyPort, CarriesAllByteValuesBothWays) {
    Comm.Open();
    std::string all;
    for (int i = 0; i < 8; ++i)
        all += AllByteValues();
    ASSERT_TRUE(Device.Write(all));
    EXPECT_TRUE(PumpUntil([&] { return Received.size() >= all.size(); }));
    EXPECT_EQ(Received, all);
    EXPECT_TRUE(OnMain);

    EXPECT_TRUE(Comm.WriteText(AllByteValues()));
    EXPECT_EQ(Device.ReadExactly(256), AllByteValues());
    std::string nul("A\0B\0\0C", 6);
    EXPECT_TRUE(Comm.WriteText(nul));
    EXPECT_EQ(Device.ReadExactly(6), nul);
    EXPECT_EQ(Comm.NotificationsOffMain, 0);
}

TEST_F(PtyPort, ReadTextTakesEverythingWaiting) {
    Comm.OnRxChar = nullptr; // bytes stay queued until something reads them
    Comm.Open();
    EXPECT_EQ(Comm.ReadText(), "");
    ASSERT_TRUE(Device.Write("one two"));
    EXPECT_TRUE(PumpUntil([&] { return Comm.ReadCount() == 7; }));
    EXPECT_EQ(Comm.ReadText(), "one two");
    EXPECT_EQ(Comm.ReadCount(), 0);
}

TEST_F(PtyPort, WriteIsAnnouncedEmptyWhenDrained) {
    Comm.Open();
    EXPECT_TRUE(Comm.WriteText("AT\r\n"));
    EXPECT_TRUE(PumpUntil([&] { return TxEmpty == 1; }));
    EXPECT_EQ(Device.ReadExactly(4), "AT\r\n");
    PumpFor(50);
    EXPECT_EQ(TxEmpty, 1);
}

TEST_F(PtyPort, WriteQueueTakesItsSizeAndATextLongerThanItWhole) {
    Comm.Buffers().SetWriteTimeout(150);
    Comm.Open();
    EXPECT_TRUE(Comm.WriteText(std::string(2048, 'x')));
    EXPECT_EQ(Device.ReadExactly(2048), std::string(2048, 'x'));
    EXPECT_TRUE(Comm.WriteText(std::string(2049, 'y')));
    EXPECT_EQ(Device.ReadExactly(2049), std::string(2049, 'y'));
}

TEST_F(PtyPort, CloseDiscardsQueuedBytes) {
    // The device reads nothing: the tty fills up, then the queue.
    Comm.Buffers().SetWriteTimeout(100);
    Comm.Open();
    size_t accepted = 0;
    for (int i = 0; i < 200; ++i) {
        try {
            if (!Comm.WriteText(std::string(1024, 'q')))
                break;
            accepted += 1024;
        } catch (const EVaCommError&) {
            break;
        }
        PumpFor(1);
    }
    ASSERT_LT(accepted, 200u * 1024) << "the tty never filled up";
    Comm.Close();
    std::string got = Device.ReadFor(200);
    EXPECT_LT(got.size(), accepted);
    EXPECT_EQ(got, std::string(got.size(), 'q'));
}

TEST_F(PtyPort, ClosedPortNeitherReadsNorWritesNorRaises) {
    EXPECT_FALSE(Comm.WriteText("x"));
    EXPECT_TRUE(Comm.WriteText(""));
    EXPECT_EQ(Comm.ReadText(), "");
    EXPECT_EQ(Comm.ReadCount(), 0);
    for (int line = 1; line <= 4; ++line)
        EXPECT_FALSE(Comm.ModemLineOn(line));
    Comm.SetDTR(false);
    Comm.SetRTS(true);
}

TEST_F(PtyPort, PseudoTerminalHasNoModemLinesAndIgnoresDtrRts) {
    Comm.Open();
    Comm.SetDTR(true);
    Comm.SetRTS(true);
    for (int line = 1; line <= 4; ++line)
        EXPECT_FALSE(Comm.ModemLineOn(line));
    Comm.SetDTR(false);
    EXPECT_TRUE(Comm.WriteText("still fine"));
    EXPECT_EQ(Device.ReadExactly(10), "still fine");
}

TEST_F(PtyPort, UnplugIsReportedOnceWithoutSpinning) {
    Comm.Open();
    ASSERT_TRUE(Device.Write("before"));
    ASSERT_TRUE(PumpUntil([&] { return Received == "before"; }));
    ASSERT_TRUE(Comm.WriteText(std::string(1000, 'w'))); // traffic in flight
    Device.Unplug();
    ASSERT_TRUE(PumpUntil([&] { return Comm.ErrNotifications >= 1; }));
    // Give a spinning thread every chance to show itself.
    double cpu0 = CpuSeconds();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 20; ++i) {
        try {
            Comm.WriteText("more");
        } catch (const EVaCommError&) {
        }
        PumpFor(25);
    }
    double cpu = CpuSeconds() - cpu0;
    EXPECT_LT(cpu, 0.25 * double(t.elapsed()) / 1000.0) << "CPU seconds " << cpu;
    EXPECT_EQ(Comm.ErrNotifications, 1);
    // Later queries fail with their messages.
    EXPECT_EQ(MessageOf([&] { Comm.ModemLineOn(1); }),
              "Error reading modem state (5), Input/output error");
    EXPECT_EQ(MessageOf([&] { Comm.ReadText(); }),
              "Error retrieving statistics (5), Input/output error");
    Comm.Close();
    EXPECT_FALSE(Comm.IsOpen());

    // A device that is back opens again.
    TPtyDevice again;
    Comm.SetDeviceName(again.SlavePath());
    Comm.Open();
    ASSERT_TRUE(again.Write("back"));
    EXPECT_TRUE(PumpUntil([&] { return Received == "beforeback"; }));
}

TEST_F(PtyPort, AnOpenShortOfDescriptorsFailsAsAnOpenAndLeavesNothingBehind) {
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    const int before = OpenDescriptors();
    int opened = 0;
    // With room for 0, 1, 2, ... more descriptors the open runs out at each of its steps
    // (the device, the port's wait objects, the threads' events) and at last succeeds.
    for (int room = 0; room <= 10; ++room) {
        {
            TVaComm comm;
            comm.SetClosePauseForTesting(0);
            comm.SetDeviceName(Device.SlavePath());
            comm.SetUserBaudrate(115200);
            rlimit r = old;
            r.rlim_cur = rlim_t(before + room);
            ::setrlimit(RLIMIT_NOFILE, &r);
            std::string message;
            try {
                comm.Open();
            } catch (const EVaCommError& e) {
                message = e.what();
            } catch (const std::exception& e) {
                message = std::string("not the component's error: ") + e.what();
            }
            ::setrlimit(RLIMIT_NOFILE, &old);
            if (comm.IsOpen()) {
                ++opened;
                comm.Close();
            } else {
                EXPECT_EQ(message.rfind("Can't open specified device " + Device.SlavePath() +
                                            " (Error 24, ",
                                        0),
                          0u)
                    << room << ": " << message;
            }
        }
        // The component is gone, with its threads: nothing of its is left open.
        EXPECT_EQ(OpenDescriptors(), before) << room;
    }
    EXPECT_GT(opened, 0);
    EXPECT_LT(opened, 11);
}

TEST_F(PtyPort, AnUnplugWhileBytesArriveIsReportedOnceAsALineError) {
    int reports = 0;
    bool unplugged = false;
    Comm.OnError = [&](TVaCustomComm*, int Errors) { reports += (Errors & CE_IOE) ? 1 : 0; };
    // The receive handler's read meets the loss before the line-error report does.
    Comm.OnRxChar = [&](TVaCustomComm* Sender, int) {
        if (!unplugged) {
            unplugged = true;
            Device.Unplug();
            QThread::msleep(20);
        }
        Received += Sender->ReadText();
    };
    Comm.Open();
    ASSERT_TRUE(Device.Write("x"));
    ASSERT_TRUE(PumpUntil([&] { return reports == 1; }));
    PumpFor(300);
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(Comm.ErrNotifications, 1);
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    EXPECT_FALSE(Comm.WriteText("after"));
}

TEST_F(PtyPort, ThreadsOfAClosedPortNeverTouchTheNextDevice) {
    // The first port's write thread is stuck on a full tty when it is closed; the second
    // open very likely reuses its descriptor number.
    Comm.Buffers().SetWriteTimeout(100);
    Comm.Open();
    for (int i = 0; i < 100; ++i) {
        try {
            Comm.WriteText(std::string(1024, 'a'));
        } catch (const EVaCommError&) {
            break;
        }
        PumpFor(1);
    }
    Comm.Close();
    TPtyDevice second;
    TVaComm next;
    next.SetClosePauseForTesting(0);
    next.SetDeviceName(second.SlavePath());
    next.SetUserBaudrate(115200);
    next.Open();
    Device.ReadFor(100); // room again for the old thread, were it still writing
    EXPECT_TRUE(next.WriteText("b"));
    EXPECT_EQ(second.ReadFor(200), "b");
}

TEST_F(PtyPort, ExceptionInOnOpenGoesToTheApplicationAndKeepsThePortOpen) {
    Comm.OnOpen = [](TVaCustomComm*) { throw EVaCommError("from OnOpen"); };
    Comm.Open();
    EXPECT_TRUE(Comm.IsOpen());
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], "from OnOpen");
}

TEST_F(PtyPort, RxCharHandlerErrorIsReportedAndLaterNotificationsGoOn) {
    int rxFlag = 0;
    bool raise = true;
    Comm.OnRxChar = [&](TVaCustomComm* S, int) {
        Received += S->ReadText();
        if (raise) {
            raise = false;
            throw EVaCommError("handler failed");
        }
    };
    Comm.OnRxFlag = [&](TVaCustomComm*) { ++rxFlag; };
    Comm.Open();
    ASSERT_TRUE(Device.Write(std::string("a\0", 2))); // NUL is the event character
    ASSERT_TRUE(PumpUntil([&] { return !Errors.empty(); }));
    EXPECT_EQ(Errors[0], "handler failed");
    EXPECT_EQ(rxFlag, 0); // skipped with the rest of that notification
    ASSERT_TRUE(Device.Write(std::string("b\0", 2)));
    EXPECT_TRUE(PumpUntil([&] { return rxFlag == 1; }));
    EXPECT_EQ(Received, std::string("a\0b\0", 4));
}

TEST_F(PtyPort, DestroyingAnOpenComponentClosesWithoutOnClose) {
    int closes = 0;
    {
        TVaComm comm;
        comm.SetClosePauseForTesting(0);
        comm.SetDeviceName(Device.SlavePath());
        comm.SetUserBaudrate(9600);
        comm.OnClose = [&](TVaCustomComm*) { ++closes; };
        comm.Open();
    }
    EXPECT_EQ(closes, 0);
    TVaComm again;
    again.SetClosePauseForTesting(0);
    again.SetDeviceName(Device.SlavePath());
    again.SetUserBaudrate(9600);
    again.Open(); // the device was released
    EXPECT_TRUE(again.IsOpen());
}

} // namespace
