// The simulator's command line: modes, options, their defaults and limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DevSimCore.h"

namespace devsim {

enum class TMode { Text, Packet, Udp, FloodText, FloodBytes, FloodUdp, Download };
// What the download mode's receiver asks the sender for.
enum class TRxProtocol { Xmodem, XmodemCrc, Xmodem1K, Ymodem };
// When the serial work starts: at once, when the console opens the port, or on "start".
enum class TStart { Now, Open, Stdin };

const char* ModeName(TMode Mode);

struct TOptions {
    TMode Mode = TMode::Text;
    int Com = 1;
    std::string Device; // played on this terminal instead of a pseudo-terminal of our own
    TStart Start = TStart::Now;
    double TimeLimit = 600; // seconds; every mode ends by then
    double Linger = 0.2;    // seconds kept running after work that ends by itself is done
    bool Events = false;
    bool ReadStdin = true;
    uint32_t Seed = 1;
    size_t RecordLimit = 65536; // received serial bytes kept for the summary

    // text
    unsigned RingEveryMs = 0;
    TBytes Unsolicited = "RING";
    bool AnswerEmptyLines = false;

    // packet
    TRequestMix Mix{1000, 0, 0, 0, 0};
    unsigned ExtraMax = 0;
    unsigned GapMs = 2;
    unsigned TimeoutMs = 100;
    unsigned SilenceMs = 20;
    double ProbeTimeout = 30; // seconds; 0 = no probing

    // UDP
    int ConsolePort = -1; // -1: nothing to send to
    std::string Host = "127.0.0.1";
    int ListenPort = 0;
    std::vector<TBytes> Datagrams; // sent in order at start
    unsigned SendIntervalMs = 100;
    unsigned SendDelayMs = 0;
    size_t DatagramLimit = 100; // received datagrams kept for the summary

    // floods
    uint64_t Bytes = 10'000'000;
    uint64_t Count = 10'000;
    double Rate = 0; // datagrams a second, 0 = as fast as possible
    unsigned MinSize = 20, MaxSize = 200;

    // download
    TRxProtocol Protocol = TRxProtocol::XmodemCrc;
    std::string SavePath; // what was received is also written here

    bool UsesPty() const { return Mode != TMode::Udp && Mode != TMode::FloodUdp; }
    bool UsesUdp() const {
        return Mode == TMode::Udp || Mode == TMode::FloodUdp || ConsolePort >= 0 ||
               !Datagrams.empty();
    }
};

struct TParsed {
    std::optional<TOptions> Options; // set when the command line is good
    bool Help = false;               // --help was asked for
    bool Version = false;            // --version was asked for
    std::string Error;               // what is wrong, when neither
};

TParsed ParseOptions(const std::vector<std::string>& Args);
std::string UsageText();

} // namespace devsim
