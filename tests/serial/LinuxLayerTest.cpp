// The Linux serial layer: its plain functions by tables, and over pseudo-terminals the
// line settings as the kernel holds them, the event character, the input queue's limit.
#include "CpuTime.h"
#include "SerialTestSupport.h"

#include "Application.h"
#include "VaComMap.h"
#include "VaComm.h"
#include "VaPlatformLinux.h"
#include "VaTermiosLinux.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/ioctl.h>

namespace {

TEST(ComName, ResolvesComNumbersThroughTheMapElseToBuiltInPorts) {
    TConfigHome home;
    home.MapCom(3, "/dev/ttyUSB7");
    home.MapCom(5, "/nowhere/at/all"); // an entry whose device is missing stays the entry
    const std::string map = home.Dir() + "/tevro-console/com/";
    const std::pair<std::string, std::string> cases[] = {
        {"COM3", map + "COM3"},
        {"\\\\.\\COM3", map + "COM3"},
        {"\\\\.\\com3", map + "COM3"},
        {"cOm03", map + "COM3"},
        {"COM5", map + "COM5"},
        {"COM4", "/dev/ttyS3"},
        {"\\\\.\\COM12", "/dev/ttyS11"},
        {"COM1", "/dev/ttyS0"},
        {"COM0", ""},
        {"\\\\.\\COM0", ""},
        {"COM", "COM"},
        {"COMx", "COMx"},
        {"COM1a", "COM1a"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"relative/path", "relative/path"},
    };
    for (auto& [name, path] : cases)
        EXPECT_EQ(VaResolveDeviceName(name, home.Dir()), path) << name;
}

TEST(ComName, ConfigFolderIsXdgConfigHomeElseDotConfig) {
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    std::string saved = oldXdg ? oldXdg : "";
    ::setenv("HOME", std::getenv("HOME") ? std::getenv("HOME") : "/root", 1);
    std::string home = std::getenv("HOME");
    ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
    EXPECT_EQ(VaConfigDir(), "/tmp/cfg");
    ::setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(VaConfigDir(), home + "/.config");
    ::setenv("XDG_CONFIG_HOME", "cfg", 1); // relative: ignored
    EXPECT_EQ(VaConfigDir(), home + "/.config");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(VaConfigDir(), home + "/.config");
    // Without HOME, the password database's home folder.
    const passwd* pw = ::getpwuid(::getuid());
    ASSERT_NE(pw, nullptr);
    const std::string dbHome = pw->pw_dir;
    ::unsetenv("HOME");
    EXPECT_EQ(VaConfigDir(), dbHome + "/.config");
    ::setenv("HOME", "", 1);
    EXPECT_EQ(VaConfigDir(), dbHome + "/.config");
    ::setenv("HOME", home.c_str(), 1);
    if (oldXdg)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

TEST(ComName, ComMapFolderByTheXdgRules) {
    const struct {
        const char* Xdg;
        const char* Home;
        const char* Folder;
    } cases[] = {
        {"/x/cfg", "/home/u", "/x/cfg/tevro-console/com"},
        {"", "/home/u", "/home/u/.config/tevro-console/com"},
        {nullptr, "/home/u", "/home/u/.config/tevro-console/com"},
        {"x/cfg", "/home/u", "/home/u/.config/tevro-console/com"},
        {"./cfg", "/home/u", "/home/u/.config/tevro-console/com"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VaComMapDir(VaConfigDirOf(c.Xdg, c.Home)), c.Folder)
            << (c.Xdg ? c.Xdg : "(unset)");
}

TVaLineSettings Line8N1(uint32_t Rate = 115200) {
    TVaLineSettings s;
    s.BaudRate = Rate;
    return s;
}

TEST(TermiosMapping, MapsWhatTheKernelCanExpress) {
    struct {
        const char* What;
        std::function<void(TVaLineSettings&)> Set;
        tcflag_t CflagOn, CflagOff, IflagOn, IflagOff;
    } cases[] = {
        {"8N1", [](TVaLineSettings&) {}, CS8 | CREAD | CLOCAL | BOTHER, PARENB | CSTOPB | CRTSCTS,
         0, IXON | IXOFF | ICRNL | ISTRIP | INPCK | PARMRK},
        {"parity check", [](TVaLineSettings& s) { s.ParityCheck = true; }, 0, 0, INPCK | PARMRK, 0},
        {"5 bits", [](TVaLineSettings& s) { s.ByteSize = 5; }, CS5, CSIZE & ~CS5, 0, 0},
        {"6 bits", [](TVaLineSettings& s) { s.ByteSize = 6; }, CS6, CSIZE & ~CS6, 0, 0},
        {"7 bits", [](TVaLineSettings& s) { s.ByteSize = 7; }, CS7, CSIZE & ~CS7, 0, 0},
        {"odd", [](TVaLineSettings& s) { s.Parity = 1; }, PARENB | PARODD, CMSPAR, 0, 0},
        {"even", [](TVaLineSettings& s) { s.Parity = 2; }, PARENB, PARODD | CMSPAR, 0, 0},
        {"mark", [](TVaLineSettings& s) { s.Parity = 3; }, PARENB | PARODD | CMSPAR, 0, 0, 0},
        {"space", [](TVaLineSettings& s) { s.Parity = 4; }, PARENB | CMSPAR, PARODD, 0, 0},
        {"2 stop", [](TVaLineSettings& s) { s.StopBits = 2; }, CSTOPB, 0, 0, 0},
        {"1.5 stop, 5 bits",
         [](TVaLineSettings& s) {
             s.StopBits = 1;
             s.ByteSize = 5;
         },
         CSTOPB | CS5, 0, 0, 0},
        {"CTS flow", [](TVaLineSettings& s) { s.OutxCtsFlow = true; }, CRTSCTS, 0, 0, 0},
        // Linux cannot hold input back by RTS without stopping output on CTS.
        {"RTS handshake alone", [](TVaLineSettings& s) { s.RtsControl = 2; }, 0, CRTSCTS, 0, 0},
        {"XON/XOFF out", [](TVaLineSettings& s) { s.OutX = true; }, 0, 0, IXON, IXOFF},
        {"XON/XOFF in", [](TVaLineSettings& s) { s.InX = true; }, 0, 0, IXOFF, IXON},
    };
    for (auto& c : cases) {
        TVaLineSettings s = Line8N1();
        c.Set(s);
        TVaTermiosPlan plan;
        ASSERT_TRUE(VaBuildTermios(s, plan).Ok()) << c.What;
        EXPECT_EQ(plan.T.c_cflag & c.CflagOn, c.CflagOn) << c.What;
        EXPECT_EQ(plan.T.c_cflag & c.CflagOff, 0u) << c.What;
        EXPECT_EQ(plan.T.c_iflag & c.IflagOn, c.IflagOn) << c.What;
        EXPECT_EQ(plan.T.c_iflag & c.IflagOff, 0u) << c.What;
        EXPECT_EQ(plan.T.c_lflag, 0u) << c.What; // raw: no echo, no canonical lines
        EXPECT_EQ(plan.T.c_oflag, 0u) << c.What;
        EXPECT_EQ(plan.T.c_cc[VMIN], 1) << c.What;
        EXPECT_EQ(plan.T.c_ospeed, 115200u) << c.What;
        EXPECT_EQ(plan.T.c_ispeed, 115200u) << c.What;
    }
    TVaLineSettings s = Line8N1(256000);
    s.XonChar = 'q';
    s.XoffChar = 's';
    s.RtsControl = 3;
    TVaTermiosPlan plan;
    ASSERT_TRUE(VaBuildTermios(s, plan).Ok());
    EXPECT_EQ(plan.T.c_cc[VSTART], 'q');
    EXPECT_EQ(plan.T.c_cc[VSTOP], 's');
    EXPECT_EQ(plan.T.c_ospeed, 256000u);
    EXPECT_TRUE(plan.RtsToggle);
}

TEST(TermiosMapping, RefusesWhatTheKernelCannotExpress) {
    const std::pair<const char*, std::function<void(TVaLineSettings&)>> cases[] = {
        {"rate 0", [](TVaLineSettings& s) { s.BaudRate = 0; }},
        {"4 bits", [](TVaLineSettings& s) { s.ByteSize = 4; }},
        {"1.5 stop, 8 bits", [](TVaLineSettings& s) { s.StopBits = 1; }},
        {"1.5 stop, 6 bits",
         [](TVaLineSettings& s) {
             s.StopBits = 1;
             s.ByteSize = 6;
         }},
        {"2 stop, 5 bits",
         [](TVaLineSettings& s) {
             s.StopBits = 2;
             s.ByteSize = 5;
         }},
        {"DSR flow", [](TVaLineSettings& s) { s.OutxDsrFlow = true; }},
        {"DSR sensitivity", [](TVaLineSettings& s) { s.DsrSensitivity = true; }},
        {"DTR handshake", [](TVaLineSettings& s) { s.DtrControl = 2; }},
        {"parity 5", [](TVaLineSettings& s) { s.Parity = 5; }},
    };
    for (auto& [what, set] : cases) {
        TVaLineSettings s = Line8N1();
        set(s);
        TVaTermiosPlan plan;
        TVaStatus st = VaBuildTermios(s, plan);
        EXPECT_EQ(st.Err, TVaErr::Invalid) << what;
        EXPECT_EQ(st.Code, EINVAL) << what;
    }
}

struct TDecoded {
    std::string Data;
    uint32_t Events = 0, Marks = 0;
};

TDecoded DecodeInPieces(const std::string& Raw, size_t Cut, const TVaInputDecoder::TConfig& C) {
    TVaInputDecoder d;
    TDecoded r;
    std::string out(Raw.size(), '\0');
    size_t n = d.Decode(Raw.data(), Cut, out.data(), C, r.Events, r.Marks);
    n += d.Decode(Raw.data() + Cut, Raw.size() - Cut, out.data() + n, C, r.Events, r.Marks);
    r.Data = out.substr(0, n);
    return r;
}

TEST(InputDecoder, UndoesTheKernelMarksAlsoWhenSplitAnywhere) {
    using D = TVaInputDecoder;
    D::TConfig plain;
    plain.EvtChar = '\n';
    D::TConfig replacing = plain;
    replacing.ErrorCharOn = true;
    replacing.ErrorChar = '?';
    D::TConfig stripping = plain;
    stripping.NullStrip = true;
    D::TConfig unmarked = plain; // a device without a line: every byte is data
    unmarked.Marks = false;
    D::TConfig unmarkedStripping = unmarked;
    unmarkedStripping.NullStrip = true;
    struct {
        std::string Raw;
        D::TConfig Config;
        std::string Data;
        uint32_t Events, Marks;
    } cases[] = {
        {"abc", plain, "abc", EV_RXCHAR, 0},
        {"ab\n", plain, "ab\n", EV_RXCHAR | EV_RXFLAG, 0},
        {std::string("A\xff\xff"
                     "B",
                     4),
         plain,
         "A\xff"
         "B",
         EV_RXCHAR, 0},
        {std::string("A\xff\0\0B", 5), plain, "AB", EV_RXCHAR | EV_BREAK, D::Break},
        {std::string("A\xff\0xB", 5), plain, "AxB", EV_RXCHAR | EV_ERR, D::BadByte},
        {std::string("A\xff\0xB", 5), replacing, "A?B", EV_RXCHAR | EV_ERR, D::BadByte},
        {std::string("a\0b\0", 4), stripping, "ab", EV_RXCHAR, 0},
        {std::string("a\0b", 3), plain, std::string("a\0b", 3), EV_RXCHAR, 0},
        {std::string("\xff\xff\xff\xff", 4), plain, "\xff\xff", EV_RXCHAR, 0},
        {std::string("A\xff\0\0\xff\xff", 6), unmarked, std::string("A\xff\0\0\xff\xff", 6),
         EV_RXCHAR, 0},
        {std::string("a\n\0b", 4), unmarkedStripping, "a\nb", EV_RXCHAR | EV_RXFLAG, 0},
        {"", unmarked, "", 0, 0},
    };
    for (auto& c : cases) {
        for (size_t cut = 0; cut <= c.Raw.size(); ++cut) {
            TDecoded r = DecodeInPieces(c.Raw, cut, c.Config);
            EXPECT_EQ(r.Data, c.Data) << "case " << &c - cases << " cut " << cut;
            EXPECT_EQ(r.Events, c.Events) << "case " << &c - cases << " cut " << cut;
            EXPECT_EQ(r.Marks, c.Marks) << "case " << &c - cases << " cut " << cut;
        }
    }
}

// ---- over a pseudo-terminal ----

class PtyLine : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        Comm.SetClosePauseForTesting(0);
        Comm.SetDeviceName(Device.SlavePath());
        Comm.SetUserBaudrate(115200);
    }
    // The slave's settings as the kernel holds them (the master reads the slave's).
    termios2 Kernel() {
        termios2 t{};
        ::ioctl(Device.Master(), TCGETS2, &t);
        return t;
    }
    TConfigHome Home;
    TPtyDevice Device;
    TVaComm Comm;
};

TEST_F(PtyLine, EveryRateOfTheConsoleIsSetAndReadBack) {
    const int rates[] = {110,   300,   600,   1200,   2400,   4800,   9600,   14400,  19200, 28800,
                         38400, 56000, 57600, 115200, 128000, 256000, 230400, 460800, 921600};
    for (int rate : rates) {
        Comm.SetUserBaudrate(rate);
        Comm.Open();
        termios2 t = Kernel();
        EXPECT_EQ(t.c_ospeed, unsigned(rate));
        EXPECT_EQ(t.c_ispeed, unsigned(rate));
        Comm.SetUserBaudrate(rate + 1); // applied while open
        EXPECT_EQ(Kernel().c_ospeed, unsigned(rate + 1));
        Comm.Close();
    }
}

TEST_F(PtyLine, ParityStopBitsAndSoftwareFlowReachTheKernel) {
    Comm.SetParity(paMark);
    Comm.SetStopbits(sb2);
    Comm.FlowControl().SetXonXoffOut(true);
    Comm.EventChars().SetXonChar('Q');
    Comm.Open();
    termios2 t = Kernel();
    // A pty keeps these flags (it forces 8 bits and drops PARENB when read back).
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB | CLOCAL), PARODD | CMSPAR | CSTOPB | CLOCAL);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_EQ(t.c_cc[VSTART], 'Q');
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    Comm.SetParity(paSpace);
    EXPECT_EQ(Kernel().c_cflag & (PARODD | CMSPAR), tcflag_t(CMSPAR));
}

TEST_F(PtyLine, SettingsTheKernelCannotExpressAreRefused) {
    const char* msg = "Error writing dcb (22), Invalid argument";
    const std::pair<const char*, std::function<void(TVaComm&)>> atOpen[] = {
        {"4 bits", [](TVaComm& c) { c.SetDatabits(db4); }},
        {"1.5 stop bits with 8 bits", [](TVaComm& c) { c.SetStopbits(sb15); }},
        {"rate 0", [](TVaComm& c) { c.SetUserBaudrate(0); }},
        {"DTR handshake", [](TVaComm& c) { c.FlowControl().SetControlDtr(dtrHandshake); }},
        {"DSR flow", [](TVaComm& c) { c.FlowControl().SetOutDsrFlow(true); }},
        {"RTS toggle without RS-485", [](TVaComm& c) { c.FlowControl().SetControlRts(rtsToggle); }},
    };
    for (auto& [what, set] : atOpen) {
        TVaComm comm;
        comm.SetClosePauseForTesting(0);
        comm.SetDeviceName(Device.SlavePath());
        comm.SetUserBaudrate(9600);
        set(comm);
        EXPECT_EQ(MessageOf([&] { comm.Open(); }), msg) << what;
        EXPECT_FALSE(comm.IsOpen()) << what;
    }
    // While open the refusal leaves the port open with the old setting.
    Comm.Open();
    EXPECT_EQ(MessageOf([&] { Comm.SetDatabits(db4); }), msg);
    EXPECT_TRUE(Comm.IsOpen());
    EXPECT_EQ(Comm.Databits(), db8);
}

TEST_F(PtyLine, EventCharacterFiresRxFlagAfterRxChar) {
    std::string order;
    Comm.SetMonitorEvents({ceRxChar, ceRxFlag, ceError});
    Comm.EventChars().SetEventChar('\n');
    Comm.OnRxChar = [&](TVaCustomComm* S, int) {
        order += "C";
        S->ReadText();
    };
    Comm.OnRxFlag = [&](TVaCustomComm*) { order += "F"; };
    Comm.Open();
    ASSERT_TRUE(Device.Write("no flag"));
    ASSERT_TRUE(PumpUntil([&] { return order == "C"; }));
    ASSERT_TRUE(Device.Write("line\n"));
    EXPECT_TRUE(PumpUntil([&] { return order == "CCF"; }));
}

TEST_F(PtyLine, NullStripDropsNulBytes) {
    std::string got;
    Comm.SetOptions({coNullStrip});
    Comm.OnRxChar = [&](TVaCustomComm* S, int) { got += S->ReadText(); };
    Comm.Open();
    ASSERT_TRUE(Device.Write(std::string("a\0b\0c", 5)));
    EXPECT_TRUE(PumpUntil([&] { return got == "abc"; }));
}

TEST_F(PtyLine, FullInputQueueHoldsTheLineBackWithoutSpinningOrLoss) {
    int full = 0;
    TVaBuffers b;
    b.SetReadSize(100);
    Comm.SetBuffers(b);
    Comm.SetMonitorEvents({ceRxChar, ceRx80Full});
    Comm.OnRx80Full = [&](TVaCustomComm*) { ++full; };
    Comm.Open(); // no OnRxChar handler: nothing reads
    std::string sent;
    for (int i = 0; i < 3000; ++i)
        sent += char('A' + i % 26);
    ASSERT_TRUE(Device.Write(sent));
    ASSERT_TRUE(PumpUntil([&] { return Comm.ReadCount() == 100; }));
    EXPECT_TRUE(PumpUntil([&] { return full == 1; }));
    double cpu0 = CpuSeconds();
    QElapsedTimer t;
    t.start();
    PumpFor(300);
    EXPECT_LT(CpuSeconds() - cpu0, 0.25 * double(t.elapsed()) / 1000.0);
    EXPECT_EQ(Comm.ReadCount(), 100);
    std::string got;
    PumpUntil([&] {
        got += Comm.ReadText();
        return got.size() >= sent.size();
    });
    EXPECT_EQ(got, sent);
}

} // namespace
