// The component's logic over the scriptable platform: settings, refusals, messages,
// event dispatch, modem lines, line control and the write queue.
#include "FakeVaPlatform.h"
#include "SerialTestSupport.h"

#include "Application.h"
#include "VaComm.h"

#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace {

class FakePort : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        RecordApplicationErrors(AppErrors);
        Comm.SetClosePauseForTesting(0);
        Comm.SetPortNum(3);
    }
    void TearDown() override {
        Comm.Close();
        SetApplicationExceptionHandler(nullptr);
    }

    std::shared_ptr<TFakePlatform> Platform = std::make_shared<TFakePlatform>();
    std::shared_ptr<TFakeDevice> Device = Platform->Device("COM3");
    TVaComm Comm{Platform};
    std::vector<std::string> AppErrors;
};

// ---- settings ----

TEST_F(FakePort, StartsWithItsDefaults) {
    EXPECT_FALSE(Comm.AutoOpen());
    EXPECT_EQ(Comm.Baudrate(), br1200);
    EXPECT_EQ(Comm.Parity(), paNone);
    EXPECT_EQ(Comm.Databits(), db8);
    EXPECT_EQ(Comm.Stopbits(), sb1);
    EXPECT_EQ(Comm.DeviceName(), "COM%d");
    EXPECT_EQ(Comm.MonitorEvents(), (TVaCommEvents{ceError, ceRxChar, ceTxEmpty}));
    EXPECT_EQ(Comm.EventPriority(), tpNormal);
    EXPECT_EQ(Comm.WritePriority(), tpHighest);
    EXPECT_FALSE(Comm.DirectWrite());
    EXPECT_TRUE(Comm.UpdateDCB());
    EXPECT_EQ(Comm.UserBaudrate(), 0);
    EXPECT_TRUE(Comm.Options().Empty());
    EXPECT_EQ(Comm.EventChars().XonChar(), 17);
    EXPECT_EQ(Comm.EventChars().XoffChar(), 19);
    EXPECT_EQ(Comm.Buffers().ReadSize(), 4096);
    EXPECT_EQ(Comm.Buffers().WriteSize(), 2048);
    EXPECT_EQ(Comm.Buffers().ReadTimeout(), 1000);
    EXPECT_EQ(Comm.Buffers().WriteTimeout(), 1000);
    EXPECT_EQ(Comm.Buffers().XonLimit(), 1024);
    EXPECT_EQ(Comm.Buffers().XoffLimit(), 1024);
}

TEST_F(FakePort, BaudrateAndUserBaudrateFollowEachOther) {
    Comm.SetUserBaudrate(115200);
    EXPECT_EQ(Comm.Baudrate(), brUser);
    Comm.SetBaudrate(br9600);
    EXPECT_EQ(Comm.UserBaudrate(), 0);
    Comm.SetUserBaudrate(0); // the value it has: Baudrate stays
    EXPECT_EQ(Comm.Baudrate(), br9600);
    Comm.SetUserBaudrate(28800);
    Comm.SetBaudrate(brUser); // unchanged: UserBaudrate stays
    EXPECT_EQ(Comm.UserBaudrate(), 28800);
    Comm.SetBaudrate(br57600);
    Comm.SetBaudrate(brUser);
    EXPECT_EQ(Comm.UserBaudrate(), 0);
}

TEST_F(FakePort, GroupsAnnounceChangesAsTheirRulesSay) {
    int n = 0;
    TVaFlowControl flow;
    flow.OnChange = [&](TVaPersistent*) { ++n; };
    flow.SetOutCtsFlow(false); // unchanged: silent
    EXPECT_EQ(n, 0);
    flow.SetOutCtsFlow(true);
    EXPECT_EQ(n, 1);
    TVaFlowControl other;
    other.SetControlRts(rtsToggle);
    other.SetXonXoffIn(true);
    flow.Assign(other); // three fields differ, one notification
    EXPECT_EQ(n, 2);
    EXPECT_EQ(flow.ControlRts(), rtsToggle);
    EXPECT_FALSE(flow.OutCtsFlow());

    TVaEventChars chars;
    int c = 0;
    chars.OnChange = [&](TVaPersistent*) { ++c; };
    chars.SetChar(4, 0); // unchanged, announced all the same
    chars.SetEventChar('\r');
    EXPECT_EQ(c, 2);
    EXPECT_EQ(chars.EventChar(), '\r');

    TVaBuffers buffers;
    int b = 0;
    buffers.OnChange = [&](TVaPersistent*) { ++b; };
    buffers.SetReadTimeout(5);
    buffers.SetWriteTimeout(5);
    buffers.SetReadSize(4096);
    EXPECT_EQ(b, 0);
    buffers.BeginUpdate();
    buffers.SetReadSize(100);
    buffers.SetWriteSize(100);
    EXPECT_EQ(b, 0);
    buffers.EndUpdate();
    EXPECT_EQ(b, 1);

    EXPECT_THROW(buffers.Assign(flow), Exception);
}

// Setters refused while the port is open, each with the value it tries.
TEST_F(FakePort, RefusesWhatCannotChangeWhileOpen) {
    Comm.Open();
    TVaBuffers other;
    const std::vector<std::pair<const char*, std::function<void()>>> refused = {
        {"PortNum", [&] { Comm.SetPortNum(4); }},
        {"DeviceName", [&] { Comm.SetDeviceName("/dev/x"); }},
        {"MonitorEvents", [&] { Comm.SetMonitorEvents({ceBreak}); }},
        {"DirectWrite", [&] { Comm.SetDirectWrite(true); }},
        {"UpdateDCB", [&] { Comm.SetUpdateDCB(false); }},
        {"Buffers", [&] { Comm.SetBuffers(other); }},
        {"Buffers.WriteSize", [&] { Comm.Buffers().SetWriteSize(10); }},
        {"Buffers.ReadSize", [&] { Comm.Buffers().SetReadSize(10); }},
        {"Open", [&] { Comm.Open(); }},
        {"Platform", [&] { Comm.SetPlatform(nullptr); }},
    };
    for (auto& [what, fn] : refused)
        EXPECT_EQ(MessageOf(fn), "Can't perform this operation while port is open") << what;
    EXPECT_EQ(Comm.PortNum(), 3);
    EXPECT_EQ(Comm.DeviceName(), "COM%d");
    EXPECT_FALSE(Comm.DirectWrite());
    EXPECT_EQ(Device->Opens(), 1);
    EXPECT_EQ(Device->Queues(), (std::pair<uint32_t, uint32_t>{4096, 2048}));
    // Refused changes are not kept either.
    EXPECT_EQ(Comm.Buffers().WriteSize(), 2048);
    EXPECT_EQ(Comm.Buffers().ReadSize(), 4096);
    // The time-outs can change at any time.
    Comm.Buffers().SetReadTimeout(7);
    Comm.Buffers().SetWriteTimeout(9);
    EXPECT_EQ(Comm.Buffers().WriteTimeout(), 9);
}

TEST_F(FakePort, OpenWritesTheWholeRecordAndEveryAppliedChangeRewritesIt) {
    Comm.SetUserBaudrate(115200);
    Comm.Open();
    ASSERT_EQ(Device->Lines().size(), 1u);
    EXPECT_EQ(Device->Lines()[0], Comm.BuildLineSettings());
    EXPECT_EQ(Device->Timeouts(), (TVaTimeouts{0xFFFFFFFFu, 0, 0, 0, 0}));

    const std::vector<std::function<void()>> applied = {
        [&] { Comm.SetParity(paEven); },
        [&] { Comm.SetDatabits(db7); },
        [&] { Comm.SetStopbits(sb2); },
        [&] { Comm.SetBaudrate(br9600); },
        [&] { Comm.SetUserBaudrate(921600); },
        [&] { Comm.SetOptions({coNullStrip}); },
        [&] { Comm.EventChars().SetEventChar('\n'); },
        [&] { Comm.FlowControl().SetXonXoffOut(true); },
    };
    size_t expected = 1;
    for (auto& change : applied) {
        change();
        ++expected;
        ASSERT_EQ(Device->Lines().size(), expected);
        EXPECT_EQ(Device->Lines().back(), Comm.BuildLineSettings());
    }
    Comm.SetParity(paEven); // unchanged: nothing written
    EXPECT_EQ(Device->Lines().size(), expected);
    TVaLineSettings last = Device->Lines().back();
    EXPECT_EQ(last.BaudRate, 921600u);
    EXPECT_EQ(last.Parity, 2);
    EXPECT_EQ(last.ByteSize, 7);
    EXPECT_EQ(last.StopBits, 2);
    EXPECT_TRUE(last.NullStrip);
    EXPECT_EQ(last.EvtChar, '\n');
    EXPECT_TRUE(last.OutX);
    EXPECT_TRUE(last.Binary);
}

TEST_F(FakePort, RecordCarriesEverySetting) {
    Comm.SetBaudrate(br14400);
    Comm.SetDatabits(db5);
    Comm.SetParity(paSpace);
    Comm.SetStopbits(sb15);
    Comm.SetOptions({coErrorChar, coParityCheck});
    Comm.EventChars().SetXonChar('a');
    Comm.EventChars().SetXoffChar('b');
    Comm.EventChars().SetErrorChar('c');
    Comm.EventChars().SetEventChar('d');
    Comm.EventChars().SetEofChar('e');
    Comm.FlowControl().SetOutCtsFlow(true);
    Comm.FlowControl().SetOutDsrFlow(true);
    Comm.FlowControl().SetControlDtr(dtrHandshake);
    Comm.FlowControl().SetControlRts(rtsToggle);
    Comm.FlowControl().SetXonXoffIn(true);
    Comm.FlowControl().SetDsrSensitivity(true);
    Comm.FlowControl().SetTxContinueOnXoff(true);
    Comm.Buffers().SetXonLimit(0x12345);
    Comm.Buffers().SetXoffLimit(7);
    TVaLineSettings d = Comm.BuildLineSettings();
    EXPECT_EQ(d.BaudRate, 14400u);
    EXPECT_EQ(d.ByteSize, 5);
    EXPECT_EQ(d.Parity, 4);
    EXPECT_EQ(d.StopBits, 1);
    EXPECT_EQ(std::string({d.XonChar, d.XoffChar, d.ErrorChar, d.EvtChar, d.EofChar}), "abcde");
    EXPECT_TRUE(d.OutxCtsFlow && d.OutxDsrFlow && d.InX && d.DsrSensitivity && d.TXContinueOnXoff);
    EXPECT_FALSE(d.OutX);
    EXPECT_EQ(d.DtrControl, 2);
    EXPECT_EQ(d.RtsControl, 3);
    EXPECT_TRUE(d.ErrorCharOn && d.ParityCheck);
    EXPECT_FALSE(d.NullStrip);
    EXPECT_EQ(d.XonLim, 0x2345); // the low 16 bits
    EXPECT_EQ(d.XoffLim, 7);
}

TEST_F(FakePort, WithoutUpdateDcbTheLineIsNeverWritten) {
    Comm.SetUpdateDCB(false);
    Comm.Open();
    Comm.SetParity(paOdd);
    Comm.SetUserBaudrate(300);
    EXPECT_EQ(Device->Calls(TFakeOp::SetLine), 0);
}

TEST_F(FakePort, DeviceNameIsFormattedWithPortNum) {
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"COM%d", 3, "COM3"},
        {"\\\\.\\COM%d", 12, "\\\\.\\COM12"},
        {"/dev/ttyUSB0", 5, "/dev/ttyUSB0"},
        {"100%% COM%d", 2, "100% COM2"},
    };
    for (auto& [pattern, num, name] : cases) {
        Comm.SetDeviceName(pattern);
        Comm.SetPortNum(num);
        EXPECT_EQ(Comm.GetDeviceName(), name);
    }
}

TEST_F(FakePort, AutoOpenOpensAfterLoading) {
    Comm.Loaded();
    EXPECT_FALSE(Comm.IsOpen());
    Comm.SetAutoOpen(true);
    Comm.Loaded();
    EXPECT_TRUE(Comm.IsOpen());
}

// ---- failures and their messages ----

struct TFailureCase {
    TFakeOp Op;
    int Errno;
    const char* Message;
};

TEST_F(FakePort, EachFailureAtOpenGivesItsMessageAndLeavesThePortClosed) {
    const TFailureCase cases[] = {
        {TFakeOp::Open, ENOENT, "Specified device not found (COM3)."},
        {TFakeOp::Open, EACCES, "Can't open specified device COM3 (Error 13, Permission denied)"},
        {TFakeOp::Open, EBUSY,
         "Can't open specified device COM3 (Error 16, Device or resource busy)"},
        {TFakeOp::SetLine, EINVAL, "Error writing dcb (22), Invalid argument"},
        {TFakeOp::SetQueues, ENOMEM, "Error initializing buffers (12), Cannot allocate memory"},
        {TFakeOp::SetTimeouts, EIO, "Error setting timeouts (5), Input/output error"},
        {TFakeOp::SetEventMask, EINVAL, " Error setting EventMask (22), Invalid argument"},
    };
    int opened = 0;
    Comm.OnOpen = [&](TVaCustomComm*) { ++opened; };
    for (auto& c : cases) {
        Device->Fail(c.Op, c.Errno);
        EXPECT_EQ(MessageOf([&] { Comm.Open(); }), c.Message) << c.Op;
        EXPECT_FALSE(Comm.IsOpen()) << c.Op;
    }
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(Device->Opens(), Device->Closes()); // every device opened was released
    Comm.Open();                                  // and a later open works
    EXPECT_TRUE(Comm.IsOpen());
}

TEST_F(FakePort, EachFailureWhileOpenGivesItsMessageAndKeepsThePortOpen) {
    Comm.Open();
    const std::vector<std::tuple<TFakeOp, int, const char*, std::function<void()>>> cases = {
        {TFakeOp::SetLine, EINVAL, "Error writing dcb (22), Invalid argument",
         [&] { Comm.SetParity(paMark); }},
        {TFakeOp::ClearError, EPROTO, "Error retrieving statistics (71), Protocol error",
         [&] { Comm.ReadCount(); }},
        {TFakeOp::Escape, EIO, "Error calling comm function (5), Input/output error",
         [&] { Comm.SetDTR(true); }},
        {TFakeOp::ModemStatus, EIO, "Error reading modem state (5), Input/output error",
         [&] { Comm.ModemLineOn(1); }},
    };
    for (auto& [op, err, message, fn] : cases) {
        Device->Fail(op, err);
        EXPECT_EQ(MessageOf(fn), message) << op;
        EXPECT_TRUE(Comm.IsOpen()) << op;
    }
    EXPECT_EQ(Comm.Parity(), paNone); // the device refused it: not stored
    Device->Feed("x");
    Device->Fail(TFakeOp::Read, EIO);
    EXPECT_EQ(MessageOf([&] { Comm.ReadText(); }), "Read error (5), Input/output error");
}

TEST_F(FakePort, DirectWritesGoStraightToTheDevice) {
    Comm.SetDirectWrite(true);
    Comm.Buffers().SetReadTimeout(100);
    Comm.Open();
    EXPECT_TRUE(Comm.WriteText("direct"));
    EXPECT_EQ(Device->Written(), "direct");
    Device->Fail(TFakeOp::Write, EPIPE);
    EXPECT_EQ(MessageOf([&] { Comm.WriteText("x"); }), "Write error (32), Broken pipe");
    Device->HoldWrites(); // the line takes nothing within the read time-out: 0, no error
    EXPECT_EQ(Comm.WriteBuf("abc", 3), 0);
    EXPECT_FALSE(Comm.WriteText("abc"));
}

TEST_F(FakePort, SystemTextIsTrimmed) {
    EXPECT_EQ(VaTrimmedErrorText(EIO), "Input/output error");
    EXPECT_EQ(VaTrimmedErrorText(9999), "Unknown error 9999");
    EXPECT_EQ(VaFormat("a %s b %d c %%", 7, "t"), "a t b 7 c %");
    EXPECT_EQ(VaFormat("no placeholders", 7, "t"), "no placeholders");
}

// ---- event mask and dispatch ----

TEST_F(FakePort, EventMaskFollowsMonitorEventsAndDirectWrite) {
    struct {
        TVaCommEvents Events;
        bool Direct;
        uint32_t Mask;
    } cases[] = {
        {{ceError, ceRxChar, ceTxEmpty, ceRxFlag}, false, EV_ERR | EV_RXCHAR | EV_RXFLAG},
        {{ceError, ceRxChar, ceTxEmpty}, true, EV_ERR | EV_RXCHAR | EV_TXEMPTY},
        {{ceTxEmpty}, false, 0},
        {{}, true, 0},
        {{ceBreak, ceCts, ceDsr, ceRing, ceRlsd, cePErr, ceRx80Full, ceEvent1, ceEvent2},
         false,
         EV_BREAK | EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_PERR | EV_RX80FULL | EV_EVENT1 |
             EV_EVENT2},
    };
    for (auto& c : cases) {
        Comm.SetMonitorEvents(c.Events);
        Comm.SetDirectWrite(c.Direct);
        Comm.Open();
        EXPECT_EQ(Comm.EventMask(), c.Mask);
        EXPECT_EQ(Device->Mask(), c.Mask);
        Comm.Close();
    }
}

TEST_F(FakePort, WithoutAnEventMaskNoEventThreadRuns) {
    int rx = 0;
    Comm.OnRxChar = [&](TVaCustomComm*, int) { ++rx; };
    Comm.SetMonitorEvents({ceTxEmpty});
    Comm.Open();
    Device->Feed("abc");
    PumpFor(50);
    EXPECT_EQ(rx, 0);
    EXPECT_EQ(Device->Calls(TFakeOp::WaitEvent), 0);
    EXPECT_EQ(Comm.ReadText(), "abc");
}

TEST_F(FakePort, OneNotificationFiresItsEventsInTheFixedOrder) {
    std::vector<std::string> order;
    auto note = [&](const char* name) {
        return [&order, name](TVaCustomComm*) { order.push_back(name); };
    };
    Comm.SetDirectWrite(true);
    Comm.SetMonitorEvents({ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceRxChar, ceTxEmpty,
                           ceRxFlag, cePErr, ceRx80Full, ceEvent1, ceEvent2});
    Comm.OnRxChar = [&](TVaCustomComm* S, int n) {
        order.push_back("RxChar " + std::to_string(n));
        S->ReadText();
    };
    Comm.OnRxBuf = [&](TVaCustomComm*, PVaData, int) { order.push_back("RxBuf"); };
    Comm.OnError = [&](TVaCustomComm*, int e) { order.push_back("Error " + std::to_string(e)); };
    Comm.OnRxFlag = note("RxFlag");
    Comm.OnCts = note("Cts");
    Comm.OnDsr = note("Dsr");
    Comm.OnRing = note("Ring");
    Comm.OnRlsd = note("Rlsd");
    Comm.OnTxEmpty = note("TxEmpty");
    Comm.OnBreak = note("Break");
    Comm.OnPErr = note("PErr");
    Comm.OnRx80Full = note("Rx80Full");
    Comm.OnEvent1 = note("Event1");
    Comm.OnEvent2 = note("Event2");
    Comm.Open();
    // Everything at once: the errors that came with data are read (and cleared) by the
    // receive side before the error step looks.
    Device->Feed(std::string("ab\0", 3),
                 EV_EVENT2 | EV_EVENT1 | EV_RX80FULL | EV_PERR | EV_BREAK | EV_TXEMPTY | EV_RLSD |
                     EV_RING | EV_DSR | EV_CTS | EV_ERR,
                 CE_FRAME);
    ASSERT_TRUE(PumpUntil([&] { return order.size() >= 12; }));
    PumpFor(20);
    EXPECT_EQ(order, (std::vector<std::string>{"RxChar 3", "RxFlag", "Cts", "Dsr", "Ring", "Rlsd",
                                               "TxEmpty", "Break", "PErr", "Rx80Full", "Event1",
                                               "Event2"}));
    // Errors alone reach OnError.
    order.clear();
    Device->Raise(EV_ERR, CE_RXPARITY | CE_OVERRUN);
    ASSERT_TRUE(PumpUntil([&] { return !order.empty(); }));
    EXPECT_EQ(order, (std::vector<std::string>{"Error 6"}));
}

TEST_F(FakePort, RxCharWithNothingWaitingFiresNothing) {
    int rx = 0;
    Comm.OnRxChar = [&](TVaCustomComm*, int) { ++rx; };
    Comm.Open();
    Device->Raise(EV_RXCHAR);
    PumpFor(50);
    EXPECT_EQ(rx, 0);
    Device->Feed("z");
    EXPECT_TRUE(PumpUntil([&] { return rx == 1; }));
}

// Bytes that arrive while the handler runs are announced before the window's next event when
// the handler read what it was told of; a handler that leaves the bytes hears of new ones only
// through the next notification.
TEST_F(FakePort, BytesArrivingDuringAReadingHandlerComeInTheSameCall) {
    struct TCase {
        bool Reads;
        int Calls;         // handler calls in all
        bool SecondInCall; // the second call came before the window's next event
    };
    for (const TCase c : {TCase{true, 2, true}, TCase{false, 2, false}}) {
        SCOPED_TRACE(c.Reads ? "reading handler" : "handler that leaves the bytes");
        int calls = 0;
        bool windowHadItsTurn = false, secondInCall = false;
        std::string got;
        Comm.OnRxChar = [&](TVaCustomComm*, int) {
            if (c.Reads)
                got += Comm.ReadText();
            if (++calls == 1) {
                Device->Feed("more");
                QMetaObject::invokeMethod(
                    qApp, [&] { windowHadItsTurn = true; }, Qt::QueuedConnection);
            } else if (calls == 2) {
                secondInCall = !windowHadItsTurn;
            }
        };
        Comm.Open();
        Device->Feed("first");
        ASSERT_TRUE(PumpUntil([&] { return windowHadItsTurn; }));
        PumpFor(50);
        EXPECT_EQ(calls, c.Calls);
        EXPECT_EQ(secondInCall, c.SecondInCall);
        EXPECT_EQ(got, c.Reads ? "firstmore" : "");
        Comm.Close();
    }
}

// ---- line control and modem lines ----

TEST_F(FakePort, ModemLinesByIndex) {
    Comm.Open();
    const std::pair<uint32_t, int> lines[] = {
        {MS_CTS_ON, 1}, {MS_DSR_ON, 2}, {MS_RING_ON, 3}, {MS_RLSD_ON, 4}};
    for (auto [bit, index] : lines) {
        Device->SetModem(bit);
        for (int i = 0; i <= 5; ++i)
            EXPECT_EQ(Comm.ModemLineOn(i), i == index) << "bit " << bit << " index " << i;
    }
}

TEST_F(FakePort, DtrAndRtsPassTheirCodesUnlessHandshakeOwnsThem) {
    Comm.Open();
    Comm.SetDTR(true);
    Comm.SetDTR(false);
    Comm.SetRTS(true);
    Comm.SetRTS(false);
    EXPECT_EQ(Device->Escapes(), (std::vector<int>{5, 6, 3, 4}));
    Comm.Close();

    const char* dtrMsg = "DTR line updates not allowed when flowcontrol is set to Handshake.";
    const char* rtsMsg =
        "RTS line updates not allowed when flowcontrol is set to Handshake or Toggle.";
    for (bool open : {false, true}) {
        Comm.FlowControl().SetControlDtr(dtrHandshake);
        Comm.FlowControl().SetControlRts(rtsToggle);
        if (open)
            Comm.Open();
        EXPECT_EQ(MessageOf([&] { Comm.SetDTR(true); }), dtrMsg);
        EXPECT_EQ(MessageOf([&] { Comm.SetRTS(true); }), rtsMsg);
        Comm.FlowControl().SetControlRts(rtsHandshake);
        EXPECT_EQ(MessageOf([&] { Comm.SetRTS(false); }), rtsMsg);
        Comm.FlowControl().SetControlDtr(dtrEnabled);
        Comm.SetDTR(false); // allowed again
        Comm.Close();
        Comm.FlowControl().SetControlRts(rtsDisabled);
    }
    EXPECT_EQ(Device->Escapes(), (std::vector<int>{5, 6, 3, 4, 6}));
}

// ---- write queue ----

TEST_F(FakePort, QueuedWriteReachesTheDeviceAndAnnouncesTheEmptyQueue) {
    int empty = 0;
    Comm.OnTxEmpty = [&](TVaCustomComm*) { ++empty; };
    Comm.Open();
    EXPECT_TRUE(Comm.WriteText("AT\r\n"));
    EXPECT_TRUE(PumpUntil([&] { return empty == 1; }));
    EXPECT_EQ(Device->Written(), "AT\r\n");
}

TEST_F(FakePort, WithoutATxEmptyHandlerWritesNeverWaitForTheMainThread) {
    // The main thread serves no messages here: an announcement of the empty queue would
    // hold the write thread, and the second write would find no room.
    Comm.Open();
    EXPECT_TRUE(Comm.WriteText(std::string(1500, 'a')));
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(Comm.WriteText(std::string(1500, 'b'))) << i;
    std::string expected = std::string(1500, 'a') + std::string(30000, 'b');
    EXPECT_TRUE(PumpUntil([&] { return Device->Written().size() == expected.size(); }));
    EXPECT_EQ(Device->Written(), expected);
}

TEST_F(FakePort, WaitingWriterIsQueuedOnlyOnceTheTotalIsBelowTheSize) {
    TVaBuffers b;
    b.SetWriteSize(100);
    b.SetWriteTimeout(5000);
    Comm.SetBuffers(b);
    Platform->TickStep = 1;
    Device->HoldWrites();
    Comm.Open();
    ASSERT_TRUE(Comm.WriteText(std::string(60, 'a')));
    ASSERT_TRUE(Comm.WriteText(std::string(40, 'b'))); // exactly full: at once
    auto waiting = std::async(std::launch::async, [&] { return Comm.WriteText("cccccccccc"); });
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    Device->Grant(10); // 90 held + 10 = 100: still not below
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
        << waiting.get();
    Device->Grant(1);
    auto done = [&] {
        return waiting.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
    };
    ASSERT_TRUE(PumpUntil(done));
    EXPECT_TRUE(waiting.get());
    Device->Grant(-1);
    EXPECT_TRUE(PumpUntil([&] { return Device->Written().size() == 110; }));
    EXPECT_EQ(Device->Written(), std::string(60, 'a') + std::string(40, 'b') + "cccccccccc");
}

TEST_F(FakePort, FullQueueGivesUpAfterTheWriteTimeoutAcrossAClockWrap) {
    Comm.Buffers().SetWriteTimeout(1000);
    Device->HoldWrites();
    Comm.Open();
    ASSERT_TRUE(Comm.WriteText(std::string(2048, 'x')));
    Platform->Tick = 0xFFFFFF00u; // wraps 256 ms into the wait
    Platform->TickStep = 10;
    EXPECT_EQ(MessageOf([&] { Comm.WriteText("y"); }),
              "Output buffer is full. Please check comm status.");
    uint32_t end = Platform->Tick;
    // The give-up came after 1000 ms of the injected clock and not much later.
    uint32_t elapsed = end - 0xFFFFFF00u;
    EXPECT_GT(elapsed, 1000u);
    EXPECT_LT(elapsed, 1100u);
    Device->Grant(-1);
}

TEST(Deadline, PassesAfterTheTimeoutAlsoAcrossAWrap) {
    struct {
        uint32_t Start, Now, Timeout;
        bool Passed;
    } cases[] = {
        {1000, 2000, 1000, false},
        {1000, 2001, 1000, true},
        {0xFFFFFF00u, 0xFFFFFFFFu, 1000, false},
        {0xFFFFFF00u, 746, 1000, true},
        {0xFFFFFF00u, 745, 1000, false},
        {0xFFFFFFFFu, 0, 0, false},
        {0xFFFFFFFFu, 1, 0, true},
    };
    for (auto& c : cases)
        EXPECT_EQ(TVaDeadline(c.Start, c.Timeout).Passed(c.Now), c.Passed)
            << c.Start << " " << c.Now << " " << c.Timeout;
}

TEST_F(FakePort, FailedWriteIsReportedAndRetriedWithoutLosingBytes) {
    int errors = 0;
    Comm.OnError = [&](TVaCustomComm*, int) { ++errors; };
    Comm.Open();
    Device->Raise(0, CE_OVERRUN);
    Device->Fail(TFakeOp::Write, EPROTO, 2);
    EXPECT_TRUE(Comm.WriteText("keep me"));
    EXPECT_TRUE(PumpUntil([&] { return Device->Written() == "keep me"; }));
    EXPECT_EQ(errors, 1); // the first report read the error flags; the second found none
    EXPECT_EQ(Device->Calls(TFakeOp::Write), 3);
}

TEST_F(FakePort, GoneDeviceIsReportedOnceAndEndsTheRetries) {
    int errors = 0;
    Comm.OnError = [&](TVaCustomComm*, int) { ++errors; };
    Comm.Open();
    Device->Unplug();
    Comm.WriteText("lost"); // taken or refused: the threads may not have met the loss yet
    ASSERT_TRUE(PumpUntil([&] { return !AppErrors.empty(); }));
    PumpFor(300);
    // Once the loss is known, a send is refused instead of queued for nobody.
    EXPECT_FALSE(Comm.WriteText("later"));
    // The report finds the device gone: its query fails with the message.
    EXPECT_EQ(AppErrors,
              (std::vector<std::string>{"Error retrieving statistics (5), Input/output error"}));
    EXPECT_LE(Device->Calls(TFakeOp::Write), 1);
    EXPECT_LE(Device->Calls(TFakeOp::WaitEvent), 1);
    Comm.Close();
    EXPECT_FALSE(Comm.IsOpen());
}

} // namespace
