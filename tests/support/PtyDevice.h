// The device end of a pseudo-terminal: the console opens the other end by its name (or through
// the COM map) and the test reads and writes the non-blocking master. Closing the master is an
// unplug. When this process runs the toolkit's main thread, the waits keep its messages running,
// as the serial component's threads need them.
#pragma once

#include <string>

class TPtyDevice {
public:
    TPtyDevice();
    ~TPtyDevice() { Unplug(); }
    TPtyDevice(const TPtyDevice&) = delete;
    TPtyDevice& operator=(const TPtyDevice&) = delete;

    const std::string& SlavePath() const { return m_slave; }
    int Master() const { return m_master; }
    // True while someone holds the other end open.
    bool PeerOpen() const;

    // Writes every byte, waiting for room, within the timeout; true when all went.
    bool Write(const std::string& Data, int TimeoutMs = 2000);
    // Reads until N bytes have come or the timeout passed; returns what came.
    std::string ReadExactly(size_t N, int TimeoutMs = 2000);
    // Everything that arrives within Ms.
    std::string ReadFor(int Ms) { return ReadExactly(std::string::npos, Ms); }
    void Unplug();

private:
    // Waits up to a few milliseconds for the master to become ready for Events.
    void Idle(short Events, int Ms) const;
    int m_master = -1;
    std::string m_slave;
};
