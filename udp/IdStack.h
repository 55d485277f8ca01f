// The socket stack: the portable part over one platform binding. Addresses as text, host look-up,
// the test of every socket call's result and the fixed error texts live here; the platform calls
// themselves are the binding's (IdStackLinux.cpp on this system).
#pragma once

#include "Exception.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
constexpr int Id_SOCKET_ERROR = -1;

// The error numbers that the stack reports, whatever the platform calls them.
constexpr int Id_WSAEINTR = 10004;
constexpr int Id_WSAEBADF = 10009;
constexpr int Id_WSAEACCES = 10013;
constexpr int Id_WSAEFAULT = 10014;
constexpr int Id_WSAEINVAL = 10022;
constexpr int Id_WSAEMFILE = 10024;
constexpr int Id_WSAEWOULDBLOCK = 10035;
constexpr int Id_WSAEINPROGRESS = 10036;
constexpr int Id_WSAEALREADY = 10037;
constexpr int Id_WSAENOTSOCK = 10038;
constexpr int Id_WSAEDESTADDRREQ = 10039;
constexpr int Id_WSAEMSGSIZE = 10040;
constexpr int Id_WSAEPROTOTYPE = 10041;
constexpr int Id_WSAENOPROTOOPT = 10042;
constexpr int Id_WSAEPROTONOSUPPORT = 10043;
constexpr int Id_WSAESOCKTNOSUPPORT = 10044;
constexpr int Id_WSAEOPNOTSUPP = 10045;
constexpr int Id_WSAEPFNOSUPPORT = 10046;
constexpr int Id_WSAEAFNOSUPPORT = 10047;
constexpr int Id_WSAEADDRINUSE = 10048;
constexpr int Id_WSAEADDRNOTAVAIL = 10049;
constexpr int Id_WSAENETDOWN = 10050;
constexpr int Id_WSAENETUNREACH = 10051;
constexpr int Id_WSAENETRESET = 10052;
constexpr int Id_WSAECONNABORTED = 10053;
constexpr int Id_WSAECONNRESET = 10054;
constexpr int Id_WSAENOBUFS = 10055;
constexpr int Id_WSAEISCONN = 10056;
constexpr int Id_WSAENOTCONN = 10057;
constexpr int Id_WSAESHUTDOWN = 10058;
constexpr int Id_WSAETOOMANYREFS = 10059;
constexpr int Id_WSAETIMEDOUT = 10060;
constexpr int Id_WSAECONNREFUSED = 10061;
constexpr int Id_WSAELOOP = 10062;
constexpr int Id_WSAENAMETOOLONG = 10063;
constexpr int Id_WSAEHOSTDOWN = 10064;
constexpr int Id_WSAEHOSTUNREACH = 10065;
constexpr int Id_WSAENOTEMPTY = 10066;
constexpr int Id_WSAHOST_NOT_FOUND = 11001;
// Option levels and names as the stack's callers give them; the binding maps them.
constexpr int Id_SOL_SOCKET = 0xFFFF;
constexpr int Id_SO_BROADCAST = 0x0020;
// Receive flags: the datagram stays queued, and the read gives its whole length.
constexpr int Id_MSG_PEEK = 0x2;
// The longest payload an IPv4 datagram carries: 65535 less the IP and UDP headers.
constexpr int Id_MaxDatagram = 65507;
// Shut-down modes.
constexpr int Id_SD_Recv = 0;
constexpr int Id_SD_Send = 1;
constexpr int Id_SD_Both = 2;

// More sockets than this in one wait are refused.
constexpr size_t Id_MaxSelectSockets = 64;

class EIdException : public Exception {
public:
    using Exception::Exception;
};

// A failed socket call or look-up; Code is the stack's error number.
class EIdSocketError : public EIdException {
public:
    EIdSocketError(int ACode, const std::string& AMsg) : EIdException(AMsg), m_code(ACode) {}
    int LastError() const { return m_code; }

private:
    int m_code;
};

class EIdInvalidSocket : public EIdException {
public:
    EIdInvalidSocket() : EIdException("Cannot allocate socket.") {}
};

class EIdStackError : public EIdException {
public:
    using EIdException::EIdException;
};

// Raised where the platform's socket library has to be started; this binding links it directly.
class EIdStackInitializationFailed : public EIdStackError {
public:
    EIdStackInitializationFailed() : EIdStackError("Winsock Initialization Error.") {}
};

class EIdStackSetSizeExceeded : public EIdStackError {
public:
    EIdStackSetSizeExceeded() : EIdStackError("Set Size Exceeded.") {}
};

// The fixed text for an error number; empty for a number the table does not hold.
std::string WSTranslateSocketErrorMsg(int AErr);
// The stack's number for an errno: the Winsock number of the error of the same name (EADDRINUSE
// gives 10048, EMSGSIZE 10040, ...). An errno without such a name is passed on unchanged. Both
// read the one table of socket errors.
int WSAErrorFromErrno(int AErrno);
// "Socket Error # <code>", CR LF, then the fixed text.
std::string SocketErrorMessage(int AErr);

// An IPv4 address: four bytes in network order.
using TIdInAddr = std::array<uint8_t, 4>;

// Sockets handed to a wait, and the readable ones it gives back.
using TIdSocketList = std::vector<TIdStackSocketHandle>;

// Ends a wait of the stack early, from any thread; once set it stays set. Owns its descriptor.
class TIdWakeEvent {
public:
    TIdWakeEvent();
    ~TIdWakeEvent();
    TIdWakeEvent(const TIdWakeEvent&) = delete;
    TIdWakeEvent& operator=(const TIdWakeEvent&) = delete;
    void Set();
    int Handle() const { return m_handle; }

private:
    int m_handle;
};

class TIdStack {
public:
    virtual ~TIdStack() = default;

    // Address texts. Each part of a dotted text reads as an integer and gives its low 8 bits.
    static std::string TInAddrToString(const TIdInAddr& AAddr);
    static TIdInAddr TranslateStringToTInAddr(const std::string& AIP);
    // True only for four dot-separated parts, each an integer from 0 to 255.
    static bool IsIP(const std::string& AIP);

    // "localhost" in any case, or a dotted address as it stands; else the first address found.
    std::string ResolveHost(const std::string& AHost);
    // False when AResult is not a failure; true when it failed with a code in AIgnore;
    // otherwise raises EIdSocketError with the last error.
    bool CheckForSocketError(int AResult, std::initializer_list<int> AIgnore = {});
    [[noreturn]] void RaiseSocketError(int AErr);

    // The host name, cut at its first NUL.
    std::string HostName();
    // The addresses of the host name, in the order the look-up gives them; rebuilt on each call.
    const std::vector<std::string>& LocalAddresses();
    // The first of LocalAddresses.
    std::string LocalHostAddress();

    // A new IPv4 datagram socket; EIdInvalidSocket when none can be had.
    TIdStackSocketHandle CreateSocketHandle();
    // Waits until a socket of AReadList is readable, AWake is set or ATimeout ms passed; the list
    // is left holding the readable sockets. More than 64 sockets raise EIdStackSetSizeExceeded.
    int Select(TIdSocketList& AReadList, int ATimeout, const TIdWakeEvent* AWake = nullptr);

    // The platform binding. Each call returns -1 on failure and leaves the error number for
    // WSGetLastError on the calling thread.
    virtual TIdStackSocketHandle WSSocket() = 0;
    // An empty-address text binds every local address; only the low 16 bits of APort count.
    virtual int WSBind(TIdStackSocketHandle ASocket, const TIdInAddr& AAddr, int APort) = 0;
    virtual int WSGetSockName(TIdStackSocketHandle ASocket, TIdInAddr& AAddr, int& APort) = 0;
    virtual int WSSetSockOpt(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                             int32_t AValue) = 0;
    // Leaves in AReadList the sockets that are readable (or hold an error to read).
    virtual int WSSelect(TIdSocketList& AReadList, int ATimeout, int AWakeHandle) = 0;
    // A datagram longer than ALen is consumed and reported as a failure with WSAEMSGSIZE.
    // With Id_MSG_PEEK in AFlags it stays queued and the result is its whole length, however
    // short ALen is.
    virtual int WSRecvFrom(TIdStackSocketHandle ASocket, char* ABuf, int ALen, int AFlags,
                           TIdInAddr& AFrom, int& AFromPort) = 0;
    virtual int WSSendTo(TIdStackSocketHandle ASocket, const char* ABuf, int ALen, int AFlags,
                         const TIdInAddr& ATo, int APort) = 0;
    virtual int WSShutdown(TIdStackSocketHandle ASocket, int AHow) = 0;
    virtual int WSCloseSocket(TIdStackSocketHandle ASocket) = 0;
    // Fills ABuf (ALen bytes) with the host name; the result is not examined.
    virtual int WSGetHostName(char* ABuf, int ALen) = 0;
    // The IPv4 addresses of AName; false (and WSAHOST_NOT_FOUND as last error) when none.
    virtual bool WSGetHostByName(const std::string& AName, std::vector<TIdInAddr>& AAddrs) = 0;
    virtual int WSGetLastError() = 0;

private:
    std::vector<std::string> m_localAddresses;
};

// The shared stack; it exists while at least one component of the family is alive, and is
// null otherwise.
TIdStack* GStack();

// The live count of components: the first acquire creates the shared stack, the last release
// destroys it. Called by TIdComponent.
void IdStackAcquire();
void IdStackRelease();
int IdStackLiveCount();

// Creates the platform's stack; defined by the binding.
TIdStack* CreateIdStack();

// Makes the next shared stack (created when the live count leaves 0) with AFactory instead of
// CreateIdStack; nullptr goes back to the platform's. Returns the factory it replaces. Lets a
// test put a stack with scripted platform calls under the components.
using TIdStackFactory = TIdStack* (*)();
TIdStackFactory SetIdStackFactory(TIdStackFactory AFactory);
