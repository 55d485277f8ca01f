// The running simulator: one thread, one poll loop over the pty master, the UDP socket,
// standard input and a signal pipe. Everything it does is bounded by the time limit.
#pragma once

#include "ComMap.h"
#include "DevSimCore.h"
#include "Options.h"

#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace devsim {

// Owns one file descriptor.
class TFd {
public:
    TFd() = default;
    explicit TFd(int Fd) : m_fd(Fd) {}
    ~TFd() { Reset(); }
    TFd(TFd&& Other) noexcept : m_fd(Other.m_fd) { Other.m_fd = -1; }
    TFd& operator=(TFd&& Other) noexcept {
        if (this != &Other) {
            Reset();
            m_fd = Other.m_fd;
            Other.m_fd = -1;
        }
        return *this;
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Reset(int Fd = -1);

private:
    int m_fd = -1;
};

class TSimulator {
public:
    explicit TSimulator(const TOptions& Options);
    ~TSimulator();
    // Sets up, runs until done, quit, a signal or the time limit, prints the summary line;
    // returns the exit status.
    int Run();

private:
    using TClock = std::chrono::steady_clock;
    using TTime = TClock::time_point;

    enum class TPacketState { Waiting, Probing, Settling, Sending, Awaiting, Gap, Draining, Done };

    bool SetUp(std::string& Error);
    bool OpenPty(std::string& Error);
    bool OpenUdp(std::string& Error);
    void Loop();
    void Event(TJsonObject Object);
    void CheckPeer(TTime Now);
    void ReadPty(TTime Now);
    void FlushPty(TTime Now);
    void ReadUdp();
    void SendDatagram(const TBytes& Data);
    void ReadStdin();
    void Command(const TCommand& Cmd);
    void BeginWork(TTime Now);
    void OnSerialBytes(std::string_view Data, TTime Now);
    void Tick(TTime Now);
    void TickPacket(TTime Now);
    void TickFlood(TTime Now);
    void TickFloodUdp(TTime Now);
    void CheckDrained(TTime Now);
    void FinishRequest(TTime Now);
    void OnPacketBytes(std::string_view Data, TTime Now);
    void StartBurst(unsigned Count);
    void EndBurst();
    TTime NextWake(TTime Now) const;
    std::string Summary();
    void Fail(const std::string& Reason, int Code);
    void WorkDone(TTime Now);
    size_t Pending() const { return m_out.size() - m_outPos; }
    void Queue(std::string_view Bytes);

    TOptions m_o;
    std::mt19937 m_rng;
    TTime m_t0{}, m_deadline{};
    std::optional<TTime> m_endAt; // set once work that ends by itself is done
    bool m_quit = false, m_interrupted = false, m_timeLimitHit = false, m_started = false;
    int m_exit = 0;
    std::string m_failure;

    // pty and COM map
    TFd m_master;
    std::string m_slavePath;
    std::unique_ptr<TComEntry> m_entry;
    bool m_peerOpen = false;
    TTime m_nextPeerCheck{};
    TBytes m_out; // bytes to be written to the pty, from m_outPos on
    size_t m_outPos = 0;
    uint64_t m_rxBytes = 0;
    TBytes m_rx; // the first RecordLimit bytes received
    uint64_t m_txBytes = 0;

    // UDP
    TFd m_udp;
    int m_listenPort = 0;
    std::deque<TBytes> m_udpQueue;
    TTime m_nextUdpSend{};
    uint64_t m_udpSent = 0, m_udpReceived = 0, m_sendErrors = 0;
    std::vector<std::string> m_datagrams; // JSON objects of the first DatagramLimit received

    // stdin and signals
    TFd m_sigRead;
    bool m_stdinOpen = false;
    TBytes m_stdinBuf;

    // text
    TModem m_modem;
    std::vector<TModem::TLine> m_lines;
    unsigned m_lineCount = 0, m_unsolicited = 0;
    TTime m_nextRing{};

    // packet
    TPacketState m_ps = TPacketState::Waiting;
    std::vector<TRequestKind> m_plan;
    size_t m_next = 0;
    TRequest m_req;
    TAnswerCheck m_check;
    bool m_reqInFlight = false; // request bytes queued but not all written yet
    TTime m_sentAt{}, m_until{}, m_probeUntil{}, m_nextProbe{};
    TBytes m_probeAnswer, m_probeRx;
    std::string m_probe = "skipped";
    TRttStats m_rtt;
    unsigned m_answered = 0, m_missing = 0, m_wrong = 0, m_expecting = 0, m_silentSent = 0;
    unsigned m_sentByKind[6] = {};
    uint64_t m_stray = 0, m_late = 0;
    // Text mode: a burst of requests asked for on stdin runs the packet work above, then the
    // modem takes the line back.
    bool m_burst = false;
    unsigned m_bursts = 0;
    std::array<unsigned, 4> m_burstBase{}; // requests, answered, missing, wrong before it

    // floods
    uint64_t m_floodIndex = 0; // next line or datagram
    TTime m_floodStart{}, m_floodEnd{};
    bool m_floodDone = false;
    uint64_t m_generated = 0; // flood bytes made so far
    bool m_udpBlocked = false;
    // After a pty flood: a second slave descriptor, only to see the console's unread bytes,
    // so the run does not end (and hang the line up) while the console still reads.
    TFd m_drainFd;
    bool m_drainChecking = false;
    unsigned m_drainEmpty = 0;
    TTime m_nextDrainCheck{}; // the socket refused a datagram; wait until it is writable
};

} // namespace devsim
