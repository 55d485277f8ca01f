// The summary line printed when the run ends: one JSON object, its fields by mode. Making it
// also settles the run's outcome: missing or wrong answers and undone work fail the run.
#pragma once

#include "DevSimCore.h"
#include "Download.h"
#include "Flood.h"
#include "Options.h"
#include "PacketExchange.h"
#include "SimCommon.h"

#include <optional>
#include <string>
#include <vector>

namespace devsim {

// What the run itself knows at its end.
struct TRunFacts {
    TTime T0{};
    bool Started = false, Interrupted = false, TimeLimitHit = false;
    unsigned Lines = 0, Unsolicited = 0; // text mode
    std::optional<std::string> Device;   // the pty's slave, if one was made
    const TBytes* Rx = nullptr;          // the first bytes received on the pty
    int ListenPort = 0;
    const std::vector<std::string>* Datagrams = nullptr; // JSON objects of those received
    const TDownload* Download = nullptr;
};

class TSummary {
public:
    TSummary(const TOptions& Options, TRunStatus& Status, const TTraffic& Traffic,
             const TModem& Modem, const TPacketExchange& Packet, const TFlood& Flood)
        : m_o(Options), m_status(Status), m_traffic(Traffic), m_modem(Modem), m_packet(Packet),
          m_flood(Flood) {}

    std::string Make(const TRunFacts& Facts);

private:
    void AddText(TJsonObject& S, const TRunFacts& Facts);
    bool AddPacket(TJsonObject& S);
    bool AddFlood(TJsonObject& S, const TRunFacts& Facts);
    bool AddDownload(TJsonObject& S, const TRunFacts& Facts);
    void AddPty(TJsonObject& S, const TRunFacts& Facts);
    void AddUdp(TJsonObject& S, const TRunFacts& Facts);

    const TOptions& m_o;
    TRunStatus& m_status;
    const TTraffic& m_traffic;
    const TModem& m_modem;
    const TPacketExchange& m_packet;
    const TFlood& m_flood;
};

} // namespace devsim
