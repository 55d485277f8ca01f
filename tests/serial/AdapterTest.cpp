// The component over driver profiles: a pseudo-terminal carries the bytes, and each profile
// answers the driver-specific calls as that Linux driver does.
#include "ByteText.h"
#include "DriverProfile.h"
#include "SerialTestSupport.h"
#include "VaTermiosLinux.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <thread>

namespace {

// The component on COM 1, which the COM map points at a pseudo-terminal, behind a profile.
struct TAdapter {
    explicit TAdapter(const TDriverTraits& Traits)
        : Profile(std::make_shared<TDriverProfile>(Traits)) {
        TestApp();
        Home.MapCom(1, Device.SlavePath());
        Comm.SetPlatform(ProfilePlatform(Profile));
        UseCom1(Comm, Received);
        Comm.OnError = [this](TVaCustomComm*, int) { ++LineErrors; };
    }
    // The adapter is pulled out: the tty hangs up and the driver fails every call.
    void Unplug() {
        Profile->Unplug();
        Device.Unplug();
    }
    TConfigHome Home;
    TPtyDevice Device;
    std::shared_ptr<TDriverProfile> Profile;
    TVaComm Comm;
    std::string Received;
    int LineErrors = 0;
};

bool IsUart(const TDriverTraits& T) {
    return std::string(T.Name) == "16550" || std::string(T.Name) == "8250-rs485";
}

bool IsUsb(const TDriverTraits& T) {
    return T.ReadZeroAfterUnplug;
}

TEST(DriverProfiles, ReadBackRatesMatchTheDriversArithmetic) {
    // Figures from the drivers' formulas, written out.
    const struct {
        const char* Driver;
        uint32_t Asked, Previous, Made;
    } cases[] = {
        {"cp210x", 115200, 9600, 115384},    {"cp210x", 230400, 9600, 230769},
        {"cp210x", 921600, 9600, 923076},    {"pl2303", 56000, 9600, 56074},
        {"pl2303", 128000, 9600, 128342},    {"pl2303", 115200, 9600, 115200},
        {"16550", 115200, 9600, 115200},     {"16550", 230400, 9600, 9600},
        {"16550", 921600, 57600, 57600},     {"ftdi_sio", 921600, 9600, 921600},
        {"ftdi_sio", 4000000, 115200, 9600}, {"ch341", 128000, 9600, 128000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TDriverProfile::RateMade(DriverProfileNamed(c.Driver), c.Asked, c.Previous),
                  c.Made)
            << c.Driver << " " << c.Asked;
}

TEST(RateReadBack, AcceptsTheChipsRoundingAndRefusesASubstitution) {
    const struct {
        uint32_t Asked, Back;
        bool Accepted;
    } cases[] = {{115200, 115384, true},  {56000, 56074, true},    {110, 109, true},
                 {100000, 103000, true},  {100000, 103001, false}, {230400, 9600, false},
                 {921600, 115200, false}, {9600, 9600, true}};
    for (const auto& c : cases)
        EXPECT_EQ(VaRateAccepted(c.Asked, c.Back), c.Accepted) << c.Asked << " " << c.Back;
}

TEST(RateReadBack, AnFtdiChipMakesNoRateItsDivisorCannotHold) {
    const struct {
        const char* Driver;
        uint32_t Rate;
        bool Made;
    } cases[] = {{"ftdi_sio", 110, false},
                 {"ftdi_sio", 183, false},
                 {"ftdi_sio", 184, true},
                 {"ftdi_sio", 300, true},
                 {"ftdi_sio", 3000000, true},
                 {"cp210x", 110, true},
                 {"", 50, true}};
    for (const auto& c : cases)
        EXPECT_EQ(VaChipMakesRate(c.Driver, c.Rate), c.Made) << c.Driver << " " << c.Rate;
}

TEST(Adapters, EveryRateOfTheConsoleOpensWhereTheDriverMakesIt) {
    for (const auto& traits : DriverProfiles()) {
        for (int rate : kConsoleRates) {
            TAdapter a(traits);
            a.Comm.SetUserBaudrate(rate);
            // A PC UART's clock makes at most 115200; every other driver makes every rate of
            // the list, some a fraction of a percent off.
            const bool refused = IsUart(traits) && rate > 115200;
            const std::string message = MessageOf([&] { a.Comm.Open(); });
            if (refused) {
                EXPECT_EQ(message, "Error writing dcb (22), Invalid argument")
                    << traits.Name << " " << rate;
                EXPECT_FALSE(a.Comm.IsOpen()) << traits.Name << " " << rate;
            } else {
                EXPECT_EQ(message, "(nothing raised)") << traits.Name << " " << rate;
                EXPECT_TRUE(a.Comm.IsOpen()) << traits.Name << " " << rate;
            }
        }
    }
    // A rate above the chip's limit is replaced by 9600: refused, not taken for the rate.
    TAdapter ftdi(DriverProfileNamed("ftdi_sio"));
    ftdi.Comm.SetUserBaudrate(4000000);
    EXPECT_EQ(MessageOf([&] { ftdi.Comm.Open(); }), "Error writing dcb (22), Invalid argument");
}

TEST(Adapters, TheWindowsThreadReadsTheLinesWithoutAskingTheDriver) {
    for (const char* name : {"ftdi_sio", "cp210x", "16550", "cdc-acm"}) {
        TAdapter a(DriverProfileNamed(name));
        a.Comm.Open();
        const auto main = std::this_thread::get_id();
        // Reads as the status timer makes them, every 5 ms, while a line changes.
        bool seen = false;
        QElapsedTimer t;
        t.start();
        a.Profile->SetInputLines(TIOCM_DSR | TIOCM_CD);
        while (t.elapsed() < 300) {
            seen = seen || (a.Comm.ModemLineOn(2) && a.Comm.ModemLineOn(4));
            PumpFor(5);
        }
        EXPECT_TRUE(seen) << name;
        a.Profile->SetInputLines(0);
        EXPECT_TRUE(PumpUntil([&] { return !a.Comm.ModemLineOn(2); })) << name;
        // At most the first read, before the event thread had a sample, asked the driver.
        EXPECT_LE(a.Profile->CallsOn(TIOCMGET, main), 2) << name;
    }
}

TEST(Adapters, TheLinesAreWaitedForWhereTheDriverCanAndSampledWhereItCannot) {
    for (const char* name : {"ftdi_sio", "16550", "pl2303", "cdc-acm", "cp210x"}) {
        for (const bool unplug : {false, true}) {
            TAdapter a(DriverProfileNamed(name));
            const bool waits = a.Profile->Traits().ModemWait;
            a.Comm.OnModemLines = [](TVaCustomComm*) {};
            a.Comm.Open();
            auto asked = [&](int Ms) { // TIOCMGET calls while the lines stay still
                const int before = a.Profile->Calls(TIOCMGET);
                PumpFor(Ms);
                return a.Profile->Calls(TIOCMGET) - before;
            };
            ASSERT_TRUE(PumpUntil([&] { return !waits || a.Profile->Calls(TIOCMIWAIT); }));
            EXPECT_TRUE(waits ? asked(400) == 0 : asked(400) >= 4) << name;
            a.Comm.SetModemLinesSeen(false); // every 250 ms while nobody sees them
            EXPECT_TRUE(waits || asked(1000) <= 6) << name;
            a.Profile->SetInputLines(TIOCM_DSR | TIOCM_CD);
            EXPECT_TRUE(PumpUntil([&] { return a.Comm.ModemLineOn(2); })) << name;
            // An unplug ends the wait with EIO, which alone tells of the loss; Close ends it by
            // a signal (a wait left in the driver would hold Close for good).
            if (unplug && waits) {
                a.Profile->Unplug();
                EXPECT_TRUE(PumpUntil([&] { return a.LineErrors == 1; })) << name;
            }
            a.Comm.Close();
        }
    }
}

TEST(Adapters, EachChangeOfTheLinesIsReportedOnceAndAQuietLineNotAtAll) {
    for (const char* name : {"ftdi_sio", "cp210x", "pl2303", "16550"}) {
        TAdapter a(DriverProfileNamed(name));
        std::vector<uint32_t> seen; // the lines as each report found them; ~0u: query failed
        a.Comm.OnModemLines = [&](TVaCustomComm* S) {
            try {
                seen.push_back(S->ModemStatus());
            } catch (const std::exception&) {
                seen.push_back(~0u);
            }
        };
        a.Comm.Open();
        ASSERT_TRUE(a.Comm.ReportsModemLines()) << name;
        PumpFor(150); // several samples of unchanged lines
        EXPECT_TRUE(seen.empty()) << name;
        struct TStep {
            int Lines;
            uint32_t Shown;
        };
        const TStep steps[] = {{TIOCM_DSR | TIOCM_CTS, MS_DSR_ON | MS_CTS_ON},
                               {TIOCM_RI, MS_RING_ON},
                               {TIOCM_RI | TIOCM_CD, MS_RING_ON | MS_RLSD_ON},
                               {0, 0}};
        for (const TStep& s : steps) {
            const size_t before = seen.size();
            a.Profile->SetInputLines(s.Lines);
            ASSERT_TRUE(PumpUntil([&] { return seen.size() > before; })) << name << s.Lines;
            PumpFor(100);
            ASSERT_EQ(seen.size(), before + 1) << name << s.Lines;
            EXPECT_EQ(seen.back(), s.Shown) << name << s.Lines;
        }
        // A query that starts failing (a control transfer that timed out) is reported once,
        // and so is its recovery; a watcher in the driver's wait meets it at the next change.
        a.Profile->FailIoctl(TIOCMGET, ETIMEDOUT, -1);
        a.Profile->SetInputLines(TIOCM_CTS);
        ASSERT_TRUE(PumpUntil([&] { return seen.size() == 5; })) << name;
        EXPECT_EQ(seen.back(), ~0u) << name;
        a.Profile->FailIoctl(TIOCMGET, 0, 0);
        ASSERT_TRUE(PumpUntil([&] { return seen.size() == 6; })) << name;
        EXPECT_EQ(seen.back(), MS_CTS_ON) << name;
        PumpFor(100);
        EXPECT_EQ(seen.size(), 6u) << name;
    }
}

TEST(Adapters, CdcAcmReportsCtsOnWhateverTheLineDoes) {
    TAdapter a(DriverProfileNamed("cdc-acm"));
    a.Comm.Open();
    EXPECT_TRUE(a.Comm.ModemLineOn(1));
    EXPECT_FALSE(a.Comm.ModemLineOn(2));
}

TEST(Adapters, AfterAnUnplugEverySendFailsAndTheSameComEntryOpensTheNextAdapter) {
    for (const auto& traits : DriverProfiles()) {
        if (!IsUsb(traits))
            continue;
        TAdapter a(traits);
        a.Comm.Open();
        ASSERT_TRUE(a.Device.Write("before"));
        ASSERT_TRUE(PumpUntil([&] { return a.Received == "before"; })) << traits.Name;
        a.Unplug();
        ASSERT_TRUE(PumpUntil([&] { return a.LineErrors == 1; })) << traits.Name;
        for (int i = 0; i < 3; ++i)
            EXPECT_FALSE(a.Comm.WriteText("AT\r\n")) << traits.Name;
        EXPECT_FALSE(a.Comm.WriteText(std::string(5000, 'x'))) << traits.Name;
        PumpFor(50);
        EXPECT_EQ(a.LineErrors, 1) << traits.Name;
        a.Comm.Close();

        // The adapter comes back under another node name; the COM map entry follows it.
        TPtyDevice back;
        std::filesystem::remove(a.Home.Dir() + "/tevro-console/com/COM1");
        a.Home.MapCom(1, back.SlavePath());
        a.Profile->Replug();
        a.Comm.Open();
        EXPECT_TRUE(a.Comm.WriteText("again"));
        EXPECT_EQ(back.ReadExactly(5), "again") << traits.Name;
        ASSERT_TRUE(back.Write("back"));
        EXPECT_TRUE(PumpUntil([&] { return a.Received == "beforeback"; })) << traits.Name;
    }
}

TEST(Adapters, BytesWrittenBeforeAFailureAreNotSentAgain) {
    for (const char* name : {"ftdi_sio", "cdc-acm", "pty"}) {
        TAdapter a(DriverProfileNamed(name));
        a.Comm.Open();
        std::string text;
        for (int i = 0; i < 300; ++i)
            text += char('a' + i % 26);
        a.Profile->ShortWriteThenFail(100, ENOMEM);
        ASSERT_TRUE(a.Comm.WriteText(text));
        EXPECT_EQ(a.Device.ReadExactly(text.size(), 3000), text) << name;
        // The retry sent only the rest.
        EXPECT_EQ(a.Device.ReadFor(250), "") << name;
        EXPECT_EQ(a.Profile->Written(), text) << name;
    }
}

TEST(Adapters, LongTextsReachTheDeviceWholeAndInOrder) {
    for (const char* name : {"pty", "ftdi_sio", "cdc-acm", "16550"}) {
        TAdapter a(DriverProfileNamed(name));
        a.Comm.Open();
        std::string text;
        for (int i = 0; i < 8192; ++i)
            text += char(i * 7 + i / 256);
        ASSERT_TRUE(a.Comm.WriteText("head"));
        EXPECT_EQ(MessageOf([&] { EXPECT_TRUE(a.Comm.WriteText(text)) << name; }),
                  "(nothing raised)")
            << name;
        EXPECT_TRUE(a.Comm.WriteText("tail"));
        EXPECT_EQ(a.Device.ReadExactly(8200, 5000), "head" + text + "tail") << name;
    }
}

TEST(Adapters, ATextNoQueueCouldHoldIsRefusedAtOnce) {
    TAdapter a(DriverProfileNamed("pty"));
    a.Comm.Open();
    // Refused without waiting for room that can never come, and without an error box.
    EXPECT_EQ(MessageOf([&] { EXPECT_FALSE(a.Comm.WriteText(std::string(1 << 20, 'p'))); }),
              "(nothing raised)");
    EXPECT_TRUE(a.Comm.WriteText("ok"));
    EXPECT_EQ(a.Device.ReadExactly(2), "ok");
}

TEST(Adapters, RtsHandshakeAloneRaisesRtsWithoutStoppingOutputOnCts) {
    TAdapter a(DriverProfileNamed("16550"));
    a.Comm.FlowControl().SetControlRts(rtsHandshake);
    a.Comm.Open();
    EXPECT_EQ(a.Profile->Line().c_cflag & CRTSCTS, 0u);
    EXPECT_TRUE(a.Profile->OutputLines() & TIOCM_RTS);
    // CTS low, and still the bytes go out.
    EXPECT_TRUE(a.Comm.WriteText("out"));
    EXPECT_EQ(a.Device.ReadExactly(3), "out");
    a.Comm.FlowControl().SetOutCtsFlow(true);
    EXPECT_NE(a.Profile->Line().c_cflag & CRTSCTS, 0u);
}

TEST(Adapters, ParityIsCheckedOnlyWhenAskedFor) {
    TAdapter a(DriverProfileNamed("ftdi_sio"));
    a.Comm.SetParity(paEven);
    a.Comm.Open();
    EXPECT_EQ(a.Profile->Line().c_iflag & (INPCK | PARMRK), 0u);
    ASSERT_TRUE(a.Device.Write("\xff"
                               "a"));
    EXPECT_TRUE(PumpUntil([&] {
        return a.Received == "\xff"
                             "a";
    })) << Hex(a.Received);
    a.Comm.SetOptions({coParityCheck});
    EXPECT_EQ(a.Profile->Line().c_iflag & (INPCK | PARMRK), tcflag_t(INPCK | PARMRK));
    // The kernel now doubles a data byte FF; the layer undoes the marking.
    ASSERT_TRUE(a.Device.Write("\xff"
                               "b"));
    EXPECT_TRUE(PumpUntil([&] {
        return a.Received == "\xff"
                             "a\xff"
                             "b";
    })) << Hex(a.Received);
}

TEST(Adapters, SettingsWritesLeaveTheSystemsRs485AloneUnlessRtsToggleChanges) {
    TAdapter a(DriverProfileNamed("8250-rs485"));
    a.Profile->SetSystemRs485(SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND);
    a.Comm.Open();
    a.Comm.SetParity(paOdd);
    a.Comm.SetUserBaudrate(57600);
    EXPECT_EQ(a.Profile->Rs485Writes(), 0);
    EXPECT_EQ(a.Profile->Rs485().flags, uint32_t(SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND));

    a.Comm.FlowControl().SetControlRts(rtsToggle);
    EXPECT_EQ(a.Profile->Rs485().flags, uint32_t(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND));
    EXPECT_EQ(a.Profile->Rs485().delay_rts_before_send, 2u); // the system's delays stay
    a.Comm.FlowControl().SetControlRts(rtsEnabled);
    EXPECT_EQ(a.Profile->Rs485().flags, uint32_t(SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND));

    // Where the driver has no RS-485, asking for RTS toggling is refused and not kept.
    TAdapter usb(DriverProfileNamed("ftdi_sio"));
    usb.Comm.Open();
    EXPECT_EQ(MessageOf([&] { usb.Comm.FlowControl().SetControlRts(rtsToggle); }),
              "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(usb.Comm.FlowControl().ControlRts(), rtsDisabled);
}

TEST(Adapters, WithoutUpdateDcbTheLineStaysAsTheSystemLeftIt) {
    for (const char* name : {"16550", "ftdi_sio"}) {
        TAdapter a(DriverProfileNamed(name));
        termios2 system{};
        system.c_cflag = BOTHER | CS7 | PARENB | CSTOPB | CRTSCTS | CREAD | HUPCL;
        system.c_iflag = IXON | ICRNL | INPCK;
        system.c_oflag = OPOST | ONLCR;
        system.c_lflag = ICANON | ECHO | ISIG;
        system.c_ispeed = system.c_ospeed = 9600;
        a.Profile->SetSystemLine(system);
        a.Comm.SetUpdateDCB(false);
        a.Comm.Open();
        const termios2 t = a.Profile->Line();
        EXPECT_EQ(t.c_ospeed, 9600u) << name;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS),
                  tcflag_t(CS7 | PARENB | CSTOPB | CRTSCTS))
            << name;
        EXPECT_EQ(t.c_iflag & (IXON | INPCK), tcflag_t(IXON | INPCK)) << name;
        // What raw I/O needs, and only that.
        EXPECT_EQ(t.c_iflag & (ICRNL | PARMRK), 0u) << name;
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << name;
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << name;
        EXPECT_EQ(t.c_cc[VMIN], 1) << name;
        EXPECT_NE(t.c_cflag & CLOCAL, 0u) << name;
    }
}

TEST(Adapters, ASettingTheOpenPortRefusesIsNotStored) {
    TAdapter a(DriverProfileNamed("16550"));
    a.Comm.Open();
    EXPECT_EQ(MessageOf([&] { a.Comm.Buffers().SetReadSize(8192); }),
              "Can't perform this operation while port is open");
    EXPECT_EQ(a.Comm.Buffers().ReadSize(), 4096);
    EXPECT_EQ(MessageOf([&] { a.Comm.Buffers().SetWriteSize(10); }),
              "Can't perform this operation while port is open");
    EXPECT_EQ(a.Comm.Buffers().WriteSize(), 2048);
    // A rate the UART cannot make: refused, the old one stays in the component and the driver.
    EXPECT_EQ(MessageOf([&] { a.Comm.SetUserBaudrate(230400); }),
              "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(a.Comm.UserBaudrate(), 115200);
    EXPECT_EQ(a.Profile->Line().c_ospeed, 115200u);
    EXPECT_EQ(MessageOf([&] { a.Comm.FlowControl().SetOutDsrFlow(true); }),
              "Error writing dcb (22), Invalid argument");
    EXPECT_FALSE(a.Comm.FlowControl().OutDsrFlow());
    TVaFlowControl dsr;
    dsr.SetControlDtr(dtrHandshake);
    EXPECT_EQ(MessageOf([&] { a.Comm.SetFlowControl(dsr); }),
              "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(a.Comm.FlowControl().ControlDtr(), dtrDisabled);
    // The port still works with what it had.
    EXPECT_TRUE(a.Comm.WriteText("still"));
    EXPECT_EQ(a.Device.ReadExactly(5), "still");
}

} // namespace
