// A stack whose platform calls are scripted, for the portable logic above them.
#pragma once

#include "IdStack.h"

#include <cstring>

class TFakeStack : public TIdStack {
public:
    // Scripted answers.
    std::vector<TIdInAddr> HostAddrs;
    bool HostFound = true;
    int LastError = 0;
    std::string HostNameBytes = "fakehost"; // copied into the caller's buffer, NULs included
    TIdStackSocketHandle NextSocket = 7;

    // What was asked.
    int LookUps = 0;
    std::string LastLookUp;
    int Selects = 0;

    TIdStackSocketHandle WSSocket() override { return NextSocket; }
    int WSBind(TIdStackSocketHandle, const TIdInAddr&, int) override { return 0; }
    int WSGetSockName(TIdStackSocketHandle, TIdInAddr&, int&) override { return 0; }
    int WSSetSockOpt(TIdStackSocketHandle, int, int, int32_t) override { return 0; }
    int WSSelect(TIdSocketList& AList, int, int) override {
        ++Selects;
        AList.clear();
        return 0;
    }
    int WSRecvFrom(TIdStackSocketHandle, char*, int, int, TIdInAddr&, int&) override { return 0; }
    int WSSendTo(TIdStackSocketHandle, const char*, int ALen, int, const TIdInAddr&, int) override {
        return ALen;
    }
    int WSShutdown(TIdStackSocketHandle, int) override { return 0; }
    int WSCloseSocket(TIdStackSocketHandle) override { return 0; }
    int WSGetHostName(char* ABuf, int ALen) override {
        std::memcpy(ABuf, HostNameBytes.data(),
                    std::min(HostNameBytes.size(), static_cast<size_t>(ALen)));
        return 0;
    }
    bool WSGetHostByName(const std::string& AName, std::vector<TIdInAddr>& AAddrs) override {
        ++LookUps;
        LastLookUp = AName;
        AAddrs = HostFound ? HostAddrs : std::vector<TIdInAddr>{};
        if (!HostFound)
            LastError = Id_WSAHOST_NOT_FOUND;
        return HostFound;
    }
    int WSGetLastError() override { return LastError; }
};
