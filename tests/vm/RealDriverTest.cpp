// The serial component and the console on real Linux drivers. These run inside the guest that
// tools/vm/tevro-vm boots: ftdi_sio behind QEMU's FTDI adapter (/dev/ttyUSB0) and 8250 behind
// a second emulated 16550 (/dev/ttyS1). The host plays both devices on the other ends
// (tools/vm/Peer.cpp) and unplugs and replugs the adapter when asked (HostDo).
#include "ByteText.h"
#include "ConfigHome.h"
#include "CpuTime.h"
#include "DriverProfile.h"
#include "FormFixture.h"
#include "SerialTestSupport.h"
#include "VmHost.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <asm/termbits.h>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct TRealDevice {
    const char* Line; // the peer's name for it
    const char* Path;
    bool Uart; // a 16550: the clock makes 115200 at most
};
const TRealDevice kDevices[] = {{"ftdi", "/dev/ttyUSB0", false}, {"uart", "/dev/ttyS1", true}};

// A second descriptor on the device, for reading what the driver holds beside the component
// (root passes the component's exclusive open; the lock is advisory).
struct TSideView {
    int Fd;
    explicit TSideView(const char* Path) : Fd(::open(Path, O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~TSideView() {
        if (Fd >= 0)
            ::close(Fd);
    }
    int Lines() const {
        int bits = 0;
        return ::ioctl(Fd, TIOCMGET, &bits) == 0 ? bits : -1;
    }
    unsigned Rate() const {
        termios2 t{};
        return ::ioctl(Fd, TCGETS2, &t) == 0 ? t.c_ospeed : 0;
    }
};

// The component on COM 1, which the COM map points at a real device.
struct TRealPort {
    TConfigHome Home;
    TVaComm Comm;
    std::string Received;
    explicit TRealPort(const std::string& Device) {
        TestApp();
        Home.MapCom(1, Device);
        UseCom1(Comm, Received);
    }
};

// The text after "key": in a summary line, up to the next comma or brace.
std::string JsonField(const std::string& Json, const std::string& Key) {
    const size_t at = Json.find("\"" + Key + "\":");
    if (at == std::string::npos)
        return "";
    const size_t from = at + Key.size() + 3;
    return Json.substr(from, Json.find_first_of(",}", from) - from);
}

int Count(const std::string& Text, const std::string& What) {
    int n = 0;
    for (size_t at = Text.find(What); at != std::string::npos; at = Text.find(What, at + 1))
        ++n;
    return n;
}

TEST(RealDriverRates, EveryRateOfTheConsoleOpensWhereTheDriverMakesIt) {
    for (const TRealDevice& d : kDevices) {
        for (int rate : kConsoleRates) {
            TRealPort p(d.Path);
            p.Comm.SetUserBaudrate(rate);
            const std::string message = MessageOf([&] { p.Comm.Open(); });
            if (d.Uart && rate > 115200) {
                // serial8250_get_baud_rate: above clock/16 the previous rate stays.
                EXPECT_EQ(message, "Error writing dcb (22), Invalid argument")
                    << d.Path << " " << rate;
                EXPECT_FALSE(p.Comm.IsOpen()) << d.Path << " " << rate;
                continue;
            }
            EXPECT_EQ(message, "(nothing raised)") << d.Path << " " << rate;
            ASSERT_TRUE(p.Comm.IsOpen()) << d.Path << " " << rate;
            // What the driver holds, read beside the component, is within the chips' rounding.
            const unsigned back = TSideView(d.Path).Rate();
            EXPECT_NEAR(double(back), double(rate), rate * 0.03) << d.Path << " " << rate;
        }
    }
}

TEST(RealDriverBytes, EveryByteValueGoesBothWays) {
    for (const TRealDevice& d : kDevices) {
        ASSERT_EQ(HostDo(std::string("echo ") + d.Line), "ok") << d.Path;
        TRealPort p(d.Path);
        p.Comm.Open();
        ASSERT_TRUE(p.Comm.IsOpen()) << d.Path;
        // Sent twice, so every value also follows every other in the stream at least once.
        const std::string all = AllByteValues() + AllByteValues();
        ASSERT_TRUE(p.Comm.WriteText(all)) << d.Path;
        EXPECT_TRUE(PumpUntil([&] { return p.Received.size() >= all.size(); }, 10000))
            << d.Path << " got " << p.Received.size();
        EXPECT_EQ(Hex(p.Received), Hex(all)) << d.Path;
        ASSERT_EQ(HostDo(std::string("quiet ") + d.Line), "ok");
    }
}

TEST(RealDriverLines, TheLinePanelsFollowTheRealModemStatus) {
    // The 16550 in loopback: its modem inputs are its own outputs (DTR to DSR, RTS to CTS,
    // OUT1 to RI, OUT2 to DCD), so the driver's TIOCMGET shows what the component set.
    {
        TRealPort p("/dev/ttyS1");
        p.Comm.Open();
        ASSERT_TRUE(p.Comm.IsOpen());
        TSideView side("/dev/ttyS1");
        int loop = TIOCM_LOOP;
        ASSERT_EQ(::ioctl(side.Fd, TIOCMBIS, &loop), 0) << "8250 loopback refused";
        const struct {
            bool Dtr, Rts, Out1;
        } cases[] = {
            {true, true, false}, {false, true, true}, {true, false, true}, {false, false, false}};
        for (const auto& c : cases) {
            p.Comm.SetDTR(c.Dtr);
            p.Comm.SetRTS(c.Rts);
            int out1 = TIOCM_OUT1;
            ASSERT_EQ(::ioctl(side.Fd, c.Out1 ? TIOCMBIS : TIOCMBIC, &out1), 0);
            const std::string what = std::string("DTR ") + (c.Dtr ? "on" : "off") + ", RTS " +
                                     (c.Rts ? "on" : "off") + ", OUT1 " + (c.Out1 ? "on" : "off");
            EXPECT_TRUE(PumpUntil([&] {
                return p.Comm.ModemLineOn(1) == c.Rts && p.Comm.ModemLineOn(2) == c.Dtr &&
                       p.Comm.ModemLineOn(3) == c.Out1;
            })) << what;
            const int lines = side.Lines();
            EXPECT_EQ(bool(lines & TIOCM_CTS), c.Rts) << what;
            EXPECT_EQ(bool(lines & TIOCM_DSR), c.Dtr) << what;
            EXPECT_EQ(bool(lines & TIOCM_RI), c.Out1) << what;
            EXPECT_EQ(p.Comm.ModemLineOn(4), bool(lines & TIOCM_CD)) << what;
        }
        ASSERT_EQ(::ioctl(side.Fd, TIOCMBIC, &loop), 0);
    }
    // The FTDI adapter: DTR and RTS as the component drives them reach the driver, and the
    // panels' source shows the inputs the driver reports.
    TRealPort p("/dev/ttyUSB0");
    p.Comm.Open();
    ASSERT_TRUE(p.Comm.IsOpen());
    TSideView side("/dev/ttyUSB0");
    for (const auto& [dtr, rts] : {std::pair{true, false}, {false, true}, {true, true}}) {
        p.Comm.SetDTR(dtr);
        p.Comm.SetRTS(rts);
        const int lines = side.Lines();
        ASSERT_GE(lines, 0);
        EXPECT_EQ(bool(lines & TIOCM_DTR), dtr);
        EXPECT_EQ(bool(lines & TIOCM_RTS), rts);
        const int inputs[] = {TIOCM_CTS, TIOCM_DSR, TIOCM_RI, TIOCM_CD};
        for (int line = 1; line <= 4; ++line)
            EXPECT_TRUE(PumpUntil([&] {
                return p.Comm.ModemLineOn(line) == bool(lines & inputs[line - 1]);
            })) << "line "
                << line << ", TIOCMGET " << lines;
    }
}

TEST(RealDriverResponder, AnswersTheSimulatorsRequestsThroughTheAdapter) {
    TFormFixture f;
    TConfigHome home;
    home.MapCom(1, "/dev/ttyUSB0");
    f.Form->ChBxTreat->setChecked(true);
    f.Form->RButPack->setChecked(true);
    ASSERT_TRUE(f.Form->VaComm->IsOpen());
    const std::string summary = HostDo("packet ftdi 200", 150000);
    ASSERT_EQ(summary.rfind("ok {", 0), 0u) << summary;
    EXPECT_EQ(JsonField(summary, "answered"), "200") << summary;
    EXPECT_EQ(JsonField(summary, "missing"), "0") << summary;
    EXPECT_EQ(JsonField(summary, "wrong"), "0") << summary;
    // Under emulation the time says little; it is shown, not checked.
    std::printf("responder through ftdi_sio under emulation: round trip median %s ms, p99 %s ms, "
                "worst %s ms over %s requests\n",
                JsonField(summary, "rtt_median_ms").c_str(),
                JsonField(summary, "rtt_p99_ms").c_str(), JsonField(summary, "rtt_max_ms").c_str(),
                JsonField(summary, "requests").c_str());
}

TEST(RealDriverUnplug, AnUnplugUnderTrafficIsOneErrorAndTheAdapterOpensAgainWhenBack) {
    TFormFixture f;
    TConfigHome home;
    home.MapCom(1, "/dev/ttyUSB0");
    TBaseform& w = *f.Form;
    ASSERT_EQ(HostDo("stream ftdi"), "ok");
    w.RButDirect->setChecked(true);
    ASSERT_TRUE(w.VaComm->IsOpen());
    ASSERT_TRUE(PumpUntil([&] { return Count(w.LogGetText(), "line ") >= 5; }, 10000))
        << w.LogGetText();

    double cpu0 = CpuSeconds();
    PumpFor(1000);
    const double cpuBefore = CpuSeconds() - cpu0;

    ASSERT_EQ(HostDo("monitor device_del ftdi").rfind("ok", 0), 0u);
    ASSERT_TRUE(PumpUntil([] { return !std::filesystem::exists("/dev/ttyUSB0"); }, 20000));
    // One report of the lost line, whichever call met the loss first.
    ASSERT_TRUE(PumpUntil([&] { return f.Boxes.size() >= 1; }, 5000)) << w.LogGetText();
    cpu0 = CpuSeconds();
    PumpFor(1000);
    const double cpu = CpuSeconds() - cpu0;
    EXPECT_EQ(f.Boxes.size(), 1) << f.Boxes.join(" | ").toStdString();
    // Under emulation the window's own timers cost a fifth of a core; a spinning thread, all.
    std::printf("after the unplug: \"%s\"; CPU over a second %.0f ms (%.0f ms before it)\n",
                f.Boxes[0].toStdString().c_str(), cpu * 1000, cpuBefore * 1000);
    EXPECT_LT(cpu, 0.5) << "a thread spins on the lost device";

    // Every send from now on is a write error.
    w.LogClear();
    w.EdCmdLn->setText("AT");
    for (int i = 1; i <= 3; ++i) {
        w.BtTransmit->click();
        EXPECT_TRUE(PumpUntil([&] {
            return Count(w.LogGetText(), "Error writing to: Port 1") == i;
        })) << "send "
            << i << ": " << w.LogGetText();
    }
    w.BtnClose->click();
    EXPECT_FALSE(w.VaComm->IsOpen());

    // Replug: the adapter comes back, maybe under another number; the COM map follows it.
    ASSERT_EQ(HostDo("stream ftdi"), "ok");
    ASSERT_EQ(
        HostDo("monitor device_add usb-serial,id=ftdi,chardev=u0,always-plugged=on").rfind("ok", 0),
        0u);
    std::string back;
    ASSERT_TRUE(PumpUntil(
        [&] {
            for (const char* n : {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"})
                if (std::filesystem::exists(n))
                    back = n;
            return !back.empty();
        },
        20000));
    std::printf("the adapter is back as %s\n", back.c_str());
    std::filesystem::remove(home.Dir() + "/tevro-console/com/COM1");
    home.MapCom(1, back);
    w.LogClear();
    w.BtnOpen->click();
    ASSERT_TRUE(w.VaComm->IsOpen()) << f.Boxes.join(" | ").toStdString();
    EXPECT_TRUE(PumpUntil([&] { return Count(w.LogGetText(), "line ") >= 5; }, 10000))
        << w.LogGetText();
    w.BtTransmit->click();
    PumpFor(200);
    EXPECT_EQ(Count(w.LogGetText(), "Error writing to"), 0) << w.LogGetText();
    EXPECT_EQ(f.Boxes.size(), 1);
    ASSERT_EQ(HostDo("quiet ftdi"), "ok");
}

} // namespace
