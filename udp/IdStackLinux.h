// The socket stack bound to Linux's BSD socket calls, linked directly: no library to load or
// start. Errors are translated to the stack's numbers (WSAErrorFromErrno) here and nowhere else.
#pragma once

#include "IdStack.h"

class TIdStackLinux : public TIdStack {
public:
    TIdStackSocketHandle WSSocket() override;
    int WSBind(TIdStackSocketHandle ASocket, const TIdInAddr& AAddr, int APort) override;
    int WSGetSockName(TIdStackSocketHandle ASocket, TIdInAddr& AAddr, int& APort) override;
    int WSSetSockOpt(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                     int32_t AValue) override;
    int WSSelect(TIdSocketList& AReadList, int ATimeout, int AWakeHandle) override;
    int WSRecvFrom(TIdStackSocketHandle ASocket, char* ABuf, int ALen, int AFlags, TIdInAddr& AFrom,
                   int& AFromPort) override;
    int WSSendTo(TIdStackSocketHandle ASocket, const char* ABuf, int ALen, int AFlags,
                 const TIdInAddr& ATo, int APort) override;
    int WSShutdown(TIdStackSocketHandle ASocket, int AHow) override;
    int WSCloseSocket(TIdStackSocketHandle ASocket) override;
    int WSGetHostName(char* ABuf, int ALen) override;
    bool WSGetHostByName(const std::string& AName, std::vector<TIdInAddr>& AAddrs) override;
    int WSGetLastError() override;
};
