#include "IdStack.h"

#include "SysUtils.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <utility>

namespace {
// Every error the stack knows, in one row each: its number (the Winsock number, which is 10000
// plus the BSD errno of the same name), the Linux errno of that name (Linux numbers them
// otherwise, so names are paired, not numbers; 0: none, as for a failed look-up) and the fixed
// text (empty: none).
struct TSocketError {
    int Code;
    int Errno;
    const char* Text;
};
constexpr TSocketError SocketErrors[] = {
    {Id_WSAEINTR, EINTR, "Interrupted system call."},
    {Id_WSAEBADF, EBADF, "Bad file number."},
    {Id_WSAEACCES, EACCES, "Access denied."},
    {Id_WSAEFAULT, EFAULT, "Bad address."},
    {Id_WSAEINVAL, EINVAL, "Invalid argument."},
    {Id_WSAEMFILE, EMFILE, "Too many open files."},
    {Id_WSAEWOULDBLOCK, EWOULDBLOCK, "Operation would block. "},
    {Id_WSAEINPROGRESS, EINPROGRESS, "Operation now in progress."},
    {Id_WSAEALREADY, EALREADY, "Operation already in progress."},
    {Id_WSAENOTSOCK, ENOTSOCK, "Socket operation on non-socket."},
    {Id_WSAEDESTADDRREQ, EDESTADDRREQ, "Destination address required."},
    {Id_WSAEMSGSIZE, EMSGSIZE, "Message too long."},
    {Id_WSAEPROTOTYPE, EPROTOTYPE, "Protocol wrong type for socket."},
    {Id_WSAENOPROTOOPT, ENOPROTOOPT, "Bad protocol option."},
    {Id_WSAEPROTONOSUPPORT, EPROTONOSUPPORT, "Protocol not supported."},
    {Id_WSAESOCKTNOSUPPORT, ESOCKTNOSUPPORT, "Socket type not supported."},
    {Id_WSAEOPNOTSUPP, EOPNOTSUPP, "Operation not supported on socket."},
    {Id_WSAEPFNOSUPPORT, EPFNOSUPPORT, "Protocol family not supported."},
    {Id_WSAEAFNOSUPPORT, EAFNOSUPPORT, "Address family not supported by protocol family."},
    {Id_WSAEADDRINUSE, EADDRINUSE, "Address already in use."},
    {Id_WSAEADDRNOTAVAIL, EADDRNOTAVAIL, "Cannot assign requested address."},
    {Id_WSAENETDOWN, ENETDOWN, "Network is down."},
    {Id_WSAENETUNREACH, ENETUNREACH, "Network is unreachable."},
    {Id_WSAENETRESET, ENETRESET, "Net dropped connection or reset."},
    {Id_WSAECONNABORTED, ECONNABORTED, "Software caused connection abort."},
    {Id_WSAECONNRESET, ECONNRESET, "Connection reset by peer."},
    {Id_WSAENOBUFS, ENOBUFS, "No buffer space available."},
    {Id_WSAEISCONN, EISCONN, "Socket is already connected."},
    {Id_WSAENOTCONN, ENOTCONN, "Socket is not connected."},
    {Id_WSAESHUTDOWN, ESHUTDOWN, "Cannot send or receive after socket is closed."},
    {Id_WSAETOOMANYREFS, ETOOMANYREFS, "Too many references, cannot splice."},
    {Id_WSAETIMEDOUT, ETIMEDOUT, "Connection timed out."},
    {Id_WSAECONNREFUSED, ECONNREFUSED, "Connection refused."},
    {Id_WSAELOOP, ELOOP, "Too many levels of symbolic links."},
    {Id_WSAENAMETOOLONG, ENAMETOOLONG, "File name too long."},
    {Id_WSAEHOSTDOWN, EHOSTDOWN, "Host is down."},
    {Id_WSAEHOSTUNREACH, EHOSTUNREACH, "No route to host."},
    {Id_WSAENOTEMPTY, ENOTEMPTY, "Directory not empty"},
    {Id_WSAHOST_NOT_FOUND, 0, "Host not found."},
    {10068, EUSERS, ""},
    {10069, EDQUOT, ""},
    {10070, ESTALE, ""},
    {10071, EREMOTE, ""},
};
} // namespace

std::string WSTranslateSocketErrorMsg(int AErr) {
    for (const auto& e : SocketErrors)
        if (e.Code == AErr)
            return e.Text;
    return "";
}

int WSAErrorFromErrno(int AErrno) {
    for (const auto& e : SocketErrors)
        if (e.Errno != 0 && e.Errno == AErrno)
            return e.Code;
    return AErrno;
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
