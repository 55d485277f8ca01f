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

TUdpPeer::TUdpPeer() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
    m_port = ntohs(a.sin_port);
}

TUdpPeer::~TUdpPeer() {
    ::close(m_fd);
}

void TUdpPeer::SendTo(int Port, const std::string& Data) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(Port));
    ::sendto(m_fd, Data.data(), Data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

std::optional<std::string> TUdpPeer::Receive(int TimeoutMs) {
    auto* app = QCoreApplication::instance();
    const bool pump = app && QThread::currentThread() == app->thread();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        char buf[65536];
        const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n >= 0)
            return std::string(buf, static_cast<size_t>(n));
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        if (pump)
            QCoreApplication::processEvents();
        pollfd p{m_fd, POLLIN, 0};
        ::poll(&p, 1, 1);
    }
}
