// Placeholder of the UDP endpoint: only the calls the window needs today.
#pragma once

#include <functional>
#include <string>
#include <unistd.h>

class TIdSocketHandle {
public:
    std::string SenderIP;
    int SenderPort = 0;
};

class TIdUDPServer;
using TUDPReadEvent =
    std::function<void(TIdUDPServer* Sender, const std::string& AData, TIdSocketHandle& ABinding)>;

class TIdUDPServer {
public:
    int DefaultPort() const { return m_defaultPort; }
    void SetDefaultPort(int V) { m_defaultPort = V; }
    int BufferSize() const { return 8192; }
    bool Active() const { return false; }
    void SetActive(bool) {}
    void Send(const std::string&, int, const std::string&) {}
    std::string LocalHostName() const {
        char name[256] = {};
        ::gethostname(name, sizeof name - 1);
        return name;
    }
    TUDPReadEvent OnUDPRead;

private:
    int m_defaultPort = 0;
};
