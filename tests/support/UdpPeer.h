// A datagram socket of the test's own, made with the plain system calls so that it checks the
// endpoint independently of the stack under test. It sends only to 127.0.0.1, from 127.0.0.1 or,
// as a second sender, from 127.0.0.2.
#pragma once

#include <optional>
#include <string>

class TUdpPeer {
public:
    // Binds Port (0: the system chooses) on 127.0.0.1, or on every address when Any; throws
    // when that fails.
    explicit TUdpPeer(int Port = 0, bool Any = false);
    // Binds a port the system chooses on a loopback address of the test's choice (127.0.0.2
    // is a second sender without any set-up: all of 127/8 is loopback on Linux).
    explicit TUdpPeer(const char* LoopbackAddress);
    ~TUdpPeer();
    TUdpPeer(const TUdpPeer&) = delete;
    TUdpPeer& operator=(const TUdpPeer&) = delete;
    int Port() const { return m_port; }

    // Sends to 127.0.0.1:Port; true when the whole datagram went.
    bool SendTo(int Port, const std::string& Data);

    struct TDatagram {
        std::string Data;
        std::string FromIP;
        int FromPort = 0;
    };
    // The next datagram within the timeout, or nothing; keeps the toolkit's messages running
    // when called on its main thread.
    std::optional<TDatagram> ReceiveFrom(int TimeoutMs);
    // The same, its bytes only.
    std::optional<std::string> Receive(int TimeoutMs);

    // True when Port can be bound on every address right now.
    static bool PortFree(int Port);
    // The SO_BROADCAST value of a socket the test did not make; -1 when it cannot be read.
    static int BroadcastOption(int Fd);

private:
    int m_fd = -1;
    int m_port = 0;
};
