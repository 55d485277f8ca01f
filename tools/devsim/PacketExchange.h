// The packet exchange: an optional probe, then requests sent one at a time over the pty and
// their answers checked. In packet mode it is the whole run; in text mode a burst asked for
// on standard input runs it, then the modem takes the line back.
#pragma once

#include "DevSimCore.h"
#include "Options.h"
#include "SimCommon.h"

#include <array>
#include <random>
#include <string>
#include <vector>

namespace devsim {

// What the exchange has counted, for the summary.
struct TPacketCounts {
    unsigned Expecting = 0, Answered = 0, Missing = 0, Wrong = 0, SilentSent = 0;
    unsigned SentByKind[6] = {};
    uint64_t Stray = 0, Late = 0;
    TRttStats Rtt;
    std::string Probe = "skipped";
};

class TPacketExchange {
public:
    TPacketExchange(const TOptions& Options, std::mt19937& Rng, TSimHost& Host)
        : m_o(Options), m_rng(Rng), m_host(Host) {}

    // Starts the packet mode's run: the probe, or the first request.
    void Begin(TTime Now);
    // Starts a burst of Count requests in text mode.
    void StartBurst(unsigned Count);
    // True while the exchange owns the line's incoming bytes.
    bool Active() const { return m_o.Mode == TMode::Packet || m_burst; }
    bool Burst() const { return m_burst; }
    unsigned Bursts() const { return m_bursts; }
    bool Done() const { return m_state == TState::Done; }
    // True while a close of the port spoils the run.
    bool Running() const;

    void Tick(TTime Now);
    void OnBytes(std::string_view Data, TTime Now);
    // All queued bytes have been written to the pty.
    void OnAllWritten();
    // The earlier of Wake and the time the exchange next has something to do.
    TTime NextWake(TTime Now, TTime Wake) const;

    const TPacketCounts& Counts() const { return m_n; }

private:
    enum class TState { Waiting, Probing, Settling, Sending, Awaiting, Gap, Draining, Done };

    void FinishRequest(TTime Now);
    void EndBurst();

    const TOptions& m_o;
    std::mt19937& m_rng;
    TSimHost& m_host;

    TState m_state = TState::Waiting;
    std::vector<TRequestKind> m_plan;
    size_t m_next = 0;
    TRequest m_req;
    TAnswerCheck m_check;
    bool m_reqInFlight = false; // request bytes queued but not all written yet
    TTime m_sentAt{}, m_until{}, m_probeUntil{}, m_nextProbe{};
    TBytes m_probeAnswer, m_probeRx;
    TPacketCounts m_n;

    bool m_burst = false;
    unsigned m_bursts = 0;
    std::array<unsigned, 4> m_burstBase{}; // requests, answered, missing, wrong before it
};

} // namespace devsim
