// The tests' own datagram socket on 127.0.0.1, made with the plain system calls so that it
// checks the endpoint independently of the stack under test.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

class TUdpPeer {
public:
    // Binds APort (0: the system chooses) on AAny ? every address : 127.0.0.1.
    explicit TUdpPeer(int APort = 0, bool AAny = false) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            throw std::runtime_error("socket");
        sockaddr_in sa = Addr(APort);
        if (AAny)
            sa.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            m_bindErrno = errno;
            ::close(m_fd);
            m_fd = -1;
            return;
        }
        socklen_t len = sizeof sa;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        m_port = ntohs(sa.sin_port);
    }
    ~TUdpPeer() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TUdpPeer(const TUdpPeer&) = delete;
    TUdpPeer& operator=(const TUdpPeer&) = delete;

    bool Bound() const { return m_fd >= 0; }
    int BindErrno() const { return m_bindErrno; }
    int Port() const { return m_port; }

    // Sends to 127.0.0.1:APort; true when the whole datagram went.
    bool SendTo(int APort, const std::string& AData) const {
        const sockaddr_in sa = Addr(APort);
        return ::sendto(m_fd, AData.data(), AData.size(), 0, reinterpret_cast<const sockaddr*>(&sa),
                        sizeof sa) == static_cast<ssize_t>(AData.size());
    }

    // Waits up to ATimeoutMs for one datagram; false when none came.
    bool Receive(std::string& AData, int ATimeoutMs, int* AFromPort = nullptr) const {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, ATimeoutMs) != 1)
            return false;
        char buf[70000];
        sockaddr_in from;
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return false;
        AData.assign(buf, static_cast<size_t>(n));
        if (AFromPort)
            *AFromPort = ntohs(from.sin_port);
        return true;
    }

    // The SO_BROADCAST value of a socket the test did not make.
    static int BroadcastOption(int AFd) {
        int v = -1;
        socklen_t len = sizeof v;
        if (::getsockopt(AFd, SOL_SOCKET, SO_BROADCAST, &v, &len) != 0)
            return -1;
        return v;
    }

    // True when APort can be bound on every address right now.
    static bool PortFree(int APort) {
        TUdpPeer p(APort, true);
        return p.Bound();
    }

private:
    static sockaddr_in Addr(int APort) {
        sockaddr_in sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(APort));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sa;
    }
    int m_fd = -1;
    int m_port = 0;
    int m_bindErrno = 0;
};

// Runs the event loop until ADone() holds or ATimeoutMs passed; returns ADone(). The loop sleeps
// in the event wait; a 5 ms tick bounds each wait so that the condition is looked at again.
template <class F> bool PumpUntil(F ADone, int ATimeoutMs = 3000) {
    QTimer tick;
    tick.start(5);
    QElapsedTimer t;
    t.start();
    while (!ADone() && t.elapsed() < ATimeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return ADone();
}

// Runs the event loop for AMs milliseconds.
inline void PumpFor(int AMs) {
    PumpUntil([] { return false; }, AMs);
}
