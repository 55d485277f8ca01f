#include "IdSocketHandle.h"

TIdSocketHandle::~TIdSocketHandle() {
    CloseSocket();
}

void IdCloseSocketHandle(TIdStackSocketHandle AHandle) {
    // Results not examined: an unconnected datagram socket refuses the shut-down on Linux.
    GStack()->WSShutdown(AHandle, Id_SD_Send);
    GStack()->WSCloseSocket(AHandle);
}

void TIdSocketHandle::AllocateSocket() {
    CloseSocket();
    m_handle = GStack()->CreateSocketHandle();
}

void TIdSocketHandle::Bind() {
    TIdInAddr addr{};
    if (!IP.empty())
        addr = TIdStack::TranslateStringToTInAddr(IP);
    if (GStack()->CheckForSocketError(GStack()->WSBind(m_handle, addr, Port), {Id_WSAEADDRINUSE}))
        throw EIdCouldNotBindSocket();
    int port = 0;
    GStack()->CheckForSocketError(GStack()->WSGetSockName(m_handle, addr, port));
    IP = TIdStack::TInAddrToString(addr);
    Port = port;
}

void TIdSocketHandle::CloseSocket() {
    if (!HandleAllocated())
        return;
    IdCloseSocketHandle(Release());
}

TIdStackSocketHandle TIdSocketHandle::Release() {
    const TIdStackSocketHandle h = m_handle;
    m_handle = Id_INVALID_SOCKET;
    return h;
}

void TIdSocketHandle::SetBroadcast(bool AEnabled) {
    GStack()->CheckForSocketError(
        GStack()->WSSetSockOpt(m_handle, Id_SOL_SOCKET, Id_SO_BROADCAST, AEnabled ? -1 : 0));
}

int TIdSocketHandle::RecvFrom(char* ABuf, int ALen) {
    TIdInAddr from{};
    int fromPort = 0;
    const int n = RecvFrom(ABuf, ALen, from, fromPort);
    SenderIP = TIdStack::TInAddrToString(from);
    SenderPort = fromPort;
    return n;
}

int TIdSocketHandle::RecvFrom(char* ABuf, int ALen, TIdInAddr& AFrom, int& AFromPort) {
    const int n = GStack()->WSRecvFrom(m_handle, ABuf, ALen, 0, AFrom, AFromPort);
    GStack()->CheckForSocketError(n);
    return n;
}

int TIdSocketHandle::PendingLength() {
    // One byte is copied; MSG_TRUNC gives the rest of the length without moving it.
    char probe;
    TIdInAddr from{};
    int fromPort = 0;
    const int n = GStack()->WSRecvFrom(m_handle, &probe, 1, Id_MSG_PEEK, from, fromPort);
    GStack()->CheckForSocketError(n);
    return n;
}

int TIdSocketHandle::SendTo(const std::string& AIP, int APort, const std::string& AData) {
    return GStack()->WSSendTo(m_handle, AData.data(), static_cast<int>(AData.size()), 0,
                              TIdStack::TranslateStringToTInAddr(AIP), APort);
}

TIdSocketHandle& TIdSocketHandles::Add() {
    m_items.push_back(std::make_unique<TIdSocketHandle>(m_defaultPort));
    return *m_items.back();
}
