// Every call the serial layer makes failing with each errno a real device gives, at OPEN and
// while the port is open: the operator gets the message the failure deserves, the port is in
// the state the open and close rules give, a passing failure costs no byte, a lasting one
// holds no thread, and nothing is left behind.
#include "ConsoleSupport.h"
#include "DriverProfile.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <cerrno>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

namespace {

using TCall = TDriverProfile::TCall;

// The errnos a serial device gives, with the text the operator reads for each, written out
// here rather than taken from the system's tables.
struct TErrno {
    int Value;
    const char* Name;
    const char* Reported; // "(number), text" as a message gives it
};
const TErrno Errnos[] = {
    {EIO, "EIO", "(5), Input/output error"},
    {EBUSY, "EBUSY", "(16), Device or resource busy"},
    {ENXIO, "ENXIO", "(6), No such device or address"},
    {EACCES, "EACCES", "(13), Permission denied"},
    {EAGAIN, "EAGAIN", "(16), Device or resource busy"}, // what the lock gives when held
    {EINTR, "EINTR", "(4), Interrupted system call"},
    {ENODEV, "ENODEV", "(5), Input/output error"}, // a device gone, as EIO
};

struct TFaultConsole : TConsoleFixture {
    std::shared_ptr<TDriverProfile> Profile =
        std::make_shared<TDriverProfile>(DriverProfileNamed("ftdi_sio"));
    const int ClosedThreads = Threads();
    int Reference = 0;
    TFaultConsole() {
        Form->VaComm->SetPlatform(ProfilePlatform(Profile));
        Form->VaComm->SetClosePauseForTesting(0);
        OpenDirect();
        Form->BtnClose->click();
        Reference = FdsWhileOpen(ClosedThreads);
    }
    std::string Outcome() { return Boxes.join(" | ").toStdString(); }
    // A line each way through the open port.
    bool Talks() {
        Form->LogClear();
        Form->EdCmdLn->setText("AT");
        Form->BtTransmit->click();
        return Device.ReadExactly(4) == "AT\r\n" && Device.Write("OK\r") && LogIs("OK\r\n");
    }
};

std::string OpenFailure(const char* Call, const TErrno& E) {
    if (E.Value == EINTR)
        return ""; // tried again: the port opens
    if (E.Value == ENXIO || E.Value == ENODEV || (E.Value == EIO && !strcmp(Call, "read-back")))
        return "Specified device not found (\\\\.\\COM1).";
    const std::string r = E.Reported;
    return "Can't open specified device \\\\.\\COM1 (Error " + r.substr(1, r.find(')') - 1) + ", " +
           r.substr(r.find(", ") + 2) + ")";
}

} // namespace

TEST(Faults, EveryCallOfAnOpenFailingWithEachErrno) {
    TFaultConsole f;
    const std::pair<const char*, std::function<void(int)>> calls[] = {
        {"open", [&](int E) { f.Profile->FailCall(TCall::Open, E); }},
        {"lock", [&](int E) { f.Profile->FailCall(TCall::Flock, E); }},
        {"read-back", [&](int E) { f.Profile->FailIoctl(TCGETS2, E); }},
        {"settings", [&](int E) { f.Profile->FailIoctl(TCSETS2, E); }},
    };
    for (const auto& call : calls)
        for (const TErrno& e : Errnos) {
            const std::string what = std::string(call.first) + " " + e.Name;
            const std::string expected = OpenFailure(call.first, e);
            f.Boxes.clear();
            call.second(e.Value);
            f.W().BtnOpen->click();
            // A failed OPEN leaves the port closed and moves the selection one item up.
            EXPECT_EQ(f.W().VaComm->IsOpen(), expected.empty()) << what;
            EXPECT_EQ(f.W().ComboPortNum->currentIndex(), expected.empty() ? 0 : -1) << what;
            EXPECT_EQ(f.Outcome(), expected) << what;
            f.W().BtnClose->click();
            f.W().ComboPortNum->setCurrentIndex(0);
            EXPECT_EQ(f.FdsWhileOpen(f.ClosedThreads), f.Reference) << what;
        }
}

TEST(Faults, EveryCallOnAnOpenPortFailingWithEachErrno) {
    TFaultConsole f;
    // One failed read, write or poll passes: it is tried again, and nothing is lost, unless
    // it says the device has gone. The modem lines failing for good are reported once.
    const std::pair<const char*, std::function<void(int)>> calls[] = {
        {"read", [&](int E) { f.Profile->FailCall(TCall::Read, E); }},
        {"write", [&](int E) { f.Profile->FailCall(TCall::Write, E); }},
        {"poll", [&](int E) { f.Profile->FailCall(TCall::Poll, E); }},
        // The watcher in the driver's wait asks for the lines at their next change.
        {"lines",
         [&](int E) {
             f.Profile->FailIoctl(TIOCMGET, E, -1);
             f.Profile->SetInputLines(TIOCM_CTS);
         }},
    };
    for (const auto& call : calls)
        for (const TErrno& e : Errnos) {
            const std::string what = std::string(call.first) + " " + e.Name;
            const bool lines = !strcmp(call.first, "lines");
            const bool gone = e.Value == EIO || e.Value == ENODEV;
            const bool poll = !strcmp(call.first, "poll");
            const std::string box = lines || (gone && !poll)
                                        ? std::string("Error reading modem state ") +
                                              (gone ? "(5), Input/output error" : e.Reported)
                                        : "";
            f.Boxes.clear();
            f.W().BtnOpen->click();
            ASSERT_TRUE(f.W().VaComm->IsOpen()) << what;
            call.second(e.Value);
            if (gone && !poll) {
                f.W().EdCmdLn->setText("AT");
                f.W().BtTransmit->click();
                f.Device.Write("OK\r");
                EXPECT_TRUE(PumpUntil([&] { return !f.Boxes.isEmpty(); })) << what;
            } else {
                EXPECT_TRUE(f.Talks()) << what << ": " << f.W().LogGetText();
                if (lines) {
                    EXPECT_TRUE(PumpUntil([&] { return !f.Boxes.isEmpty(); })) << what;
                }
            }
            PumpFor(50); // ten status ticks: still one report
            EXPECT_EQ(f.Outcome(), box) << what;
            // The port stays open until CLOSE, and CLOSE works whatever happened.
            EXPECT_TRUE(f.W().VaComm->IsOpen()) << what;
            f.Profile->FailIoctl(TIOCMGET, 0, 0);
            f.W().BtnClose->click();
            EXPECT_FALSE(f.W().VaComm->IsOpen()) << what;
            f.Profile->Replug();
            EXPECT_EQ(f.FdsWhileOpen(f.ClosedThreads), f.Reference) << what;
        }
}
