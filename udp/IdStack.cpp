#include "IdStack.h"

#include "SysUtils.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

std::string WSTranslateSocketErrorMsg(int AErr) {
    switch (AErr) {
    case Id_WSAEINTR:
        return "Interrupted system call.";
    case Id_WSAEBADF:
        return "Bad file number.";
    case Id_WSAEACCES:
        return "Access denied.";
    case Id_WSAEFAULT:
        return "Bad address.";
    case Id_WSAEINVAL:
        return "Invalid argument.";
    case Id_WSAEMFILE:
        return "Too many open files.";
    case Id_WSAEWOULDBLOCK:
        return "Operation would block. ";
    case Id_WSAEINPROGRESS:
        return "Operation now in progress.";
    case Id_WSAEALREADY:
        return "Operation already in progress.";
    case Id_WSAENOTSOCK:
        return "Socket operation on non-socket.";
    case Id_WSAEDESTADDRREQ:
        return "Destination address required.";
    case Id_WSAEMSGSIZE:
        return "Message too long.";
    case Id_WSAEPROTOTYPE:
        return "Protocol wrong type for socket.";
    case Id_WSAENOPROTOOPT:
        return "Bad protocol option.";
    case Id_WSAEPROTONOSUPPORT:
        return "Protocol not supported.";
    case Id_WSAESOCKTNOSUPPORT:
        return "Socket type not supported.";
    case Id_WSAEOPNOTSUPP:
        return "Operation not supported on socket.";
    case Id_WSAEPFNOSUPPORT:
        return "Protocol family not supported.";
    case Id_WSAEAFNOSUPPORT:
        return "Address family not supported by protocol family.";
    case Id_WSAEADDRINUSE:
        return "Address already in use.";
    case Id_WSAEADDRNOTAVAIL:
        return "Cannot assign requested address.";
    case Id_WSAENETDOWN:
        return "Network is down.";
    case Id_WSAENETUNREACH:
        return "Network is unreachable.";
    case Id_WSAENETRESET:
        return "Net dropped connection or reset.";
    case Id_WSAECONNABORTED:
        return "Software caused connection abort.";
    case Id_WSAECONNRESET:
        return "Connection reset by peer.";
    case Id_WSAENOBUFS:
        return "No buffer space available.";
    case Id_WSAEISCONN:
        return "Socket is already connected.";
    case Id_WSAENOTCONN:
        return "Socket is not connected.";
    case Id_WSAESHUTDOWN:
        return "Cannot send or receive after socket is closed.";
    case Id_WSAETOOMANYREFS:
        return "Too many references, cannot splice.";
    case Id_WSAETIMEDOUT:
        return "Connection timed out.";
    case Id_WSAECONNREFUSED:
        return "Connection refused.";
    case Id_WSAELOOP:
        return "Too many levels of symbolic links.";
    case Id_WSAENAMETOOLONG:
        return "File name too long.";
    case Id_WSAEHOSTDOWN:
        return "Host is down.";
    case Id_WSAEHOSTUNREACH:
        return "No route to host.";
    case Id_WSAENOTEMPTY:
        return "Directory not empty";
    case Id_WSAHOST_NOT_FOUND:
        return "Host not found.";
    default:
        return "";
    }
}

std::string SocketErrorMessage(int AErr) {
    return "Socket Error # " + std::to_string(AErr) + "\r\n" + WSTranslateSocketErrorMsg(AErr);
}

namespace {
// A dotted text cut into its four parts: the first three end at each ".", the fourth is the rest
// (so a fifth part stays inside the fourth). Missing dots leave the later parts empty.
std::array<std::string, 4> SplitAddress(const std::string& AIP) {
    std::array<std::string, 4> parts;
    std::string rest = AIP;
    for (int i = 0; i < 3; ++i) {
        const auto dot = rest.find('.');
        if (dot == std::string::npos) {
            parts[i] = rest;
            rest.clear();
        } else {
            parts[i] = rest.substr(0, dot);
            rest.erase(0, dot + 1);
        }
    }
    parts[3] = rest;
    return parts;
}
} // namespace

std::string TIdStack::TInAddrToString(const TIdInAddr& AAddr) {
    return std::to_string(AAddr[0]) + "." + std::to_string(AAddr[1]) + "." +
           std::to_string(AAddr[2]) + "." + std::to_string(AAddr[3]);
}

TIdInAddr TIdStack::TranslateStringToTInAddr(const std::string& AIP) {
    TIdInAddr addr{};
    const auto parts = SplitAddress(AIP);
    for (int i = 0; i < 4; ++i)
        addr[i] = static_cast<uint8_t>(StrToInt(parts[i]) & 0xFF);
    return addr;
}

bool TIdStack::IsIP(const std::string& AIP) {
    for (const auto& part : SplitAddress(AIP)) {
        int v = 0;
        if (!TryStrToInt(part, v) || v < 0 || v > 255)
            return false;
    }
    return true;
}

std::string TIdStack::ResolveHost(const std::string& AHost) {
    std::string upper = AHost;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; });
    if (upper == "LOCALHOST")
        return "127.0.0.1";
    if (IsIP(AHost))
        return AHost;
    std::vector<TIdInAddr> addrs;
    if (!WSGetHostByName(AHost, addrs) || addrs.empty())
        RaiseSocketError(WSGetLastError());
    return TInAddrToString(addrs.front());
}

bool TIdStack::CheckForSocketError(int AResult, std::initializer_list<int> AIgnore) {
    if (AResult != Id_SOCKET_ERROR)
        return false;
    const int err = WSGetLastError();
    if (std::find(AIgnore.begin(), AIgnore.end(), err) != AIgnore.end())
        return true;
    RaiseSocketError(err);
}

void TIdStack::RaiseSocketError(int AErr) {
    throw EIdSocketError(AErr, SocketErrorMessage(AErr));
}

std::string TIdStack::HostName() {
    char buf[250] = {};
    WSGetHostName(buf, sizeof buf);
    // A name that fills the whole buffer has no NUL of its own.
    return std::string(buf, std::find(buf, buf + sizeof buf, '\0'));
}

const std::vector<std::string>& TIdStack::LocalAddresses() {
    m_localAddresses.clear();
    std::vector<TIdInAddr> addrs;
    if (!WSGetHostByName(HostName(), addrs))
        RaiseSocketError(WSGetLastError());
    for (const auto& a : addrs)
        m_localAddresses.push_back(TInAddrToString(a));
    return m_localAddresses;
}

std::string TIdStack::LocalHostAddress() {
    const auto& list = LocalAddresses();
    if (list.empty())
        throw EListError("List index out of bounds (0)");
    return list.front();
}

TIdStackSocketHandle TIdStack::CreateSocketHandle() {
    const TIdStackSocketHandle s = WSSocket();
    if (s == Id_INVALID_SOCKET)
        throw EIdInvalidSocket();
    return s;
}

int TIdStack::Select(TIdSocketList& AReadList, int ATimeout, const TIdWakeEvent* AWake) {
    if (AReadList.size() > Id_MaxSelectSockets)
        throw EIdStackSetSizeExceeded();
    return WSSelect(AReadList, ATimeout, AWake ? AWake->Handle() : -1);
}

namespace {
std::mutex GStackLock;
int GInstanceCount = 0;
// Read without the lock by threads of live components, which keep the instance alive.
std::atomic<TIdStack*> GStackInstance{nullptr};
TIdStackFactory GStackFactory = nullptr; // under GStackLock
} // namespace

TIdStackFactory SetIdStackFactory(TIdStackFactory AFactory) {
    std::lock_guard<std::mutex> g(GStackLock);
    return std::exchange(GStackFactory, AFactory);
}

TIdStack* GStack() {
    return GStackInstance.load(std::memory_order_acquire);
}

void IdStackAcquire() {
    std::lock_guard<std::mutex> g(GStackLock);
    if (GInstanceCount == 0)
        GStackInstance.store(GStackFactory ? GStackFactory() : CreateIdStack(),
                             std::memory_order_release);
    ++GInstanceCount;
}

void IdStackRelease() {
    std::lock_guard<std::mutex> g(GStackLock);
    if (GInstanceCount == 1)
        delete GStackInstance.exchange(nullptr, std::memory_order_acq_rel);
    if (GInstanceCount > 0)
        --GInstanceCount;
}

int IdStackLiveCount() {
    std::lock_guard<std::mutex> g(GStackLock);
    return GInstanceCount;
}
