// Moves 50 MB each way through a pseudo-terminal with the component's default settings
// (write thread on), checks every byte, and measures how long received bytes take to
// reach OnRxChar on the main thread, and how long closing the port takes.
#include "EventPump.h"
#include "PtyDevice.h"
#include "VaComm.h"

#include <QCoreApplication>
#include <QEvent>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

constexpr size_t kTotal = 50u << 20;
constexpr int kProbes = 2000;

// The bytes sent each way: random, every value, made once so checking costs a compare.
std::string MakeStream() {
    std::string s(kTotal, '\0');
    std::mt19937 r(12345);
    for (auto& c : s)
        c = static_cast<char>(r());
    return s;
}

double Seconds(Clock::duration D) {
    return std::chrono::duration<double>(D).count();
}

[[noreturn]] void Fail(const char* What) {
    std::fprintf(stderr, "serial_throughput: %s\n", What);
    std::exit(1);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TPtyDevice pty; // raw and non-blocking; the device threads below use its master directly
    const int master = pty.Master();

    const std::string stream = MakeStream();
    TVaComm comm;
    comm.SetDeviceName(pty.SlavePath());
    comm.SetUserBaudrate(115200);
    comm.SetMonitorEvents({ceError, ceRxChar, ceTxEmpty, ceRxFlag}); // as the console has it

    // ---- device to console ----
    size_t received = 0;
    bool wrong = false;
    long notifications = 0;
    std::atomic<long long> probeSent{0}; // ns since epoch of the probe's write, 0 = none
    std::vector<double> latencies;
    comm.OnRxChar = [&](TVaCustomComm* S, int) {
        long long sent = probeSent.load();
        if (sent) {
            long long now = Clock::now().time_since_epoch().count();
            latencies.push_back(double(now - sent) / 1e6);
            probeSent = 0;
            S->ReadText();
            return;
        }
        ++notifications;
        std::string s = S->ReadText();
        if (received + s.size() > kTotal || stream.compare(received, s.size(), s) != 0)
            wrong = true;
        received += s.size();
    };
    comm.Open();

    auto rxStart = Clock::now();
    std::thread device([&] {
        size_t done = 0;
        while (done < kTotal) {
            size_t n = std::min<size_t>(65536, kTotal - done);
            size_t off = 0;
            while (off < n) {
                ssize_t r = ::write(master, stream.data() + done + off, n - off);
                if (r > 0) {
                    off += size_t(r);
                } else {
                    pollfd p{master, POLLOUT, 0};
                    ::poll(&p, 1, 100);
                }
            }
            done += n;
        }
    });
    bool rxDone = PumpUntil([&] { return received >= kTotal || wrong; }, 60000);
    auto rxTime = Clock::now() - rxStart;
    device.join();
    if (!rxDone || wrong || received != kTotal)
        Fail("device to console: bytes missing or wrong");

    // ---- console to device ----
    std::atomic<size_t> got{0};
    std::atomic_bool txWrong{false};
    auto txStart = Clock::now();
    std::thread reader([&] {
        std::vector<char> buf(65536);
        size_t k = 0;
        auto end = Clock::now() + std::chrono::seconds(60);
        while (k < kTotal && Clock::now() < end) {
            ssize_t r = ::read(master, buf.data(), buf.size());
            if (r > 0) {
                if (k + size_t(r) > kTotal ||
                    stream.compare(k, size_t(r), buf.data(), size_t(r)) != 0)
                    txWrong = true;
                k += size_t(r);
                got = k;
            } else {
                pollfd p{master, POLLIN, 0};
                ::poll(&p, 1, 100);
            }
        }
    });
    // Pieces of a quarter of the queue keep it from running dry while the write thread
    // sends; the main thread serves the write thread's main-thread calls between pieces.
    const size_t chunk = 1024;
    size_t queued = 0;
    long refusals = 0;
    auto txEnd = Clock::now() + std::chrono::seconds(60);
    while (queued < kTotal && Clock::now() < txEnd) {
        size_t n = std::min(chunk, kTotal - queued);
        try {
            if (comm.WriteBuf(stream.data() + queued, int(n)) == int(n))
                queued += n;
        } catch (const EVaCommError&) {
            ++refusals; // queue full for WriteTimeout: the same piece goes again
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    }
    bool txDone = PumpUntil([&] { return got >= kTotal; }, 60000);
    auto txTime = Clock::now() - txStart;
    reader.join();
    if (txWrong)
        Fail("console to device: bytes wrong");
    if (!txDone || got != kTotal) {
        std::fprintf(stderr, "got %zu of %zu, queued %zu\n", size_t(got), kTotal, queued);
        Fail("console to device: bytes missing");
    }

    // ---- notification latency ----
    std::thread prober([&] {
        std::mt19937 r(7);
        for (int i = 0; i < kProbes; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(500 + r() % 1000));
            probeSent = Clock::now().time_since_epoch().count();
            if (::write(master, "probe", 5) != 5)
                break;
            auto end = Clock::now() + std::chrono::seconds(2);
            while (probeSent.load() != 0 && Clock::now() < end)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    PumpUntil([&] { return latencies.size() >= size_t(kProbes); }, 30000);
    prober.join();
    // ---- closing: an open port pauses, a closed one returns at once ----
    auto closeStart = Clock::now();
    comm.Close();
    const double closeOpenMs = Seconds(Clock::now() - closeStart) * 1e3;
    closeStart = Clock::now();
    comm.Close();
    const double closeClosedMs = Seconds(Clock::now() - closeStart) * 1e3;
    pty.Unplug();
    if (latencies.size() < size_t(kProbes) / 2)
        Fail("receive notifications did not arrive");
    std::sort(latencies.begin(), latencies.end());

    const double mb = double(kTotal) / 1e6;
    std::printf("device to console: %.1f MB/s (%zu bytes checked, %ld notifications)\n",
                mb / Seconds(rxTime), received, notifications);
    std::printf("console to device: %.1f MB/s (%zu bytes checked, %ld refused writes)\n",
                mb / Seconds(txTime), size_t(got), refusals);
    std::printf("receive notification: median %.3f ms, 99th percentile %.3f ms, max %.3f ms "
                "(%zu probes)\n",
                latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
                latencies.back(), latencies.size());
    std::printf("close: of the open port %.1f ms, of the closed port %.3f ms\n", closeOpenMs,
                closeClosedMs);
    return 0;
}
