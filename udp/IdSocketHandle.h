// One local endpoint of a UDP component (a binding) and the owned list of them.
#pragma once

#include "IdStack.h"

#include <memory>
#include <string>
#include <vector>

class EIdSocketHandleError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdCouldNotBindSocket : public EIdSocketHandleError {
public:
    EIdCouldNotBindSocket()
        : EIdSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

// The socket is created on the main thread before the listener starts and closed after it has
// ended, so the listener may read Handle() without a lock. SenderIP and SenderPort are written
// by the listener for each datagram and are read by the datagram handler while it runs.
class TIdSocketHandle {
public:
    explicit TIdSocketHandle(int ADefaultPort) : Port(ADefaultPort) {}
    ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    // Local address to bind ("" is every address); after a bind, what the system reports.
    std::string IP;
    // Local port to bind; after a bind, the port the system reports (0 becomes the one chosen).
    int Port;
    // The sender of the latest datagram received on this binding.
    std::string SenderIP;
    int SenderPort = 0;
    // Set on the binding that activation added itself: it takes "" and the default port again at
    // every activation.
    bool FollowsDefaultPort = false;

    TIdStackSocketHandle Handle() const { return m_handle; }
    bool HandleAllocated() const { return m_handle != Id_INVALID_SOCKET; }

    // Closes an open socket first, then creates a new datagram socket.
    void AllocateSocket();
    // Binds to IP and Port and reads back what the system chose. A taken address raises
    // EIdCouldNotBindSocket, any other failure EIdSocketError.
    void Bind();
    // Shuts down (send side) and closes the socket, if open; IP and Port keep their values.
    void CloseSocket();
    // Gives up ownership of the socket: the caller closes it.
    TIdStackSocketHandle Release();
    void SetBroadcast(bool AEnabled);
    // One datagram into ABuf; sets SenderIP and SenderPort. Raises EIdSocketError on failure,
    // a datagram longer than ALen included.
    int RecvFrom(char* ABuf, int ALen);
    // The same, the sender given back instead of set: the listener sets it only for a datagram
    // it hands on.
    int RecvFrom(char* ABuf, int ALen, TIdInAddr& AFrom, int& AFromPort);
    // The length of the next queued datagram, which stays queued (0 for an empty one). Raises
    // EIdSocketError on failure, WSAEWOULDBLOCK when nothing is queued.
    int PendingLength();
    // Sends AData as one datagram; returns the count sent or -1 (the caller checks).
    int SendTo(const std::string& AIP, int APort, const std::string& AData);

private:
    TIdStackSocketHandle m_handle = Id_INVALID_SOCKET;
};

// Shuts down and closes a socket the caller owns.
void IdCloseSocketHandle(TIdStackSocketHandle AHandle);

class TIdSocketHandles {
public:
    int DefaultPort() const { return m_defaultPort; }
    void SetDefaultPort(int APort) { m_defaultPort = APort; }

    // A new binding for every local address on DefaultPort.
    TIdSocketHandle& Add();
    int Count() const { return static_cast<int>(m_items.size()); }
    TIdSocketHandle& operator[](int AIndex) const {
        return *m_items.at(static_cast<size_t>(AIndex));
    }
    void Clear() { m_items.clear(); }

private:
    std::vector<std::unique_ptr<TIdSocketHandle>> m_items;
    int m_defaultPort = 0;
};
