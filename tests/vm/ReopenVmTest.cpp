// "Reopen when the device returns" on the real ftdi_sio driver: the adapter unplugged and
// plugged back in the guest, under traffic, again and again. The guest runs no device manager:
// the kernel's own device events tell the console.
#include "ConfigHome.h"
#include "FormFixture.h"
#include "ProcessCounts.h"
#include "VmHost.h"

#include "ConsoleCore.h"
#include "DeviceWatch.h"

#include <QRadioButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <time.h>

namespace {

// The numbers of the whole "line NNNNNN" lines in Log.
std::vector<unsigned> LineNumbers(const std::string& Log) {
    std::vector<unsigned> n;
    static const std::regex line(R"(line ([0-9]{6})\r\n)");
    for (std::sregex_iterator it(Log.begin(), Log.end(), line), end; it != end; ++it)
        n.push_back(static_cast<unsigned>(std::stoul((*it)[1])));
    return n;
}

TEST(RealDriverReopen, TheAdapterUnpluggedAndBackIsOpenedAgainAtOnceEveryTime) {
    TFormFixture f;
    TConfigHome home;
    home.MapCom(1, "/dev/ttyUSB0");
    TBaseform& w = *f.Form;
    // The adapter is listed as the device manager knows it, and so is the UART.
    const std::vector<TSerialDevice> devices = ListSerialDevices();
    const auto listed = [&](const char* Node) {
        return std::find_if(devices.begin(), devices.end(),
                            [&](const TSerialDevice& D) { return D.Node == Node; });
    };
    ASSERT_NE(listed("/dev/ttyUSB0"), devices.end());
    EXPECT_EQ(listed("/dev/ttyUSB0")->Driver, "ftdi_sio");
    EXPECT_EQ(listed("/dev/ttyUSB0")->Vendor + ":" + listed("/dev/ttyUSB0")->Product, "0403:6001");
    EXPECT_NE(listed("/dev/ttyS1"), devices.end());
    w.Console->SetReopen(true);
    ASSERT_EQ(HostDo("stream ftdi"), "ok");
    w.RButDirect->setChecked(true);
    ASSERT_TRUE(w.VaComm->IsOpen());
    int fds = -1, threads = -1;
    const int cycles =
        std::getenv("TEVRO_REOPEN_CYCLES") ? std::atoi(std::getenv("TEVRO_REOPEN_CYCLES")) : 50;
    std::vector<double> reopenMs;
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
        ASSERT_EQ(HostDo("monitor device_del ftdi").rfind("ok", 0), 0u);
        ASSERT_TRUE(PumpUntil([&] { return w.Console->WaitingForDevice(); }, 20000))
            << cycle << ": " << w.LogGetText();
        ASSERT_TRUE(PumpUntil([] { return !std::filesystem::exists("/dev/ttyUSB0"); }, 20000));
        w.LogClear();
        // QEMU lets go of the adapter's line a little after the guest saw it go.
        std::string answer;
        for (int i = 0; i < 50; ++i) {
            answer = HostDo("monitor device_add usb-serial,id=ftdi,chardev=u0,always-plugged=on");
            if (answer.find("rror") == std::string::npos)
                break;
            PumpFor(100);
        }
        ASSERT_EQ(answer.rfind("ok", 0), 0u) << answer;
        ASSERT_EQ(answer.find("rror"), std::string::npos) << answer;
        // From the node's making (its change time, set by the kernel as it makes it) to the
        // port open again (looked at every millisecond).
        ASSERT_TRUE(PumpUntil([&] { return !w.Console->WaitingForDevice(); }, 20000))
            << cycle << ": not back as /dev/ttyUSB0: " << w.LogGetText();
        timespec now;
        ::clock_gettime(CLOCK_REALTIME, &now);
        struct stat st;
        ASSERT_EQ(::stat("/dev/ttyUSB0", &st), 0);
        reopenMs.push_back((now.tv_sec - st.st_ctim.tv_sec) * 1e3 +
                           (now.tv_nsec - st.st_ctim.tv_nsec) / 1e6);
        ASSERT_TRUE(w.VaComm->IsOpen()) << cycle;
        // The lines of the unplugged moment are gone with the adapter: count from here.
        ASSERT_TRUE(
            PumpUntil([&] { return w.LogGetText().find("line ") != std::string::npos; }, 10000));
        w.LogClear();
    }
    EXPECT_TRUE(f.Boxes.isEmpty()) << f.Boxes.join(" | ").toStdString();
    std::sort(reopenMs.begin(), reopenMs.end());
    if (!reopenMs.empty())
        std::printf("reopen after the node came, %zu cycles: median %.0f ms, longest %.0f ms\n",
                    reopenMs.size(), reopenMs[reopenMs.size() / 2], reopenMs.back());
    for (double ms : reopenMs)
        EXPECT_LE(ms, 300);
    ASSERT_EQ(HostDo("quiet ftdi"), "ok");
}

} // namespace
