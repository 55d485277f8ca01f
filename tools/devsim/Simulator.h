// The running simulator: one thread, one poll loop over the pty master, the UDP socket,
// standard input and a signal pipe. Everything it does is bounded by the time limit.
#pragma once

#include "ComMap.h"
#include "DevSimCore.h"
#include "Download.h"
#include "Flood.h"
#include "Options.h"
#include "PacketExchange.h"
#include "SimCommon.h"

#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace devsim {

// Owns the pty, the socket, standard input and the modem; the packet exchange and the floods
// are parts of their own, and so is the summary made at the end.
class TSimulator final : private TSimHost {
public:
    explicit TSimulator(const TOptions& Options);
    ~TSimulator();
    // Sets up, runs until done, quit, a signal or the time limit, prints the summary line;
    // returns the exit status.
    int Run();

private:
    // TSimHost
    void Queue(std::string_view Bytes) override;
    void FlushPty(TTime Now) override;
    size_t Pending() const override { return m_out.size() - m_outPos; }
    bool PeerOpen() const override { return m_peerOpen; }
    void Fail(const std::string& Reason, int Code) override { m_status.Fail(Reason, Code); }
    void Quit() override { m_quit = true; }
    void WorkDone(TTime Now) override;
    void Event(TJsonObject Object) override;

    bool SetUp(std::string& Error);
    bool OpenPty(std::string& Error);
    bool OpenDevice(std::string& Error);
    bool OpenUdp(std::string& Error);
    void Loop();
    void CheckPeer(TTime Now);
    void ReadPty(TTime Now);
    void ReadUdp();
    void SendDatagram(const TBytes& Data);
    void ReadStdin();
    void Command(const TCommand& Cmd);
    void BeginWork(TTime Now);
    void OnSerialBytes(std::string_view Data, TTime Now);
    void Tick(TTime Now);
    TTime NextWake(TTime Now) const;
    std::string Summary();

    TOptions m_o;
    std::mt19937 m_rng;
    TTime m_t0{}, m_deadline{};
    std::optional<TTime> m_endAt; // set once work that ends by itself is done
    bool m_quit = false, m_interrupted = false, m_timeLimitHit = false, m_started = false;
    TRunStatus m_status;
    TTraffic m_traffic;

    // pty and COM map
    TFd m_master;
    std::string m_slavePath;
    std::unique_ptr<TComEntry> m_entry;
    bool m_peerOpen = false;
    TTime m_nextPeerCheck{};
    TBytes m_out; // bytes to be written to the pty, from m_outPos on
    size_t m_outPos = 0;
    TBytes m_rx; // the first RecordLimit bytes received

    // UDP
    TFd m_udp;
    int m_listenPort = 0;
    std::deque<TBytes> m_udpQueue;
    TTime m_nextUdpSend{};
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

    TPacketExchange m_packet;
    TFlood m_flood;
    TDownload m_download;
};

} // namespace devsim
