#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace devsim {

const char* ModeName(TMode Mode) {
    switch (Mode) {
    case TMode::Text:
        return "text";
    case TMode::Packet:
        return "packet";
    case TMode::Udp:
        return "udp";
    case TMode::FloodText:
        return "flood-text";
    case TMode::FloodBytes:
        return "flood-bytes";
    case TMode::FloodUdp:
        return "flood-udp";
    case TMode::Download:
        return "download";
    }
    return "?";
}

std::string UsageText() {
    return R"(Usage: tevro-devsim MODE [OPTIONS]

Plays the GSM/GPRS terminal device for tevro-console: a pseudo-terminal published in the
console's COM map as COMn, and a UDP socket on 127.0.0.1.

Modes:
  text         answer modem commands like a modem: a line ended by CR is echoed while echo is
               on (ATE1, the default; ATE0 turns it off) and gets CR LF "OK" CR LF when it
               holds AT (any case; what comes before is ignored), else CR LF "ERROR" CR LF
  packet       send request frames, check every answer byte for byte, measure round trips
  udp          send datagrams to the console and print every datagram received (no pty)
  flood-text   send 80-byte text lines (78 characters, CR LF) as fast as the console reads
  flood-bytes  send random bytes as fast as the console reads
  flood-udp    send datagrams of --min-size to --max-size bytes (every tenth a HELLO, every
               tenth an IMEI) to the console
  download     take a file the console sends by XMODEM, XMODEM-1K or YMODEM; the summary
               gives its size and CRC-32 (and the YMODEM name and announced size)

Common options:
  --com N              publish the device end as COMn (1..255, default 1) in
                       $XDG_CONFIG_HOME/tevro-console/com (else ~/.config/tevro-console/com);
                       an entry that points at anything but a pseudo-terminal is never replaced
  --device PATH        play the device on the terminal PATH, whose other end someone else
                       holds (an emulator's pseudo-terminal), instead of a pseudo-terminal of
                       its own; nothing is published and the port counts as open throughout
  --start WHEN         now | open (when the console opens the port) | stdin (on "start");
                       default: open for packet and the pty floods, now otherwise
  --time-limit S       end after S seconds at most (default 600)
  --linger S           once packet or flood work is done, keep the port open S seconds
                       more before ending (default 0.2)
  --events             print one JSON line per event on stdout before the summary
                       (ready, open, close, line, datagram, ...)
  --no-stdin           do not read commands from standard input
  --seed N             seed of the random requests and bytes (default 1)
  --record-limit N     received serial bytes kept for the summary's "rx" (default 65536
                       in text mode, 0 otherwise)

Text mode:
  --ring-every MS      send an unsolicited line every MS milliseconds
  --unsolicited TEXT   its text (default RING; escapes as below)
  --empty-lines W      ignore (default, no answer) | error (answer ERROR)

Packet mode (--gap-ms and --timeout-ms also for bursts in text mode):
  --requests N         requests of kind 1 and 2 with random P1 (default 1000)
  --kind3 N            also N requests of kind 3 (no answer may come)
  --empty N            also N empty requests (length 0; no answer may come)
  --damaged N          also N requests with a bad CRC (no answer may come)
  --garbage N          also N requests after 1 to 8 garbage bytes (answered)
  --extra-max N        add 0 to N extra payload bytes to each request (default 0)
  --gap-ms MS          pause after each answer before the next request (default 2)
  --timeout-ms MS      time an answer may take (default 100)
  --silence-ms MS      time a request that needs no answer is watched (default 20)
  --probe-timeout S    before measuring, send a probe request every 200 ms until the console
                       answers, for at most S seconds (default 30; 0 = measure at once)

UDP (udp mode, or with text/packet):
  --console-port P     the console's UDP port on 127.0.0.1 (needed to send anything)
  --host ADDR          only 127.0.0.1 is accepted
  --listen-port P      own port, for the console's "To Sock" (default 0: the system chooses)
  --send LIST          datagrams to send at start, in order: hello,ssi,imei,act,text
  --datagram TEXT      one more datagram to send (escapes as below); may be repeated
  --send-delay MS      pause before the first datagram (default 0)
  --send-interval MS   pause between datagrams (default 100)

Floods:
  --bytes N            flood-text, flood-bytes: bytes to send (default 10M; k and M allowed)
  --count N            flood-udp: datagrams to send (default 10k)
  --rate R             flood-udp: datagrams a second (default 0: as fast as possible)
  --min-size N, --max-size N   flood-udp datagram sizes (default 20 and 200)

Download:
  --protocol P         xmodem (checksum) | xmodem-crc (default) | xmodem-1k | ymodem
  --save FILE          also write what was received to FILE (XMODEM: with the last block's
                       padding, since XMODEM does not carry the size)

Commands on standard input, one a line:
  start | quit | ring | line TEXT | send TEXT | hex HH HH.. | burst N | udp KIND | udp-send TEXT
  (line: unsolicited line framed in CR LF; send/hex: raw bytes on the pty; burst: text mode
  sends N requests of kind 1 and 2 and checks the answers like packet mode, then goes on as a
  modem; udp KIND: one of the --send kinds; udp-send: a datagram of your own)
  TEXT escapes: \r \n \t \e \0 \\ \xHH

Output: human messages on stderr; at the end ONE JSON line on stdout, the summary (with
--events, event lines come first and the summary is the last line, the one with "summary":true).
Exit status: 0 ok, 1 a check failed (wrong or missing answer, work left undone at the time
limit), 2 usage or set-up error (refused COM entry, no pty, port in use).
--help prints this text, --version the version.
)";
}

namespace {

constexpr unsigned ModeBit(TMode m) {
    return 1u << static_cast<unsigned>(m);
}
constexpr unsigned AllModes = 0x7F;
constexpr unsigned PtyModes = ModeBit(TMode::Text) | ModeBit(TMode::Packet) |
                              ModeBit(TMode::FloodText) | ModeBit(TMode::FloodBytes) |
                              ModeBit(TMode::Download);
constexpr unsigned UdpSendModes =
    ModeBit(TMode::Text) | ModeBit(TMode::Packet) | ModeBit(TMode::Udp) | ModeBit(TMode::FloodUdp);

std::optional<TMode> ParseMode(const std::string& s) {
    for (TMode m : {TMode::Text, TMode::Packet, TMode::Udp, TMode::FloodText, TMode::FloodBytes,
                    TMode::FloodUdp, TMode::Download})
        if (s == ModeName(m))
            return m;
    return std::nullopt;
}

// A whole number, with an optional k (1000) or M (1000000) suffix when Suffixes.
std::optional<uint64_t> ParseCount(const std::string& s, bool Suffixes) {
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    if (errno || end == s.c_str())
        return std::nullopt;
    std::string rest(end);
    uint64_t mult = 1;
    if (Suffixes && rest == "k")
        mult = 1000;
    else if (Suffixes && rest == "M")
        mult = 1000000;
    else if (!rest.empty())
        return std::nullopt;
    if (v > UINT64_MAX / mult)
        return std::nullopt;
    return v * mult;
}

std::optional<double> ParseSeconds(const std::string& s) {
    if (s.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (errno || *end || !std::isfinite(v) || v < 0)
        return std::nullopt;
    return v;
}

} // namespace

TParsed ParseOptions(const std::vector<std::string>& Args) {
    TParsed result;
    TOptions o;
    bool startGiven = false;
    bool recordGiven = false;
    std::optional<TMode> mode;
    std::vector<std::pair<std::string, std::string>> opts; // name, value

    // Options that take no value.
    const std::map<std::string, unsigned> flags = {
        {"--events", AllModes}, {"--no-stdin", AllModes}, {"--help", AllModes}};

    for (const std::string& a : Args) {
        if (a == "-h" || a == "--help") {
            result.Help = true;
            return result;
        }
        if (a == "--version") {
            result.Version = true;
            return result;
        }
    }
    for (size_t i = 0; i < Args.size(); ++i) {
        const std::string& a = Args[i];
        if (a.rfind("--", 0) == 0) {
            std::string name = a, value;
            const size_t eq = a.find('=');
            if (eq != std::string::npos) {
                name = a.substr(0, eq);
                value = a.substr(eq + 1);
                if (flags.count(name)) {
                    result.Error = name + " takes no value, not \"" + value + "\"";
                    return result;
                }
            } else if (!flags.count(a)) {
                if (i + 1 >= Args.size()) {
                    result.Error = a + " needs a value";
                    return result;
                }
                value = Args[++i];
            }
            opts.emplace_back(name, value);
            continue;
        }
        if (mode) {
            result.Error = "unexpected argument: " + a;
            return result;
        }
        mode = ParseMode(a);
        if (!mode) {
            result.Error = "unknown mode: " + a;
            return result;
        }
    }
    if (!mode) {
        result.Error =
            "no mode given (text, packet, udp, flood-text, flood-bytes, flood-udp, download)";
        return result;
    }
    o.Mode = *mode;

    std::string error;
    auto fail = [&](std::string text) {
        if (error.empty())
            error = std::move(text);
    };
    auto count = [&](const std::string& name, const std::string& v, uint64_t lo, uint64_t hi,
                     bool suffixes = false) -> uint64_t {
        auto n = ParseCount(v, suffixes);
        if (!n || *n < lo || *n > hi) {
            fail(name + " wants a whole number from " + std::to_string(lo) + " to " +
                 std::to_string(hi) + ", not \"" + v + "\"");
            return lo;
        }
        return *n;
    };

    using TSetter = std::function<void(const std::string&, const std::string&)>;
    const std::map<std::string, std::pair<unsigned, TSetter>> table = {
        {"--com", {PtyModes, [&](auto& n, auto& v) { o.Com = (int)count(n, v, 1, 255); }}},
        {"--device",
         {PtyModes,
          [&](auto& n, auto& v) {
              if (v.empty())
                  fail(n + " wants the path of a terminal, not \"\"");
              else
                  o.Device = v;
          }}},
        {"--start",
         {AllModes,
          [&](auto& n, auto& v) {
              startGiven = true;
              if (v == "now")
                  o.Start = TStart::Now;
              else if (v == "open")
                  o.Start = TStart::Open;
              else if (v == "stdin")
                  o.Start = TStart::Stdin;
              else
                  fail(n + " wants now, open or stdin, not \"" + v + "\"");
          }}},
        {"--time-limit",
         {AllModes,
          [&](auto& n, auto& v) {
              auto s = ParseSeconds(v);
              if (!s || *s <= 0 || *s > 7 * 24 * 3600)
                  fail(n + " wants seconds above 0, not \"" + v + "\"");
              else
                  o.TimeLimit = *s;
          }}},
        {"--linger",
         {AllModes,
          [&](auto& n, auto& v) {
              auto s = ParseSeconds(v);
              if (!s || *s > 3600)
                  fail(n + " wants seconds from 0 to 3600, not \"" + v + "\"");
              else
                  o.Linger = *s;
          }}},
        {"--events", {AllModes, [&](auto&, auto&) { o.Events = true; }}},
        {"--no-stdin", {AllModes, [&](auto&, auto&) { o.ReadStdin = false; }}},
        {"--seed",
         {AllModes, [&](auto& n, auto& v) { o.Seed = (uint32_t)count(n, v, 0, UINT32_MAX); }}},
        {"--record-limit",
         {PtyModes, [&](auto& n, auto& v) { o.RecordLimit = count(n, v, 0, 100'000'000, true); }}},
        {"--ring-every",
         {ModeBit(TMode::Text),
          [&](auto& n, auto& v) { o.RingEveryMs = (unsigned)count(n, v, 1, 3'600'000); }}},
        {"--unsolicited",
         {ModeBit(TMode::Text),
          [&](auto& n, auto& v) {
              auto b = ParseEscaped(v);
              if (!b)
                  fail(n + ": bad escape in \"" + v + "\"");
              else
                  o.Unsolicited = *b;
          }}},
        {"--empty-lines",
         {ModeBit(TMode::Text),
          [&](auto& n, auto& v) {
              if (v == "ignore")
                  o.AnswerEmptyLines = false;
              else if (v == "error")
                  o.AnswerEmptyLines = true;
              else
                  fail(n + " wants ignore or error, not \"" + v + "\"");
          }}},
        {"--requests",
         {ModeBit(TMode::Packet),
          [&](auto& n, auto& v) { o.Mix.Normal = (unsigned)count(n, v, 0, 10'000'000, true); }}},
        {"--kind3",
         {ModeBit(TMode::Packet),
          [&](auto& n, auto& v) { o.Mix.Kind3 = (unsigned)count(n, v, 0, 10'000'000, true); }}},
        {"--empty",
         {ModeBit(TMode::Packet),
          [&](auto& n, auto& v) { o.Mix.Empty = (unsigned)count(n, v, 0, 10'000'000, true); }}},
        {"--damaged",
         {ModeBit(TMode::Packet),
          [&](auto& n, auto& v) { o.Mix.Damaged = (unsigned)count(n, v, 0, 10'000'000, true); }}},
        {"--garbage",
         {ModeBit(TMode::Packet),
          [&](auto& n, auto& v) { o.Mix.Garbage = (unsigned)count(n, v, 0, 10'000'000, true); }}},
        {"--extra-max",
         {ModeBit(TMode::Packet),
          [&](auto& n, auto& v) { o.ExtraMax = (unsigned)count(n, v, 0, 250); }}},
        {"--gap-ms",
         {ModeBit(TMode::Packet) | ModeBit(TMode::Text),
          [&](auto& n, auto& v) { o.GapMs = (unsigned)count(n, v, 0, 60'000); }}},
        {"--timeout-ms",
         {ModeBit(TMode::Packet) | ModeBit(TMode::Text),
          [&](auto& n, auto& v) { o.TimeoutMs = (unsigned)count(n, v, 1, 60'000); }}},
        {"--silence-ms",
         {ModeBit(TMode::Packet),
          [&](auto& n, auto& v) { o.SilenceMs = (unsigned)count(n, v, 1, 60'000); }}},
        {"--probe-timeout",
         {ModeBit(TMode::Packet),
          [&](auto& n, auto& v) {
              auto s = ParseSeconds(v);
              if (!s)
                  fail(n + " wants seconds, not \"" + v + "\"");
              else
                  o.ProbeTimeout = *s;
          }}},
        {"--console-port",
         {UdpSendModes, [&](auto& n, auto& v) { o.ConsolePort = (int)count(n, v, 1, 65535); }}},
        {"--host",
         {UdpSendModes,
          [&](auto& n, auto& v) {
              if (auto refusal = RefuseTarget(v))
                  fail(n + ": " + *refusal);
              else
                  o.Host = v;
          }}},
        {"--listen-port",
         {UdpSendModes, [&](auto& n, auto& v) { o.ListenPort = (int)count(n, v, 0, 65535); }}},
        {"--send",
         {UdpSendModes & ~ModeBit(TMode::FloodUdp),
          [&](auto& n, auto& v) {
              size_t from = 0;
              while (from <= v.size()) {
                  size_t comma = v.find(',', from);
                  if (comma == std::string::npos)
                      comma = v.size();
                  const std::string kind = v.substr(from, comma - from);
                  if (auto d = DatagramFor(kind))
                      o.Datagrams.push_back(*d);
                  else
                      fail(n + ": unknown datagram kind \"" + kind +
                           "\" (hello, ssi, imei, act, text)");
                  from = comma + 1;
              }
          }}},
        {"--datagram",
         {UdpSendModes & ~ModeBit(TMode::FloodUdp),
          [&](auto& n, auto& v) {
              auto b = ParseEscaped(v);
              if (!b)
                  fail(n + ": bad escape in \"" + v + "\"");
              else if (b->size() > 65507)
                  fail(n + ": a datagram holds at most 65507 bytes");
              else
                  o.Datagrams.push_back(*b);
          }}},
        {"--send-delay",
         {UdpSendModes,
          [&](auto& n, auto& v) { o.SendDelayMs = (unsigned)count(n, v, 0, 3'600'000); }}},
        {"--send-interval",
         {UdpSendModes,
          [&](auto& n, auto& v) { o.SendIntervalMs = (unsigned)count(n, v, 0, 3'600'000); }}},
        {"--bytes",
         {ModeBit(TMode::FloodText) | ModeBit(TMode::FloodBytes),
          [&](auto& n, auto& v) { o.Bytes = count(n, v, 1, 100'000'000'000, true); }}},
        {"--count",
         {ModeBit(TMode::FloodUdp),
          [&](auto& n, auto& v) { o.Count = count(n, v, 1, 100'000'000, true); }}},
        {"--rate",
         {ModeBit(TMode::FloodUdp),
          [&](auto& n, auto& v) {
              auto s = ParseSeconds(v);
              if (!s)
                  fail(n + " wants datagrams a second, not \"" + v + "\"");
              else
                  o.Rate = *s;
          }}},
        {"--min-size",
         {ModeBit(TMode::FloodUdp),
          [&](auto& n, auto& v) { o.MinSize = (unsigned)count(n, v, 20, 8192); }}},
        {"--max-size",
         {ModeBit(TMode::FloodUdp),
          [&](auto& n, auto& v) { o.MaxSize = (unsigned)count(n, v, 20, 8192); }}},
        {"--protocol",
         {ModeBit(TMode::Download),
          [&](auto& n, auto& v) {
              if (v == "xmodem")
                  o.Protocol = TRxProtocol::Xmodem;
              else if (v == "xmodem-crc")
                  o.Protocol = TRxProtocol::XmodemCrc;
              else if (v == "xmodem-1k")
                  o.Protocol = TRxProtocol::Xmodem1K;
              else if (v == "ymodem")
                  o.Protocol = TRxProtocol::Ymodem;
              else
                  fail(n + " wants xmodem, xmodem-crc, xmodem-1k or ymodem, not \"" + v + "\"");
          }}},
        {"--save", {ModeBit(TMode::Download), [&](auto&, auto& v) { o.SavePath = v; }}},
    };

    for (const auto& [name, value] : opts) {
        auto it = table.find(name);
        if (it == table.end()) {
            result.Error = "unknown option: " + name;
            return result;
        }
        if (!(it->second.first & ModeBit(o.Mode))) {
            result.Error = name + " does not apply to " + ModeName(o.Mode) + " mode";
            return result;
        }
        it->second.second(name, value);
        if (!error.empty()) {
            result.Error = error;
            return result;
        }
    }

    if (!startGiven)
        o.Start = (o.Device.empty() && (o.Mode == TMode::Packet || o.Mode == TMode::FloodText ||
                                        o.Mode == TMode::FloodBytes || o.Mode == TMode::Download))
                      ? TStart::Open
                      : TStart::Now;
    if (!recordGiven && o.Mode != TMode::Text)
        o.RecordLimit = 0; // answers and echoes of packets and floods are counted, not kept
    if (o.Start == TStart::Open && !o.Device.empty())
        error = "--start open cannot see the console open a --device";
    else if (o.Start == TStart::Open && !o.UsesPty())
        error = "--start open needs a pty; " + std::string(ModeName(o.Mode)) + " mode has none";
    else if (o.Start == TStart::Stdin && !o.ReadStdin)
        error = "--start stdin cannot work with --no-stdin";
    else if (o.Mode == TMode::FloodUdp && o.ConsolePort < 0)
        error = "flood-udp needs --console-port";
    else if (!o.Datagrams.empty() && o.ConsolePort < 0)
        error = "datagrams to send need --console-port";
    else if (o.MinSize > o.MaxSize)
        error = "--min-size is above --max-size";
    else if (o.Mode == TMode::Packet &&
             o.Mix.Normal + o.Mix.Kind3 + o.Mix.Empty + o.Mix.Damaged + o.Mix.Garbage == 0)
        error = "--requests, --kind3, --empty, --damaged and --garbage are all 0: no requests "
                "to send";
    if (!error.empty()) {
        result.Error = error;
        return result;
    }
    result.Options = o;
    return result;
}

} // namespace devsim
