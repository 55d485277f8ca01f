// udp_rate: 200 000 device-like datagrams of 20 to 200 bytes from 127.0.0.1 to the console with
// "Activation" ticked, first as fast as the system takes them, then paced at 10 000 a second.
// Prints the datagrams the console handled a second and how many were lost.
// Usage: udp_rate [--count N]
#include "BenchSupport.h"
#include "IdUDPServer.h"
#include "UdpRateSender.h"

#include <QCheckBox>
#include <QLineEdit>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {
struct TPhase {
    const char* Name;
    int Rate;
    int TimeLimitMs;
};
const TPhase Phases[] = {{"flood", 0, 30000}, {"paced 10000/s", 10000, 40000}};
} // namespace

int main(int argc, char** argv) {
    long count = 200000;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--count"))
            count = std::atol(argv[i + 1]);
    TConfigHome config;
    TBenchConsole console(argc, argv);
    TBaseform& form = *console.Form;
    const int port = ActivateOnFreePort(form, "udp_rate");
    if (port == 0)
        return 1;

    // Every datagram still goes to the console's own handler; the count is taken on the way.
    long handled = 0;
    double first = 0, last = 0;
    auto handler = form.UDPServer->OnUDPRead;
    form.UDPServer->OnUDPRead = [&](TIdUDPServer* S, const std::string& D, TIdSocketHandle& B) {
        const double now = MonotonicSeconds();
        if (handled++ == 0)
            first = now;
        last = now;
        handler(S, D, B);
    };

    int failures = 0;
    for (const auto& ph : Phases) {
        handled = 0;
        form.LogClear();
        std::atomic_bool done{false};
        TUdpRateSent sent;
        std::thread sender([&] {
            sent = SendUdpRate(port, count, ph.Rate, ph.TimeLimitMs, 1);
            done = true;
        });
        console.RunUntil([&] { return done.load(); }, ph.TimeLimitMs / 1000.0 + 10);
        sender.join();
        // What is still queued in the socket arrives within moments.
        long seen = -1;
        console.RunUntil(
            [&] {
                const bool still = seen == handled;
                seen = handled;
                return still && MonotonicSeconds() - last > 0.2;
            },
            10, 100);
        const double secs = last > first ? last - first : 1e-9;
        std::printf("udp_rate: %-14s sent %ld in %.2f s; handled %ld, %.0f a second; lost %ld\n",
                    ph.Name, sent.Sent, sent.Seconds, handled, handled / secs, sent.Sent - handled);
        if (ph.Rate && sent.Sent != handled)
            ++failures;
    }
    form.ChBxActiv->setChecked(false);
    return failures ? 1 : 0;
}
