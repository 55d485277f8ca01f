// The floods: text lines or random bytes pushed into the pty as fast as it takes them, or
// datagrams sent to the console's port at a rate. A pty flood ends once the console has read
// what was written.
#pragma once

#include "Options.h"
#include "SimCommon.h"

#include <random>
#include <string>

namespace devsim {

class TFlood {
public:
    TFlood(const TOptions& Options, std::mt19937& Rng, TSimHost& Host, TTraffic& Traffic)
        : m_o(Options), m_rng(Rng), m_host(Host), m_traffic(Traffic) {}

    void Begin(TTime Now) { m_start = Now; }
    // One step of a pty flood; SlavePath is the device the console reads.
    void TickPty(TTime Now, const std::string& SlavePath);
    // One step of a datagram flood over the socket Udp.
    void TickUdp(TTime Now, int Udp);
    // The earlier of Wake and the time the flood next has something to do.
    TTime NextWake(TTime Now, TTime Wake) const;

    // The socket refused a datagram: sending waits until it is writable.
    bool UdpBlocked() const { return m_udpBlocked; }
    void UdpWritable() { m_udpBlocked = false; }

    bool Done() const { return m_done; }
    TTime Start() const { return m_start; }
    TTime End() const { return m_end; }

private:
    void CheckDrained(TTime Now, const std::string& SlavePath);

    const TOptions& m_o;
    std::mt19937& m_rng;
    TSimHost& m_host;
    TTraffic& m_traffic;

    uint64_t m_index = 0; // next line or datagram
    TTime m_start{}, m_end{};
    bool m_done = false;
    uint64_t m_generated = 0; // flood bytes made so far
    bool m_udpBlocked = false;
    // After a pty flood: a second slave descriptor, only to see the console's unread bytes,
    // so the run does not end (and hang the line up) while the console still reads.
    TFd m_drainFd;
    bool m_drainChecking = false;
    unsigned m_drainEmpty = 0;
    TTime m_nextDrainCheck{};
};

} // namespace devsim
