#include "Flood.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace devsim {

TTime TFlood::NextWake(TTime Now, TTime Wake) const {
    auto at = [&](TTime t) { Wake = std::min(Wake, t); };
    switch (m_o.Mode) {
    case TMode::FloodUdp:
        if (!m_done && !m_udpBlocked) {
            if (m_o.Rate > 0)
                at(m_start + Seconds(static_cast<double>(m_index) / m_o.Rate));
            else
                at(Now);
        }
        break;
    case TMode::FloodText:
    case TMode::FloodBytes:
        if (!m_done && m_host.Pending() < FloodChunk && m_generated < m_o.Bytes)
            at(Now);
        if (m_drainChecking)
            at(m_nextDrainCheck);
        break;
    default:
        break;
    }
    return Wake;
}

void TFlood::TickPty(TTime Now, const std::string& SlavePath) {
    if (!m_done) {
        while (m_host.Pending() < FloodChunk && m_generated < m_o.Bytes) {
            TBytes chunk;
            if (m_o.Mode == TMode::FloodText) {
                chunk.reserve(FloodChunk + FloodLineSize);
                while (chunk.size() < FloodChunk)
                    AppendFloodTextLine(chunk, m_index++);
            } else {
                chunk.resize(FloodChunk);
                for (size_t k = 0; k + 4 <= chunk.size(); k += 4) {
                    const uint32_t r = m_rng();
                    std::memcpy(&chunk[k], &r, 4);
                }
            }
            const uint64_t room = m_o.Bytes - m_generated;
            if (chunk.size() > room)
                chunk.resize(static_cast<size_t>(room));
            m_generated += chunk.size();
            m_host.Queue(chunk);
        }
        if (m_host.PeerOpen())
            m_host.FlushPty(Now);
        if (m_generated >= m_o.Bytes && !m_host.Pending()) {
            m_done = true;
            m_end = TClock::now();
            Say("flood done: %llu bytes", static_cast<unsigned long long>(m_traffic.TxBytes));
            m_drainChecking = true;
            m_nextDrainCheck = Now;
        }
    }
    if (m_drainChecking && Now >= m_nextDrainCheck)
        CheckDrained(Now, SlavePath);
}

void TFlood::CheckDrained(TTime Now, const std::string& SlavePath) {
    m_nextDrainCheck = Now + PeerCheckEvery;
    if (!m_drainFd.Valid()) {
        m_drainFd.Reset(::open(SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!m_drainFd.Valid()) {
            // An exclusive open by the console keeps us out: the linger has to do.
            m_drainChecking = false;
            m_host.WorkDone(Now);
            return;
        }
    }
    int unread = 0;
    // Two empty looks in a row: bytes still on their way into the line discipline show up
    // between them.
    if (::ioctl(m_drainFd.Get(), FIONREAD, &unread) != 0 || (unread == 0 && ++m_drainEmpty >= 2)) {
        m_drainChecking = false;
        m_drainFd.Reset();
        m_host.WorkDone(Now);
    } else if (unread != 0) {
        m_drainEmpty = 0;
    }
}

void TFlood::TickUdp(TTime Now, int Udp) {
    if (m_done || m_udpBlocked)
        return;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(m_o.ConsolePort));
    uint64_t due = m_o.Count;
    if (m_o.Rate > 0)
        due = std::min<uint64_t>(m_o.Count,
                                 static_cast<uint64_t>(Ms(Now - m_start) / 1000.0 * m_o.Rate) + 1);
    for (unsigned burst = 0; m_index < due && burst < 512; ++burst) {
        const size_t size = m_o.MinSize + m_rng() % (m_o.MaxSize - m_o.MinSize + 1);
        const TBytes d = FloodDatagram(m_index, size);
        const ssize_t n =
            ::sendto(Udp, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n < 0 && (errno == EAGAIN || errno == ENOBUFS)) {
            m_udpBlocked = true;
            return;
        }
        if (n < 0) {
            if (++m_traffic.SendErrors == 1)
                Say("sending a datagram failed: %s", ErrnoText(errno).c_str());
        } else {
            ++m_traffic.UdpSent;
            m_traffic.TxBytes += d.size();
        }
        ++m_index;
    }
    if (m_index >= m_o.Count) {
        m_done = true;
        m_end = TClock::now();
        m_host.WorkDone(Now);
    }
}

} // namespace devsim
