#include "UdpRateSender.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

std::string UdpRateDatagram(std::mt19937& ARng) {
    // Letters that cannot spell ACT, SSI, IMEI or HELLO by chance in any case.
    static const char filler[] = "0123456789bdfgjknpqruvwxyz=,:;-";
    std::uniform_int_distribution<int> kind(0, 2), len(20, 200),
        pick(0, static_cast<int>(sizeof filler) - 2);
    std::string s;
    switch (kind(ARng)) {
    case 0:
        s = "$GPRMC,";
        break;
    case 1:
        s = "HELLO ";
        break;
    default:
        s = "IMEI:";
        break;
    }
    const size_t n = static_cast<size_t>(len(ARng));
    while (s.size() < n)
        s.push_back(filler[pick(ARng)]);
    return s;
}

TUdpRateSent SendUdpRate(int APort, long ACount, int ARate, int ATimeLimitMs, uint32_t ASeed,
                         const volatile bool* AStop) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(APort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // The datagrams are made before the clock starts, so the rate measures the link only.
    std::mt19937 rng(ASeed);
    std::vector<std::string> mix;
    for (int i = 0; i < 4096; ++i)
        mix.push_back(UdpRateDatagram(rng));

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(ATimeLimitMs);
    timespec next;
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    const long stepNs = ARate > 0 ? 1000000000L / ARate : 0;
    TUdpRateSent r;
    for (long i = 0; i < ACount; ++i) {
        if ((i & 255) == 0 && (Clock::now() >= deadline || (AStop && *AStop)))
            break;
        if (stepNs) {
            next.tv_nsec += stepNs;
            while (next.tv_nsec >= 1000000000L) {
                next.tv_nsec -= 1000000000L;
                ++next.tv_sec;
            }
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            timespec now;
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const double late =
                (now.tv_sec - next.tv_sec) * 1e3 + (now.tv_nsec - next.tv_nsec) / 1e6;
            if (late > r.MaxLateMs)
                r.MaxLateMs = late;
        }
        const std::string& d = mix[static_cast<size_t>(i) & 4095];
        if (::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to) == static_cast<ssize_t>(d.size()))
            ++r.Sent;
    }
    r.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return r;
}
