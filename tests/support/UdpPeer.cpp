#include "UdpPeer.h"

#include <QCoreApplication>
#include <QThread>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {
sockaddr_in Address(uint32_t Host, int Port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(Host);
    a.sin_port = htons(static_cast<uint16_t>(Port));
    return a;
}

// A datagram socket bound to Host:Port; -1 when that fails.
int BoundSocket(int Port, uint32_t Host, int& BoundPort) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a = Address(Host, Port);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    BoundPort = ntohs(a.sin_port);
    return fd;
}
} // namespace

TUdpPeer::TUdpPeer(int Port, bool Any) {
    m_fd = BoundSocket(Port, Any ? INADDR_ANY : INADDR_LOOPBACK, m_port);
    if (m_fd < 0)
        throw std::runtime_error("cannot bind a UDP socket on port " + std::to_string(Port));
}

TUdpPeer::TUdpPeer(const char* LoopbackAddress) {
    in_addr a{};
    if (::inet_pton(AF_INET, LoopbackAddress, &a) != 1 || (ntohl(a.s_addr) >> 24) != 127 ||
        (m_fd = BoundSocket(0, ntohl(a.s_addr), m_port)) < 0)
        throw std::runtime_error(std::string("cannot bind a UDP socket on ") + LoopbackAddress);
}

TUdpPeer::~TUdpPeer() {
    ::close(m_fd);
}

bool TUdpPeer::SendTo(int Port, const std::string& Data) {
    const sockaddr_in to = Address(INADDR_LOOPBACK, Port);
    return ::sendto(m_fd, Data.data(), Data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(Data.size());
}

std::optional<TUdpPeer::TDatagram> TUdpPeer::ReceiveFrom(int TimeoutMs) {
    auto* app = QCoreApplication::instance();
    const bool pump = app && QThread::currentThread() == app->thread();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        char buf[70000];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n >= 0) {
            char ip[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
            return TDatagram{std::string(buf, static_cast<size_t>(n)), ip, ntohs(from.sin_port)};
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        if (pump)
            QCoreApplication::processEvents();
        pollfd p{m_fd, POLLIN, 0};
        ::poll(&p, 1, 1);
    }
}

std::optional<std::string> TUdpPeer::Receive(int TimeoutMs) {
    if (auto d = ReceiveFrom(TimeoutMs))
        return std::move(d->Data);
    return std::nullopt;
}

bool TUdpPeer::PortFree(int Port) {
    int bound = 0;
    const int fd = BoundSocket(Port, INADDR_ANY, bound);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

int TUdpPeer::BroadcastOption(int Fd) {
    int v = -1;
    socklen_t len = sizeof v;
    if (::getsockopt(Fd, SOL_SOCKET, SO_BROADCAST, &v, &len) != 0)
        return -1;
    return v;
}
