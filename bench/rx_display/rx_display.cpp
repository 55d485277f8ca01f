// A device process floods the console over a pseudo-terminal: 50 MB of 80-byte text lines in
// Direct mode, then 20 MB of random bytes in Packet mode with Treat, as fast as the console
// reads. Prints MB/s received, the stalls of the window's event loop (a 10 ms probe timer's
// lateness), and the time from a "+" typed in the command line during the text flood to that
// byte on the wire. Usage: bench_rx_display [text-MB] [random-MB]
#include "BenchSupport.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {
// What the device reports for one phase, through a pipe.
struct TPhaseReport {
    double Seconds;
    double Bytes;
    int Plus; // "+" bytes seen on the wire, their times follow
};

bool WriteAll(int Fd, const void* Data, size_t Size) {
    const char* p = static_cast<const char*>(Data);
    while (Size > 0) {
        ssize_t n = ::write(Fd, p, Size);
        if (n <= 0)
            return false;
        p += n;
        Size -= static_cast<size_t>(n);
    }
    return true;
}

// The device: waits for "go" on Control, sends Data as fast as the master takes it, notes the
// time of every "+" that comes back, and reports.
void DevicePhase(int Master, int Control, int Report, const std::string& Data, bool WatchPlus) {
    char go;
    if (::read(Control, &go, 1) != 1)
        _exit(2);
    std::vector<double> plus;
    size_t sent = 0;
    const double t0 = MonotonicSeconds();
    while (sent < Data.size()) {
        pollfd p{Master, POLLIN | POLLOUT, 0};
        ::poll(&p, 1, 1000);
        if (p.revents & POLLIN) {
            char buf[256];
            ssize_t n = ::read(Master, buf, sizeof buf);
            const double now = MonotonicSeconds();
            for (ssize_t i = 0; WatchPlus && i < n; ++i)
                if (buf[i] == '+')
                    plus.push_back(now);
        }
        if (p.revents & POLLOUT) {
            ssize_t n =
                ::write(Master, Data.data() + sent, std::min<size_t>(65536, Data.size() - sent));
            if (n > 0)
                sent += static_cast<size_t>(n);
        }
    }
    TPhaseReport r{MonotonicSeconds() - t0, static_cast<double>(sent),
                   static_cast<int>(plus.size())};
    WriteAll(Report, &r, sizeof r);
    WriteAll(Report, plus.data(), plus.size() * sizeof(double));
}

bool ReadAll(int Fd, void* Data, size_t Size) {
    char* p = static_cast<char*>(Data);
    while (Size > 0) {
        ssize_t n = ::read(Fd, p, Size);
        if (n <= 0)
            return false;
        p += n;
        Size -= static_cast<size_t>(n);
    }
    return true;
}
} // namespace

int main(int argc, char** argv) {
    const size_t textBytes = (argc > 1 ? std::atoi(argv[1]) : 50) * 1000000ul;
    const size_t randomBytes = (argc > 2 ? std::atoi(argv[2]) : 20) * 1000000ul;
    TConfigHome config;
    TPtyDevice pty;
    config.MapCom(1, pty.SlavePath());

    std::string text, random;
    text.reserve(textBytes);
    for (int i = 0; text.size() < textBytes; ++i) {
        std::string line = "line " + std::to_string(i) + " ";
        line.resize(78, 'x');
        text += line + "\r\n";
    }
    text.resize(textBytes);
    std::mt19937 rng(5);
    random.resize(randomBytes);
    for (char& c : random)
        c = static_cast<char>(rng());

    int control[2], report[2];
    if (::pipe(control) != 0 || ::pipe(report) != 0)
        return 2;
    // The device is forked before any thread exists.
    const pid_t child = ::fork();
    if (child == 0) {
        DevicePhase(pty.Master(), control[0], report[1], text, true);
        DevicePhase(pty.Master(), control[0], report[1], random, false);
        _exit(0);
    }

    TBenchConsole console(argc, argv);
    TBaseform& form = *console.Form;
    TLoopProbe probe;
    std::vector<double> keyTimes;
    QTimer keys;
    QObject::connect(&keys, &QTimer::timeout, [&] {
        form.EdCmdLn->setFocus();
        keyTimes.push_back(MonotonicSeconds());
        QTest::keyClick(form.EdCmdLn, Qt::Key_Plus);
    });

    auto phase = [&](const char* Name, bool Typing, std::vector<double>& PlusTimes) {
        probe.Start();
        if (Typing)
            keys.start(50);
        const char go = 1;
        timespec c0;
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
        const double cpu0 = CpuSeconds();
        WriteAll(control[1], &go, 1);
        TPhaseReport r{};
        bool done = false;
        QSocketNotifier n(report[0], QSocketNotifier::Read);
        QObject::connect(&n, &QSocketNotifier::activated, [&] {
            n.setEnabled(false);
            done = ReadAll(report[0], &r, sizeof r);
            PlusTimes.resize(static_cast<size_t>(r.Plus));
            done = done && ReadAll(report[0], PlusTimes.data(), PlusTimes.size() * sizeof(double));
        });
        console.RunUntil([&] { return done; }, 600);
        timespec c1;
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
        const double mainCpu = (c1.tv_sec - c0.tv_sec) + (c1.tv_nsec - c0.tv_nsec) / 1e9;
        const double allCpu = CpuSeconds() - cpu0;
        keys.stop();
        console.RunUntil([] { return false; }, 0.2); // the last chunks reach the log
        probe.Stop();
        std::printf(
            "rx_display: %s: %.1f MB in %.2f s, %.1f MB/s; event loop stall median %.2f ms, "
            "longest %.1f ms\n",
            Name, r.Bytes / 1e6, r.Seconds, r.Bytes / 1e6 / r.Seconds,
            Percentile(probe.Lateness, 50), Percentile(probe.Lateness, 100));
        std::printf(
            "rx_display: %s: CPU of the window's thread %.0f %%, of the whole console %.0f %% "
            "of one core\n",
            Name, 100 * mainCpu / r.Seconds, 100 * allCpu / r.Seconds);
    };

    form.RButDirect->setChecked(true);
    std::vector<double> plusTimes, unused;
    phase("Direct text", true, plusTimes);
    std::vector<double> keyToWire;
    for (size_t i = 0; i < std::min(plusTimes.size(), keyTimes.size()); ++i)
        keyToWire.push_back((plusTimes[i] - keyTimes[i]) * 1000.0);
    std::printf(
        "rx_display: \"+\" key to wire during the flood: %zu of %zu keys seen, median %.2f ms, "
        "longest %.2f ms\n",
        plusTimes.size(), keyTimes.size(), Percentile(keyToWire, 50), Percentile(keyToWire, 100));

    form.ChBxTreat->setChecked(true);
    form.RButPack->setChecked(true);
    phase("Packet random", false, unused);
    std::printf("rx_display: log holds %.1f MB\n", form.LogGetText().size() / 1e6);
    int status = 0;
    ::waitpid(child, &status, 0);
    return 0;
}
