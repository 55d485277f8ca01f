// udp_rate: 200 000 device-like datagrams to 127.0.0.1, flooded and then paced at 10 000 a
// second. Without --port they go to an endpoint in this process whose main-thread handler counts
// them, and the figures are datagrams handled a second and datagrams lost. With --port N they go
// to whatever listens on 127.0.0.1:N (the console), and only what was sent is printed.
#include "IdUDPServer.h"
#include "UdpRateSender.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {
struct TPhase {
    const char* Name;
    int Rate;
    int TimeLimitMs;
};
const TPhase Phases[] = {{"flood", 0, 30000}, {"paced 10000/s", 10000, 40000}};

void Pump(int AMs) {
    QTimer tick;
    tick.start(5);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < AMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int port = 0;
    long count = 200000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--port"))
            port = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--count"))
            count = std::atol(argv[i + 1]);
    }

    if (port) {
        for (const auto& ph : Phases) {
            const TUdpRateSent s = SendUdpRate(port, count, ph.Rate, ph.TimeLimitMs, 1);
            std::printf("%-14s sent %ld in %.2f s (%.0f/s) to 127.0.0.1:%d\n", ph.Name, s.Sent,
                        s.Seconds, s.Sent / s.Seconds, port);
        }
        return 0;
    }

    TIdUDPServer server;
    long handled = 0;
    long bytes = 0, keyed = 0;
    QElapsedTimer clock;
    qint64 lastHandledNs = 0;
    qint64 maxGapNs = 0;
    // Light work on the main thread, as a handler that looks at each datagram would do.
    server.OnUDPRead = [&](TIdUDPServer*, const std::string& AData, TIdSocketHandle& B) {
        ++handled;
        bytes += static_cast<long>(AData.size()) + B.SenderPort % 2;
        if (AData.find("HELLO") != std::string::npos || AData.find("IMEI") != std::string::npos)
            ++keyed;
        const qint64 now = clock.nsecsElapsed();
        if (lastHandledNs && now - lastHandledNs > maxGapNs)
            maxGapNs = now - lastHandledNs;
        lastHandledNs = now;
    };
    server.SetDefaultPort(0);
    server.SetActive(true);
    const int target = server.Bindings()[0].Port;
    std::printf("in-process endpoint on 127.0.0.1:%d, %ld datagrams a phase\n", target, count);

    for (const auto& ph : Phases) {
        handled = 0;
        std::atomic_bool done{false};
        TUdpRateSent sent;
        clock.start();
        lastHandledNs = 0;
        maxGapNs = 0;
        std::thread sender([&] {
            sent = SendUdpRate(target, count, ph.Rate, ph.TimeLimitMs, 1);
            done = true;
        });
        while (!done)
            Pump(20);
        sender.join();
        // Drain: wait until nothing more arrives for 300 ms (5 s at most).
        long seen = -1;
        for (int i = 0; i < 50 && seen != handled; ++i) {
            seen = handled;
            Pump(300);
        }
        const double secs = lastHandledNs / 1e9;
        std::printf("%-14s sent %ld in %.2f s (%.0f/s, sender at most %.1f ms late); handled %ld "
                    "(%.0f/s), longest gap between handled datagrams %.1f ms; lost %ld\n",
                    ph.Name, sent.Sent, sent.Seconds, sent.Sent / sent.Seconds, sent.MaxLateMs,
                    handled, secs > 0 ? handled / secs : 0.0, maxGapNs / 1e6, sent.Sent - handled);
    }
    server.SetActive(false);
    std::printf("(%ld bytes, %ld keyed)\n", bytes, keyed);
    return 0;
}
