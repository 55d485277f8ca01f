// A datagram socket of the test's own on 127.0.0.1, the only address tests ever send to.
#pragma once

#include <optional>
#include <string>

class TUdpPeer {
public:
    TUdpPeer();
    ~TUdpPeer();
    TUdpPeer(const TUdpPeer&) = delete;
    TUdpPeer& operator=(const TUdpPeer&) = delete;
    int Port() const { return m_port; }
    void SendTo(int Port, const std::string& Data);
    // The next datagram within the timeout, or nothing; keeps the toolkit's messages running
    // when called on its main thread.
    std::optional<std::string> Receive(int TimeoutMs);

private:
    int m_fd = -1;
    int m_port = 0;
};
