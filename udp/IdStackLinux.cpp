// The one file that speaks to Linux's socket calls. Every failure leaves the stack's error number
// (the Winsock number of the errno's name) in a per-thread slot, read by WSGetLastError, so that
// nothing run between a failed call and its check can change the code.
#include "IdStackLinux.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
thread_local int t_lastError = 0;

int Fail(int AErr) {
    t_lastError = AErr;
    return Id_SOCKET_ERROR;
}
int FailErrno() {
    return Fail(WSAErrorFromErrno(errno));
}

sockaddr_in ToSockAddr(const TIdInAddr& AAddr, int APort) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    // Only the low 16 bits of the port go into the address: 70000 is port 4464.
    sa.sin_port = htons(static_cast<uint16_t>(APort));
    std::memcpy(&sa.sin_addr, AAddr.data(), 4);
    return sa;
}

void FromSockAddr(const sockaddr_in& ASa, TIdInAddr& AAddr, int& APort) {
    std::memcpy(AAddr.data(), &ASa.sin_addr, 4);
    APort = ntohs(ASa.sin_port);
}
} // namespace

TIdStack* CreateIdStack() {
    return new TIdStackLinux;
}

TIdStackSocketHandle TIdStackLinux::WSSocket() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        FailErrno();
    return s < 0 ? Id_INVALID_SOCKET : s;
}

int TIdStackLinux::WSBind(TIdStackSocketHandle ASocket, const TIdInAddr& AAddr, int APort) {
    const sockaddr_in sa = ToSockAddr(AAddr, APort);
    if (::bind(ASocket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return FailErrno();
    return 0;
}

int TIdStackLinux::WSGetSockName(TIdStackSocketHandle ASocket, TIdInAddr& AAddr, int& APort) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (::getsockname(ASocket, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return FailErrno();
    FromSockAddr(sa, AAddr, APort);
    return 0;
}

int TIdStackLinux::WSSetSockOpt(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                                int32_t AValue) {
    if (ALevel != Id_SOL_SOCKET || AOptName != Id_SO_BROADCAST)
        return Fail(WSAErrorFromErrno(ENOPROTOOPT));
    if (::setsockopt(ASocket, SOL_SOCKET, SO_BROADCAST, &AValue, sizeof AValue) != 0)
        return FailErrno();
    return 0;
}

int TIdStackLinux::WSSelect(TIdSocketList& AReadList, int ATimeout, int AWakeHandle) {
    // poll, not select: descriptors above FD_SETSIZE are legal here, and the wake event joins
    // the wait without counting against the sockets.
    pollfd fds[Id_MaxSelectSockets + 1];
    nfds_t n = 0;
    for (const auto s : AReadList)
        fds[n++] = {s, POLLIN, 0};
    if (AWakeHandle >= 0)
        fds[n++] = {AWakeHandle, POLLIN, 0};
    const int r = ::poll(fds, n, ATimeout);
    const int err = errno;
    AReadList.clear();
    if (r < 0)
        return Fail(WSAErrorFromErrno(err));
    for (nfds_t i = 0; i < n; ++i) {
        if (fds[i].fd == AWakeHandle)
            continue;
        // A pending error makes a socket readable, as select reports it: the read takes it.
        if (fds[i].revents & (POLLIN | POLLERR | POLLHUP))
            AReadList.push_back(fds[i].fd);
    }
    return static_cast<int>(AReadList.size());
}

int TIdStackLinux::WSRecvFrom(TIdStackSocketHandle ASocket, char* ABuf, int ALen, int AFlags,
                              TIdInAddr& AFrom, int& AFromPort) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    socklen_t salen = sizeof sa;
    // MSG_TRUNC makes a datagram socket return the datagram's real length, so one that did not
    // fit is seen (Linux would otherwise shorten it silently). MSG_DONTWAIT: the stack reads only
    // after a wait said readable, and a read must never hold up a stop request.
    const bool peek = (AFlags & Id_MSG_PEEK) != 0;
    const ssize_t n = ::recvfrom(ASocket, ABuf, static_cast<size_t>(ALen < 0 ? 0 : ALen),
                                 (peek ? MSG_PEEK : 0) | MSG_TRUNC | MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&sa), &salen);
    if (n < 0)
        return FailErrno();
    FromSockAddr(sa, AFrom, AFromPort);
    if (n > ALen && !peek)
        return Fail(WSAErrorFromErrno(EMSGSIZE));
    return static_cast<int>(n);
}

int TIdStackLinux::WSSendTo(TIdStackSocketHandle ASocket, const char* ABuf, int ALen, int AFlags,
                            const TIdInAddr& ATo, int APort) {
    const sockaddr_in sa = ToSockAddr(ATo, APort);
    const ssize_t n =
        ::sendto(ASocket, ABuf, static_cast<size_t>(ALen < 0 ? 0 : ALen), AFlags | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n < 0)
        return FailErrno();
    return static_cast<int>(n);
}

int TIdStackLinux::WSShutdown(TIdStackSocketHandle ASocket, int AHow) {
    const int how = AHow == Id_SD_Recv ? SHUT_RD : AHow == Id_SD_Send ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(ASocket, how) == 0 ? 0 : FailErrno();
}

int TIdStackLinux::WSCloseSocket(TIdStackSocketHandle ASocket) {
    // Linux releases the descriptor even when close reports an error; it is never retried.
    return ::close(ASocket) == 0 ? 0 : FailErrno();
}

int TIdStackLinux::WSGetHostName(char* ABuf, int ALen) {
    return ::gethostname(ABuf, static_cast<size_t>(ALen)) == 0 ? 0 : FailErrno();
}

bool TIdStackLinux::WSGetHostByName(const std::string& AName, std::vector<TIdInAddr>& AAddrs) {
    AAddrs.clear();
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    // Every failure of the resolver is "host not found" to the stack.
    if (::getaddrinfo(AName.c_str(), nullptr, &hints, &res) != 0 || !res) {
        Fail(Id_WSAHOST_NOT_FOUND);
        return false;
    }
    for (const addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in))
            continue;
        TIdInAddr a;
        int port;
        FromSockAddr(*reinterpret_cast<const sockaddr_in*>(ai->ai_addr), a, port);
        // The resolver lists an address once per protocol it may serve; keep the first of each.
        bool seen = false;
        for (const auto& b : AAddrs)
            seen = seen || b == a;
        if (!seen)
            AAddrs.push_back(a);
    }
    ::freeaddrinfo(res);
    if (AAddrs.empty()) {
        Fail(Id_WSAHOST_NOT_FOUND);
        return false;
    }
    return true;
}

int TIdStackLinux::WSGetLastError() {
    return t_lastError;
}

TIdWakeEvent::TIdWakeEvent() : m_handle(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_handle < 0) {
        const int err = WSAErrorFromErrno(errno);
        throw EIdSocketError(err, SocketErrorMessage(err));
    }
}

TIdWakeEvent::~TIdWakeEvent() {
    ::close(m_handle);
}

void TIdWakeEvent::Set() {
    const uint64_t one = 1;
    // A full counter (EAGAIN) is still set; nothing else can fail on a valid eventfd.
    [[maybe_unused]] const ssize_t n = ::write(m_handle, &one, sizeof one);
}
