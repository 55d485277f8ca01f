// The serial component and the console on real Linux drivers. These run inside the guest that
// tools/vm/tevro-vm boots: ftdi_sio behind QEMU's FTDI adapter and 8250 behind a second
// emulated 16550 (/dev/ttyS1), played by the host (tools/vm/Peer.cpp), and cdc_acm, cp210x,
// pl2303 and ch341 behind devices the guest presents to itself, played by the same peer
// inside the guest (tools/vm/UsbGadget.cpp). Each test runs over every driver.
#include "ByteText.h"
#include "ConfigHome.h"
#include "ConsoleCore.h"
#include "CpuTime.h"
#include "DeviceWatch.h"
#include "DriverProfile.h"
#include "FormFixture.h"
#include "SerialTestSupport.h"
#include "VmHost.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <asm/termbits.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <span>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct TRealDevice {
    const char* Line;   // the peer's name for it
    const char* Driver; // the tty's driver as sysfs names it
    bool InGuest;       // its far end is played inside the guest
    // The rates the console offers that the chip makes: below MinRate an FT232's divisor
    // overflows (get_ftdi_divisor) and a CP2102 runs at 300 (cp210x_change_speed); above
    // MaxRate a 16550's clock cannot follow (serial8250_get_baud_rate).
    int MinRate, MaxRate;
    // The modem inputs the far end drives, each with what the driver then reports; none
    // where the far end cannot drive them.
    std::vector<std::pair<int, int>> Inputs;
};
const int kDsrCd = TIOCM_DSR | TIOCM_CD, kAll = TIOCM_CTS | TIOCM_RI | kDsrCd;
const std::vector<std::pair<int, int>> kChipInputs = {
    {TIOCM_CTS, TIOCM_CTS}, {kDsrCd, kDsrCd}, {TIOCM_RI, TIOCM_RI}, {kAll, kAll}, {0, 0}};
const TRealDevice kDevices[] = {
    {"uart", "serial8250", false, 0, 115200, {}},
    {"ftdi", "ftdi_sio", false, 183, 3000000, {}},
    // acm_tty_tiocmget reports CTS always; the ACM function raises DSR and DCD while its far
    // end is open (lines 0 closes it).
    {"acm", "cdc_acm", true, 0, 3000000, {{0, TIOCM_CTS}, {1, TIOCM_CTS | kDsrCd}}},
    {"cp210x", "cp210x", true, 300, 3000000, kChipInputs},
    {"pl2303", "pl2303", true, 0, 3000000, kChipInputs},
    {"ch341", "ch341-uart", true, 0, 3000000, kChipInputs}};
const std::span<const TRealDevice> kUsbDevices(kDevices + 1, std::size(kDevices) - 1);

// The device's node: the tty whose driver is the device's; the 8250 driver also holds the
// console (ttyS0) and ports without a chip (ttyS2, ttyS3).
std::string NodeOf(const TRealDevice& D) {
    if (std::string(D.Driver) == "serial8250")
        return "/dev/ttyS1";
    for (const auto& e : std::filesystem::directory_iterator("/sys/class/tty")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path() / "device/driver", ec).filename() == D.Driver)
            return "/dev/" + e.path().filename().string();
    }
    return "";
}

std::string PeerDo(const TRealDevice& D, const std::string& Verb, const std::string& Arg = "") {
    return HostDo(Verb + " " + D.Line + (Arg.empty() ? "" : " " + Arg), 150000,
                  D.InGuest ? "guest-" : "");
}

// How long a test spent on one driver, for the closing note; a failure meanwhile names it.
struct TDriverTime {
    const char* Driver;
    testing::ScopedTrace Trace{__FILE__, __LINE__, Driver};
    std::chrono::steady_clock::time_point Start = std::chrono::steady_clock::now();
    ~TDriverTime() {
        const std::chrono::duration<double, std::milli> ms =
            std::chrono::steady_clock::now() - Start;
        std::printf("%s: %.0f ms\n", Driver, ms.count());
    }
};

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

// The rate QEMU's FTDI chip last ran at, from its trace (tevro-vm --trace
// usb_serial_set_baud writes it to the run folder as the guest goes); 0 when none is known.
unsigned FtdiChipRate() {
    const std::string trace = ReadFile(std::string(std::getenv("TEVRO_VM_RUN")) + "/trace");
    const size_t at = trace.rfind("baud rate ");
    return at == std::string::npos ? 0 : unsigned(std::atoi(trace.c_str() + at + 10));
}

TEST(RealDriverRates, TheFtdiDriverReportsRatesItsChipCannotMake) {
    // Set beside the component: ftdi_sio takes the rate and reads it back unchanged, while the
    // chip's divisor overflows below 183.1 baud (3 MHz / 16383.875).
    TSideView side("/dev/ttyUSB0");
    for (const auto& [rate, made] : {std::pair{110u, false}, {183u, false}, {184u, true}}) {
        termios2 t{};
        ASSERT_EQ(::ioctl(side.Fd, TCGETS2, &t), 0);
        t.c_cflag = (t.c_cflag & ~CBAUD) | BOTHER;
        t.c_ospeed = t.c_ispeed = rate;
        ASSERT_EQ(::ioctl(side.Fd, TCSETS2, &t), 0);
        EXPECT_EQ(side.Rate(), rate);
        unsigned chip = 0;
        EXPECT_TRUE(PumpUntil([&] { return (chip = FtdiChipRate()) != 0 && chip != 9600; }));
        std::printf("ftdi_sio asked for %u: the chip runs at %u\n", rate, chip);
        EXPECT_EQ(std::abs(int(chip) - int(rate)) * 100 <= int(rate) * 3, made) << rate;
        t.c_ospeed = t.c_ispeed = 9600;
        ASSERT_EQ(::ioctl(side.Fd, TCSETS2, &t), 0);
        ASSERT_TRUE(PumpUntil([&] { return FtdiChipRate() == 9600; }));
    }
}

TEST(RealDriverRates, EveryRateOfTheConsoleOpensWhereTheChipMakesIt) {
    for (const TRealDevice& d : kDevices) {
        TDriverTime time{d.Driver};
        const std::string node = NodeOf(d);
        ASSERT_FALSE(node.empty());
        for (int rate : kConsoleRates) {
            TRealPort p(node);
            p.Comm.SetUserBaudrate(rate);
            const std::string message = MessageOf([&] { p.Comm.Open(); });
            if (rate < d.MinRate || rate > d.MaxRate) {
                EXPECT_EQ(message, "Error writing dcb (22), Invalid argument") << rate;
                EXPECT_FALSE(p.Comm.IsOpen()) << rate;
                continue;
            }
            EXPECT_EQ(message, "(nothing raised)") << rate;
            ASSERT_TRUE(p.Comm.IsOpen()) << rate;
            // What the driver holds, read beside the component, is within the chips' rounding.
            const unsigned back = TSideView(node.c_str()).Rate();
            EXPECT_NEAR(double(back), double(rate), rate * 0.03) << rate;
            if (std::string(d.Line) == "ftdi") { // and so is the rate the emulated chip runs at
                EXPECT_TRUE(PumpUntil([&] {
                    return std::abs(double(FtdiChipRate()) - rate) <= rate * 0.03;
                })) << rate
                    << ": the chip runs at " << FtdiChipRate();
            }
        }
    }
}

TEST(RealDriverBytes, EveryByteValueGoesBothWays) {
    for (const TRealDevice& d : kDevices) {
        TDriverTime time{d.Driver};
        ASSERT_EQ(PeerDo(d, "echo"), "ok");
        TRealPort p(NodeOf(d));
        p.Comm.Open();
        ASSERT_TRUE(p.Comm.IsOpen());
        // Sent twice, so every value also follows every other in the stream at least once.
        const std::string all = AllByteValues() + AllByteValues();
        ASSERT_TRUE(p.Comm.WriteText(all));
        EXPECT_TRUE(PumpUntil([&] { return p.Received.size() >= all.size(); }, 10000))
            << "got " << p.Received.size();
        EXPECT_EQ(Hex(p.Received), Hex(all));
        ASSERT_EQ(PeerDo(d, "quiet"), "ok");
    }
}

// Whether the line panels come to show the modem inputs Bits (TIOCM_*) within TimeoutMs.
bool PanelsShow(TVaComm& Comm, int Bits, int TimeoutMs = 3000) {
    const int inputs[] = {TIOCM_CTS, TIOCM_DSR, TIOCM_RI, TIOCM_CD};
    return PumpUntil(
        [&] {
            for (int line = 1; line <= 4; ++line)
                if (Comm.ModemLineOn(line) != bool(Bits & inputs[line - 1]))
                    return false;
            return true;
        },
        TimeoutMs);
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
    // The USB adapters: DTR and RTS as the component drives them reach the driver, and the
    // panels show the inputs the driver reports, changing as the far end drives them.
    for (const TRealDevice& d : kUsbDevices) {
        TDriverTime time{d.Driver};
        const std::string node = NodeOf(d);
        TRealPort p(node);
        p.Comm.Open();
        ASSERT_TRUE(p.Comm.IsOpen());
        TSideView side(node.c_str());
        for (const auto& [dtr, rts] : {std::pair{true, false}, {false, true}, {true, true}}) {
            p.Comm.SetDTR(dtr);
            p.Comm.SetRTS(rts);
            const int lines = side.Lines();
            ASSERT_GE(lines, 0);
            EXPECT_EQ(bool(lines & TIOCM_DTR), dtr);
            EXPECT_EQ(bool(lines & TIOCM_RTS), rts);
            EXPECT_TRUE(PanelsShow(p.Comm, lines)) << "TIOCMGET " << lines;
        }
        for (const auto& [drive, reported] : d.Inputs) {
            ASSERT_EQ(PeerDo(d, "lines", std::to_string(drive)), "ok");
            EXPECT_TRUE(PanelsShow(p.Comm, reported))
                << "inputs " << drive << ", TIOCMGET " << side.Lines();
        }
    }
}

double MsSince(std::chrono::steady_clock::time_point T) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - T).count();
}

// The kernel's calls for a port of the component, passed through: counts its TIOCMGET calls and
// its threads in the driver's wait for a line change, and times the last wait's end and close.
struct TCountedCalls : TVaSysCalls {
    std::shared_ptr<TVaSysCalls> Kernel = VaKernelCalls();
    std::atomic<int> Queries{0}, Waiting{0};
    std::atomic<std::chrono::steady_clock::time_point> WaitEnded;
    std::atomic<double> CloseMs{0};
    TVaSysResult Open(const char* P, int F) override { return Kernel->Open(P, F); }
    TVaSysResult Close(int Fd) override {
        const auto t = std::chrono::steady_clock::now();
        const TVaSysResult r = Kernel->Close(Fd);
        CloseMs = MsSince(t);
        return r;
    }
    TVaSysResult Read(int Fd, void* B, size_t N) override { return Kernel->Read(Fd, B, N); }
    TVaSysResult Write(int Fd, const void* D, size_t N) override { return Kernel->Write(Fd, D, N); }
    TVaSysResult Poll(pollfd* P, nfds_t N, int Ms) override { return Kernel->Poll(P, N, Ms); }
    TVaSysResult Flock(int Fd, int Op) override { return Kernel->Flock(Fd, Op); }
    TVaSysResult Ioctl(int Fd, unsigned long Req, void* Arg) override {
        Queries += Req == TIOCMGET;
        if (Req != TIOCMIWAIT)
            return Kernel->Ioctl(Fd, Req, Arg);
        ++Waiting;
        const TVaSysResult r = Kernel->Ioctl(Fd, Req, Arg);
        --Waiting;
        WaitEnded = std::chrono::steady_clock::now();
        return r;
    }
};

TEST(RealDriverLineWait, StillLinesCostNoQueryWhereTheDriverWaitsAndAChangeShowsAtOnce) {
    for (const TRealDevice& d : kUsbDevices) {
        TDriverTime time{d.Driver};
        const bool waits = std::string(d.Driver) != "cp210x"; // no TIOCMIWAIT: it samples
        const auto calls = std::make_shared<TCountedCalls>();
        const auto inWait = [&] {
            return PumpUntil([&] { return !waits || calls->Waiting == 1; });
        };
        if (!d.Inputs.empty()) {
            ASSERT_EQ(PeerDo(d, "lines", std::to_string(d.Inputs.back().first)), "ok");
        }
        TRealPort p(NodeOf(d));
        p.Comm.SetPlatform(VaLinuxPlatform(calls));
        p.Comm.OnModemLines = [](TVaCustomComm*) {}; // line events wanted, as the console has them
        p.Comm.Open();
        ASSERT_TRUE(p.Comm.IsOpen());
        ASSERT_TRUE(inWait());
        PumpFor(200);
        const int before = calls->Queries;
        PumpFor(1000);
        const int queries = calls->Queries - before;
        EXPECT_TRUE(waits ? queries == 0 && calls->Waiting == 1 : queries >= 10) << queries;
        double worst = 0; // from the far end's answer to the panels showing the change
        for (const auto& [drive, reported] : d.Inputs) {
            ASSERT_TRUE(inWait());
            ASSERT_EQ(PeerDo(d, "lines", std::to_string(drive)), "ok");
            const auto t0 = std::chrono::steady_clock::now();
            EXPECT_TRUE(PanelsShow(p.Comm, reported, 1000)) << drive;
            worst = std::max(worst, MsSince(t0));
        }
        EXPECT_TRUE(!waits || worst < 50) << worst;
        ASSERT_TRUE(inWait());
        // Close's own part: the driver's close(2) may sleep (pl2303's takes 100 ms and more).
        const auto t0 = std::chrono::steady_clock::now();
        p.Comm.Close();
        const double closeMs = MsSince(t0), woken = MsSince(t0) - MsSince(calls->WaitEnded);
        EXPECT_EQ(calls->Waiting, 0);
        EXPECT_TRUE(!waits || woken < 100) << woken;
        EXPECT_LT(closeMs - calls->CloseMs, 100) << closeMs;
        std::printf("%s: %d line queries over a still second; changes shown within %.1f ms; close "
                    "%.1f ms (%.1f in close(2)), the wait left after %.1f ms\n",
                    d.Driver, queries, worst, closeMs, calls->CloseMs.load(), waits ? woken : 0);
    }
}

TEST(RealDriverResponder, AnswersTheSimulatorsRequestsThroughTheAdapter) {
    for (const TRealDevice& d : kUsbDevices) {
        TDriverTime time{d.Driver};
        TFormFixture f;
        TConfigHome home;
        home.MapCom(1, NodeOf(d));
        f.Form->ChBxTreat->setChecked(true);
        f.Form->RButPack->setChecked(true);
        ASSERT_TRUE(f.Form->VaComm->IsOpen());
        const std::string summary = PeerDo(d, "packet", "200");
        ASSERT_EQ(summary.rfind("ok {", 0), 0u) << summary;
        EXPECT_EQ(JsonField(summary, "answered"), "200") << summary;
        EXPECT_EQ(JsonField(summary, "missing"), "0") << summary;
        EXPECT_EQ(JsonField(summary, "wrong"), "0") << summary;
        // Under emulation the time says little; it is shown, not checked.
        std::printf("responder through %s under emulation: round trip median %s ms, p99 %s ms, "
                    "worst %s ms over %s requests\n",
                    d.Driver, JsonField(summary, "rtt_median_ms").c_str(),
                    JsonField(summary, "rtt_p99_ms").c_str(),
                    JsonField(summary, "rtt_max_ms").c_str(),
                    JsonField(summary, "requests").c_str());
    }
}

// Takes the device off the bus (In false) or puts it back: QEMU's monitor for the FTDI
// adapter, the controller's binding for the guest's own devices.
std::string Plug(const TRealDevice& D, bool In) {
    if (D.InGuest)
        return PeerDo(D, "plug", In ? "in" : "out");
    return HostDo(In ? "monitor device_add usb-serial,id=ftdi,chardev=u0,always-plugged=on"
                     : "monitor device_del ftdi");
}

// The window with COM 1 mapped to the device; Start opens it in Direct mode while the far end
// streams numbered lines.
struct TStreamingWindow {
    TFormFixture F;
    TConfigHome Home;
    const std::string Node;
    TBaseform& W = *F.Form;
    explicit TStreamingWindow(const TRealDevice& D) : Node(NodeOf(D)) { Home.MapCom(1, Node); }
    void Start(const TRealDevice& D) {
        ASSERT_EQ(PeerDo(D, "stream"), "ok");
        W.RButDirect->setChecked(true);
        ASSERT_TRUE(W.VaComm->IsOpen());
    }
};

TEST(RealDriverUnplug, AnUnplugUnderTrafficIsOneErrorAndTheAdapterOpensAgainWhenBack) {
    // An unplug that QEMU refused is not taken for one.
    EXPECT_EQ(HostDo("monitor device_del no-such-device").rfind("error: ", 0), 0u);
    for (const TRealDevice& d : kUsbDevices) {
        TDriverTime time{d.Driver};
        TStreamingWindow s(d);
        TBaseform& w = s.W;
        const std::string& node = s.Node;
        ASSERT_NO_FATAL_FAILURE(s.Start(d));
        ASSERT_TRUE(PumpUntil([&] { return Count(w.LogGetText(), "line ") >= 5; }, 10000))
            << w.LogGetText();

        double cpu0 = CpuSeconds();
        PumpFor(1000);
        const double cpuBefore = CpuSeconds() - cpu0;

        ASSERT_EQ(Plug(d, false).rfind("ok", 0), 0u);
        ASSERT_TRUE(PumpUntil([&] { return !std::filesystem::exists(node); }, 20000));
        // One report of the lost line, whichever call met the loss first.
        ASSERT_TRUE(PumpUntil([&] { return s.F.Boxes.size() >= 1; }, 5000)) << w.LogGetText();
        cpu0 = CpuSeconds();
        PumpFor(1000);
        const double cpu = CpuSeconds() - cpu0;
        EXPECT_EQ(s.F.Boxes.size(), 1) << s.F.Boxes.join(" | ").toStdString();
        // Under emulation the window's own timers cost a fifth of a core; a spinning thread, all.
        std::printf("%s after the unplug: \"%s\"; CPU over a second %.0f ms (%.0f ms before it)\n",
                    d.Driver, s.F.Boxes[0].toStdString().c_str(), cpu * 1000, cpuBefore * 1000);
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
        ASSERT_EQ(PeerDo(d, "stream"), "ok");
        ASSERT_EQ(Plug(d, true).rfind("ok", 0), 0u);
        std::string back;
        ASSERT_TRUE(PumpUntil([&] { return !(back = NodeOf(d)).empty(); }, 20000));
        std::printf("%s is back as %s\n", d.Driver, back.c_str());
        std::filesystem::remove(s.Home.Dir() + "/tevro-console/com/COM1");
        s.Home.MapCom(1, back);
        w.LogClear();
        w.BtnOpen->click();
        ASSERT_TRUE(w.VaComm->IsOpen()) << s.F.Boxes.join(" | ").toStdString();
        EXPECT_TRUE(PumpUntil([&] { return Count(w.LogGetText(), "line ") >= 5; }, 10000))
            << w.LogGetText();
        w.BtTransmit->click();
        PumpFor(200);
        EXPECT_EQ(Count(w.LogGetText(), "Error writing to"), 0) << w.LogGetText();
        EXPECT_EQ(s.F.Boxes.size(), 1);
        ASSERT_EQ(PeerDo(d, "quiet"), "ok");
    }
}

// The numbers of the whole "line NNNNNN" lines in Log.
std::vector<unsigned> LineNumbers(const std::string& Log) {
    std::vector<unsigned> n;
    static const std::regex line(R"(line ([0-9]{6})\r\n)");
    for (std::sregex_iterator it(Log.begin(), Log.end(), line), end; it != end; ++it)
        n.push_back(static_cast<unsigned>(std::stoul((*it)[1])));
    return n;
}

// "Reopen when the device returns": the device unplugged and back under traffic, again and
// again; the guest runs no device manager, so the kernel's own device events tell the console.
TEST(RealDriverReopen, TheDeviceUnpluggedAndBackIsOpenedAgainAtOnceEveryTime) {
    // The devices are listed as the device manager knows them, with a driver behind them.
    const std::vector<TSerialDevice> listed = ListSerialDevices();
    for (const TRealDevice& d : kDevices)
        EXPECT_TRUE(std::any_of(listed.begin(), listed.end(), [&](const TSerialDevice& L) {
            return L.Node == NodeOf(d) && !L.Driver.empty();
        })) << d.Driver;
    std::vector<double> reopenMs;
    for (const auto& [name, cycles] : {std::pair{"ftdi", 50}, {"acm", 5}, {"cp210x", 5}}) {
        const std::string line = name;
        const TRealDevice& d = *std::find_if(std::begin(kDevices), std::end(kDevices),
                                             [&](const TRealDevice& D) { return D.Line == line; });
        TDriverTime time{d.Driver};
        TStreamingWindow s(d);
        TBaseform& w = s.W;
        const std::string& node = s.Node;
        w.Console->SetReopen(true);
        ASSERT_NO_FATAL_FAILURE(s.Start(d));
        int fds = -1, threads = -1;
        for (int cycle = 0; cycle < cycles; ++cycle) {
            ASSERT_TRUE(PumpUntil([&] { return LineNumbers(w.LogGetText()).size() >= 5; }, 10000))
                << cycle << ": " << w.LogGetText();
            // After the reopen every line that came is there, in order.
            const std::vector<unsigned> lines = LineNumbers(w.LogGetText());
            for (size_t i = 1; i < lines.size(); ++i)
                ASSERT_EQ(lines[i], lines[i - 1] + 1) << cycle << ": a line went missing";
            if (cycle == 1) {
                fds = OpenDescriptors();
                threads = Threads();
            } else if (cycle > 1) {
                EXPECT_EQ(OpenDescriptors(), fds) << cycle;
                EXPECT_EQ(Threads(), threads) << cycle;
            }
            ASSERT_EQ(Plug(d, false).rfind("ok", 0), 0u);
            ASSERT_TRUE(PumpUntil([&] { return w.Console->WaitingForDevice(); }, 20000))
                << cycle << ": " << w.LogGetText();
            ASSERT_TRUE(PumpUntil([&] { return !std::filesystem::exists(node); }, 20000));
            w.LogClear();
            // QEMU lets go of the adapter's line a little after the guest saw it go.
            std::string answer;
            for (int i = 0; i < 50 && (answer = Plug(d, true)).rfind("ok", 0) != 0; ++i)
                PumpFor(100);
            ASSERT_EQ(answer.rfind("ok", 0), 0u) << answer;
            // From the node's making (its change time, set by the kernel as it makes it) to
            // the port open again (looked at every millisecond).
            ASSERT_TRUE(PumpUntil([&] { return !w.Console->WaitingForDevice(); }, 20000))
                << cycle << ": not back as " << node << ": " << w.LogGetText();
            timespec now;
            ::clock_gettime(CLOCK_REALTIME, &now);
            struct stat st;
            ASSERT_EQ(::stat(node.c_str(), &st), 0);
            reopenMs.push_back((now.tv_sec - st.st_ctim.tv_sec) * 1e3 +
                               (now.tv_nsec - st.st_ctim.tv_nsec) / 1e6);
            EXPECT_LE(reopenMs.back(), 300) << cycle;
            ASSERT_TRUE(w.VaComm->IsOpen()) << cycle;
            // The lines of the unplugged moment are gone with the device: count from here.
            ASSERT_TRUE(PumpUntil([&] { return Count(w.LogGetText(), "line ") > 0; }, 10000));
            w.LogClear();
        }
        EXPECT_TRUE(s.F.Boxes.isEmpty()) << s.F.Boxes.join(" | ").toStdString();
        ASSERT_EQ(PeerDo(d, "quiet"), "ok");
    }
    std::sort(reopenMs.begin(), reopenMs.end());
    std::printf("reopen after the node came, %zu cycles: median %.0f ms, longest %.0f ms\n",
                reopenMs.size(), reopenMs[reopenMs.size() / 2], reopenMs.back());
}

} // namespace
