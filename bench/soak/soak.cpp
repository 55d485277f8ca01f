// Soak: SECONDS (600) of mixed traffic between the device simulator and the console in this
// process. One simulator plays the modem on COM 1 and is told on its standard input what to
// do, round after round: in "Direct Com" the console sends a command line and the modem
// answers, the modem sends a line of its own, and datagrams of every kind (HELLO, SSI, IMEI,
// plain text, an activation message, which the console relays to the modem) come to the UDP
// port; then in "Packet Com" with "Treat" a burst of requests is answered and checked (an
// answer counts as missed after 10 s; the round trips are printed). A
// second simulator sends datagrams at RATE a second all the while. Every datagram goes to
// 127.0.0.1 only.
// Prints the requests answered and missed, the datagrams, the log and the console's resident
// memory; exits 1 on a missed or wrong answer, or when memory grew more than the log held.
// Usage: bench_soak [seconds] [datagrams-per-second]
#include "BenchSupport.h"
#include "IdUDPServer.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// The simulator's next event line of the given kind, while the console runs.
std::string AwaitEvent(TBenchConsole& Console, TProcess& Device, const std::string& Kind,
                       double TimeoutSeconds) {
    std::string found;
    const std::string key = "\"event\":\"" + Kind + "\"";
    Console.RunUntil(
        [&] {
            if (!found.empty())
                return true; // asked again after the match: read no further
            while (auto line = Device.ReadLine(0))
                if (line->find(key) != std::string::npos) {
                    found = *line;
                    return true;
                }
            return !Device.Running();
        },
        TimeoutSeconds, 2);
    return found;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 500;
    TConfigHome config;
    TBenchConsole console(argc, argv);
    TBaseform& form = *console.Form;

    const int activePort = ActivateOnFreePort(form, "soak");
    if (activePort == 0)
        return 1;
    const std::string udpPort = std::to_string(activePort);
    form.edtHost->setText("127.0.0.1"); // "To Sock" may only ever reach this machine
    const std::string limit = std::to_string(static_cast<int>(seconds) + 120);
    TProcess modem({TEVRO_DEVSIM, "text", "--com", "1", "--console-port", udpPort, "--events",
                    "--timeout-ms", "10000", "--time-limit", limit},
                   {.CaptureStdout = true, .PipeStdin = true, .QuietStderr = true});
    const std::string entry = config.Dir() + "/tevro-console/com/COM1";
    if (!console.RunUntil([&] { return std::filesystem::exists(entry) || !modem.Running(); }, 10) ||
        !modem.Running()) {
        std::fprintf(stderr, "soak: the simulator did not publish COM1\n");
        return 1;
    }
    const std::string count = std::to_string(static_cast<long>(seconds * rate));
    TProcess flood({TEVRO_DEVSIM, "flood-udp", "--console-port", udpPort, "--count", count,
                    "--rate", std::to_string(rate), "--time-limit", limit, "--no-stdin"},
                   {.CaptureStdout = true, .QuietStderr = true});

    long requests = 0, answered = 0, missing = 0, wrong = 0, lines = 0, rounds = 0;
    size_t logPeak = 0;
    long residentStart = 0;
    size_t logStart = 0;
    const double t0 = MonotonicSeconds();
    bool failed = false;
    while (MonotonicSeconds() - t0 < seconds && !failed) {
        // Direct Com: text both ways, and datagrams of every kind.
        form.RButDirect->setChecked(true);
        form.EdCmdLn->setText(QString("AT+SOAK=%1").arg(rounds));
        form.BtTransmit->click();
        if (AwaitEvent(console, modem, "line", 10).empty()) {
            std::fprintf(stderr, "soak: round %ld: the modem saw no command line\n", rounds);
            failed = true;
            break;
        }
        ++lines;
        modem.WriteLine("line SOAK " + std::to_string(rounds));
        for (const char* kind : {"hello", "ssi", "imei", "text"})
            modem.WriteLine(std::string("udp ") + kind);
        // The activation message, last, is relayed to the modem; its CR makes the modem take it
        // as a line, so its bytes are known to be through before the burst, where they would
        // land among the answers the simulator checks.
        modem.WriteLine("udp-send ACT soak " + std::to_string(rounds) + "\\r");
        for (int i = 0; i < 5; ++i)
            AwaitEvent(console, modem, "sent", 5);
        const std::string relayed = AwaitEvent(console, modem, "line", 10);
        if (relayed.find("ACT soak") == std::string::npos) {
            std::fprintf(stderr,
                         "soak: round %ld: the activation message did not reach the modem\n",
                         rounds);
            failed = true;
            break;
        }
        // Packet Com with Treat: a burst of requests, every answer checked by the simulator.
        form.ChBxTreat->setChecked(true);
        form.RButPack->setChecked(true);
        // The simulator notices the reopen by the pty's hang-up and takes a burst only once it
        // has seen the port open again.
        AwaitEvent(console, modem, "open", 5);
        modem.WriteLine("burst 200");
        const std::string done = AwaitEvent(console, modem, "burst_done", 60);
        if (done.empty()) {
            std::fprintf(stderr, "soak: round %ld: the burst did not end\n", rounds);
            failed = true;
            break;
        }
        requests += static_cast<long>(JsonNumber(done, "requests"));
        answered += static_cast<long>(JsonNumber(done, "answered"));
        missing += static_cast<long>(JsonNumber(done, "missing"));
        wrong += static_cast<long>(JsonNumber(done, "wrong"));
        logPeak = std::max(logPeak, form.LogSize());
        if (++rounds == 3) {
            // What lives on (the toolkit's caches, the first log blocks) is made by now.
            residentStart = ResidentBytes();
            logStart = form.LogSize();
            logPeak = logStart;
        }
    }
    const double elapsed = MonotonicSeconds() - t0;
    form.BtnClose->click(); // the modem's end would otherwise be a hang-up under an open port
    form.BtnClose->click(); // the modem's end would otherwise be a hang-up under an open port
    modem.WriteLine("quit");
    const long residentEnd = ResidentBytes();
    const size_t logEnd = form.LogSize();
    console.RunUntil([&] { return !modem.Running(); }, 10);
    // The simulator's own account: round trips, stray and late bytes.
    const std::string modemSummary = LastJsonLine(modem.ReadAll(5000));
    flood.Signal(15);
    const std::string floodSummary = LastJsonLine(flood.ReadAll(5000));

    const double growth = (residentEnd - residentStart) / 1e6;
    const double logGrowth = (static_cast<double>(logPeak) - static_cast<double>(logStart)) / 1e6;
    std::printf("soak: %.0f s, %ld rounds; %ld requests, %ld answered, %ld missing, %ld wrong; "
                "%ld command lines answered\n",
                elapsed, rounds, requests, answered, missing, wrong, lines);
    std::printf("soak: round trip median %.3f ms, p99 %.3f ms, max %.3f ms; %.0f stray and %.0f "
                "late bytes\n",
                JsonNumber(modemSummary, "rtt_median_ms"), JsonNumber(modemSummary, "rtt_p99_ms"),
                JsonNumber(modemSummary, "rtt_max_ms"), JsonNumber(modemSummary, "stray_bytes"),
                JsonNumber(modemSummary, "late_bytes"));
    std::printf("soak: flood datagrams sent %.0f at %d/s; log now %.1f MB (peak %.1f MB)\n",
                JsonNumber(floodSummary, "udp_sent"), rate, logEnd / 1e6, logPeak / 1e6);
    std::printf("soak: resident memory %.1f MB after round 3, %.1f MB at the end: grew %.1f MB; "
                "the log grew by up to %.1f MB\n",
                residentStart / 1e6, residentEnd / 1e6, growth, logGrowth);
    // The log's text and its row index may grow; 16 MB covers the allocator's own slack.
    const bool memoryOk = growth <= logGrowth * 1.2 + 16;
    if (!memoryOk)
        std::printf("soak: FAILED: memory grew more than the log\n");
    if (missing || wrong || answered != requests)
        std::printf("soak: FAILED: answers missed\n");
    if (!console.Errors.isEmpty())
        std::printf("soak: errors shown: %s\n", console.Errors.join("; ").toUtf8().constData());
    return failed || !memoryOk || missing || wrong || answered != requests ? 1 : 0;
}
